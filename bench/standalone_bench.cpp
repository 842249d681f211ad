// Standalone slots against the emulated instrument: the store and the read-back of a
// slot with the ECG and three PPG channels, beside the raw pseudo-terminal round trip
// measured in the same run (a ROM read written and answered on the slave directly).
//
// Counters: the exchanges of one store or read-back, the raw round trips (a 6-byte ROM
// read, a 64-byte raw packet), the library's own, and the budget 1.2 x exchanges x round
// trip + the common stop's 10 ms. A store also holds the control block writer's settle
// pause of 100 ms, which the instrument needs to take a block. NVS_BENCH_TRACE=1 prints
// every gap of more than 2 ms between the requests of a store.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
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
#include "protocol/Identity.h"
#include "protocol/StandaloneMode.h"
#include "protocol/WaveformSetting.h"

namespace {

const std::vector<uint8_t> kRomRead = {0xEA, 0x00, 0x07, 0x00, 0x00, 0x00};

struct Bench {
    nvsemu::Emulator emulator;
    std::shared_ptr<nvsemu::Firmware> firmware = std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpg2112());
    std::string folder;
    double roundTripMs = 0;
    double rawPacketTripMs = 0;  // a 64-byte raw-data packet and its 64-byte echo

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
                    fprintf(stderr, "raw round trip failed\n");
                    return false;
                }
            }
            roundTripMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / kTrips;
            std::vector<uint8_t> packet(64, 0);
            packet[0] = 0xEA;
            packet[1] = 0xFF;
            packet[2] = 0x04;
            const auto t1 = std::chrono::steady_clock::now();
            for (int i = 0; i < kTrips; ++i) {
                client.Write(packet);
                if (client.ReadExactly(64, 1000).size() != 64) {
                    fprintf(stderr, "raw packet round trip failed\n");
                    return false;
                }
            }
            rawPacketTripMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t1).count() / kTrips;
        }
        char pattern[] = "/tmp/nvs-standalone-bench-XXXXXX";
        folder = mkdtemp(pattern);
        DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(folder.c_str());
        DeviceSetTargetCheck(IsTargetDevice);  // as the connection installs it
        return emulator.LinkAs(folder + "/ttyACM0") && FindDevice(0) == 1;
    }
    ~Bench() {
        DeviceClose();
        emulator.Stop();
        std::system(("rm -rf '" + folder + "'").c_str());
    }
};

// The library's own ROM read round trip, for comparison with the raw one.
double LibraryRoundTripMs() {
    constexpr int kTrips = 50;
    unsigned char value = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kTrips; ++i) {
        DoReadFromROM(0, &value);
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / kTrips;
}

// The library's raw-packet upload: 100 packets of 14 points, each echoed.
double LibraryRawPacketMs() {
    constexpr unsigned kPackets = 100;
    std::vector<unsigned char> data(kPackets * 56, 0x11);
    const auto t0 = std::chrono::steady_clock::now();
    WriteWaveformRawData(data.data(), static_cast<unsigned>(data.size()), 0x04);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / kPackets;
}

void Report(benchmark::State& state, const Bench& b, double exchanges) {
    state.counters["library_raw_packet_ms"] = LibraryRawPacketMs();
    state.counters["library_round_trip_ms"] = LibraryRoundTripMs();
    state.counters["exchanges"] = exchanges;
    state.counters["round_trip_ms"] = b.roundTripMs;
    state.counters["raw_packet_trip_ms"] = b.rawPacketTripMs;
    state.counters["budget_ms"] = 1.2 * exchanges * b.roundTripMs + 10.0;
}

void BM_StoreType7(benchmark::State& state) {
    Bench b;
    if (!b.Start()) {
        state.SkipWithError("no connection to the emulator");
        return;
    }
    // The first common stop on this PPG model sends its default calibration settings
    // (about 1.2 s of the PPG module's write pauses); later stops send nothing. One store
    // before the timed ones keeps that out of them.
    {
        ECG_WAVEFORM ecg = records::EcgBeat(1000);
        PPG_WAVEFORM p1 = records::PpgPulse(3, 1.0, 1000);
        ORVWritePWVModeToStandaloneMode(2, 120, &ecg, &p1);
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
        if (std::getenv("NVS_BENCH_TRACE")) {
            uint64_t last = 0;
            for (const nvsemu::Request& r : b.emulator.Requests()) {
                if (last != 0 && r.atUs - last > 2000) {
                    fprintf(stderr, "%6.1f ms before %s\n", (r.atUs - last) / 1000.0, r.name.c_str());
                }
                last = r.atUs;
            }
        }
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
