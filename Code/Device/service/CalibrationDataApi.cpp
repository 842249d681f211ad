// The factory's calibration-data functions: each keeps the library's host copy of a table
// and the instrument's stored copy in step (host copy first; a failed write leaves the
// host copy changed). The photodiode-sampling tables exist only while the connection
// thread runs, and only for PPG modules 0..5: otherwise these functions are false with
// nothing sent.
#include <algorithm>
#include <vector>

#include "api/AutoPauseSampling.h"
#include "api/LedApi.h"
#include "api/PostConnection.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/StoredRecords.h"
#include "waveform/Calibration.h"

namespace {

constexpr unsigned long kECGDCValues = 2001;
constexpr unsigned long kPDValues = g_nPPGPDSamplingCalibrationDataCount;
constexpr unsigned long kPPGDCValues = 3001;

// Photodiode channel 2 for channel 2, channel 1 for any other value.
PPGChannel PDChannel(PPGChannel channel) { return channel == PPG_CHANNEL_2 ? PPG_CHANNEL_2 : PPG_CHANNEL_1; }

// The selected module's host table of that photodiode channel; null without one.
int* SelectedPDTable(PPGChannel pd) { return PPGPDSamplingTable(g_nCurrentSelectPPGModule.load(), pd - 1); }

void FillIdentity(int* table) {
    for (unsigned long i = 0; i < kPDValues; ++i) {
        table[i] = static_cast<int>(i);
    }
}

bool IsPPGDCChannel(PPGChannel channel) { return channel >= PPG_CHANNEL_1 && channel <= PPG_CHANNEL_3; }

bool WritePPGDCRow(PPGChannel channel) { return WritePPGDCTable(channel, g_PPGDCTable[channel - 1], kPPGDCValues); }

}  // namespace

bool ORVWriteECGDCVariableCalibrationData(int* values, unsigned long count) {
    if (values == nullptr || count != kECGDCValues) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    {
        // A playback run reads the table under the interrupt lock while it builds a batch.
        CAutoCriticalSection interrupt(g_InterruptCriticalSection);
        for (unsigned long i = 0; i < kECGDCValues; ++i) {
            g_ECGDCVariableCalibrationData[i] = static_cast<uint16_t>(values[i]);
        }
    }
    return WriteDCVariableCalibrationData(values);
}

bool ORVClearECGDCVariableCalibrationData() {
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    {
        CAutoCriticalSection interrupt(g_InterruptCriticalSection);  // as in the write above
        SetDefaultECGDCVariableCalibrationData();
    }
    return ClearDCVariableCalibrationData();
}

bool ORVReadPPGCalibrationDataPDSampling(PPGChannel channel, int* out, int count) {
    if (out == nullptr || count != static_cast<int>(kPDValues)) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    const int* table = SelectedPDTable(PDChannel(channel));
    if (table == nullptr) {
        return false;
    }
    std::copy(table, table + kPDValues, out);
    return true;
}

bool ORVWritePPGCalibrationDataPDSampling(PPGChannel channel, int* data, unsigned long count) {
    if (data == nullptr || count != kPDValues) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    const PPGChannel pd = PDChannel(channel);
    int* table = SelectedPDTable(pd);
    if (table == nullptr) {
        return false;
    }
    std::copy(data, data + kPDValues, table);
    if (!WritePPGCalibrationDataPDSampling(pd, data, kPDValues)) {
        return false;
    }
    std::vector<int> stored(kPDValues);
    int* readBack = stored.data();
    if (!ReadPPGCalibrationDataPDSampling(pd, readBack)) {
        return false;
    }
    return std::equal(stored.begin(), stored.end(), data);
}

bool ORVClearPPGCalibrationDataPDSampling() {
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    int* first = SelectedPDTable(PPG_CHANNEL_1);
    int* second = SelectedPDTable(PPG_CHANNEL_2);
    if (first == nullptr || second == nullptr) {
        return false;
    }
    FillIdentity(first);
    FillIdentity(second);
    return ClearPPGCalibrationDataPDSampling();
}

bool ORVClearPPGCalibrationDataPDSamplingEx(PPGChannel channel) {
    if (channel != PPG_CHANNEL_1 && channel != PPG_CHANNEL_2) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    int* table = SelectedPDTable(channel);
    if (table == nullptr) {
        return false;
    }
    FillIdentity(table);
    return ClearPPGCalibrationDataPDSamplingEx(channel);
}

bool ORVWritePPGCalibrationDataDC(PPGChannel channel, int* values, unsigned long count) {
    if (!IsPPGDCChannel(channel) || values == nullptr || count > kPPGDCValues) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    for (unsigned long i = 0; i < count; ++i) {
        g_PPGDCTable[channel - 1][i] = static_cast<uint16_t>(values[i]);
    }
    return WritePPGDCRow(channel);
}

bool ORVClearPPGCalibrationDataDC(PPGChannel channel) {
    if (!IsPPGDCChannel(channel)) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    for (unsigned long i = 0; i < kPPGDCValues; ++i) {
        g_PPGDCTable[channel - 1][i] = static_cast<uint16_t>(i);
    }
    return WritePPGDCRow(channel);
}

// ---- AC full-scale codes and the LED levels of the factory record ---------------------

bool ORVWritePPGCalibrationDataACFullDAC(PPGChannel channel, int* values, unsigned long count) {
    if (!IsPPGDCChannel(channel) || values == nullptr || count != 3) {
        return false;
    }
    // The AC conversions of other threads read these words: change them under the lock.
    CAutoCriticalSection lock(g_CriticalSection);
    for (int mode = 0; mode < 3; ++mode) {
        g_FactorySettingMCU.usACFullScaleDAC[3 * (channel - 1) + mode] = static_cast<uint16_t>(values[mode]);
    }
    return true;
}

bool ORVRestoreLEDLevelFactorySetting() {
    CAutoCriticalSection lock(g_CriticalSection);
    FACTORY_SETTING record = {};
    if (!ReadFactorySetting(&record) || record.ucValid != 1) {
        return false;
    }
    // Levels are stored split: low bytes of settings 1, 2, 3, 4, 18, 19, then high bytes
    // of settings 1, 2, 18, 3, 4, 19.
    auto level = [&](int high, int low) {
        return static_cast<unsigned short>(record.ucLevelHigh[high] << 8 | record.ucLevelLow[low]);
    };
    if (!WriteCalibrationSetting(PPG_CAL_LED_LEVEL_CH1, level(0, 0)) ||
        !WriteCalibrationSetting(PPG_CAL_LED_LEVEL_CH2, level(1, 1))) {
        return false;
    }
    if (g_DeviceFeature.nPPGChannelNumber >= 3) {
        return WriteCalibrationSetting(PPG_CAL_LED_LEVEL_CH3, level(2, 4));
    }
    return true;
}
