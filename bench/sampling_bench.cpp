// Photodiode sampling: the decoder's cost per packet in every mode with every callback
// set (goal: at most 0.5 µs), and against the emulator: a mode-15 stream of 1000
// packets per second for 10 s (every packet delivered, no gap report, written to the
// port -> callback p99 at most 2 ms, the sampling thread's share of a core at most 2 %,
// the reply queue flat), the time
// ORVDisableSampling takes while streaming (goal: median at most 50 ms) and with the
// instrument silent (at most 1.5 s), and the spacing of the FPGA mean reports (500 to
// 550 ms).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "api/nvs300.h"
#include "platform/Device.h"
#include "platform/Transport.h"
#include "platform/linux/DeviceSeam.h"
#include "sampling/Sampling.h"
#include "sampling/SamplingApi.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> g_sink{0};
void Sink(int value, int count) { g_sink.fetch_add(value + count, std::memory_order_relaxed); }

void BM_DecodePacket(benchmark::State& state) {
    const uint8_t mode = static_cast<uint8_t>(state.range(0));
    uint8_t packet[64] = {0xAD, 0xFF, 0x00, 0xFF, mode, 54, 0, 0};
    for (int i = 8; i < 64; ++i)
        packet[i] = static_cast<uint8_t>(i % 4 == 0 ? 1 : i);  // distinct values, small counts
    SamplingMap map;
    map.fpga = true;
    map.hasTable[0] = map.hasTable[1] = true;
    map.ratio[0] = map.ratio[1] = 0.97f;
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < kSamplingTableEntries; ++i)
            map.table[c][i] = i;
    SamplingTargets targets;
    for (auto& cb : targets.data)
        cb = Sink;
    targets.error = [](int) {};
    SamplingSequence sequence;
    uint16_t number = 0;
    for (auto _ : state) {
        packet[6] = static_cast<uint8_t>(number >> 8);
        packet[7] = static_cast<uint8_t>(number++);
        benchmark::DoNotOptimize(CSampling::ProcessPacket(packet, targets, &sequence, map));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodePacket)->Arg(1)->Arg(2)->Arg(3)->Arg(4)->Arg(5)->Arg(8)->Arg(10)->Arg(12)->Arg(15);

// The firmware model, noting when each stream packet went to the port (by its number).
constexpr size_t kTimedPackets = 1 << 15;
std::atomic<uint64_t> g_writtenUs[kTimedPackets];
std::atomic<uint64_t> g_heardUs[kTimedPackets];

class TimedFirmware : public nvsemu::Firmware {
public:
    using nvsemu::Firmware::Firmware;
    std::vector<std::vector<uint8_t>> Unsolicited(uint64_t nowUs, uint64_t* nextUs) override {
        std::vector<std::vector<uint8_t>> packets = nvsemu::Firmware::Unsolicited(nowUs, nextUs);
        const uint64_t at = nvsemu::NowUs();  // the I/O thread writes them right after this
        for (const auto& p : packets)
            g_writtenUs[static_cast<size_t>(p[6] << 8 | p[7]) % kTimedPackets].store(at);
        return packets;
    }
};

// An emulated instrument at main hardware 5 linked in a folder of its own.
struct Bench {
    Bench() {
        char pattern[] = "/tmp/nvs-sampling-bench-XXXXXX";
        folder = mkdtemp(pattern);
        DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(folder.c_str());
        nvsemu::Profile p = nvsemu::Profile::WithPpgYB2001();
        p.main.hwMajor = 5;
        fw = std::make_shared<TimedFirmware>(p);
        emulator.Start();
        emulator.SetResponder(fw);
        emulator.LinkAs(folder + "/ttyACM0");
        InstallSamplingEntries();
        connected = ORVConnect(0, 20000);
    }
    ~Bench() {
        ORVDisableSampling();
        ORVFree();
        emulator.Stop();
        std::string cmd = "rm -rf " + folder;
        (void)!std::system(cmd.c_str());
    }
    std::string folder;
    std::shared_ptr<nvsemu::Firmware> fw;
    nvsemu::Emulator emulator;
    bool connected = false;
};

std::atomic<long> g_calls{0};
std::atomic<int> g_gaps{0};
std::atomic<long long> g_cpuFirstNs{0}, g_cpuLastNs{0};

long long ThreadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// SW2's callback: one call per record of a mode-15 packet; keeps the sampling thread's CPU
// and, for the first record of each packet (SW2 counts samples: value = sample index, six
// a packet), when the packet was heard.
void CountSw2(int value, int) {
    g_calls.fetch_add(1);
    if (value % 6 != 0)
        return;
    g_heardUs[(static_cast<size_t>(value) / 6) % kTimedPackets].store(nvsemu::NowUs());
    const long long now = ThreadCpuNs();  // once a packet: the clock itself costs a system call
    long long expected = 0;
    g_cpuFirstNs.compare_exchange_strong(expected, now);
    g_cpuLastNs.store(now);
}
void Gap(int) { g_gaps.fetch_add(1); }

