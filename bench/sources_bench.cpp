// Playback source costs: the 60 s ECG sweep generated whole before a run (2.4 M samples
// at 40 kHz; goal 100 ms), and the waveform-file reader on 1 MB and 10 MB files (goal
// 30 MB/s), with its peak memory per file byte as a counter.
// Items processed are samples (sweep) or bytes (reader).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "playback/PlaybackState.h"
#include "playback/RawData.h"
#include "playback/Sources.h"
#include "playback/json/JSONFile.h"
#include "playback/json/JSONParser.h"
#include "playback/json/WaveformFile.h"

namespace {

void BM_ECGSweep60s(benchmark::State& state) {
    FREQUENCY_SCAN scan = {2.0, 1.0, 1000.0, 60};
    for (auto _ : state) {
        benchmark::DoNotOptimize(GenerateECGFrequencyScan(&scan, 40000));
    }
    state.SetItemsProcessed(state.iterations() * 60 * 40000);
    ResetPlaybackState();
}
BENCHMARK(BM_ECGSweep60s)->Unit(benchmark::kMillisecond);

// A file of about bytes bytes: one ECG member with "AC" and "DC" of the same length.
std::string WriteFile(size_t bytes) {
    const std::string path = "/tmp/nvs-bench-waveform-" + std::to_string(getpid()) + "-" + std::to_string(bytes);
    FILE* f = std::fopen(path.c_str(), "w");
    const size_t count = bytes / 20;
    std::fprintf(f, "{\n  \"ECGWaveform\": {\n    \"SampleRate\": 1000,\n    \"AC\": [");
    for (size_t i = 0; i < count; ++i) {
        std::fprintf(f, "%s%.4f", i ? ", " : "", 0.001 * static_cast<double>(i % 1000));
    }
    std::fprintf(f, "],\n    \"DC\": [");
    for (size_t i = 0; i < count; ++i) {
        std::fprintf(f, "%s0", i ? ", " : "");
    }
    std::fprintf(f, "]\n  }\n}\n");
    std::fclose(f);
    return path;
}

void BM_ReadWaveformFile(benchmark::State& state) {
    const std::string path = WriteFile(static_cast<size_t>(state.range(0)));
    FILE* f = std::fopen(path.c_str(), "r");
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    size_t peak = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        JSONFile file(path);
        JSONObject root(&file);
        const size_t during = mallinfo2().uordblks;
        PLAY_RAW_DATA out = {};
        benchmark::DoNotOptimize(GetWaveformNodeData(&root, "ECGWaveform", out));
        peak = std::max(peak, mallinfo2().uordblks - before);
        peak = std::max(peak, during - before);
        delete[] out.pACData;
        delete[] out.pDCData;
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["peak_bytes_per_file_byte"] = static_cast<double>(peak) / static_cast<double>(size);
    std::remove(path.c_str());
}
BENCHMARK(BM_ReadWaveformFile)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
