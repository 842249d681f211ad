// The LED, ambient-light and PPG-module functions.
//
// Guards: every exchange holds g_CriticalSection; the module selection and the stored LED
// settings also raise the sampling pause first, since the photodiode stream maps its
// samples through the selected module's tables. While a playback runs the settings that
// the engine carries go through its command window.
#include "api/LedApi.h"

#include <algorithm>
#include <cstring>

#include "api/AutoPauseSampling.h"
#include "api/DeviceInfo.h"
#include "platform/StaticObjects.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/StoredRecords.h"
#include "protocol/SubsystemHooks.h"
#include "waveform/Calibration.h"

std::atomic<int> g_nCurrentSelectPPGModule{0};
std::atomic<int> g_bHotPlugDetection{0};

namespace {

constexpr int kLastSelectableModule = 6;
constexpr int kLastTransmissionRateMode = 5;
constexpr int kRateModesPerChannel = 6;  // the MCU record's rate tables: 6 x (channel - 1) + mode

}  // namespace

bool ORVReadLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* setting) {
    if (setting == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return GetLEDPulseGroupSetting(setting);
}

bool ORVWriteLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* setting) {
    if (setting == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->setLEDPulseGroupSetting(setting);
    }
    return SetLEDPulseGroupSetting(setting);
}

int ORVGetLEDAmbientLightMode(void) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->getAmbientLightMode();
    }
    return GetAmbientLightMode();
}

bool ORVSetLEDAmbientLightMode(PPGAmbientLightMode mode) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->setAmbientLightMode(mode);
    }
    return SetAmbientLightMode(mode);
}

int ORVGetPPGModuleNumber() { return g_DeviceFeature.nPPGModuleNumber; }

int ORVGetSelectedPPGModule() {
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    const int module = PPGModuleGetSelected();
    g_nCurrentSelectPPGModule.store(module);
    return module;
}

bool ORVSelectPPGModule(int module) {
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    if (!PPGModuleSetSelected(std::min(std::max(module, 0), kLastSelectableModule))) {
        return false;
    }
    // What the instrument reports now, not what was asked for.
    g_nCurrentSelectPPGModule.store(PPGModuleGetSelected());
    return true;
}

bool ORVReadLEDMatrixEnableStatus(unsigned char* status) {
    if (status == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->readLEDMatrixEnableStatus(status);
    }
    return ReadLEDMatrixEnableStatus(status);
}

bool ORVWriteLEDMatrixEnableStatus(unsigned char status) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->writeLEDMatrixEnableStatus(status);
    }
    return WriteLEDMatrixEnableStatus(status);
}

int ORVReadAmbientLightDC() {
    CAutoCriticalSection lock(g_CriticalSection);
    return ReadAmbientLightDC();
}

bool ORVWriteAmbientLightDC(int value) {
    CAutoCriticalSection lock(g_CriticalSection);
    return WriteAmbientLightDC(value);
}

bool ORVWritePPGSyncPulse(PPGChannel channel, SyncPulse pulse) {
    const PPGChannel checked = CheckPPGChannel(channel);
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->updatePPGSyncPulse(checked, pulse);
    }
    return SetPPGSyncPulse(checked, pulse);
}

bool ORVReadPPGLEDSetting(int group, int index, PPG_LED_SETTING* setting) {
    if (setting == nullptr) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->readPPGLEDSetting(group, index, setting);
    }
    return ReadPPGLEDSetting(group, index, setting);
}

bool ORVWritePPGLEDSetting(int group, int index, PPG_LED_SETTING* setting) {
    if (setting == nullptr) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->writePPGLEDSetting(group, index, setting);
    }
    return WritePPGLEDSetting(group, index, setting);
}

bool ORVClearPPGLEDSetting(int group, int index) {
    PPG_LED_SETTING erased;
    memset(&erased, 0xFF, sizeof erased);
    return ORVWritePPGLEDSetting(group, index, &erased);
}

void ORVSaveDefaultPulseSettings() {
    PPG_LED_PULSE_GROUP_SETTING setting = {{1, 4, 2, 0, 0, 0, 0, 0}, 8000};
    ORVWriteLEDPulseGroupSetting(&setting);
}

bool ORVSetTransmissionRate(int rate) {
    CAutoCriticalSection lock(g_CriticalSection);
    return SetTransmissionRate(rate);
}

bool ORVConfigureTransmissionRate(int mode) {
    CAutoCriticalSection lock(g_CriticalSection);
    const int m = std::min(std::max(mode, 0), kLastTransmissionRateMode);
    g_nTransmissionRateMode = m;
    const FACTORY_SETTING_MCU& f = g_FactorySettingMCU;
    return UpdateMCUTransmissionRate(f.usRateLEDSetting[m], f.usRateParamSetting[m],
                                     f.usRateLEDSetting[kRateModesPerChannel + m],
                                     f.usRateParamSetting[kRateModesPerChannel + m]);
}

bool ORVEnableDynamicLEDStrength(bool enable) {
    CAutoCriticalSection lock(g_CriticalSection);
    return EnableDynamicLEDStrength(enable ? 1 : 0);
}

bool ORVReadPPGVRef(PPGChannel channel, unsigned int* value) {
    if (value == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return ReadPPGVRef(channel, value);
}

bool ORVWritePPGVRef(PPGChannel channel, unsigned int value) {
    CAutoCriticalSection lock(g_CriticalSection);
    return WritePPGVRef(channel, value);
}

bool ORVEnableAutoTriggerLevel(bool enable) {
    CAutoCriticalSection lock(g_CriticalSection);
    return EnableAutoTriggerLevel(enable ? 1 : 0);
}

bool ORVGetAutoTriggerLevelStatus(AUTO_TRIGGER_STATUS* status) {
    if (status == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return GetAutoTriggerLevelStatus(status);
}

void ORVEnablePPGAmplitudeConversion(bool enable) {
    CAutoCriticalSection lock(g_CriticalSection);
    g_bPPGAmplitudeConversion = enable ? 1 : 0;
}

bool ORVGetLoadedPPGRange(int channel, double* minimum, double* maximum) {
    if (minimum == nullptr || maximum == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return Hooks().playback.loadedPPGRange(channel, minimum, maximum);
}

int ORVGetPPGDacLevel() { return static_cast<int>(g_nPPGACDacLevel); }

void ORVSetPPGDacLevel(int level) { g_nPPGACDacLevel = static_cast<double>(level); }

void ORVEnableHotPlugDetection(bool enable) { g_bHotPlugDetection.store(enable ? 1 : 0); }

void ResetLedApiState() {
    g_nCurrentSelectPPGModule.store(0);
    g_bHotPlugDetection.store(0);
}
