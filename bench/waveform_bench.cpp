// Waveform model costs: one period of generation per shape, and the per-sample code
// conversions that the stream packet builders run for every output sample (40,000 ECG
// samples per second; 10,000 mixed samples per second of 7 code words each).
// Items processed are samples: the report's items_per_second gives ns per sample.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "WaveformRecords.h"
#include "protocol/Protocol.h"
#include "waveform/Alignment.h"
#include "waveform/Conversion.h"
#include "waveform/Waveform.h"

namespace {

// 75 beats per minute (800 ms).
ECG_WAVEFORM Beat(double rateKHz) { return records::EcgBeat(800, rateKHz); }

PPG_WAVEFORM Pulse(double rateKHz) {
    PPG_WAVEFORM w = records::PpgPulse(3, rateKHz, 800, 10.0);
    w.fDCLevel = 1000;
    return w;
}

// One ECG beat period at 40 kHz (32,000 samples), both forms.
void BM_GenECGBeatPeriod(benchmark::State& state) {
    const ECG_WAVEFORM w = Beat(40.0);
    int n = 0;
    for (auto _ : state) {
        double* ac = nullptr;
        double* dc = nullptr;
        GenECGWaveform(&w, &n, &ac, &dc, true);
        benchmark::DoNotOptimize(ac);
        delete[] ac;
        delete[] dc;
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_GenECGBeatPeriod);

// One PPG pulse period at 10 kHz (8,000 samples), rotated as the ECG+PPG play does.
void BM_GenPPGPulsePeriodAligned(benchmark::State& state) {
    ECG_WAVEFORM ecg = Beat(10.0);
    const PPG_WAVEFORM w = Pulse(10.0);
    PPG_WAVEFORM copy = w;
    const int start = CalcPPGStartPoint(&ecg, &copy, 200);
    int n = 0;
    for (auto _ : state) {
        double* ac = nullptr;
        double* dc = nullptr;
        GenPPGWaveform(&w, &n, &ac, &dc, 0.0);
        ShiftPPGWaveformData(ac, n, start);
        ShiftPPGWaveformData(dc, n, start);
        benchmark::DoNotOptimize(ac);
        delete[] ac;
        delete[] dc;
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_GenPPGPulsePeriodAligned);

std::vector<double> Millivolts(int n, double lo, double hi) {
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        v[static_cast<size_t>(i)] = lo + (hi - lo) * i / n;
    }
    return v;
}

// ECG stream: one AC and one DC word per sample.
void BM_ECGSampleCodes(benchmark::State& state) {
    const std::vector<double> ac = Millivolts(4096, -5.0, 5.0);
    const std::vector<double> dc = Millivolts(4096, -300.0, 300.0);
    for (auto _ : state) {
        uint32_t sum = 0;
        for (size_t i = 0; i < ac.size(); ++i) {
            sum += ECG_AC_VoltageToDAC(ac[i]);
            sum += ECG_DC_VoltageToDAC(dc[i]);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ac.size()));
}
BENCHMARK(BM_ECGSampleCodes);

// Mixed stream: ECG AC and DC, and AC and DC (plus the range lookups of model 0x2112)
// for PPG channels 1 to 3 with one shared DC: 7 words per sample.
void BM_MixedSampleCodes(benchmark::State& state) {
    const bool model2112 = state.range(0) != 0;
    const MODEL_INFORMATION saved = g_PPGModelInfo;
    const DEVICE_FEATURE savedFeature = g_DeviceFeature;
    if (model2112) {
        g_PPGModelInfo.ucGeneration = 0x21;
        g_PPGModelInfo.ucModel = 0x12;
        g_DeviceFeature.fACMaximum = 300.0;
    }
    const std::vector<double> ecg = Millivolts(4096, -5.0, 5.0);
    const std::vector<double> ppg = Millivolts(4096, 0.0, 20.0);
    const std::vector<double> level = Millivolts(4096, 500.0, 1500.0);
    for (auto _ : state) {
        uint32_t sum = 0;
        for (size_t i = 0; i < ecg.size(); ++i) {
            sum += ECG_AC_VoltageToDAC(ecg[i]);
            sum += ECG_DC_VoltageToDAC(0.0);
            sum += PPG_AC_VoltageToDAC(0, ppg[i]);
            sum += PPG_AC_VoltageToDAC(1, ppg[i]);
            sum += PPG_AC_VoltageToDAC(2, ppg[i]);
            sum += PPG_DC_VoltageToDAC(level[i]);
            sum += PPG_DC_VoltageToDAC(level[i] + 100.0);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ecg.size()));
    g_PPGModelInfo = saved;
    g_DeviceFeature = savedFeature;
}
BENCHMARK(BM_MixedSampleCodes)->Arg(0)->Arg(1);

// Finger conversion of a loaded PPG stream sample (model 0x2012).
void BM_FingerConversion(benchmark::State& state) {
    const MODEL_INFORMATION saved = g_PPGModelInfo;
    g_PPGModelInfo.ucGeneration = 0x20;
    g_PPGModelInfo.ucModel = 0x12;
    const std::vector<double> ac = Millivolts(4096, 0.0, 25.0);
    const std::vector<double> dc = Millivolts(4096, 100.0, 2500.0);
    for (auto _ : state) {
        double sum = 0;
        for (size_t i = 0; i < ac.size(); ++i) {
            sum += FingerACValueConvert(ac[i]);
            sum += FingerDCValueConvert(PPG_CHANNEL_1, dc[i]);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ac.size()));
    g_PPGModelInfo = saved;
}
BENCHMARK(BM_FingerConversion);

}  // namespace
BENCHMARK_MAIN();
