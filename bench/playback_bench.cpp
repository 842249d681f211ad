// The playback engine against the emulated instrument: a looping stream per operator
// mode, with the instrument's clock exact or 100 ppm fast or slow, for NVS_BENCH_SECONDS
// (default 60) each. Reports what the instrument counted (underruns, starved time,
// overflows, commands inside a batch), the time from each data request to the end of the
// batch that answers it at the instrument (p99 and max, against the batch deadline: the play time of 50
// packets), and the library's CPU time per second of stream. Then the mode-15 batch
// build (one appended curve per channel) on its own, and mode 15 with an ambient-light
// read every 100 ms through the command window. Last, modes 15 @ 10 kHz and 1 @ 40 kHz
// on a busy machine: one CPU-bound process per core, started before the stream and
// killed after it (goal: no underrun); run them alone with
// --benchmark_filter='/1/iterations'.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>
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

namespace {

// One CPU-bound child process per core for as long as it lives; each is killed and
// reaped at the end.
class Burners {
public:
    explicit Burners(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                for (volatile unsigned long n = 0;; n = n + 1) {
                }
            }
            if (pid > 0) {
                pids_.push_back(pid);
            }
        }
    }
    ~Burners() {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
        }
        for (pid_t pid : pids_) {
            waitpid(pid, nullptr, 0);
        }
    }
    size_t Count() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

int Seconds() { return std::getenv("NVS_BENCH_SECONDS") ? std::atoi(std::getenv("NVS_BENCH_SECONDS")) : 60; }

