// The factory-record functions: the backup and restore of the factory record that holds
// the PPG module's LED and trigger levels, the photodiode ratios and the transmission-rate
// words of the cached MCU record.
//
// Sound behaviour beyond the bare functions:
// - The cached MCU record (model 0x2112) goes out only when it was read from this
//   instrument in this connection (protocol/Memory.h): the whole-record writes and the
//   restore's AC-mode words are otherwise false with nothing of the cache sent; the host
//   copies changed by the call stay changed.
// - The photodiode ratios are stored only on models that keep them (0x2112 in its MCU
//   record, 0x2012 and 0x2014 in rows at 0x1480): on every other module 0x1480 holds
//   another record (the external-respiration module's coefficients), so the call is
//   refused with nothing changed or sent.
// - The backup on model 0x2112 switches the AC range three times, 3 s apart, with
//   operator mode 8, which starves a running stream: during a playback it is refused.
// - Channels and rate modes outside the record's rows are refused.
#include <algorithm>

#include "api/AutoPauseSampling.h"
#include "api/DeviceInfo.h"
#include "api/PostConnection.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/StoredRecords.h"
#include "sampling/Fpga.h"

namespace {

constexpr unsigned long kRatiosPerChannel = 8;
constexpr int kRateModes = 6;

bool Model2112() { return GetPPGFullModelNumber() == 0x2112; }

bool KeepsPDRatios(uint16_t model) { return model == 0x2112 || model == 0x2012 || model == 0x2014; }

// Hold g_CriticalSection.
bool WriteCachedMCURecord() { return FactorySettingMCULoaded() && WriteFactorySettingMCU(&g_FactorySettingMCU); }

PPGCalibrationSetting Setting(int id) { return static_cast<PPGCalibrationSetting>(id); }

}  // namespace

bool ORVRestoreFactorySetting() {
    CAutoCriticalSection lock(g_CriticalSection);
    FACTORY_SETTING record = {};
    if (!ReadFactorySetting(&record) || record.ucValid != 1) {
        return false;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    // Setting id, then the record's bytes of its high and low halves.
    struct Level {
        int id;
        int high;
        int low;
    };
    const Level levels[6] = {{1, 7, 1}, {2, 8, 2}, {3, 10, 3}, {4, 11, 4}, {18, 9, 5}, {19, 12, 6}};
    const int count = g_DeviceFeature.nPPGChannelNumber > 2 ? 6 : 4;
    for (int i = 0; i < count; ++i) {
        const unsigned short value = static_cast<unsigned short>(bytes[levels[i].high] << 8 | bytes[levels[i].low]);
        if (!WriteCalibrationSetting(Setting(levels[i].id), value)) {
            return false;
        }
    }
    if (!Model2112()) {
        return true;
    }
    if (!FactorySettingMCULoaded()) {
        return false;  // the cached AC-mode words are not this instrument's
    }
    // Channels 1 and 2 in AC ranges 0, 1, 2; channel 3's words are not written back.
    const int acIds[6] = {21, 38, 41, 22, 39, 42};
    for (int word = 0; word < 6; ++word) {
        if (!WriteCalibrationSetting(Setting(acIds[word]), g_FactorySettingMCU.usACModeSetting[word])) {
            return false;
        }
    }
    return true;
}

bool ORVWriteFPGACalibrationData(PPGChannel channel, float* ratios, unsigned long count) {
    if (ratios == nullptr && count != 0) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    const uint16_t model = GetPPGFullModelNumber();
    if (!KeepsPDRatios(model)) {
        return false;
    }
    const PPGChannel ch = CheckPPGChannel(channel);
    const unsigned long n = std::min(count, kRatiosPerChannel);
    std::copy(ratios, ratios + n, g_FPGA_PDRatio[ch - 1]);
    if (model != 0x2112) {
        return FPGASyncToEEPROM(ch);
    }
    std::copy(&g_FPGA_PDRatio[0][0], &g_FPGA_PDRatio[0][0] + 24, &g_FactorySettingMCU.fPDRatio[0][0]);
    return WriteCachedMCURecord();
}

bool ORVClearFPGACalibrationData(PPGChannel channel) {
    float ones[kRatiosPerChannel];
    std::fill(ones, ones + kRatiosPerChannel, 1.0f);
    return ORVWriteFPGACalibrationData(channel, ones, kRatiosPerChannel);
}

void ORVCalibrationSetTransmissionRate(PPGChannel channel, int mode, unsigned short ledValue,
                                       unsigned short paramValue) {
    if (channel < PPG_CHANNEL_1 || channel > PPG_CHANNEL_3 || mode < 0 || mode >= kRateModes) {
        return;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    const int index = kRateModes * (channel - 1) + mode;
    g_FactorySettingMCU.usRateLEDSetting[index] = ledValue;
    g_FactorySettingMCU.usRateParamSetting[index] = paramValue;
    WriteCachedMCURecord();  // the outcome is not reported
}

bool ORVBackupFactorySetting() {
    CAutoCriticalSection lock(g_CriticalSection);
    if (PlayRawIsRunning()) {
        if (Model2112()) {
            return false;  // its AC-range loads would starve the stream: stop the playback first
        }
        return PlayRawBackupFactorySetting();
    }
    return BackupFactorySetting();
}
