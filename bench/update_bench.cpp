// Firmware burn and FPGA upgrade against the emulator's firmware model, beside a raw-pty
// baseline that makes the same exchanges (one 64-byte request, one 64-byte reply) with no
// library in between.
//
// The library's fixed pauses (40 ms a page, the 5 s restart wait, the search's 1 s pauses,
// the FPGA's 100 ms and 600 ms waits) go through its sleep seam, which here sleeps 1/100
// of each and adds up what it slept; "beyond pauses" is the wall time less that sum, and
// less the two scans with their handshakes (timed on their own). Counters: ratio (beyond pauses / baseline, the
// goal is <= 1.5), bytes or KiB per second of the image over the time beyond pauses.
// CRC-32 of the whole FPGA image: the goal is <= 5 ms.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "api/nvs300.h"
#include "platform/Device.h"
#include "platform/PortSeam.h"
#include "platform/SleepSeam.h"
#include "platform/linux/DeviceSeam.h"
#include "protocol/Identity.h"
#include "service/FPGA.h"

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<int64_t> s_sleptUs{0};

void ShortSleep(unsigned ms) {
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 10));
    s_sleptUs += std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

std::vector<unsigned char> Random(size_t n) {
    std::mt19937 rng(11);
    std::vector<unsigned char> out(n);
    for (auto& b : out)
        b = static_cast<unsigned char>(rng());
    return out;
}

// The emulator linked as ttyACM0 of a private folder that the library scans.
struct Bench {
    std::string folder;
    std::shared_ptr<nvsemu::Firmware> fw;
    nvsemu::Emulator emu;
    explicit Bench(const nvsemu::Profile& profile) {
        char pattern[] = "/tmp/nvs-update-bench-XXXXXX";
        folder = mkdtemp(pattern);
        DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(folder.c_str());
        fw = std::make_shared<nvsemu::Firmware>(profile);
        emu.Start();
        emu.SetResponder(fw);
        nvsemu::Emulator* e = &emu;
        fw->SetRestartHandler([e] { e->Restart(); });
        emu.SetRestartPlan({1, 10, ""});
        emu.LinkAs(folder + "/ttyACM0");
    }
    ~Bench() {
        DeviceClose();
        emu.Stop();
        rmdir(folder.c_str());
    }
};

// The baseline: `count` requests built by `build`, each written whole to the slave and
// its 64-byte reply read, with nothing else in between. Seconds.
template <class Build>
double RawExchanges(nvsemu::Emulator& emu, size_t count, Build build) {
    const int fd = open(emu.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return 0;
    unsigned char request[64];
    unsigned char reply[64];
    const auto start = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        const size_t n = build(i, request);
        if (write(fd, request, n) != static_cast<ssize_t>(n))
            break;
        size_t got = 0;
        while (got < sizeof reply) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0)
                break;
            const ssize_t r = read(fd, reply + got, sizeof reply - got);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return seconds;
}

// One scan that finds the instrument and its handshake, as each update makes twice:
// seconds (the fixed pauses of the handshake included).
double OneHandshake() {
    DeviceSetTargetCheck(IsTargetDevice);
    const auto start = Clock::now();
    FindDevice(-1);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    DeviceClose();
    return seconds;
}

void MemoryRequest(unsigned char* out, uint8_t direction, uint8_t erase, uint8_t count, uint32_t address) {
    memset(out, 0, 64);
    const unsigned char head[12] = {0x12,
                                    0x55,
                                    0xAA,
                                    direction,
                                    0,
                                    0x03,
                                    erase,
                                    count,
                                    uint8_t(address >> 24),
                                    uint8_t(address >> 16),
                                    uint8_t(address >> 8),
                                    uint8_t(address)};
    memcpy(out, head, sizeof head);
}

