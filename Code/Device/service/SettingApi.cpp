// The factory's calibration-setting, module-command and manufacturing-information
// functions: thin frames (sampling pause, g_CriticalSection, and the playback command
// window while a playback runs) around the 0xCC setting commands and the memory command.
//
// Window rule: 16-bit and raw writes and the one-byte read go through the play thread's
// command window while a playback runs, so they fall between two stream batches; the
// 16-bit reads, the trigger test's status read and the manufacturing blocks are sent at
// once.
#include <algorithm>
#include <cstring>

#include "api/AutoPauseSampling.h"
#include "api/DeviceInfo.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "playback/PlayControl.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/StoredRecords.h"
#include "sampling/Sampling.h"

namespace {

constexpr int kMaxRawSetting = 60;     // the data a 0xCC write carries
constexpr unsigned long kMaxMfg = 64;  // a manufacturing block

PPGCalibrationSetting Setting(int id) { return static_cast<PPGCalibrationSetting>(id); }

PPGCalibrationSetting LedSetting(PPGChannel channel) {
    switch (CheckPPGChannel(channel)) {
        case PPG_CHANNEL_2:
            return PPG_CAL_LED_LEVEL_CH2;
        case PPG_CHANNEL_3:
            return PPG_CAL_LED_LEVEL_CH3;
        default:
            return PPG_CAL_LED_LEVEL_CH1;
    }
}

PPGCalibrationSetting TriggerSetting(PPGChannel channel) {
    switch (CheckPPGChannel(channel)) {
        case PPG_CHANNEL_2:
            return PPG_CAL_TRIGGER_LEVEL_CH2;
        case PPG_CHANNEL_3:
            return PPG_CAL_TRIGGER_LEVEL_CH3;
        default:
            return PPG_CAL_TRIGGER_LEVEL_CH1;
    }
}

// Hold g_CriticalSection.
bool Write16(PPGCalibrationSetting id, unsigned short value) {
    if (PlayRawIsRunning()) {
        return PlayRawSetCalibrationSetting(id, value);
    }
    return WriteCalibrationSetting(id, value);
}

bool WriteRaw(unsigned char id, unsigned char* data, int length) {
    if (data == nullptr || length < 1 || length > kMaxRawSetting) {
        return false;  // nothing sent, the window's path included
    }
    if (PlayRawIsRunning()) {
        return PlayWrite0xCCCommand(id, data, length);
    }
    return WriteCalibrationSetting(Setting(id), data, length);
}

int MfgLength(unsigned long length) { return static_cast<int>(std::min(length, kMaxMfg)); }

}  // namespace

// ---- Calibration settings --------------------------------------------------------------

bool ORVReadPPGLedCalibrationSetting(PPGChannel channel, unsigned short* value) {
    if (value == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return ReadCalibrationSetting(LedSetting(channel), value);
}

bool ORVWritePPGLedCalibrationSetting(PPGChannel channel, unsigned short value) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (IsPPGChannel3Supported() && g_DeviceFeature.nPPGChannelNumber == 1) {
        // One LED drives the single channel: both level settings take the value.
        return Write16(PPG_CAL_LED_LEVEL_CH1, value) && Write16(PPG_CAL_LED_LEVEL_CH2, value);
    }
    return Write16(LedSetting(channel), value);
}

bool ORVReadPPGTriggerLevelCalibrationSetting(PPGChannel channel, unsigned short* value) {
    if (value == nullptr) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    unsigned short level = 0;
    if (!ReadCalibrationSetting(TriggerSetting(channel), &level)) {
        return false;
    }
    *value = static_cast<unsigned short>(level & 0xFF);
    return true;
}

bool ORVWritePPGTriggerLevelCalibrationSetting(PPGChannel channel, unsigned short value) {
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    return Write16(TriggerSetting(channel), value);
}

