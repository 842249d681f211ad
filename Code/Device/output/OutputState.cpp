// The output state shared by the starts and the thread bodies. Plain data with constant
// initialisation only: nothing here has a run-time constructor.
#include "output/Output.h"

namespace {
constexpr int kSamplingTimeMs = 20;
constexpr int kPPGOutputChannelAtLoad = 1;
}  // namespace

ECG_WAVEFORM g_ECGWaveform = {};
PPG_WAVEFORM g_PPGChannelWaveform[3] = {};
PFN_SAMPLE_CALLBACK g_OutputECGCallback = nullptr;
PFN_SAMPLE_CALLBACK g_OutputPPGChannelCallback[3] = {nullptr, nullptr, nullptr};
int g_iTimeDiffPPTPeak = 0;
int g_iSamplingTime = kSamplingTimeMs;
uint8_t g_LastOutputEnable = 0;
int g_iPPGOutputChannelNo = kPPGOutputChannelAtLoad;
std::atomic<THREAD_HANDLE> g_hOutputWaveformThread{0};

void ResetOutputState() {
    g_ECGWaveform = {};
    for (PPG_WAVEFORM& w : g_PPGChannelWaveform) {
        w = {};
    }
    g_OutputECGCallback = nullptr;
    for (PFN_SAMPLE_CALLBACK& c : g_OutputPPGChannelCallback) {
        c = nullptr;
    }
    g_iTimeDiffPPTPeak = 0;
    g_iSamplingTime = kSamplingTimeMs;
    g_LastOutputEnable = 0;
    g_iPPGOutputChannelNo = kPPGOutputChannelAtLoad;
}
