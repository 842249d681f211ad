#include "ProtocolState.h"

#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/RespirationTables.h"
#include "protocol/SubsystemHooks.h"
#include "waveform/Calibration.h"

void ResetProtocolState() {
    ResetProtocolIdentityState();
    ResetProtocolCapabilityState();
    ResetProtocolMemoryState();
    ResetPPGModuleState();
    ResetRespirationTables();
    InstallPlaybackHooks(nullptr);  // no playback engine or sampling installed
    InstallSamplingHooks(nullptr);
    ResetWaveformCalibrationState();
}