void BM_BurnBlock0(benchmark::State& state) {
    Bench bench(nvsemu::Profile::WithPpg2112());
    const auto image = Random(0x1E000);
    ORVUpdateLoadBinFile(const_cast<unsigned char*>(image.data()), 0x1E000);
    SetSleepSeam(ShortSleep);
    double beyond = 0, baseline = 0;
    for (auto _ : state) {
        s_sleptUs = 0;
        const auto start = Clock::now();
        const int result = ORVUpdateBurnFlashBlock(FLASH_BLOCK_0, nullptr);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        if (result != 0)
            state.SkipWithError("burn failed");
        beyond = wall - s_sleptUs.load() / 1e6;
        state.SetIterationTime(beyond);
    }
    SetSleepSeam(nullptr);
    const double handshakes = 2 * OneHandshake();
    beyond -= handshakes;
    // 120 erases, 2560 writes, 2560 verifies.
    baseline = RawExchanges(bench.emu, 5240, [&](size_t i, unsigned char* out) {
        if (i < 120)
            MemoryRequest(out, 0xFF, 1, 0, static_cast<uint32_t>(i * 1024));
        else if (i < 120 + 2560)
            MemoryRequest(out, 0xFF, 0, 48, static_cast<uint32_t>((i - 120) * 48));
        else
            MemoryRequest(out, 0x00, 0, 48, static_cast<uint32_t>((i - 2680) * 48));
        return size_t{64};
    });
    state.counters["handshakes_s"] = handshakes;
    state.counters["baseline_s"] = baseline;
    state.counters["ratio"] = baseline > 0 ? beyond / baseline : 0;
    state.counters["bytes_per_s"] = beyond > 0 ? 0x1E000 / beyond : 0;
}
BENCHMARK(BM_BurnBlock0)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FpgaUpgrade(benchmark::State& state) {
    Bench bench(nvsemu::Profile::WithPpg2012Fpga(true));
    const auto image = Random(0xB8000);
    char path[] = "/tmp/nvs-fpga-bench-XXXXXX";
    const int fd = mkstemp(path);
    (void)!write(fd, image.data(), image.size());
    close(fd);
    ORVUpdateFPGALoadFile(path, nullptr, nullptr);
    unlink(path);
    SetSleepSeam(ShortSleep);
    double beyond = 0;
    for (auto _ : state) {
        s_sleptUs = 0;
        const auto start = Clock::now();
        const int result = ORVUpdateFPGABurn(nullptr);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        if (result != 0)
            state.SkipWithError("upgrade failed");
        beyond = wall - s_sleptUs.load() / 1e6;
        state.SetIterationTime(beyond);
        DeviceClose();
    }
    SetSleepSeam(nullptr);
    const double handshakes = 2 * OneHandshake();
    beyond -= handshakes;
    // The data phase alone: 23552 acknowledged packets, in upgrade mode with a sector
    // selected (the emulator then takes them as the upgrade does).
    const int fd2 = open(bench.emu.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    const unsigned char enter[5] = {0xB8, 0xFF, 0x00, 0x00, 0x01};
    const unsigned char select[6] = {0xB8, 0xFF, 0x01, 0x00, 0x03, 0x04};
    unsigned char reply[64];
    for (const auto& [bytes, n] : {std::pair<const unsigned char*, size_t>{enter, 5}, {select, 6}}) {
        (void)!write(fd2, bytes, n);
        pollfd p{fd2, POLLIN, 0};
        poll(&p, 1, 1000);
        (void)!read(fd2, reply, sizeof reply);
    }
    close(fd2);
    const double baseline = RawExchanges(bench.emu, 23552, [&](size_t i, unsigned char* out) {
        memset(out, 0, 64);
        const uint32_t offset = static_cast<uint32_t>(i % 11776) * 32;
        const unsigned char head[9] = {
            0xB8, 0xFF, 0x03, 0x00, 32, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset), 0};
        memcpy(out, head, sizeof head);
        memcpy(out + 16, image.data() + offset, 32);
        return size_t{64};
    });
    state.counters["handshakes_s"] = handshakes;
    state.counters["baseline_s"] = baseline;
    state.counters["ratio"] = baseline > 0 ? beyond / baseline : 0;
    state.counters["KiB_per_s"] = beyond > 0 ? 0xB8000 / 1024.0 / beyond : 0;
}
BENCHMARK(BM_FpgaUpgrade)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Crc32Image(benchmark::State& state) {
    const auto image = Random(0xB8000);
    for (auto _ : state)
        benchmark::DoNotOptimize(FPGAImageCrc(image.data(), 0xB8000));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0xB8000);
}
BENCHMARK(BM_Crc32Image)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
