// Load-time values of the identity and capability records, and the queries on them.
#include "protocol/Protocol.h"

MODEL_INFORMATION g_PPGModelInfo = {{0, 0}, 0, 0, 0, 0, {0, 0, 3}};

DEVICE_FEATURE g_DeviceFeature = {1, 1, 0, 2, 1, 0, 0.75, 30.0, 100.0, 3000.0, 0.025, 30.0, 8, 8};

double g_nECGDacLevel = 4095.0;
double g_nPPGDCDacLevel = 4095.0;
double g_nPPGACDacLevel = 4095.0;

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