double ProcessCpu() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// A channel's source: one second of a slow ramp.
struct Source {
    std::vector<double> ac = std::vector<double>(1000), dc = std::vector<double>(1000, 100.0);
    PLAY_RAW_DATA record = {};
    Source() {
        for (size_t i = 0; i < ac.size(); ++i) {
            ac[i] = 0.5 * static_cast<double>(i) / 1000.0;
        }
        record = PLAY_RAW_DATA{1000.0, 1000, 1, ac.data(), dc.data(), nullptr};
    }
};

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
        char pattern[] = "/tmp/nvs-playback-bench-XXXXXX";
        dir = mkdtemp(pattern);
        DeviceSeamSetNodePattern((dir + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(dir.c_str());
        DeviceSetTargetCheck(IsTargetDevice);  // the identity handshake, as a connection runs it
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

// range(0): mode, range(1): rate, range(2): clock ppm, range(3): 1 = ambient-light reads,
// range(4): 1 = every core kept busy by another process.
void BM_Stream(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    const int rate = static_cast<int>(state.range(1));
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    Burners burners(state.range(4) != 0 ? static_cast<int>(cores) : 0);
    state.counters["busy_processes"] = static_cast<double>(burners.Count());
    Rig rig;
    if (!rig.Up(mode == 17 ? nvsemu::Profile::WithExtRespXJ() : nvsemu::Profile::WithPpgYB2001())) {
        state.SkipWithError("no connection to the emulator");
        return;
    }
    nvsemu::StreamOptions options;
    options.clockPpm = static_cast<double>(state.range(2));
    rig.firmware->SetStreamOptions(options);
    // How late the instrument itself wrote its data requests (written against due): on a
    // loaded host the emulator's own thread runs late too, and an underrun it causes is
    // not the library's.
    auto requestLateMaxUs = std::make_shared<std::atomic<uint64_t>>(0);
    rig.firmware->SetStreamHook([requestLateMaxUs](const nvsemu::StreamEvent& e) {
        if (e.kind == nvsemu::StreamEvent::Kind::DataRequest && e.atUs > e.dueUs) {
            requestLateMaxUs->store(std::max(requestLateMaxUs->load(), e.atUs - e.dueUs));
        }
    });
    Source ecg, p1, p2, p3;
    int ambientReads = 0;
    double cpu = 0;
    for (auto _ : state) {
        {
            CAutoCriticalSection lock(g_CriticalSection);
            PlayRawStop(0);
            CAutoCriticalSection api(g_PlayRawCriticalSection);
            LoadRawECG(ecg.record);
            for (int c = 1; c <= 3; ++c) {
                LoadRawPPG(c, c == 1 ? p1.record : c == 2 ? p2.record : p3.record);
            }
            for (int c = 1; c <= 3; ++c) {
                PlayRawAppendPPG(static_cast<PPGChannel>(c), p1.record);
            }
            PlayRawAppendECG(ecg.record);
            PlayRawEnableLoop(true);
            UpdateOperatorMode(mode, 1, 1, 1, rate);
            PlayInitCallback(nullptr, nullptr, nullptr, nullptr, nullptr);
            RunPlayThread(SendPacket);
        }
        const double cpu0 = ProcessCpu();
        const uint64_t end = GetMonotonicMs() + static_cast<uint64_t>(Seconds()) * 1000;
        while (GetMonotonicMs() < end) {
            if (state.range(3) != 0) {
                ORVGetLEDAmbientLightMode();
                ++ambientReads;
            }
            SleepEx(100);
        }
        cpu = ProcessCpu() - cpu0;
        CAutoCriticalSection lock(g_CriticalSection);
        PlayRawStop(0);
    }
    output::WaitForLockedExchanges();
    const nvsemu::StreamStatus s = rig.firmware->GetStreamStatus();
    state.counters["underruns"] = static_cast<double>(s.counters.underruns);
    state.counters["starved_ms"] = s.counters.starvedUs / 1000.0;
    state.counters["overflows"] = static_cast<double>(s.counters.overflows);
    state.counters["commands_in_batch"] = static_cast<double>(s.counters.commandsInBatch);
    state.counters["check_failures"] = static_cast<double>(s.counters.checkFailures);
    // Requests that got no batch: the batches sent beyond the first two, against the requests.
    const double answered = (static_cast<double>(s.counters.packets) - 100.0) / 50.0;
    state.counters["unanswered_requests"] = static_cast<double>(s.counters.requests) - answered;
    state.counters["ambient_reads"] = ambientReads;
    state.counters["request_late_max_ms"] = static_cast<double>(requestLateMaxUs->load()) / 1000.0;
    // From each data request to the arrival of its batch's last packet at the instrument.
    std::vector<double> latencyMs;
    for (uint64_t us : rig.firmware->BatchLatenciesUs()) {
        latencyMs.push_back(us / 1000.0);
    }
    std::sort(latencyMs.begin(), latencyMs.end());
    state.counters["latency_p99_ms"] = latencyMs.empty() ? 0 : latencyMs[latencyMs.size() * 99 / 100];
    state.counters["latency_max_ms"] = latencyMs.empty() ? 0 : latencyMs.back();
    const nvsemu::StreamLayout layout = nvsemu::LayoutOf(mode);
    state.counters["deadline_ms"] =
        layout.samplesPerPacket ? 50.0 * static_cast<double>(layout.samplesPerPacket) * 1000.0 / rate : 0;
    // The process's CPU, the emulator's I/O thread included: an upper bound of the library's.
    state.counters["cpu_pct_of_core"] = 100.0 * cpu / Seconds();
}

// One batch of mode 15 with one appended curve per channel, built without writing.
void BM_Mode15Batch(benchmark::State& state) {
    Source ecg, p;
    ResetPlaybackState();
    LoadRawECG(ecg.record);
    for (int c = 1; c <= 3; ++c) {
        LoadRawPPG(c, p.record);
        PlayRawAppendPPG(static_cast<PPGChannel>(c), p.record);
    }
    PlayRawAppendECG(ecg.record);
    g_nOperatorMode = 15;
    g_nSampleRate = 10000;
    g_bPlayLoop = 1;
    unsigned char batch[50 * 64];
    unsigned short seq = 0;
    for (auto _ : state) {
        std::fill(batch, batch + sizeof batch, 0);
        for (int i = 0; i < 50; ++i) {
            BuildStreamPacket(seq, batch + i * 64);
            seq = NextStreamSequence(seq);
        }
        benchmark::DoNotOptimize(batch);
    }
    ResetPlaybackState();
}

void Cases(benchmark::internal::Benchmark* b) {
    const int modes[][2] = {{1, 10000}, {1, 40000}, {7, 10000}, {15, 10000}, {16, 10000}, {17, 40000}};
    for (const auto& m : modes) {
        for (int ppm : {0, 100, -100}) {
            b->Args({m[0], m[1], ppm, 0, 0});
        }
    }
    b->Args({15, 10000, 0, 1, 0});
    b->Args({15, 10000, 0, 0, 1});
    b->Args({1, 40000, 0, 0, 1});
}

}  // namespace

BENCHMARK(BM_Mode15Batch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stream)->Apply(Cases)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

BENCHMARK_MAIN();
