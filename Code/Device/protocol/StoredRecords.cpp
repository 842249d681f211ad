// Operations on the records stored in the instrument's memory.
#include "protocol/StoredRecords.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/MemoryCommand.h"
#include "protocol/RespirationTables.h"
#include "protocol/Wire.h"

namespace {

constexpr uint32_t kPDSamplingCh1 = 0x0400;
constexpr uint32_t kPDSamplingCh2 = 0x0C00;
constexpr unsigned long kPDSamplingValues = 1024;
constexpr uint32_t kFactorySetting = 0x1400;
constexpr unsigned long kFactorySettingReadBytes = 512;  // the instrument's block, of which 64 are the record
constexpr uint32_t kPPGMfgInfo = 0x1440;
constexpr uint32_t kFactorySettingMCU = 0x1480;
constexpr uint32_t kRespirationRWA = 0x1480;
constexpr uint32_t kRespirationBaseline = 0x14C0;
constexpr uint32_t kRespirationRDAC3 = 0x1500;
constexpr uint32_t kLEDSettings = 0x1500;
constexpr uint32_t kLEDGroupStride = 0x400;
constexpr int kLEDGroups = 9;
constexpr uint32_t kPPGDCTable = 0x1600;
constexpr uint32_t kPPGDCTableStride = 0x2000;
constexpr unsigned long kPPGDCTableBytes = 8192;
constexpr uint32_t kECGDCVariable = 0x10000;
constexpr unsigned long kECGDCVariableValues = 2001;
constexpr uint32_t kECGMfgInfo = 0x12000;
constexpr int kMfgInfoMaxBytes = 64;
constexpr int kRWARecordBytes = 64;

uint32_t PDSamplingAddress(PPGChannel channel) { return channel == PPG_CHANNEL_1 ? kPDSamplingCh1 : kPDSamplingCh2; }

bool ValidDCTable(PPGChannel channel, const unsigned short* table, unsigned long count) {
    return channel >= PPG_CHANNEL_1 && channel <= PPG_CHANNEL_3 && count <= kPPGDCTableMaxValues &&
           (table != nullptr || count == 0);
}

uint32_t PPGDCTableAddress(PPGChannel channel) {
    return kPPGDCTable + kPPGDCTableStride * static_cast<uint32_t>(channel - 1);
}

bool ClearWords(uint32_t address, uint8_t target, unsigned long count) {
    std::vector<int> erased(count, 0xFFFF);
    return FlashWrite(address, target, erased.data(), count);
}

bool MfgInfo(bool write, uint32_t address, uint8_t target, unsigned char* data, int length) {
    if (length < 0 || (length > 0 && data == nullptr)) {
        return false;
    }
    const unsigned long count = static_cast<unsigned long>(std::min(length, kMfgInfoMaxBytes));
    return write ? FlashWrite(address, target, data, count) : FlashRead(address, target, data, count);
}

bool LEDSettingAddress(int group, int index, uint32_t* address) {
    const uint32_t base = GetPPGLEDSettingBaseAddress(group);
    if (base == 0 || index < 0 || index >= kPPGLEDSettingsPerGroup) {
        return false;  // beyond the group's 0x400 bytes lies the next group or another record
    }
    *address = base + 32u * static_cast<uint32_t>(index);
    return true;
}

}  // namespace

bool ReadPPGCalibrationDataPDSampling(PPGChannel channel, int*& table) {
    return table != nullptr && FlashRead(PDSamplingAddress(channel), kMemPPG, table, kPDSamplingValues);
}

bool WritePPGCalibrationDataPDSampling(PPGChannel channel, int* table, unsigned long count) {
    return FlashWrite(PDSamplingAddress(channel), kMemPPG, table, count);
}

bool ClearPPGCalibrationDataPDSampling() {
    return ClearWords(kPDSamplingCh1, kMemPPG, kPDSamplingValues) &&
           ClearWords(kPDSamplingCh2, kMemPPG, kPDSamplingValues);
}

