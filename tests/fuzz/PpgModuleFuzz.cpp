// libFuzzer target: the replies of the PPG-module, calibration-setting and register
// commands (families 0xCC, 0xB0, 0xAD), against whatever the instrument answers
// (FuzzLink.h).
//
// Parameters: [0] setting or register number, [1] channel, [2] mode or rate, [3-4] a
// 16-bit value (big-endian), [5] form.
#include <cmath>
#include <memory>

#include "FuzzLink.h"
#include "FuzzReplay.h"
#include "protocol/PPGModule.h"

namespace {

PPGCalibrationSetting Setting(const uint8_t* p) { return static_cast<PPGCalibrationSetting>(p[0]); }
unsigned short Value(const uint8_t* p) { return static_cast<unsigned short>(p[3] << 8 | p[4]); }

void CalibrationSetting(const uint8_t* p) {
    if (p[5] & 1) {
        std::unique_ptr<unsigned short> value(new unsigned short(0));
        ReadCalibrationSetting(Setting(p), value.get());
    } else {
        std::unique_ptr<unsigned char> value(new unsigned char(0));
        ReadCalibrationSetting(Setting(p), value.get());
    }
}

void Respiratory(const uint8_t* p) {
    if (p[5] & 1) {
        std::unique_ptr<int> a(new int(0)), b(new int(0));
        ReadRespiratoryBaselineSetting(a.get(), b.get());
    } else {
        std::unique_ptr<unsigned short[]> values(new unsigned short[4]());
        ReadRespiratoryModuleSetting(values.get());
    }
}

void Registers(const uint8_t* p) {
    unsigned int vref = 0;
    ReadPPGVRef(static_cast<PPGChannel>(p[1] % 5), &vref);
    unsigned short value = 0;
    FingerReadConfig(p[0], &value);
    unsigned char matrix = 0;
    ReadLEDMatrixEnableStatus(&matrix);
}

void Measurements(const uint8_t*) {
    ReadAmbientLightDC();
    GetLEDOutputFeedbackVoltageADCData();
    GetUSBBusVoltage();
    double level1 = 0, level2 = 0;
    if (ReadRLDData(&level1, &level2))
        FuzzCheck(std::isfinite(level1) && std::isfinite(level2), "finite right-leg-drive levels");
}

void Modules(const uint8_t* p) {
    PPGModuleGetSelected();
    PPGModuleSetSelected(ParamInt(p, 1));
    GetAmbientLightMode();
}

void TriggerStatus(const uint8_t*) {
    std::unique_ptr<AUTO_TRIGGER_STATUS> status(new AUTO_TRIGGER_STATUS());
    GetAutoTriggerLevelStatus(status.get());
}

void Rates(const uint8_t* p) {
    SetTransmissionRate(ParamInt(p, 2));
    UpdateMCUTransmissionRate(Value(p), p[0], static_cast<unsigned short>(Value(p) ^ 0xFF), p[1]);
    EnableDynamicLEDStrength(p[5] & 1);
}

void ACMode(const uint8_t* p) { LoadACMode(ParamInt(p, 2)); }

void Backup(const uint8_t*) { BackupFactorySetting(); }

const FuzzOp kOps[] = {
    {"setting-byte", CalibrationSetting, {1, 0, 0, 0, 0, 0}},
    {"setting-word", CalibrationSetting, {25, 0, 0, 0, 0, 1}},
    {"respiratory-module", Respiratory, {0, 0, 0, 0, 0, 0}},
    {"respiratory-baseline", Respiratory, {0, 0, 0, 0, 0, 1}},
    {"registers", Registers, {0x51, 1}},
    {"measurements", Measurements, {}},
    {"modules", Modules, {0, 1}},
    {"trigger-status", TriggerStatus, {}},
    {"rates", Rates, {2, 1, 3, 0x01, 0x20}},
    {"ac-mode", ACMode, {0, 0, 1}},
    {"backup", Backup, {}},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunScripted(data, size, kOps, sizeof kOps / sizeof kOps[0]);
}

extern "C" int NvsFuzzWriteSeeds(const char* dir) {
    return WriteScriptedSeeds(dir, kOps, sizeof kOps / sizeof kOps[0]);
}
