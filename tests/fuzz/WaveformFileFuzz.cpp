// Fuzz target: the input written to a file and loaded as auto-test item 0 without an
// instrument, with PPG inversion on and off; then every channel's samples are evaluated
// and the loaded PPG range read.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "api/nvs300.h"
#include "playback/AutoTest.h"
#include "playback/PlaybackState.h"
#include "playback/Signal.h"

namespace {

std::string InputPath() {
    static const std::string path = "/tmp/nvs-fuzz-waveform-" + std::to_string(getpid()) + ".json";
    return path;
}

void Evaluate() {
    g_nSampleRate = 10000;
    const int count = g_nECGSrcSampleCount;
    for (unsigned long long n = 0; n < 64; ++n) {
        (void)CalculateECGACVoltage(n, 0, 0);
        (void)CalculateECGDCVoltage(n);
        for (int c = 0; c < 3; ++c) {
            (void)CalculatePPGACVoltage(c, n, 0, 0);
            (void)CalculatePPGDCVoltage(c, n);
        }
    }
    (void)count;
    for (int c = 1; c <= 3; ++c) {
        double lo = 0, hi = 0;
        (void)ORVGetLoadedPPGRange(c, &lo, &hi);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = InputPath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    for (int inverted : {0, 1}) {
        ResetAutoTestState();
        ResetPlaybackState();
        AUTO_TEST_SETTING setting = {1, inverted};
        ORVAutoTestSetSetting(&setting);
        ORVAutoTestAddItemPlayRaw(1, path.c_str());
        if (PrepareAutoTestRun() != 0) {
            Evaluate();
        }
    }
    ResetAutoTestState();
    ResetPlaybackState();
    std::remove(path.c_str());
    return 0;
}