bool ClearPPGCalibrationDataPDSamplingEx(PPGChannel channel) {
    return ClearWords(PDSamplingAddress(channel), kMemPPG, kPDSamplingValues);
}

bool ReadDCVariableCalibrationData(int* table) {
    return FlashRead(kECGDCVariable, kMemMainData, table, kECGDCVariableValues);
}

bool WriteDCVariableCalibrationData(int* table) {
    return FlashWrite(kECGDCVariable, kMemMainData, table, kECGDCVariableValues);
}

bool ClearDCVariableCalibrationData() { return ClearWords(kECGDCVariable, kMemMainData, kECGDCVariableValues); }

bool ReadFactorySetting(FACTORY_SETTING* record) {
    if (record == nullptr) {
        return false;
    }
    uint8_t block[kFactorySettingReadBytes];
    if (!FlashRead(kFactorySetting, kMemPPG, block, sizeof block)) {
        return false;
    }
    memcpy(record, block, sizeof *record);
    return record->ucValid != 0xFF;
}

bool WriteFactorySetting(FACTORY_SETTING* record) {
    return record != nullptr &&
           FlashWrite(kFactorySetting, kMemPPG, reinterpret_cast<unsigned char*>(record), sizeof *record);
}

bool ClearFactorySetting() {
    uint8_t erased[sizeof(FACTORY_SETTING)];
    memset(erased, 0xFF, sizeof erased);
    return FlashWrite(kFactorySetting, kMemPPG, erased, sizeof erased);
}

bool ReadFactorySettingMCU(FACTORY_SETTING_MCU* record) {
    // Read in place: the record is cleared first and keeps what arrived before a failure.
    return record != nullptr &&
           FlashRead(kFactorySettingMCU, kMemPPG, reinterpret_cast<unsigned char*>(record), sizeof *record);
}

bool WriteFactorySettingMCU(FACTORY_SETTING_MCU* record) {
    return record != nullptr &&
           FlashWrite(kFactorySettingMCU, kMemPPG, reinterpret_cast<unsigned char*>(record), sizeof *record);
}

bool ReadPPGDCTable(PPGChannel channel, unsigned short* table, unsigned long count) {
    if (!ValidDCTable(channel, table, count)) {
        return false;
    }
    std::vector<uint8_t> block(kPPGDCTableBytes);
    if (!FlashRead(PPGDCTableAddress(channel), kMemPPG, block.data(), kPPGDCTableBytes)) {
        return false;  // the caller's table keeps its values
    }
    for (unsigned long i = 0; i < count; ++i) {
        table[i] = wire::GetLE16(&block[2 * i]);  // stored in the host's order
    }
    return true;
}

bool WritePPGDCTable(PPGChannel channel, unsigned short* table, unsigned long count) {
    if (!ValidDCTable(channel, table, count)) {
        return false;
    }
    std::vector<uint8_t> block(kPPGDCTableBytes, 0);
    for (unsigned long i = 0; i < count; ++i) {
        wire::PutLE16(&block[2 * i], table[i]);
    }
    return FlashWrite(PPGDCTableAddress(channel), kMemPPG, block.data(), kPPGDCTableBytes);
}

bool ReadECGMfgInfo(unsigned char* data, int length) { return MfgInfo(false, kECGMfgInfo, kMemMainData, data, length); }
bool WriteECGMfgInfo(unsigned char* data, int length) { return MfgInfo(true, kECGMfgInfo, kMemMainData, data, length); }
bool ReadPPGMfgInfo(unsigned char* data, int length) { return MfgInfo(false, kPPGMfgInfo, kMemPPG, data, length); }
bool WritePPGMfgInfo(unsigned char* data, int length) { return MfgInfo(true, kPPGMfgInfo, kMemPPG, data, length); }

