// Output example: the instrument (here its emulator) generates an ECG beat with a PPG
// pulse behind it, while the library feeds the same signal to this program's callbacks.
// After a few seconds the program stops the output and writes what the callbacks
// received as a CSV file and as an SVG picture of both channels.
//
//   output_example [folder] [seconds]     (default ./output, 4 s)
//
// The program uses only the exported interface. The emulator runs on a pseudo-terminal:
// as root it is linked as /dev/ttyACM127 and found by ORVConnect; otherwise its port is
// handed to the library with ORVSetDeviceHandle.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "nvs300.h"
#include "support/Plot.h"

namespace {

using example::Point;

std::mutex g_mutex;
std::vector<Point> g_ecg, g_ppg;

bool IsEndMarker(int ac, int dc) { return ac == static_cast<int>(0x80000000u) && dc == static_cast<int>(0x80000000u); }

// Runs on the library's output thread: keep it short.
void OnEcg(double t, int ac, int dc) {
    if (!IsEndMarker(ac, dc)) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_ecg.push_back(Point{t, ac, dc});
    }
}

void OnPpg(double t, int ac, int dc) {
    if (!IsEndMarker(ac, dc)) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_ppg.push_back(Point{t, ac, dc});
    }
}

ECG_WAVEFORM HeartBeat() {
    ECG_WAVEFORM e = {};
    e.nWaveformType = 6;  // ECG beat
    e.fFrequency = 1.2;   // 72 per minute
    e.fAmplitude = 1.0;   // R wave, mV
    e.fTAmplitude = 0.3;
    e.fPAmplitude = 0.15;
    e.nRRInterval = 833;
    e.nPRInterval = 160;
    e.nQRSWidth = 100;
    e.nQTInterval = 380;
    e.nPacingRate = 72;
    e.fSampleRateKHz = 1.0;
    return e;
}

PPG_WAVEFORM Pulse() {
    PPG_WAVEFORM p = {};
    p.nWaveformType = 3;  // PPG pulse
    p.fFrequency = 1.2;
    p.fDCLevel = 800.0;
    p.fAmplitude1 = 20.0;  // systolic peak, mV
    p.fAmplitude2 = 9.0;   // notch
    p.fAmplitude3 = 12.0;  // diastolic peak
    p.nTime1 = 180;
    p.nTime2 = 320;
    p.nTime3 = 400;
    p.nPeriod = 833;
    p.nSyncPulse = 1;
    p.fSampleRateKHz = 1.0;
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : "output";
    const double seconds = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 4.0;
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "cannot create %s\n", folder.c_str());
        return 1;
    }

    nvsemu::Emulator emulator;
    if (!emulator.Start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    emulator.SetResponder(std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpgYB2001()));
    // As root the emulator is linked where the shipped library scans and found with
    // ORVConnect; otherwise its port is opened here and handed over with ORVSetDeviceHandle.
    const unsigned int port = 127;
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
    std::printf("connected to instrument %s\n", ORVGetSerialNumber());

    ECG_WAVEFORM ecg = HeartBeat();
    PPG_WAVEFORM ppg = Pulse();
    // The PPG pulse follows the R wave by 200 ms.
    if (!ORVOutputECGAndPPG(200, &ecg, &ppg, OnEcg, OnPpg)) {
        std::fprintf(stderr, "the output did not start\n");
        return 1;
    }
    std::printf("output running for %.0f s ...\n", seconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
    ORVStopOutputWaveform();
    if (handedOver >= 0)
        ORVSetDeviceHandle(nullptr);  // the library closes the port it took over
    ORVFree();
    emulator.Stop();
    if (geteuid() == 0)
        unlink(node.c_str());

    std::lock_guard<std::mutex> lock(g_mutex);
    std::printf("received %zu ECG and %zu PPG samples\n", g_ecg.size(), g_ppg.size());
    const std::string csv = folder + "/output.csv";
    const std::string svg = folder + "/output.svg";
    if (!example::WriteCsv(csv, g_ecg, g_ppg) ||
        !example::WriteSvg(svg, seconds, g_ecg, g_ppg, "PPG channel 1 AC (microvolts)")) {
        std::fprintf(stderr, "cannot write into %s\n", folder.c_str());
        return 1;
    }
    std::printf("wrote %s and %s\n", csv.c_str(), svg.c_str());
    return g_ecg.empty() || g_ppg.empty() ? 1 : 0;
}