bool ORVReadPPGCalibrationSetting(int setting, unsigned short* value) {
    if (value == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return ReadCalibrationSetting(Setting(setting), value);
}

bool ORVWritePPGCalibrationSetting(int setting, unsigned short value) {
    CAutoCriticalSection lock(g_CriticalSection);
    return Write16(Setting(setting), value);
}

bool ORVRead0xCCCommand(unsigned char setting, unsigned char* value) {
    if (value == nullptr) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    if (PlayRawIsRunning()) {
        return PlayRead0xCCCommand(setting, value);
    }
    return ReadCalibrationSetting(Setting(setting), value);
}

bool ORVWrite0xCCCommand(unsigned char setting, unsigned char* data, int length) {
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    return WriteRaw(setting, data, length);
}

// ---- Module commands -------------------------------------------------------------------

bool ORVSwitchPDSamplingFullRange(bool full) {
    unsigned char range[2] = {0xFF, static_cast<unsigned char>(full ? 0xFF : 0xFC)};
    return ORVWrite0xCCCommand(PPG_CAL_SAMPLING_RANGE, range, 2);
}

bool ORVSwitchDeviceWorkingMode(unsigned char mode) { return ORVWrite0xCCCommand(PPG_CAL_WORKING_MODE, &mode, 1); }

bool ORVSwitchToGPIOMode(bool gpio) {
    unsigned char leave = gpio ? 0 : 1;
    return ORVWrite0xCCCommand(PPG_CAL_LED_TRIGGER_STATUS, &leave, 1);
}

bool ORVIsLEDTriggered(PPGChannel channel) {
    CAutoCriticalSection lock(g_CriticalSection);
    _DEVICE_CONTROL_SETTING* copy = nullptr;
    const bool prepared = CSampling::StartSamplingPreProcessing(copy);
    delete copy;
    if (!prepared) {
        return false;
    }
    if (!WriteCalibrationSetting(PPG_CAL_PD_INPUT, static_cast<unsigned char>(channel == PPG_CHANNEL_1 ? 16 : 32))) {
        return false;
    }
    unsigned char status = 0;
    if (!ReadCalibrationSetting(PPG_CAL_LED_TRIGGER_STATUS, &status)) {
        return false;
    }
    bool triggered = false;
    if (channel == PPG_CHANNEL_1) {
        triggered = (status & 0x01) != 0;
    } else if (channel == PPG_CHANNEL_2) {
        triggered = (status & 0x02) != 0;
    }
    const uint16_t model = GetPPGFullModelNumber();
    if (model == 0x2012 || model == 0x2014 || model == 0x2112) {
        triggered = !triggered;  // these modules report the trigger inverted
    }
    return triggered;
}

bool ORVFingerEnableDebugMode(bool enable) {
    CAutoCriticalSection lock(g_CriticalSection);
    unsigned char request[8] = {0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x70, 0x01, static_cast<unsigned char>(enable ? 1 : 0)};
    if (WriteData(request, sizeof request, 1) != static_cast<int>(sizeof request)) {
        return false;
    }
    unsigned char reply[64];
    ReadData(reply, sizeof reply, NVS_KIND_REPLY);  // any reply; its content is not used
    return true;
}

// ---- Manufacturing information ---------------------------------------------------------

bool ORVReadMfgInfo(unsigned char* buffer, unsigned long length) {
    if (buffer == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return ReadECGMfgInfo(buffer, MfgLength(length));
}

bool ORVReadPPGMfgInfo(unsigned char* buffer, unsigned long length) {
    if (buffer == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return ReadPPGMfgInfo(buffer, MfgLength(length));
}

bool ORVWriteMfgInfo(unsigned char const* buffer, unsigned long length) {
    if (buffer == nullptr) {
        return false;
    }
    unsigned char block[kMaxMfg];
    const int n = MfgLength(length);
    memcpy(block, buffer, static_cast<size_t>(n));
    CAutoCriticalSection lock(g_CriticalSection);
    return WriteECGMfgInfo(block, n);
}

bool ORVWritePPGMfgInfo(unsigned char const* buffer, unsigned long length) {
    if (buffer == nullptr) {
        return false;
    }
    unsigned char block[kMaxMfg];
    const int n = MfgLength(length);
    memcpy(block, buffer, static_cast<size_t>(n));
    CAutoCriticalSection lock(g_CriticalSection);
    return WritePPGMfgInfo(block, n);
}