unsigned int GetPPGLEDSettingBaseAddress(int group) {
    if (group < 0 || group >= kLEDGroups) {
        return 0;
    }
    return kLEDSettings + kLEDGroupStride * static_cast<unsigned int>(group);
}

bool ReadPPGLEDSetting(int group, int index, PPG_LED_SETTING* setting) {
    uint32_t address;
    if (setting == nullptr || !LEDSettingAddress(group, index, &address)) {
        return false;
    }
    return FlashRead(address, kMemPPG, setting->ucData, sizeof setting->ucData);
}

bool WritePPGLEDSetting(int group, int index, PPG_LED_SETTING* setting) {
    uint32_t address;
    if (setting == nullptr || !LEDSettingAddress(group, index, &address)) {
        return false;
    }
    return FlashWrite(address, kMemPPG, setting->ucData, sizeof setting->ucData);
}

void BuildRespirationRWA(const double* coefficients, uint8_t* record) {
    memset(record, 0, kRWARecordBytes);
    wire::PutHostDouble(record, kRespirationRWAMarker);
    for (int i = 0; i < 4; ++i) {
        wire::PutHostDouble(record + 8 + 8 * i, coefficients[i]);
    }
}

bool ParseRespirationRWA(const uint8_t* record, double* coefficients) {
    // Exact comparison on purpose: the marker is a stored bit pattern, not a measurement.
    if (!(wire::GetHostDouble(record) == kRespirationRWAMarker)) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        coefficients[i] = wire::GetHostDouble(record + 8 + 8 * i);
    }
    return true;
}

bool LoadRespirationRWA() {
    uint8_t record[kRWARecordBytes];
    double coefficients[4];
    if (!FlashRead(kRespirationRWA, kMemPPG, record, sizeof record) || !ParseRespirationRWA(record, coefficients)) {
        return false;
    }
    ExtRespSetCoef(coefficients);
    return true;
}

bool WriteRespirationRWA(double* coefficients) {
    if (coefficients == nullptr) {
        return false;
    }
    uint8_t record[kRWARecordBytes];
    BuildRespirationRWA(coefficients, record);
    if (!FlashWrite(kRespirationRWA, kMemPPG, record, sizeof record)) {
        return false;
    }
    ExtRespSetCoef(coefficients);
    return true;
}

bool LoadRespirationRDAC3() {
    // Into a scratch table first: a failed read must not leave a half-filled table in use.
    uint8_t block[sizeof g_fECGExtRespiratationRDAC3];
    if (!FlashRead(kRespirationRDAC3, kMemPPG, block, sizeof block)) {
        return false;
    }
    memcpy(g_fECGExtRespiratationRDAC3, block, sizeof block);
    return true;
}

bool WriteRespirationRDAC3(double* table) {
    if (table == nullptr) {
        return false;
    }
    memcpy(g_fECGExtRespiratationRDAC3, table, sizeof g_fECGExtRespiratationRDAC3);
    return FlashWrite(kRespirationRDAC3, kMemPPG, reinterpret_cast<unsigned char*>(g_fECGExtRespiratationRDAC3),
                      sizeof g_fECGExtRespiratationRDAC3);
}

bool LoadRespirationBaselineDACTable() {
    uint8_t block[sizeof g_ECGExtRespirationBaselineDACTable];
    if (!FlashRead(kRespirationBaseline, kMemPPG, block, sizeof block)) {
        return false;
    }
    memcpy(g_ECGExtRespirationBaselineDACTable, block, sizeof block);
    return true;
}

bool WriteRespirationBaselineDACTable(unsigned short* table) {
    if (table == nullptr) {
        return false;
    }
    memcpy(g_ECGExtRespirationBaselineDACTable, table, sizeof g_ECGExtRespirationBaselineDACTable);
    return FlashWrite(kRespirationBaseline, kMemPPG,
                      reinterpret_cast<unsigned char*>(g_ECGExtRespirationBaselineDACTable),
                      sizeof g_ECGExtRespirationBaselineDACTable);
}
