// Calibration streams: one 50-packet batch per send function and operator mode, built
// without writing (with the allocations made while building), then a calibration stream
// against the emulated instrument consuming at the real rate for --seconds=N (default
// 60): the underruns the instrument counted and the time from each data request to the
// arrival of its batch (p99 and max), against the play time of a batch.
//
//   calibration_bench --seconds=20 --benchmark_filter='BM_Stream'
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "api/nvs300.h"
#include "output/LockedExchange.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "platform/linux/DeviceSeam.h"
#include "playback/PlayControl.h"
#include "playback/PlayRaw.h"
#include "playback/PlayThreads.h"
#include "protocol/Identity.h"
#include "protocol/Protocol.h"
#include "service/CalibrationStream.h"
#include "service/ConvertTable.h"

// Allocations of the whole process, counted while a batch is built. The replacement
// operators pair malloc with free, which GCC cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
static std::atomic<uint64_t> s_allocations{0};
void* operator new(size_t n) {
    ++s_allocations;
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    ++s_allocations;
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

int g_seconds = 60;

PPG_WAVEFORM Codes(double a1, double dcLevel, double a2 = 0.0) {
    PPG_WAVEFORM w = {};
    w.fAmplitude1 = a1;
    w.fDCLevel = dcLevel;
    w.fAmplitude2 = a2;
    w.nSyncPulse = 1;
    return w;
}

void IdentityTables() {
    for (PPGChannel c : {PPG_CHANNEL_1, PPG_CHANNEL_2}) {
        UpdateACConvertTable(c, 0);
        UpdateDCConvertTable(c, 0);
    }
}

// A converted cycle on both channels: one second of a slow ramp at 10000 per second.
void ConvertedCycles() {
    std::vector<double> ac(10000), dc(10000, 100.0);
    for (size_t i = 0; i < ac.size(); ++i) {
        ac[i] = 10.0 * static_cast<double>(i) / 10000.0;
    }
    PLAY_RAW_DATA data{10000.0, 10000, 1, ac.data(), dc.data(), nullptr};
    calibration::LoadRawPPG(1, data, 10000);
    calibration::LoadRawPPG(2, data, 10000);
}

// range(0): method 2..5, range(1): operator mode.
void BM_Batch(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    calibration::ResetCalibrationStreamState();
    IdentityTables();
    ConvertedCycles();
    calibration::g_PPGCalibrationWaveform[0] = Codes(100, 50, 3);
    calibration::g_PPGCalibrationWaveform[1] = Codes(2000, 7, 2);
    g_nOperatorMode = static_cast<int>(state.range(1));
    unsigned char batch[50 * 64];
    int seq = 0;
    int more = 1;
    uint64_t allocations = 0;
    int built = 0;
    for (auto _ : state) {
        const uint64_t before = s_allocations.load();
        built = BuildCalibrationBatch(method, seq, 50, more, batch);
        allocations += s_allocations.load() - before;
        benchmark::DoNotOptimize(batch);
    }
    state.counters["packets"] = built;
    state.counters["allocations_per_batch"] =
        static_cast<double>(allocations) / static_cast<double>(std::max<int64_t>(1, state.iterations()));
    g_nOperatorMode = 0;
    calibration::ResetCalibrationStreamState();
}

struct Rig {
    nvsemu::Emulator emulator;
    std::shared_ptr<nvsemu::Firmware> firmware;
    std::string dir;
    bool Up(const nvsemu::Profile& profile) {
        if (!emulator.Start()) {
            return false;
        }
        firmware = std::make_shared<nvsemu::Firmware>(profile);
        emulator.SetResponder(firmware);
        char pattern[] = "/tmp/nvs-calibration-bench-XXXXXX";
        dir = mkdtemp(pattern);
        DeviceSeamSetNodePattern((dir + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(dir.c_str());
        DeviceSetTargetCheck(IsTargetDevice);
        return emulator.LinkAs(dir + "/ttyACM0") && FindDevice(0) == 1;
    }
    ~Rig() {
        DeviceClose();
        emulator.Stop();
        if (!dir.empty()) {
            std::system(("rm -rf '" + dir + "'").c_str());
        }
    }
};

// range(0): method (2 one channel, 20 both channels, 3, 4, 5).
void BM_Stream(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    Rig rig;
    if (!rig.Up(nvsemu::Profile::WithPpgYB2001())) {
        state.SkipWithError("no connection to the emulator");
        return;
    }
    auto requestLateMaxUs = std::make_shared<std::atomic<uint64_t>>(0);
    rig.firmware->SetStreamHook([requestLateMaxUs](const nvsemu::StreamEvent& e) {
        if (e.kind == nvsemu::StreamEvent::Kind::DataRequest && e.atUs > e.dueUs) {
            requestLateMaxUs->store(std::max(requestLateMaxUs->load(), e.atUs - e.dueUs));
        }
    });
    calibration::ResetCalibrationStreamState();
    PPG_WAVEFORM r1 = Codes(100, 1000, 300), r2 = Codes(2000, 500, 200);
    int started = 0;
    for (auto _ : state) {
        {
            CAutoCriticalSection lock(g_CriticalSection);
            PlayRawStop(0);
            switch (method) {
                case 2:
                    started = CalibrationMethod2(PPG_CHANNEL_1, &r1);
                    break;
                case 20:
                    started = CalibrationMethod2Ex(&r1, &r2);
                    break;
                case 3: {
                    std::vector<double> ac(1000, 5.0), dc(1000, 100.0);
                    PLAY_RAW_DATA d{1000.0, 1000, 1, ac.data(), dc.data(), nullptr};
                    started = CalibrationMethod3Ex(d, d, 0, 0, 1, 1);
                    break;
                }
                case 4:
                    started = CalibrationMethod4(&r1, &r2, 1, 1);
                    break;
                default:
                    started = CalibrateMethod5(&r1, &r2, 1, 1);
                    break;
            }
        }
        const uint64_t end = GetMonotonicMs() + static_cast<uint64_t>(g_seconds) * 1000;
        while (started && GetMonotonicMs() < end) {
            SleepEx(100);
        }
        CAutoCriticalSection lock(g_CriticalSection);
        PlayRawStop(0);
    }
    output::WaitForLockedExchanges();
    if (!started) {
        state.SkipWithError("the calibration stream did not start");
        return;
    }
    const nvsemu::StreamStatus s = rig.firmware->GetStreamStatus();
    state.counters["mode"] = s.mode;
    state.counters["rate"] = s.rate;
    state.counters["packets"] = static_cast<double>(s.counters.packets);
    state.counters["underruns"] = static_cast<double>(s.counters.underruns);
    state.counters["starved_ms"] = s.counters.starvedUs / 1000.0;
    state.counters["overflows"] = static_cast<double>(s.counters.overflows);
    state.counters["check_failures"] = static_cast<double>(s.counters.checkFailures);
    state.counters["request_late_max_ms"] = static_cast<double>(requestLateMaxUs->load()) / 1000.0;
    std::vector<double> latencyMs;
    for (uint64_t us : rig.firmware->BatchLatenciesUs()) {
        latencyMs.push_back(us / 1000.0);
    }
    std::sort(latencyMs.begin(), latencyMs.end());
    state.counters["latency_p99_ms"] = latencyMs.empty() ? 0 : latencyMs[latencyMs.size() * 99 / 100];
    state.counters["latency_max_ms"] = latencyMs.empty() ? 0 : latencyMs.back();
    const nvsemu::StreamLayout layout = nvsemu::LayoutOf(s.mode);
    state.counters["deadline_ms"] =
        layout.samplesPerPacket && s.rate ? 50.0 * static_cast<double>(layout.samplesPerPacket) * 1000.0 / s.rate : 0;
    calibration::ResetCalibrationStreamState();
}

void BatchCases(benchmark::internal::Benchmark* b) {
    const int cases[][2] = {{2, 2}, {2, 4}, {2, 6}, {3, 2},  {3, 4}, {3, 6}, {3, 14},
                            {4, 2}, {4, 4}, {4, 6}, {4, 14}, {5, 2}, {5, 4}, {5, 6}};
    for (const auto& c : cases) {
        b->Args({c[0], c[1]});
    }
}

}  // namespace

BENCHMARK(BM_Batch)->Apply(BatchCases)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stream)->Arg(2)->Arg(20)->Arg(3)->Arg(4)->Arg(5)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
    // --seconds=N: the length of each stream (taken out before the benchmark's own options).
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "--seconds=", 10) == 0) {
            g_seconds = std::max(1, std::atoi(argv[i] + 10));
        } else {
            rest.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
