// The output state shared by the starts and the thread bodies. Plain data with constant
// initialisation only: nothing here has a run-time constructor.
#include "output/Output.h"

ECG_WAVEFORM g_ECGWaveform = {};
PPG_WAVEFORM g_PPGChannelWaveform[3] = {};
PFN_SAMPLE_CALLBACK g_OutputECGCallback = nullptr;
PFN_SAMPLE_CALLBACK g_OutputPPGChannelCallback[3] = {nullptr, nullptr, nullptr};
int g_iTimeDiffPPTPeak = 0;
int g_iSamplingTime = 20;
uint8_t g_LastOutputEnable = 0;
int g_iPPGOutputChannelNo = 1;
std::atomic<THREAD_HANDLE> g_hOutputWaveformThread{0};