void BM_Mode15Stream(benchmark::State& state) {
    Bench bench;
    if (!bench.connected) {
        state.SkipWithError("no connection to the emulator");
        return;
    }
    for (int i = 0; i < 3; ++i)  // every sample differs: six records of one sample a packet
        bench.fw->SetSampleSource(
            i, nvsemu::SampleSource::Square(static_cast<uint16_t>(100 * i), static_cast<uint16_t>(100 * i + 50), 1));
    std::vector<uint16_t> count(60000);
    for (size_t i = 0; i < count.size(); ++i)
        count[i] = static_cast<uint16_t>(i);
    bench.fw->SetSampleSource(3, nvsemu::SampleSource::Script(count));
    bench.fw->SetStreamRate(6000);
    for (auto _ : state) {
        g_calls = 0;
        g_gaps = 0;
        g_cpuFirstNs = 0;
        for (int k = 0; k < 4; ++k)
            ORVEnableSampling(static_cast<PPGSampling>(k), k == 3 ? CountSw2 : Sink);
        const int queueBefore = g_iQueueCount;
        const auto t0 = Clock::now();
        ORVStartSampling(Gap);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double wallS = std::chrono::duration<double>(Clock::now() - t0).count();
        ORVDisableSampling();
        const double made = static_cast<double>(bench.fw->StreamPackets());
        state.counters["packets_made"] = made;
        state.counters["packets_delivered"] = static_cast<double>(g_calls.load()) / 6.0;
        state.counters["port_drops"] = static_cast<double>(bench.emulator.StreamDrops());
        state.counters["gap_reports"] = g_gaps.load();
        state.counters["thread_cpu_pct"] =
            100.0 * static_cast<double>(g_cpuLastNs.load() - g_cpuFirstNs.load()) / 1e9 / wallS;
        state.counters["queue_growth"] = g_iQueueCount - queueBefore;
        std::vector<double> latencyMs;
        for (size_t n = 0; n < kTimedPackets; ++n) {
            const uint64_t w = g_writtenUs[n].load(), h = g_heardUs[n].load();
            if (w != 0 && h >= w)
                latencyMs.push_back(static_cast<double>(h - w) / 1000.0);
        }
        std::sort(latencyMs.begin(), latencyMs.end());
        state.counters["latency_p50_ms"] = latencyMs.empty() ? -1 : latencyMs[latencyMs.size() / 2];
        state.counters["latency_p99_ms"] = latencyMs.empty() ? -1 : latencyMs[latencyMs.size() * 99 / 100];
    }
}
BENCHMARK(BM_Mode15Stream)->Iterations(1)->Unit(benchmark::kSecond);

void BM_DisableWhileStreaming(benchmark::State& state) {
    Bench bench;
    if (!bench.connected) {
        state.SkipWithError("no connection to the emulator");
        return;
    }
    const bool silent = state.range(0) != 0;
    std::vector<double> ms;
    for (auto _ : state) {
        ORVEnableSampling(PPG_SAMPLING_PD1, Sink);
        ORVStartSampling(nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        bench.emulator.SetSilent(silent);
        const auto t0 = Clock::now();
        ORVDisableSampling();
        const double d = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(d);
        ms.push_back(d * 1000);
        bench.emulator.SetSilent(false);
    }
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms.empty() ? 0 : ms[ms.size() / 2];
    state.counters["max_ms"] = ms.empty() ? 0 : ms.back();
    state.SetLabel(silent ? "silent instrument" : "streaming");
}
BENCHMARK(BM_DisableWhileStreaming)->Arg(0)->Arg(1)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

std::mutex g_reportsMu;
std::vector<Clock::time_point> g_reportTimes;
void OnLocation(int) {
    std::lock_guard<std::mutex> lock(g_reportsMu);
    g_reportTimes.push_back(Clock::now());
}

void BM_FpgaMeanSpacing(benchmark::State& state) {
    Bench bench;  // the poller needs a port; every poll is answered
    if (!bench.connected) {
        state.SkipWithError("no connection to the emulator");
        return;
    }
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(g_reportsMu);
            g_reportTimes.clear();
        }
        ORVEnableDUTSignalDetection(true, OnLocation);
        std::this_thread::sleep_for(std::chrono::milliseconds(3300));
        ORVDisableSampling();
        std::lock_guard<std::mutex> lock(g_reportsMu);
        double lo = 1e9, hi = 0;
        for (size_t i = 1; i < g_reportTimes.size(); ++i) {
            const double d = std::chrono::duration<double, std::milli>(g_reportTimes[i] - g_reportTimes[i - 1]).count();
            lo = std::min(lo, d);
            hi = std::max(hi, d);
        }
        state.counters["reports"] = static_cast<double>(g_reportTimes.size());
        state.counters["spacing_min_ms"] = lo;
        state.counters["spacing_max_ms"] = hi;
    }
}
BENCHMARK(BM_FpgaMeanSpacing)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
