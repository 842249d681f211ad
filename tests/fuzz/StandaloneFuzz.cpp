// libFuzzer target: the read-back of a standalone slot (the ROM bytes answered one
// request late, the control block and the waveform settings) and the control-block and
// waveform-setting readers it is built from, against whatever the instrument answers
// (FuzzLink.h).
//
// Parameters: [0] slot, [1] slot type, [2] ROM address, [3] PPG channel.
#include <cstring>
#include <memory>

#include "FuzzLink.h"
#include "FuzzReplay.h"
#include "protocol/ControlBlock.h"
#include "protocol/StandaloneMode.h"
#include "protocol/WaveformSetting.h"

namespace {

void ReadBack(const uint8_t* p) {
    std::unique_ptr<ECG_WAVEFORM> ecg(new ECG_WAVEFORM());
    std::unique_ptr<PPG_WAVEFORM> ppg1(new PPG_WAVEFORM()), ppg2(new PPG_WAVEFORM()), ppg3(new PPG_WAVEFORM());
    int transit = 0;
    const int r =
        ReadWaveformFromStandaloneMode(ParamInt(p, 0), p[1], &transit, ecg.get(), ppg1.get(), ppg2.get(), ppg3.get());
    FuzzCheck(r >= 0 && r <= 10, "a slot result");
}

void SlotType(const uint8_t* p) {
    ReadStandaloneModeType(ParamInt(p, 0));
    unsigned char value = 0;
    ReadFromROM(ParamInt(p, 2), &value);
}

void ControlBlock(const uint8_t*) {
    std::unique_ptr<_DEVICE_CONTROL_SETTING> block(new _DEVICE_CONTROL_SETTING());
    ReadDeviceControlSetting(block.get());
    std::unique_ptr<PPG_LED_PULSE_GROUP_SETTING> group(new PPG_LED_PULSE_GROUP_SETTING());
    GetLEDPulseGroupSetting(group.get());
}

void Settings(const uint8_t* p) {
    std::unique_ptr<ECG_WAVEFORM> ecg(new ECG_WAVEFORM());
    int transit = 0;
    ReadWaveformInfo(ecg.get(), &transit);
    std::unique_ptr<PPG_WAVEFORM> ppg(new PPG_WAVEFORM());
    ReadWaveformInfo(static_cast<PPGChannel>(p[3] % 5), ppg.get());
}

const FuzzOp kOps[] = {
    {"read-back-ecg", ReadBack, {1, 1}}, {"read-back-pwv", ReadBack, {2, 7}}, {"read-back-spo2", ReadBack, {3, 8}},
    {"slot-type", SlotType, {1, 0, 2}},  {"control-block", ControlBlock, {}}, {"settings", Settings, {0, 0, 0, 2}},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunScripted(data, size, kOps, sizeof kOps / sizeof kOps[0]);
}

extern "C" int NvsFuzzWriteSeeds(const char* dir) {
    return WriteScriptedSeeds(dir, kOps, sizeof kOps / sizeof kOps[0]);
}
