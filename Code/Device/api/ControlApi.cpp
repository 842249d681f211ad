// The control-setting functions of the ECG output path and the service measurements.
// Each holds g_CriticalSection for its exchange; while a playback runs, the settings
// that the playback engine carries go through its command window instead.
#include "api/DeviceInfo.h"
#include "platform/StaticObjects.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/PPGModule.h"
#include "protocol/SubsystemHooks.h"
#include "waveform/Calibration.h"

namespace {

// Non-zero switches on: the control block takes 0xFF.
int OnOffCode(int value) { return value != 0 ? 255 : 0; }

// The fixed DC offset exists up to hardware 8.1.
bool HasFixedDCOffset(const HW_INFORMATION& hw) { return !(hw.nHWMajor > 8 || (hw.nHWMajor == 8 && hw.nHWMinor > 1)); }

}  // namespace

bool ORVDeviceEnableImpedance(int enable) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->setOutputImpedance(OnOffCode(enable));
    }
    return SetOutputImpedance(OnOffCode(enable));
}

bool ORVDeviceSetElectrode(int electrode) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->setOutputLead(OnOffCode(electrode));
    }
    return SetOutputElectrode(OnOffCode(electrode));
}

bool ORVDeviceSetDCOffset(int millivolts) {
    if (millivolts != 0 && millivolts != 300 && millivolts != -300) {
        return false;
    }
    HW_INFORMATION hw = {};
    ORVGetHWInformation(&hw);
    if (!HasFixedDCOffset(hw)) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->setDCOffset(millivolts);
    }
    return SetOutputDCOffset(millivolts);
}

bool ORVDeviceEnablePacing(int enable) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->setOutputPacing(OnOffCode(enable));
    }
    return SetOutputPacing(OnOffCode(enable));
}

bool ORVDeviceEnableRespiration(int mode) {
    // Sent at once also while a playback runs: the engine has no window form for it.
    CAutoCriticalSection lock(g_CriticalSection);
    return SetOutputRespiration(mode == 128 ? 128 : 0);
}

bool ORVEnableRLD(bool enable) {
    // The sampling stream's ADC switch: mask 16 drives the right leg, 0 is also the stop
    // of a sampling stream.
    CAutoCriticalSection lock(g_CriticalSection);
    return EnableADCControl(enable ? 16 : 0);
}

bool ORVReadRLD(double* level1, double* level2) {
    if (level1 == nullptr || level2 == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return ReadRLDData(level1, level2);
}

void ORVEnableACAboveDC(bool enable) { g_bACAboveDC = enable ? 1 : 0; }

int ORVGetLEDOutputFeedbackVoltageADCData() {
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->getLEDOutputFeedbackVoltageADCData();
    }
    return GetLEDOutputFeedbackVoltageADCData();
}

int ORVGetUSBBusVoltage() {
    CAutoCriticalSection lock(g_CriticalSection);
    return GetUSBBusVoltage();
}
