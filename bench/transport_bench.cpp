// Transport costs against the emulator on a pseudo-terminal:
// - a command round trip (4-byte request, 64-byte reply) through WriteData + ReadData,
//   beside the same exchange made with plain write/read on the slave (the baseline);
// - an unanswered read (read time-out plus three empty tries, three 0x38 bytes);
// - parking and then taking 10,000 stream packets in the reply queue.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

#include "Emulator.h"
#include "SlaveClient.h"
#include "platform/Device.h"
#include "platform/Transport.h"
#include "platform/linux/DeviceSeam.h"

namespace {

const std::vector<uint8_t> kRequest = {0xCC, 0x00, 0x14, 0x00};

// An emulator answering every FPGA-presence request with one 64-byte reply, linked into
// a temporary folder that the library's port pattern points at.
struct Bench {
    nvsemu::Emulator emulator;
    std::string folder;
    explicit Bench(bool answer = true) {
        char pattern[] = "/tmp/nvs-bench-XXXXXX";
        folder = mkdtemp(pattern);
        DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(folder.c_str());
        DeviceSetTargetCheck([] { return true; });
        emulator.Start();
        if (answer) {
            emulator.SetResponder([](const nvsemu::Request&) {
                std::vector<uint8_t> reply(64, 0);
                reply[0] = 0xCC;
                reply[3] = 0xFF;
                return std::vector<nvsemu::Reply>{nvsemu::Reply{reply, 0}};
            });
        }
        emulator.LinkAs(folder + "/ttyACM0");
    }
    ~Bench() {
        DeviceClose();
        emulator.Stop();
        std::system(("rm -rf '" + folder + "'").c_str());
    }
};

void BM_RoundTripLibrary(benchmark::State& state) {
    Bench bench;
    if (!FindDevice(0)) {
        state.SkipWithError("port not opened");
        return;
    }
    unsigned char request[4] = {0xCC, 0x00, 0x14, 0x00};
    unsigned char reply[64];
    for (auto _ : state) {
        WriteData(request, 4, 1);
        if (ReadData(reply, 64, 0xFF) != 64) {
            state.SkipWithError("no reply");
            break;
        }
    }
}
BENCHMARK(BM_RoundTripLibrary)->Unit(benchmark::kMicrosecond);

void BM_RoundTripRawBaseline(benchmark::State& state) {
    Bench bench;
    nvsemu::SlaveClient client(bench.emulator.SlavePath());
    for (auto _ : state) {
        client.Write(kRequest);
        if (client.ReadExactly(64, 1000).size() != 64) {
            state.SkipWithError("no reply");
            break;
        }
    }
}
BENCHMARK(BM_RoundTripRawBaseline)->Unit(benchmark::kMicrosecond);

void BM_UnansweredRead(benchmark::State& state) {
    Bench bench(false);
    FindDevice(0);
    unsigned char reply[64];
    for (auto _ : state)
        ReadData(reply, 64, 0xFF);
    bench.emulator.WaitForFillerBytes(3 * static_cast<size_t>(state.iterations()), 1000);
    state.counters["fillers_per_read"] =
        static_cast<double>(bench.emulator.FillerBytes()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_UnansweredRead)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_QueueParkAndTake(benchmark::State& state) {
    Bench bench(false);
    FindDevice(0);
    g_nDeviceReadTimeout = 30000;
    const int packets = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::thread feeder([&] {
            std::vector<uint8_t> chunk;
            for (int i = 0; i < packets; ++i) {
                std::vector<uint8_t> packet(64, 0);
                packet[0] = 0xAD;
                chunk.insert(chunk.end(), packet.begin(), packet.end());
                if (chunk.size() >= 1024 || i == packets - 1) {
                    bench.emulator.Inject(chunk);
                    chunk.clear();
                }
            }
            std::vector<uint8_t> reply(64, 0);
            reply[0] = 0x55;
            bench.emulator.Inject(reply);
        });
        unsigned char buffer[64];
        ReadData(buffer, 64, 0xFF);  // parks every stream packet before the reply
        feeder.join();
        for (int i = 0; i < packets; ++i)
            ReadData(buffer, 64, 0xAD);
    }
    g_nDeviceReadTimeout = 100;
    state.SetItemsProcessed(state.iterations() * packets);
}
BENCHMARK(BM_QueueParkAndTake)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
