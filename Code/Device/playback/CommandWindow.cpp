// The command window: a device command handed to the engine while a run exists goes out
// between two stream batches, never inside one.
//
// The wrapper takes g_PlayRawCriticalSection and g_InterruptCriticalSection and waits for
// g_hProcessRequestEvent, which the producer sets just before it takes the interrupt
// lock to serve a request or a tick; holding that lock, the wrapper runs its command
// before the next batch is built. The locks are recursive and the event stays set while
// a command runs, so a command that itself goes through the window runs at once. When no
// producer serves any more (the run ended by itself, or never started) the command goes
// out directly; a producer that gets no request within the bound (a silent instrument)
// makes the command fail unsent, so the caller's g_CriticalSection is never held for ever.
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlayThreads.h"
#include "protocol/ControlBlock.h"
#include "protocol/PPGModule.h"
#include "protocol/StoredRecords.h"

namespace {

constexpr unsigned kPollMs = 2;

// Waits for the window; true when the command may go out now.
bool WindowOpen() {
    const uint64_t deadline = GetMonotonicMs() + kCommandWindowBoundMs;
    for (;;) {
        if (g_hProcessRequestEvent.WaitTimeout(0) == 0 || !PlayProducerServes()) {
            return true;
        }
        if (GetMonotonicMs() >= deadline) {
            return false;
        }
        g_hProcessRequestEvent.WaitTimeout(kPollMs);
    }
}

template <typename R, typename F>
R InWindow(R failed, F command) {
    CAutoCriticalSection api(g_PlayRawCriticalSection);
    CAutoCriticalSection interrupt(g_InterruptCriticalSection);
    if (!WindowOpen()) {
        return failed;
    }
    return command();
}

}  // namespace

bool PlayRawSetOutputImpedance(int code) {
    return InWindow(false, [&] { return SetOutputImpedance(code); });
}

bool PlayRawSetOutputLead(int code) {
    return InWindow(false, [&] { return SetOutputElectrode(code); });
}

bool PlayRawSetDCOffset(int millivolts) {
    return InWindow(false, [&] { return SetOutputDCOffset(millivolts); });
}

bool PlayRawSetOutputPacing(int code) {
    return InWindow(false, [&] { return SetOutputPacing(code); });
}

bool PlayRawSetLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* setting) {
    if (setting == nullptr) {
        return false;
    }
    return InWindow(false, [&] { return SetLEDPulseGroupSetting(setting); });
}

int PlayRawGetAmbientLightMode() {
    return InWindow(0, [] { return GetAmbientLightMode(); });
}

bool PlayRawSetAmbientLightMode(PPGAmbientLightMode mode) {
    return InWindow(false, [&] { return SetAmbientLightMode(mode); });
}

int PlayRawSetOperatorMode(int mode, unsigned char sync1, unsigned char sync2) {
    // The third channel repeats the second channel's sync byte.
    return InWindow(0, [&] { return UpdateOperatorMode(mode, sync1, sync2, sync2, 10000); });
}

bool PlayRawSetCalibrationSetting(PPGCalibrationSetting id, unsigned short value) {
    return InWindow(false, [&] { return WriteCalibrationSetting(id, value); });
}

bool PlayRawBackupFactorySetting() {
    return InWindow(false, [] { return BackupFactorySetting(); });
}

bool PlayRawUpdatePPGSyncPulse(PPGChannel channel, SyncPulse pulse) {
    return InWindow(false, [&] { return SetPPGSyncPulse(channel, pulse); });
}

bool PlayRead0xCCCommand(unsigned char id, unsigned char* value) {
    if (value == nullptr) {
        return false;
    }
    return InWindow(false, [&] { return ReadCalibrationSetting(static_cast<PPGCalibrationSetting>(id), value); });
}

bool PlayWrite0xCCCommand(unsigned char id, unsigned char* data, int length) {
    if (data == nullptr || length <= 0) {
        return false;
    }
    // The data form is the direct write: the one-byte and 16-bit forms come here.
    return InWindow(false,
                    [&] { return WriteCalibrationSetting(static_cast<PPGCalibrationSetting>(id), data, length); });
}

bool PlayReadPPGLEDSetting(int group, int index, PPG_LED_SETTING* setting) {
    if (setting == nullptr) {
        return false;
    }
    return InWindow(false, [&] { return ReadPPGLEDSetting(group, index, setting); });
}

bool PlayWritePPGLEDSetting(int group, int index, PPG_LED_SETTING* setting) {
    if (setting == nullptr) {
        return false;
    }
    return InWindow(false, [&] { return WritePPGLEDSetting(group, index, setting); });
}

bool PlayReadLEDMatrixEnableStatus(unsigned char* status) {
    if (status == nullptr) {
        return false;
    }
    return InWindow(false, [&] { return ReadLEDMatrixEnableStatus(status); });
}

bool PlayWriteLEDMatrixEnableStatus(unsigned char status) {
    return InWindow(false, [&] { return WriteLEDMatrixEnableStatus(status); });
}

int PlayRawGetLEDOutputFeedbackVoltageADCData() {
    return InWindow(0, [] { return GetLEDOutputFeedbackVoltageADCData(); });
}
