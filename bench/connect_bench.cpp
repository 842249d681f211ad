// Connection against the emulator's firmware model: wall time from ORVConnect to the
// connection being reported (the listener's true), beside the fixed pauses that the
// connection steps must make before it, and the time until the stored calibration data
// is loaded. Memory: the resident size of this process while idle and connected
// (library, emulator and benchmark together), and what connecting added to it.
//
// Fixed sleeps that the connection steps prescribe before the listener hears true:
//   handshake:   40 ms before the main module's model record (after the filter's own
//                read), its identity read and AA 03; with a separate PPG module also
//                before its model record and its identity read: 120 ms, or 200 ms;
//   working mode (main firmware 1.00..1.10 only): 10 + 200 + 40 ms = 250 ms;
//   default status: four control-block writes with their 100 ms settle = 400 ms.
//   main unit 0x4031 (firmware 1.05): 120 + 250 + 400 = 770 ms
//   with a PPG module or the respiration module: 200 + 400 = 600 ms
// The rest (reads answered at once by the emulator, the drain after the stream stop,
// framing and pty round trips) is the library's overhead.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "Emulator.h"
#include "Firmware.h"
#include "api/Connection.h"
#include "api/nvs300.h"
#include "platform/Device.h"
#include "platform/linux/DeviceSeam.h"

namespace {

using Clock = std::chrono::steady_clock;

long ResidentKb() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kb = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kb;
}

nvsemu::Profile ProfileOf(int64_t which) {
    switch (which) {
        case 0:
            return nvsemu::Profile::MainUnit4031();
        case 1:
            return nvsemu::Profile::WithPpgYB2001();
        case 2:
            return nvsemu::Profile::WithPpg2112();
        default:
            return nvsemu::Profile::WithExtRespXJ();
    }
}

void BM_Connect(benchmark::State& state) {
    const nvsemu::Profile profile = ProfileOf(state.range(0));
    state.SetLabel(profile.name);
    char pattern[] = "/tmp/nvs-connect-bench-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
    DeviceSeamSetLockDirectory(folder.c_str());
    nvsemu::Emulator emulator;
    emulator.Start();
    emulator.SetResponder(std::make_shared<nvsemu::Firmware>(profile));
    emulator.LinkAs(folder + "/ttyACM0");

    const long idleKb = ResidentKb();
    long connectedKb = idleKb;
    double connectMs = 0, loadedMs = 0;
    for (auto _ : state) {
        const unsigned loaded = ConnectionLoadCount();
        const auto start = Clock::now();
        if (!ORVConnect(0, 30000)) {
            state.SkipWithError("not connected");
            break;
        }
        connectMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        while (ConnectionLoadCount() == loaded)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        loadedMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        connectedKb = ResidentKb();
        state.PauseTiming();
        ORVFree();
        state.ResumeTiming();
    }
    const double fixedMs = state.range(0) == 0 ? 770.0 : 600.0;
    if (state.iterations() > 0) {
        const double n = static_cast<double>(state.iterations());
        state.counters["to_listener_ms"] = connectMs / n;
        state.counters["fixed_pauses_ms"] = fixedMs;
        state.counters["to_loaded_ms"] = loadedMs / n;
        state.counters["rss_connected_kb"] = static_cast<double>(connectedKb);
        state.counters["rss_added_kb"] = static_cast<double>(connectedKb - idleKb);
    }
    emulator.Stop();
    DeviceSeamSetNodePattern(nullptr);
    DeviceSeamSetLockDirectory(nullptr);
    std::system(("rm -rf '" + folder + "'").c_str());
}
BENCHMARK(BM_Connect)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
