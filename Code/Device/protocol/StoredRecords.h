// The records the library stores in the instrument's memory, by target and address.
//
// Memory map (target 0x13, the PPG side, unless stated). Different module families use
// overlapping parts of 0x1480 onwards for different records; each record is used only
// on the modules named.
//   0x0000 (0x01 and 0x13)  identity record, 12 bytes
//   0x0400 / 0x0C00         photodiode-sampling tables of channels 1 / 2, 1024 words (YB modules)
//   0x1400                  FACTORY_SETTING, 64 bytes (read as 512)
//   0x1440                  PPG manufacturing information, up to 64 bytes
//   0x1480                  FACTORY_SETTING_MCU, 256 bytes (model 0x2112)
//   0x1480 + 32 (c - 1)     photodiode ratio rows, 8 floats (models 0x2012, 0x2014)
//   0x1480                  respiration RWA record, 64 bytes (external-respiration module)
//   0x14C0                  respiration baseline DAC table, 12 words (same)
//   0x1500                  respiration RDAC3 table, 96 doubles (same)
//   0x1500 + 0x400 g + 32 i PPG_LED_SETTING of group g (0..8), index i (0..31)
//   0x1600 / 0x3600 / 0x5600 PPG DC tables of channels 1..3, 8192 bytes (model 0x2112)
//   0x10000 (0x12)          ECG DC-variable calibration table, 2001 words
//   0x12000 (0x12)          ECG manufacturing information, up to 64 bytes
// Erased memory reads 0xFF bytes (0xFFFF words); the clear operations write that.
// Byte-form records keep the host's little-endian layout; word tables are big-endian.
//
// Owns: the record layouts and the operations on them. Callers hold g_CriticalSection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/nvs300.h"
#include "protocol/Memory.h"

// Factory backup of the LED and trigger-level calibration settings (64 bytes).
typedef struct FACTORY_SETTING {
    uint8_t ucValid;         // 1: a backup is stored; 0xFF: erased
    uint8_t ucLevelLow[6];   // low bytes of settings 1, 2, 3, 4, 18, 19
    uint8_t ucLevelHigh[6];  // high bytes of settings 1, 2, 18, 3, 4, 19
    uint8_t ucReserved[51];  // carried over from the record read before the backup
} FACTORY_SETTING;

static_assert(sizeof(FACTORY_SETTING) == 64, "FACTORY_SETTING is 64 bytes");
static_assert(offsetof(FACTORY_SETTING, ucLevelHigh) == 7, "FACTORY_SETTING layout");
static_assert(offsetof(FACTORY_SETTING_MCU, usACFullScaleDAC) == 18 &&
                  offsetof(FACTORY_SETTING_MCU, usRateLEDSetting) == 36 &&
                  offsetof(FACTORY_SETTING_MCU, usRateParamSetting) == 72 &&
                  offsetof(FACTORY_SETTING_MCU, fPDRatio) == 108,
              "FACTORY_SETTING_MCU layout, stored byte for byte");

static_assert(sizeof(PPG_LED_SETTING) == 32, "PPG_LED_SETTING is 32 bytes");

constexpr int kPPGDCTableMaxValues = 4096;   // 8192 bytes per channel
constexpr int kPPGLEDSettingsPerGroup = 32;  // 0x400 bytes of 32-byte settings

bool ReadPPGCalibrationDataPDSampling(PPGChannel channel, int*& table);
bool WritePPGCalibrationDataPDSampling(PPGChannel channel, int* table, unsigned long count);
bool ClearPPGCalibrationDataPDSampling();
bool ClearPPGCalibrationDataPDSamplingEx(PPGChannel channel);

bool ReadDCVariableCalibrationData(int* table);
bool WriteDCVariableCalibrationData(int* table);
bool ClearDCVariableCalibrationData();

// True only when the read worked and the record is not erased (an erased record is still
// copied out: 64 bytes of 0xFF). A failed read leaves the record untouched.
bool ReadFactorySetting(FACTORY_SETTING* record);
bool WriteFactorySetting(FACTORY_SETTING* record);
bool ClearFactorySetting();
bool ReadFactorySettingMCU(FACTORY_SETTING_MCU* record);
bool WriteFactorySettingMCU(FACTORY_SETTING_MCU* record);

// Channels 1..3 and at most 4096 values; anything else is refused without traffic.
bool ReadPPGDCTable(PPGChannel channel, unsigned short* table, unsigned long count);
bool WritePPGDCTable(PPGChannel channel, unsigned short* table, unsigned long count);

// min(length, 64) bytes; a negative length is refused.
bool ReadECGMfgInfo(unsigned char* data, int length);
bool WriteECGMfgInfo(unsigned char* data, int length);
bool ReadPPGMfgInfo(unsigned char* data, int length);
bool WritePPGMfgInfo(unsigned char* data, int length);

// 0x1500 + 0x400 x group for groups 0..8, 0 otherwise.
unsigned int GetPPGLEDSettingBaseAddress(int group);
// Groups 0..8, indexes 0..31; anything else is refused without traffic.
bool ReadPPGLEDSetting(int group, int index, PPG_LED_SETTING* setting);
bool WritePPGLEDSetting(int group, int index, PPG_LED_SETTING* setting);

// External-respiration calibration (RespirationTables.h holds the host copies).
bool LoadRespirationRWA();
bool WriteRespirationRWA(double* coefficients);
bool LoadRespirationRDAC3();
bool WriteRespirationRDAC3(double* table);
bool LoadRespirationBaselineDACTable();
bool WriteRespirationBaselineDACTable(unsigned short* table);

// ---- Pure codec (no port) --------------------------------------------------------------

// The marker that opens a stored RWA record.
constexpr double kRespirationRWAMarker = 0.60991;
// The 64-byte RWA record: marker, four coefficients, zeros.
void BuildRespirationRWA(const double* coefficients, uint8_t* record);
// The four coefficients of a stored record; false when the marker is not exactly there.
bool ParseRespirationRWA(const uint8_t* record, double* coefficients);
