// Sampling example: the instrument (here its emulator, its photodiode 1 input watching a
// square wave) streams photodiode 1 measurements for two seconds; the program writes the
// runs its callback received (value and number of samples) as a CSV file.
//
//   sampling_example [folder] [seconds]     (default ./output, 2 s)
//
// The program uses only the exported interface. As root the emulator is linked as
// /dev/ttyACM126 and found by ORVConnect; otherwise its port is handed to the library
// with ORVSetDeviceHandle.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "nvs300.h"

namespace {

std::mutex g_mutex;
std::vector<std::pair<int, int>> g_runs;  // (value, count)
int g_gaps = 0;

// Runs on the library's sampling thread: keep it short.
void OnPD1(int value, int count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_runs.emplace_back(value, count);
}

void OnError(int) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_gaps;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : "output";
    const double seconds = argc > 2 ? std::max(0.5, std::atof(argv[2])) : 2.0;
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "cannot create %s\n", folder.c_str());
        return 1;
    }

    nvsemu::Emulator emulator;
    if (!emulator.Start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    auto firmware = std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpgYB2001());
    firmware->SetSampleSource(0, nvsemu::SampleSource::Square(200, 800, 250));  // 2 Hz at 1000 samples/s
    emulator.SetResponder(firmware);
    const unsigned int port = 126;
    const std::string node = "/dev/ttyACM" + std::to_string(port);
    int handedOver = -1;
    bool connected = false;
    if (geteuid() == 0) {
        unlink(node.c_str());
        connected = emulator.LinkAs(node) && ORVConnect(port, 10000);
        std::printf("emulated instrument linked as %s, connected with ORVConnect\n", node.c_str());
    } else {
        handedOver = open(emulator.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        if (handedOver >= 0) {
            ORVSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(handedOver)));
            connected = ORVGetSerialNumber()[0] != '\0';
        }
        std::printf("not root: emulated port %s handed over with ORVSetDeviceHandle\n", emulator.SlavePath().c_str());
    }
    if (!connected) {
        std::fprintf(stderr, "the library did not connect to the emulated instrument\n");
        return 1;
    }

    ORVEnableSampling(PPG_SAMPLING_PD1, OnPD1);
    if (!ORVStartSampling(OnError)) {
        std::fprintf(stderr, "the sampling did not start\n");
        return 1;
    }
    std::printf("sampling photodiode 1 for %.1f s ...\n", seconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
    ORVDisableSampling();  // returns once the sampling thread has ended
    if (handedOver >= 0)
        ORVSetDeviceHandle(nullptr);
    ORVFree();
    emulator.Stop();
    if (geteuid() == 0)
        unlink(node.c_str());

    std::lock_guard<std::mutex> lock(g_mutex);
    const std::string csv = folder + "/sampling.csv";
    FILE* f = std::fopen(csv.c_str(), "w");
    if (f == nullptr) {
        std::fprintf(stderr, "cannot write into %s\n", folder.c_str());
        return 1;
    }
    std::fprintf(f, "first_sample,value,count\n");
    long samples = 0;
    for (const auto& run : g_runs) {
        std::fprintf(f, "%ld,%d,%d\n", samples, run.first, run.second);
        samples += run.second;
    }
    if (std::fclose(f) != 0)
        return 1;
    std::printf("received %zu runs, %ld samples, %d gaps; wrote %s\n", g_runs.size(), samples, g_gaps, csv.c_str());
    return g_runs.empty() ? 1 : 0;
}
