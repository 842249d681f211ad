// The simulated output's pacing over a long run of ORVOutputECGAndPPG3 against the
// emulated instrument: callbacks per second per channel (goal 1000 +- 0.1 %), drift of
// the simulated clock t against wall time, and the output thread's CPU time per second
// of output. Then the same with a slow host callback, to show what the one-mark rule
// costs: a tick whose work outlasts the 20 ms period merges the marks that came
// meanwhile, and the simulated clock falls behind for good.
//
//   slow = 0: callbacks that only count
//   slow = 1: the ECG callback takes 5 ms on every call (100 ms of work per 20 ms tick)
//   slow = 2: the ECG callback takes 5 ms once per tick (on the first sample of a burst)
//
// NVS_BENCH_SECONDS sets the run length (default 60).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "Emulator.h"
#include "Firmware.h"
#include "WaveformRecords.h"
#include "api/nvs300.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/linux/DeviceSeam.h"
#include "protocol/Identity.h"

namespace {

// Samples come in bursts of 20 per tick: rates and drift are taken at the first sample
// of a burst, so that the last burst, delivered at once, does not bias them.
struct ChannelStats {
    std::atomic<uint64_t> calls{0};
    std::atomic<double> firstWall{0};
    std::atomic<uint64_t> burstIndex{0};  // sample number of the latest burst's first sample
    std::atomic<double> burstWall{0}, burstT{0};
};

ChannelStats g_stats[4];
std::atomic<int> g_slow{0};
std::atomic<double> g_cpuFirst{-1}, g_cpuLast{0};

double WallNow() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double ThreadCpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

template <int N>
void Count(double t, int ac, int dc) {
    if (ac == static_cast<int>(0x80000000u) && dc == static_cast<int>(0x80000000u)) {
        return;
    }
    ChannelStats& s = g_stats[N];
    const double now = WallNow();
    const uint64_t index = s.calls.fetch_add(1);
    if (index == 0) {
        s.firstWall = now;
    }
    if (index % 20 == 0) {
        s.burstIndex = index;
        s.burstWall = now;
        s.burstT = t;
    }
    if (N == 0) {
        // The ECG callback runs on the output thread: its CPU clock is the library's.
        const double cpu = ThreadCpuNow();
        if (g_cpuFirst < 0) {
            g_cpuFirst = cpu;
        }
        g_cpuLast = cpu;
        const uint64_t k = s.calls.load();
        if (g_slow == 1 || (g_slow == 2 && k % 20 == 1)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

// 60 beats per minute.
ECG_WAVEFORM Ecg() {
    ECG_WAVEFORM e = records::EcgBeat(1000);
    e.nPacingRate = 60;
    return e;
}

PPG_WAVEFORM Ppg(double hz) {
    PPG_WAVEFORM p = records::PpgPulse(3, 1.0, 1000 / hz, 20.0);
    p.fDCLevel = 800.0;
    p.nSyncPulse = 1;
    return p;
}

void BM_OutputECGAndPPG3(benchmark::State& state) {
    const int seconds = std::getenv("NVS_BENCH_SECONDS") ? std::atoi(std::getenv("NVS_BENCH_SECONDS")) : 60;
    g_slow = static_cast<int>(state.range(0));

    nvsemu::Emulator emulator;
    if (!emulator.Start()) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    auto firmware = std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpgYB2001());
    // Light all three PPG channels, so that all four callbacks are simulated.
    std::array<uint8_t, 57> block = firmware->ControlBlock();
    block[36] = 4;
    block[37] = 2;
    block[38] = 1;
    firmware->SetControlBlock(block);
    emulator.SetResponder(firmware);
    char pattern[] = "/tmp/nvs-output-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    DeviceSeamSetNodePattern((dir + "/ttyACM%d").c_str());
    DeviceSeamSetLockDirectory(dir.c_str());
    DeviceSetTargetCheck(IsTargetDevice);  // the identity handshake, as a connection runs it
    if (!emulator.LinkAs(dir + "/ttyACM0") || FindDevice(0) != 1) {
        state.SkipWithError("no connection to the emulator");
        return;
    }

    for (auto _ : state) {
        for (ChannelStats& s : g_stats) {
            s.calls = 0;
        }
        g_cpuFirst = -1;
        ECG_WAVEFORM ecg = Ecg();
        PPG_WAVEFORM p1 = Ppg(1.0), p2 = Ppg(1.25), p3 = Ppg(0.8);
        if (!ORVOutputECGAndPPG3(200, &ecg, &p1, &p2, &p3, Count<0>, Count<1>, Count<2>, Count<3>)) {
            state.SkipWithError("the output did not start");
            break;
        }
        SleepEx(static_cast<unsigned int>(seconds) * 1000u);
        ORVStopOutputWaveform();
    }

    const ChannelStats& e = g_stats[0];
    const double wall = e.burstWall - e.firstWall;
    for (int c = 0; c < 4; ++c) {
        const ChannelStats& s = g_stats[c];
        const double span = s.burstWall - s.firstWall;
        state.counters["calls_per_s_ch" + std::to_string(c)] = span > 0 ? s.burstIndex / span : 0;
    }
    // Positive: the simulated clock lags behind wall time by this much over the run.
    state.counters["drift_ms"] = 1000.0 * (wall - e.burstT);
    state.counters["drift_ms_per_min"] = wall > 0 ? 60000.0 * (wall - e.burstT) / wall : 0;
    state.counters["thread_cpu_ms_per_s"] = wall > 0 ? 1000.0 * (g_cpuLast - g_cpuFirst) / wall : 0;

    DeviceClose();
    emulator.Stop();
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace

BENCHMARK(BM_OutputECGAndPPG3)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
