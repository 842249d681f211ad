#include "ProtocolState.h"

#include "protocol/CommandWindow.h"
#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/RespirationTables.h"
#include "waveform/Calibration.h"

void ResetProtocolState() {
    ResetProtocolIdentityState();
    ResetProtocolCapabilityState();
    ResetProtocolMemoryState();
    ResetPPGModuleState();
    ResetRespirationTables();
    ResetCommandWindowState();
    ResetWaveformCalibrationState();
}
