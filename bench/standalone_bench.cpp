// Standalone slots against the emulated instrument: the store and the read-back of a
// slot with the ECG and three PPG channels, beside the raw pseudo-terminal round trip
// measured in the same run (a ROM read written and answered on the slave directly).
//
// Counters: the exchanges of one store or read-back, the round trip, and the budget
// 1.2 x exchanges x round trip + the common stop's 10 ms. A store also holds the control
// block writer's settle pause of 100 ms, which the instrument needs to take a block.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

#include "Emulator.h"
#include "Firmware.h"
#include "SlaveClient.h"
#include "WaveformRecords.h"
#include "api/nvs300.h"
#include "platform/Device.h"
#include "platform/linux/DeviceSeam.h"

namespace {

const std::vector<uint8_t> kRomRead = {0xEA, 0x00, 0x07, 0x00, 0x00, 0x00};

struct Bench {
    nvsemu::Emulator emulator;
    std::shared_ptr<nvsemu::Firmware> firmware = std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpg2112());
    std::string folder;
    double roundTripMs = 0;

    bool Start() {
        if (!emulator.Start()) {
            return false;
        }
        emulator.SetResponder(firmware);
        {
            nvsemu::SlaveClient client(emulator.SlavePath());
            constexpr int kTrips = 50;
            const auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < kTrips; ++i) {
                client.Write(kRomRead);
                if (client.ReadExactly(64, 1000).size() != 64) {
                    return false;
                }
            }
            roundTripMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / kTrips;
        }
        char pattern[] = "/tmp/nvs-standalone-bench-XXXXXX";
        folder = mkdtemp(pattern);
        DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(folder.c_str());
        return emulator.LinkAs(folder + "/ttyACM0") && FindDevice(0) == 1;
    }
    ~Bench() {
        DeviceClose();
        emulator.Stop();
        std::system(("rm -rf '" + folder + "'").c_str());
    }
};

void Report(benchmark::State& state, const Bench& b, double exchanges) {
    state.counters["exchanges"] = exchanges;
    state.counters["round_trip_ms"] = b.roundTripMs;
    state.counters["budget_ms"] = 1.2 * exchanges * b.roundTripMs + 10.0;
}

void BM_StoreType7(benchmark::State& state) {
    Bench b;
    if (!b.Start()) {
        state.SkipWithError("no connection to the emulator");
        return;
    }
    size_t exchanges = 0;
    for (auto _ : state) {
        ECG_WAVEFORM ecg = records::EcgBeat(1000);
        PPG_WAVEFORM p1 = records::PpgPulse(3, 1.0, 1000), p2 = records::PpgSine(1.25, 500, 100),
                     p3 = records::PpgPulse(16, 1.0, 800);
        b.emulator.ClearRequests();
        if (ORVWritePWVModePPG3ToStandaloneMode(1, 120, &ecg, &p1, &p2, &p3) != 0) {
            state.SkipWithError("store failed");
            break;
        }
        exchanges = b.emulator.Requests().size();
    }
    Report(state, b, static_cast<double>(exchanges));
}
BENCHMARK(BM_StoreType7)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_ReadBackType7(benchmark::State& state) {
    Bench b;
    ECG_WAVEFORM ecg = records::EcgBeat(1000);
    PPG_WAVEFORM p1 = records::PpgPulse(3, 1.0, 1000), p2 = records::PpgSine(1.25, 500, 100),
                 p3 = records::PpgPulse(16, 1.0, 800);
    if (!b.Start() || ORVWritePWVModePPG3ToStandaloneMode(1, 120, &ecg, &p1, &p2, &p3) != 0) {
        state.SkipWithError("no slot stored");
        return;
    }
    size_t exchanges = 0;
    for (auto _ : state) {
        int t = 0;
        b.emulator.ClearRequests();
        if (ORVReadPWVModePPG3FromStandaloneMode(1, &t, &ecg, &p1, &p2, &p3) != 0) {
            state.SkipWithError("read-back failed");
            break;
        }
        exchanges = b.emulator.Requests().size();
    }
    Report(state, b, static_cast<double>(exchanges));
}
BENCHMARK(BM_ReadBackType7)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
