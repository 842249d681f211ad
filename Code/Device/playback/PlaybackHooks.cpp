// The engine's entries in the subsystem hook table: the run state, the common stop's
// stop and the window forms of the exported setters. Installed at load.
#include "playback/PlayControl.h"
#include "playback/PlayThreads.h"
#include "playback/Sources.h"
#include "protocol/SubsystemHooks.h"

namespace {

void StopForCommonStop(int clearRespiration) { PlayRawStop(clearRespiration); }

const bool s_bInstalled = (InstallPlaybackEngineHooks(), true);

}  // namespace

void InstallPlaybackEngineHooks() {
    (void)s_bInstalled;
    PlaybackHooks entries = {};
    entries.isRunning = PlayRawIsRunning;
    entries.stop = StopForCommonStop;
    entries.write0xCC = PlayWrite0xCCCommand;
    entries.setOutputImpedance = PlayRawSetOutputImpedance;
    entries.setOutputLead = PlayRawSetOutputLead;
    entries.setDCOffset = PlayRawSetDCOffset;
    entries.setOutputPacing = PlayRawSetOutputPacing;
    entries.getLEDOutputFeedbackVoltageADCData = PlayRawGetLEDOutputFeedbackVoltageADCData;
    entries.setLEDPulseGroupSetting = PlayRawSetLEDPulseGroupSetting;
    entries.getAmbientLightMode = PlayRawGetAmbientLightMode;
    entries.setAmbientLightMode = PlayRawSetAmbientLightMode;
    entries.readLEDMatrixEnableStatus = PlayReadLEDMatrixEnableStatus;
    entries.writeLEDMatrixEnableStatus = PlayWriteLEDMatrixEnableStatus;
    entries.updatePPGSyncPulse = PlayRawUpdatePPGSyncPulse;
    entries.readPPGLEDSetting = PlayReadPPGLEDSetting;
    entries.writePPGLEDSetting = PlayWritePPGLEDSetting;
    entries.loadedPPGRange = GetLoadedPPGRange;
    entries.onRunThread = PlayRawOnRunThread;
    InstallPlaybackHooks(&entries);
}
