// Factory calibration data: convert-table loads, and the stored-table writes against the
// emulator's firmware model beside a raw-pty baseline.
//
// Table load: parse a table file, interpolate its row and write the 4096-line converted
// copy; one-line and 4096-line files. The goal is <= 10 ms each.
//
// Stored tables (photodiode-sampling write with its read-back: 128 exchanges; ECG
// DC-offset table: 126; PPG DC table: 256): the library's fixed pauses (40 ms after each
// written packet, 6 ms after each byte-form read) go through its sleep seam, which here
// returns at once, so the wall time is the time beyond the pauses. The baseline replays
// the very requests the call made over the raw pseudo-terminal, each 64-byte request
// followed by its 64-byte reply, with no library in between. Counter ratio: beyond
// pauses / baseline, the goal is <= 1.2.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "api/LedApi.h"
#include "api/PostConnection.h"
#include "api/nvs300.h"
#include "platform/Device.h"
#include "platform/SleepSeam.h"
#include "platform/linux/DeviceSeam.h"
#include "protocol/Identity.h"
#include "service/ConvertTable.h"

namespace {

using Clock = std::chrono::steady_clock;

void NoSleep(unsigned) {}

std::string TempFolder() {
    char pattern[] = "/tmp/nvs-factory-bench-XXXXXX";
    return mkdtemp(pattern);
}

void BM_TableLoad(benchmark::State& state) {
    const int lines = static_cast<int>(state.range(0));
    const std::string folder = TempFolder();
    const std::string path = folder + "/channel1-ac.txt";
    std::string text;
    if (lines == 1) {
        text = "10=30\n";
    } else {
        for (int i = 0; i < lines; ++i) {
            text += std::to_string(i) + "=" + std::to_string((i * 7) % 4096) + "\n";
        }
    }
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    static std::atomic<int32_t> row[kConvertRowLength];
    for (auto _ : state) {
        if (DoGetCalibrateConvertTable(path.c_str(), row) != 1) {
            state.SkipWithError("the table did not load");
        }
    }
    unlink(path.c_str());
    unlink(ConvertedCopyPath(path).c_str());
    rmdir(folder.c_str());
}
BENCHMARK(BM_TableLoad)->Arg(1)->Arg(4096)->Unit(benchmark::kMillisecond);

// The emulator linked as ttyACM0 of a private folder, found with the handshake.
struct Bench {
    std::string folder = TempFolder();
    std::shared_ptr<nvsemu::Firmware> fw = std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpg2112());
    nvsemu::Emulator emu;
    Bench() {
        DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(folder.c_str());
        emu.Start();
        emu.SetResponder(fw);
        emu.LinkAs(folder + "/ttyACM0");
        DeviceSetTargetCheck(IsTargetDevice);
        FindDevice(-1);
        AllocatePPGPDSamplingTables();  // as the connection thread does
        g_nCurrentSelectPPGModule = 0;
        emu.ClearRequests();
    }
    ~Bench() {
        ReleasePPGPDSamplingTables();
        DeviceClose();
        emu.Stop();
        rmdir(folder.c_str());
    }
};

// The recorded requests replayed over the raw port: seconds.
double Replay(nvsemu::Emulator& emu, const std::vector<nvsemu::Request>& requests) {
    const int fd = open(emu.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return 0;
    }
    unsigned char reply[64];
    const auto start = Clock::now();
    for (const nvsemu::Request& r : requests) {
        if (write(fd, r.bytes.data(), r.bytes.size()) != static_cast<ssize_t>(r.bytes.size())) {
            break;
        }
        size_t got = 0;
        while (got < sizeof reply) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) {
                break;
            }
            const ssize_t n = read(fd, reply + got, sizeof reply - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return seconds;
}

template <class Call>
void StoredTable(benchmark::State& state, Call call) {
    Bench bench;
    SetSleepSeam(NoSleep);
    double library = 0;
    std::vector<nvsemu::Request> requests;
    for (auto _ : state) {
        bench.emu.ClearRequests();
        const auto start = Clock::now();
        const bool ok = call();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!ok) {
            state.SkipWithError("the write failed");
        }
        library += seconds;
        state.SetIterationTime(seconds);
        requests = bench.emu.Requests();
    }
    SetSleepSeam(nullptr);
    DeviceClose();  // the port is the baseline's now
    double baseline = 0;
    for (int i = 0; i < static_cast<int>(state.iterations()); ++i) {
        baseline += Replay(bench.emu, requests);
    }
    state.counters["exchanges"] = static_cast<double>(requests.size());
    state.counters["baseline_ms"] = 1000 * baseline / static_cast<double>(state.iterations());
    state.counters["ratio"] = baseline > 0 ? library / baseline : 0;
}

void BM_PhotodiodeTableWithReadBack(benchmark::State& state) {
    std::vector<int> table(1024);
    for (int i = 0; i < 1024; ++i) {
        table[static_cast<size_t>(i)] = (i * 3) & 0x0FFF;
    }
    StoredTable(state, [&] { return ORVWritePPGCalibrationDataPDSampling(PPG_CHANNEL_1, table.data(), 1024); });
}
BENCHMARK(BM_PhotodiodeTableWithReadBack)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_ECGTable(benchmark::State& state) {
    std::vector<int> table(2001);
    for (int i = 0; i < 2001; ++i) {
        table[static_cast<size_t>(i)] = 40 + 2 * i;
    }
    StoredTable(state, [&] { return ORVWriteECGDCVariableCalibrationData(table.data(), 2001); });
}
BENCHMARK(BM_ECGTable)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_PPGDCTable(benchmark::State& state) {
    std::vector<int> table(3001);
    for (int i = 0; i < 3001; ++i) {
        table[static_cast<size_t>(i)] = 400 + 21 * i;
    }
    StoredTable(state, [&] { return ORVWritePPGCalibrationDataDC(PPG_CHANNEL_1, table.data(), 3001); });
}
BENCHMARK(BM_PPGDCTable)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
