// The connect handshake against the emulator, beside the pauses it must make.
//
// The handshake's fixed costs are its 40 ms pauses before the model-record and
// version reads, and the drain after the stream stop, which ends only on an empty read
// (the read time-out of 100 ms plus three 10 ms empty tries). Whatever the wall time
// exceeds them by is the library's own overhead (framing, queue, pty round trips).
//   main unit alone:       3 pauses (model record, identity read, AA 03) + drain = 250 ms
//   with a PPG module:     5 pauses (+ PPG model record, PPG identity read) + drain = 330 ms
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "Emulator.h"
#include "platform/Device.h"
#include "platform/linux/DeviceSeam.h"
#include "protocol/Identity.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Identity(char a, char b, uint16_t model) {
    return {0x4F,
            static_cast<uint8_t>(a),
            static_cast<uint8_t>(b),
            static_cast<uint8_t>(model >> 8),
            static_cast<uint8_t>(model),
            0x21,
            0x00,
            0x11,
            3,
            1,
            1,
            16};
}

// The identity family's replies, as the instrument gives them.
std::vector<nvsemu::Reply> Answer(const nvsemu::Request& request, bool ppgModule) {
    const Bytes& r = request.bytes;
    const Bytes main = Identity('N', 'V', ppgModule ? 0x5001 : 0x4031);
    const Bytes ppg = Identity('Y', 'B', 0x2001);
    Bytes reply(64, 0);
    reply[0] = r[0];
    reply[1] = r.size() > 1 ? r[1] : 0;
    reply[2] = r.size() > 2 ? r[2] : 0;
    reply[3] = 0xFF;
    if (r[0] == 0xAD) {
        reply[4] = 0;  // the stop's answer
    } else if (r[0] == 0x55) {
        reply.resize(12);
        const Bytes& id = r[2] == 1 ? ppg : main;
        if (r[2] >= 0x80) {
            reply[4] = 0;
        } else {
            std::copy(id.begin(), id.begin() + 8, reply.begin() + 4);
        }
    } else if (r[0] == 0x12) {
        std::copy(r.begin(), r.begin() + 12, reply.begin());
        reply[4] = 0xFF;
        const Bytes& id = r[5] == 0x13 ? ppg : main;
        std::copy(id.begin(), id.end(), reply.begin() + 16);
    } else if (r[0] == 0xAA) {
        reply = {0xAA, 0x03, 0x00, 0x07, 0x00};
    }
    return {nvsemu::Reply{reply, 0}};
}

void BM_Handshake(benchmark::State& state) {
    const bool ppgModule = state.range(0) != 0;
    char pattern[] = "/tmp/nvs-bench-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
    DeviceSeamSetLockDirectory(folder.c_str());
    nvsemu::Emulator emulator;
    emulator.Start();
    emulator.SetResponder([ppgModule](const nvsemu::Request& r) { return Answer(r, ppgModule); });
    emulator.LinkAs(folder + "/ttyACM0");
    DeviceSetTargetCheck([] { return true; });  // open the port once; the loop runs the handshake
    if (FindDevice(0) != 1) {
        state.SkipWithError("port not opened");
    }
    DeviceSetTargetCheck(IsTargetDevice);
    double totalMs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!IsTargetDevice()) {
            state.SkipWithError("handshake failed");
            break;
        }
        totalMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    const double fixedMs = ppgModule ? 330.0 : 250.0;
    if (state.iterations() > 0) {
        state.counters["fixed_ms"] = fixedMs;
        state.counters["overhead_ms"] = totalMs / static_cast<double>(state.iterations()) - fixedMs;
    }
    DeviceClose();
    emulator.Stop();
    DeviceSeamSetNodePattern(nullptr);
    DeviceSeamSetLockDirectory(nullptr);
    std::system(("rm -rf '" + folder + "'").c_str());
}
BENCHMARK(BM_Handshake)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
