// libFuzzer target: the memory command's replies and the reader of every stored record
// (factory records, tables, manufacturing texts, LED settings, respiration tables) and
// the loading after a connection, against whatever the instrument answers (FuzzLink.h).
//
// Parameters: [0] memory target, [1-3] address (big-endian), [4] count or length,
// [5] channel, group or form, [6] index. Reads go into buffers of their exact size.
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "FuzzLink.h"
#include "FuzzReplay.h"
#include "api/ExternalRespiratory.h"
#include "api/PostConnection.h"
#include "protocol/Memory.h"
#include "protocol/MemoryCommand.h"
#include "protocol/RespirationTables.h"
#include "protocol/StoredRecords.h"
#include "waveform/Conversion.h"

namespace {

unsigned Address(const uint8_t* p) { return static_cast<unsigned>(p[1]) << 16 | p[2] << 8 | p[3]; }
PPGChannel Channel(const uint8_t* p) { return static_cast<PPGChannel>(p[5] % 5); }  // 0..4: two outside

void MemoryWords(const uint8_t* p) {
    const unsigned long count = p[4] % 40;
    std::unique_ptr<int[]> words(new int[count ? count : 1]);
    if (FlashRead(Address(p), p[0], words.get(), count)) {
        for (unsigned long i = 0; i < count; ++i)
            FuzzCheck(words[i] >= 0 && words[i] <= 0xFFFF, "a 16-bit word");
    }
}

void MemoryBytes(const uint8_t* p) {
    const unsigned long count = p[4] % 80;
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[count ? count : 1]);
    FlashRead(Address(p), p[0], bytes.get(), count);
}

// A failed read leaves the record as it was, unless it read a record marked not valid
// (erased), which it copies out.
void FactorySetting(const uint8_t*) {
    std::unique_ptr<FACTORY_SETTING> record(new FACTORY_SETTING());
    memset(record.get(), 0x5A, sizeof *record);
    if (!ReadFactorySetting(record.get())) {
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(record.get());
        bool untouched = true;
        for (size_t i = 0; i < sizeof *record; ++i)
            untouched = untouched && bytes[i] == 0x5A;
        FuzzCheck(untouched || record->ucValid == 0xFF, "a failed factory-record read leaves the record");
    }
}

void FactorySettingMCU(const uint8_t*) {
    std::unique_ptr<FACTORY_SETTING_MCU> record(new FACTORY_SETTING_MCU());
    ReadFactorySettingMCU(record.get());
}

void DCTable(const uint8_t* p) {
    const unsigned long count = (p[4] & 1) ? kPPGDCTableMaxValues : p[4];
    std::unique_ptr<unsigned short[]> table(new unsigned short[count ? count : 1]);
    ReadPPGDCTable(Channel(p), table.get(), count);
}

void MfgInfo(const uint8_t* p) {
    const int length = ParamInt(p, 4);
    std::unique_ptr<unsigned char[]> text(new unsigned char[length > 0 ? length : 1]);
    if (p[5] & 1)
        ReadPPGMfgInfo(text.get(), length);
    else
        ReadECGMfgInfo(text.get(), length);
}

void LEDSetting(const uint8_t* p) {
    std::unique_ptr<PPG_LED_SETTING> setting(new PPG_LED_SETTING());
    ReadPPGLEDSetting(ParamInt(p, 5), ParamInt(p, 6), setting.get());
}

void Respiration(const uint8_t* p) {
    switch (p[5] % 3) {
        case 0:
            LoadRespirationRWA();
            break;
        case 1:
            LoadRespirationRDAC3();
            break;
        default:
            LoadRespirationBaselineDACTable();
            break;
    }
}

void PDSampling(const uint8_t* p) {
    std::unique_ptr<int[]> storage(new int[g_nPPGPDSamplingCalibrationDataCount]);
    int* table = storage.get();
    ReadPPGCalibrationDataPDSampling(Channel(p), table);
}

void DCVariable(const uint8_t*) {
    std::unique_ptr<int[]> table(new int[2001]);
    ReadDCVariableCalibrationData(table.get());
}

// The loading, then what reads the loaded tables: the conversions of every stream
// sample and the external-respiration model.
void Loading(const uint8_t* p) {
    AllocatePPGPDSamplingTables();
    InititalizeAfterConnected();
    const double mv = ParamInt(p, 4) * 25.0;
    for (int channel = 0; channel < 3; ++channel)
        PPG_AC_VoltageToDAC(channel, mv / 10.0);
    PPG_DC_VoltageToDAC(mv * 10.0);
    ECG_DC_VoltageToDAC(mv);
    for (PPGChannel channel : {PPG_CHANNEL_1, PPG_CHANNEL_2, PPG_CHANNEL_3}) {
        FingerDCValueConvert(channel, mv * 10.0);
        FingerConvertedDCValueIndex(channel, static_cast<uint16_t>(p[5] << 8 | p[6]));
    }
    unsigned short words[4] = {};
    ExtRespGetAmplitudeDAC(100.0 + p[6], words);
    ExtRespGetBaselineDAC(p[5] % 16);
    ReleasePPGPDSamplingTables();
}

const FuzzOp kOps[] = {
    {"memory-words", MemoryWords, {0x13, 0x00, 0x00, 0x00, 6}},
    {"memory-bytes", MemoryBytes, {0x13, 0x00, 0x14, 0x40, 40}},
    {"factory-setting", FactorySetting, {}},
    {"factory-setting-mcu", FactorySettingMCU, {}},
    {"dc-table", DCTable, {0, 0, 0, 0, 20, 1}},
    {"mfg-info-ecg", MfgInfo, {0, 0, 0, 0, 64, 0}},
    {"mfg-info-ppg", MfgInfo, {0, 0, 0, 0, 40, 1}},
    {"led-setting", LEDSetting, {0, 0, 0, 0, 0, 2, 5}},
    {"respiration-rwa", Respiration, {0, 0, 0, 0, 0, 0}},
    {"respiration-rdac3", Respiration, {0, 0, 0, 0, 0, 1}},
    {"respiration-baseline", Respiration, {0, 0, 0, 0, 0, 2}},
    {"pd-sampling", PDSampling, {0, 0, 0, 0, 0, 1}},
    {"dc-variable", DCVariable, {}},
    {"loading", Loading, {0, 0, 0, 0, 40, 0, 60}},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunScripted(data, size, kOps, sizeof kOps / sizeof kOps[0]);
}

extern "C" int NvsFuzzWriteSeeds(const char* dir) {
    return WriteScriptedSeeds(dir, kOps, sizeof kOps / sizeof kOps[0]);
}
