// libFuzzer target: the connect handshake and the identity decoding against whatever the
// instrument answers (FuzzLink.h: the input scripts every reply).
//
// Parameters: [0-3] the handshake's serial filter (little-endian), [4] the module asked.
#include <cmath>
#include <cstring>

#include "FuzzLink.h"
#include "FuzzReplay.h"
#include "protocol/Identity.h"
#include "protocol/Protocol.h"

namespace {

int Module(const uint8_t* p) { return p[4] & 1; }

void Handshake(const uint8_t* p) {
    int32_t filter = 0;
    memcpy(&filter, p, sizeof filter);
    g_iTargetDeviceSerialNumber = filter;
    IsTargetDevice();
    FuzzCheck(g_DeviceFeature.nPPGChannelNumber >= 0 && g_DeviceFeature.nPPGChannelNumber <= 3,
              "PPG channel count within 0..3");
}

void Update(const uint8_t*) {
    UpdateDeviceInformation();
    GetECGRespirationType();
    IsPPGChannel3Simulated();
    IsPPGChannel3Supported();
    GetPPGFullModelNumber();
}

void ModelInfo(const uint8_t* p) {
    MODEL_INFORMATION record = {};
    if (GetModelInfo(Module(p), &record)) {
        UpdatePPGLedTypeByModelNumber(&record);
        for (int led : record.nLEDType)
            FuzzCheck(led >= 0 && led <= 3, "LED type within 0..3");
    }
}

void HardwareInfo(const uint8_t* p) {
    HW_INFORMATION info = {};
    DoGetHWInfo(Module(p), &info);
    DoGetExtModuleInfo(Module(p), &info);
}

void DacLevel(const uint8_t* p) {
    double level = 0;
    if (DoGetHWDacLevel(Module(p), &level))
        FuzzCheck(std::isfinite(level), "a finite DAC level");
}

void FpgaAlive(const uint8_t*) { IsFPGAAlive(); }

const FuzzOp kOps[] = {
    {"handshake", Handshake, {0, 0, 0, 0, 0}},
    {"handshake-serial", Handshake, {0x11, 0, 0, 0, 0}},
    {"update", Update, {}},
    {"model-main", ModelInfo, {0, 0, 0, 0, 0}},
    {"model-ppg", ModelInfo, {0, 0, 0, 0, 1}},
    {"hardware", HardwareInfo, {0, 0, 0, 0, 1}},
    {"dac-level", DacLevel, {0, 0, 0, 0, 0}},
    {"fpga-alive", FpgaAlive, {}},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return RunScripted(data, size, kOps, sizeof kOps / sizeof kOps[0]);
}

extern "C" int NvsFuzzWriteSeeds(const char* dir) {
    return WriteScriptedSeeds(dir, kOps, sizeof kOps / sizeof kOps[0]);
}
