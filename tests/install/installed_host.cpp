// A host of the installed library: includes <nvs300.h> and links libnvs, nothing else of
// the source tree. It runs beside nvs-emulator, a process of its own.
//
//   installed_host PORT
//
// Connects to the instrument on /dev/ttyACM<PORT> with ORVConnect, prints its serial
// number, outputs one second of ECG and prints what the callback received (every 100th
// sample), then stops and ends the connection. Exit status 0 when each step worked.
#include <nvs300.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr unsigned kConnectTimeoutMs = 20000;
constexpr auto kOutputDeadline = std::chrono::seconds(20);

struct Sample {
    double t;
    int ac;
};

std::mutex g_mutex;
std::condition_variable g_received;
std::vector<Sample> g_ecg;
bool g_ended = false;

// Runs on the library's output thread.
void OnEcg(double t, int ac, int dc) {
    const bool end = ac == static_cast<int>(0x80000000u) && dc == static_cast<int>(0x80000000u);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (end)
            g_ended = true;
        else
            g_ecg.push_back(Sample{t, ac});
    }
    g_received.notify_all();
}

ECG_WAVEFORM HeartBeat() {
    ECG_WAVEFORM e = {};
    e.nWaveformType = 6;  // ECG beat, 60 per minute
    e.fFrequency = 1.0;
    e.fAmplitude = 1.0;  // R wave, mV
    e.fTAmplitude = 0.3;
    e.fPAmplitude = 0.2;
    e.nRRInterval = 1000;
    e.nPRInterval = 160;
    e.nQRSWidth = 100;
    e.nQTInterval = 400;
    e.nPacingRate = 60;
    e.fSampleRateKHz = 1.0;
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT   (the instrument on /dev/ttyACM<PORT>)\n", argv[0]);
        return 2;
    }
    const unsigned port = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    if (!ORVConnect(port, kConnectTimeoutMs)) {
        std::fprintf(stderr, "no instrument on /dev/ttyACM%u\n", port);
        return 1;
    }
    const std::string serial = ORVGetSerialNumber();  // the library's buffer: copied
    std::printf("serial number %s\n", serial.c_str());

    ECG_WAVEFORM ecg = HeartBeat();
    if (!ORVOutputECG(&ecg, OnEcg)) {
        std::fprintf(stderr, "the ECG output did not start\n");
        ORVFree();
        return 1;
    }
    bool second = false;
    {
        std::unique_lock<std::mutex> lock(g_mutex);
        second = g_received.wait_for(lock, kOutputDeadline, [] { return !g_ecg.empty() && g_ecg.back().t >= 1.0; });
    }
    ORVStopOutputWaveform();  // the end marker arrives before this returns
    ORVFree();

    std::lock_guard<std::mutex> lock(g_mutex);
    for (size_t i = 0; i < g_ecg.size() && g_ecg[i].t <= 1.0; i += 100)
        std::printf("ECG t %.3f s  %6d uV\n", g_ecg[i].t, g_ecg[i].ac);
    std::printf("ECG: %zu samples, end marker %s\n", g_ecg.size(), g_ended ? "received" : "MISSING");
    if (serial.empty() || !second || !g_ended) {
        std::fprintf(stderr, "%s\n",
                     serial.empty() ? "no serial number"
                     : !second      ? "less than a second of ECG within the deadline"
                                    : "no end marker after the stop");
        return 1;
    }
    return 0;
}
