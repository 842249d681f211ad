// Load-time values of the identity and capability records, and the queries on them.
#include "protocol/Protocol.h"

namespace {
constexpr MODEL_INFORMATION kPPGModelInfoAtLoad = {{0, 0}, 0, 0, 0, 0, {0, 0, 3}};
constexpr DEVICE_FEATURE kDeviceFeatureAtLoad = {1, 1, 0, 2, 1, 0, 0.75, 30.0, 100.0, 3000.0, 0.025, 30.0, 8, 8};
constexpr double kDacLevelAtLoad = 4095.0;  // 12 bits until an instrument reports more
}  // namespace

MODEL_INFORMATION g_PPGModelInfo = kPPGModelInfoAtLoad;

DEVICE_FEATURE g_DeviceFeature = kDeviceFeatureAtLoad;

double g_nECGDacLevel = kDacLevelAtLoad;
double g_nPPGDCDacLevel = kDacLevelAtLoad;
double g_nPPGACDacLevel = kDacLevelAtLoad;

uint16_t GetPPGFullModelNumber() {
    return static_cast<uint16_t>((g_PPGModelInfo.ucGeneration << 8) | g_PPGModelInfo.ucModel);
}

int GetACCalMode(PPG_WAVEFORM const* waveform) {
    if (waveform == nullptr) {
        return 0;
    }
    const double a = waveform->fAmplitude1 + 5e-5;
    if (a >= 15.0) {
        return 0;
    }
    if (a >= 1.5) {
        return 1;
    }
    return 2;
}

bool IsPPGChannel3Supported() { return g_PPGModelInfo.nLEDType[2] != 3; }

void ResetProtocolCapabilityState() {
    g_PPGModelInfo = kPPGModelInfoAtLoad;
    g_DeviceFeature = kDeviceFeatureAtLoad;
    g_nECGDacLevel = g_nPPGDCDacLevel = g_nPPGACDacLevel = kDacLevelAtLoad;
}
