// Soak: a long mode-15 stream (ECG with three PPG channels at 10000 samples per second)
// through the exported functions against the emulated instrument, which plays at the
// real rate; an ambient-light-mode write every second and an unplug and replug every few
// minutes, after which the host starts the stream again once the library has
// reconnected. Reports, per minute and at the end, the process's resident memory, open
// descriptors and threads, and the underruns the instrument counted, split into those
// around an unplug (from a second before it to five seconds after the stream restarted)
// and the rest.
//
//   soak_bench [--minutes=30] [--unplug-every=300] [--setter-every-ms=1000] [--profile=yb-2006]
//
// A plain program, not a Google Benchmark one: its figures are a log, not a timing.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "WaveformRecords.h"
#include "api/Connection.h"
#include "api/nvs300.h"
#include "platform/linux/DeviceSeam.h"

namespace {

struct Options {
    double minutes = 30;
    unsigned unplugEverySeconds = 300;
    unsigned setterEveryMs = 1000;
    std::string profile = "yb-2006";  // a PPG side with three channels
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* key) -> const char* {
            const size_t n = std::strlen(key);
            return a.compare(0, n, key) == 0 ? a.c_str() + n : nullptr;
        };
        if (const char* v = value("--minutes=")) {
            o.minutes = std::atof(v);
        } else if (const char* v = value("--unplug-every=")) {
            o.unplugEverySeconds = static_cast<unsigned>(std::atoi(v));
        } else if (const char* v = value("--profile=")) {
            o.profile = v;
        } else if (const char* v = value("--setter-every-ms=")) {
            o.setterEveryMs = static_cast<unsigned>(std::atoi(v));
        } else {
            std::fprintf(stderr,
                         "usage: %s [--minutes=30] [--unplug-every=300] [--setter-every-ms=1000] [--profile=yb-2006]\n",
                         argv[0]);
            return false;
        }
    }
    return o.minutes > 0 && o.setterEveryMs > 0;
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

int Entries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // the listing's own descriptor
}

// The connection listener: the last state and the count of notices.
struct Link {
    std::mutex mu;
    std::condition_variable cv;
    bool connected = false;
    unsigned notices = 0;
    bool WaitFor(bool state, unsigned ms) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return connected == state; });
    }
};
Link s_link;

void Listener(bool connected) {
    std::lock_guard<std::mutex> lock(s_link.mu);
    s_link.connected = connected;
    ++s_link.notices;
    s_link.cv.notify_all();
}

// One second of a slow ramp per channel, looping.
struct Source {
    std::vector<double> ac = std::vector<double>(1000), dc = std::vector<double>(1000, 100.0);
    PLAY_RAW_DATA record = {};
    Source() {
        for (size_t i = 0; i < ac.size(); ++i) {
            ac[i] = 0.5 * static_cast<double>(i) / 1000.0;
        }
        record = PLAY_RAW_DATA{1000.0, 1000, 1, ac.data(), dc.data(), nullptr};
    }
};

// Underruns the instrument reported, with when they happened.
struct Underruns {
    std::mutex mu;
    std::vector<uint64_t> atUs;
    std::vector<uint64_t> starvedUs;
    std::vector<uint64_t> requestLateUs;  // how late the instrument wrote the request before it
    uint64_t lastRequestLateUs = 0;
    uint64_t requestLateMaxUs = 0;
    uint64_t requestsLate = 0;  // requests the emulator itself wrote 5 ms or more after due
};
constexpr uint64_t kLateUs = 5000;

// A time span around one unplug: from a second before it until five seconds after the
// stream ran again.
struct Window {
    uint64_t fromUs, toUs;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        return 2;
    }
    nvsemu::Emulator emulator;
    if (!emulator.Start()) {
        std::fprintf(stderr, "soak: the emulator did not start\n");
        return 1;
    }
    nvsemu::Profile profile;
    if (!nvsemu::Profile::ByName(o.profile, profile)) {
        std::fprintf(stderr, "soak: no emulator profile %s\n", o.profile.c_str());
        return 2;
    }
    auto firmware = std::make_shared<nvsemu::Firmware>(profile);
    nvsemu::StreamOptions streamOptions;
    streamOptions.logSamples = 0;  // the played-word log would grow for the whole run
    firmware->SetStreamOptions(streamOptions);
    emulator.SetResponder(firmware);
    auto underruns = std::make_shared<Underruns>();
    auto requests = std::make_shared<std::atomic<uint64_t>>(0);
    firmware->SetStreamHook([underruns, requests](const nvsemu::StreamEvent& e) {
        std::lock_guard<std::mutex> lock(underruns->mu);
        if (e.kind == nvsemu::StreamEvent::Kind::Underrun) {
            underruns->atUs.push_back(e.atUs);
            underruns->starvedUs.push_back(e.value);
            underruns->requestLateUs.push_back(underruns->lastRequestLateUs);
        } else if (e.kind == nvsemu::StreamEvent::Kind::DataRequest) {
            ++*requests;
            const uint64_t late = e.atUs > e.dueUs ? e.atUs - e.dueUs : 0;
            underruns->lastRequestLateUs = late;
            underruns->requestLateMaxUs = std::max(underruns->requestLateMaxUs, late);
            underruns->requestsLate += late >= kLateUs ? 1 : 0;
        }
    });
    char pattern[] = "/tmp/nvs-soak-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    DeviceSeamSetNodePattern((dir + "/ttyACM%d").c_str());
    DeviceSeamSetLockDirectory(dir.c_str());
    if (!emulator.LinkAs(dir + "/ttyACM0")) {
        std::fprintf(stderr, "soak: no device node\n");
        return 1;
    }

    Source ecg, p1, p2, p3;
    ORVWaveformPlayerLoop(true);
    // Connected and loaded, then the stream runs; false when either does not come.
    auto connectAndStream = [&](unsigned loadedBefore) {
        if (!s_link.WaitFor(true, 60000)) {
            std::fprintf(stderr, "soak: no connection within 60 s\n");
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (ConnectionLoadCount() == loadedBefore) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "soak: the stored data were not loaded within 60 s\n");
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        PLAY_RAW_DATA e = ecg.record, a = p1.record, b = p2.record, c = p3.record;
        if (!ORVWaveformPlayerOutputECGAndPPG3(&e, &a, &b, &c)) {
            std::fprintf(stderr, "soak: the stream did not start\n");
            return false;
        }
        return firmware->WaitForStream([](const nvsemu::StreamStatus& s) { return s.counters.requests > 0; }, 10000);
    };

    const auto t0 = std::chrono::steady_clock::now();
    auto elapsedS = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
    unsigned loaded = ConnectionLoadCount();
    if (!ORVInit(Listener) || !connectAndStream(loaded)) {
        ORVFree();
        return 1;
    }
    const nvsemu::StreamStatus first = firmware->GetStreamStatus();
    std::printf("soak: %.1f min, unplug every %u s, setter every %u ms; stream mode %d at %u samples/s\n", o.minutes,
                o.unplugEverySeconds, o.setterEveryMs, first.mode, first.rate);
    const long rssStart = ResidentKb();
    const int fdsStart = Entries("/proc/self/fd"), threadsStart = Entries("/proc/self/task");
    std::printf("%8s %10s %5s %8s %10s %10s %8s\n", "t_s", "rss_kb", "fds", "threads", "requests", "underruns",
                "setters_failed");
    std::fflush(stdout);

    std::vector<Window> windows;
    std::vector<uint64_t> latenciesUs;  // from each data request to its batch's last packet
    unsigned settersOk = 0, settersFailed = 0, unplugs = 0, restartsFailed = 0;
    long rssMax = rssStart, rssEnd = rssStart;
    int fdsMax = fdsStart, threadsMax = threadsStart, fdsEnd = fdsStart, threadsEnd = threadsStart;
    const double total = o.minutes * 60.0;
    double nextSetter = elapsedS(), nextReport = 60.0, nextUnplug = o.unplugEverySeconds;
    int mode = 0;
    auto report = [&] {
        size_t n;
        {
            std::lock_guard<std::mutex> lock(underruns->mu);
            n = underruns->atUs.size();
        }
        const long rss = rssEnd = ResidentKb();
        const int fds = fdsEnd = Entries("/proc/self/fd");
        const int threads = threadsEnd = Entries("/proc/self/task");
        rssMax = std::max(rssMax, rss);
        fdsMax = std::max(fdsMax, fds);
        threadsMax = std::max(threadsMax, threads);
        std::printf("%8.0f %10ld %5d %8d %10llu %10zu %8u\n", elapsedS(), rss, fds, threads,
                    static_cast<unsigned long long>(requests->load()), n, settersFailed);
        std::fflush(stdout);
    };
    while (elapsedS() < total) {
        const double now = elapsedS();
        if (o.unplugEverySeconds > 0 && now >= nextUnplug) {
            const std::vector<uint64_t> l = firmware->BatchLatenciesUs();
            latenciesUs.insert(latenciesUs.end(), l.begin(), l.end());
            Window w{nvsemu::NowUs() - 1000000, 0};
            loaded = ConnectionLoadCount();
            emulator.Unplug();
            ++unplugs;
            const bool heardGone = s_link.WaitFor(false, 30000);
            if (!emulator.Replug()) {
                std::fprintf(stderr, "soak: replug failed\n");
                break;
            }
            const bool back = heardGone && connectAndStream(loaded);
            restartsFailed += back ? 0 : 1;
            w.toUs = nvsemu::NowUs() + 5000000;
            windows.push_back(w);
            std::printf("soak: unplug %u at %.0f s: %s (%.1f s to stream again)\n", unplugs, now,
                        back ? "reconnected, stream restarted" : "NOT back", elapsedS() - now);
            nextUnplug += o.unplugEverySeconds;
            nextSetter = elapsedS();
            continue;
        }
        if (now >= nextReport) {
            // The emulator shares the process and records every byte it is sent: forget
            // them, so that what grows is the library's.
            emulator.ClearRequests();
            report();
            nextReport += 60.0;
        }
        if (now >= nextSetter) {
            (ORVSetLEDAmbientLightMode(static_cast<PPGAmbientLightMode>(mode)) ? settersOk : settersFailed)++;
            mode = (mode + 1) % 15;
            nextSetter += o.setterEveryMs / 1000.0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the loop's pace
    }
    report();
    const nvsemu::StreamStatus last = firmware->GetStreamStatus();
    {
        const std::vector<uint64_t> l = firmware->BatchLatenciesUs();
        latenciesUs.insert(latenciesUs.end(), l.begin(), l.end());
    }
    std::sort(latenciesUs.begin(), latenciesUs.end());
    ORVStopPlayRawData();
    ORVFree();
    emulator.Stop();
    std::system(("rm -rf '" + dir + "'").c_str());

    size_t around = 0, outside = 0, outsideAfterLateRequest = 0;
    uint64_t starvedOutsideUs = 0, requestLateMaxUs = 0, requestsLate = 0;
    {
        std::lock_guard<std::mutex> lock(underruns->mu);
        for (size_t i = 0; i < underruns->atUs.size(); ++i) {
            bool in = false;
            for (const Window& w : windows) {
                in = in || (underruns->atUs[i] >= w.fromUs && underruns->atUs[i] <= w.toUs);
            }
            (in ? around : outside)++;
            starvedOutsideUs += in ? 0 : underruns->starvedUs[i];
            outsideAfterLateRequest += !in && underruns->requestLateUs[i] >= kLateUs ? 1 : 0;
        }
        requestLateMaxUs = underruns->requestLateMaxUs;
        requestsLate = underruns->requestsLate;
    }
    std::printf(
        "soak summary: %.1f s; %u unplugs (%u without a restart); setters %u ok, %u failed; "
        "data requests %llu; last stream: %llu packets, %llu overflows, %llu check failures\n",
        elapsedS(), unplugs, restartsFailed, settersOk, settersFailed,
        static_cast<unsigned long long>(requests->load()), static_cast<unsigned long long>(last.counters.packets),
        static_cast<unsigned long long>(last.counters.overflows),
        static_cast<unsigned long long>(last.counters.checkFailures));
    if (!latenciesUs.empty()) {
        std::printf(
            "soak summary: request to batch %zu batches, p50 %.2f ms, p99 %.2f ms, p99.9 %.2f ms, max %.2f ms "
            "(deadline %.1f ms)\n",
            latenciesUs.size(), latenciesUs[latenciesUs.size() / 2] / 1000.0,
            latenciesUs[latenciesUs.size() * 99 / 100] / 1000.0, latenciesUs[latenciesUs.size() * 999 / 1000] / 1000.0,
            latenciesUs.back() / 1000.0, 50.0 * nvsemu::LayoutOf(first.mode).samplesPerPacket * 1000.0 / first.rate);
    }
    std::printf(
        "soak summary: underruns %zu around unplugs, %zu elsewhere (%.1f ms starved elsewhere; %zu of them "
        "after a request the emulator itself wrote 5 ms or more late)\n",
        around, outside, starvedOutsideUs / 1000.0, outsideAfterLateRequest);
    std::printf("soak summary: the emulator wrote %llu requests 5 ms or more after due (latest by %.1f ms)\n",
                static_cast<unsigned long long>(requestsLate), requestLateMaxUs / 1000.0);
    std::printf(
        "soak summary: resident %ld kB at start, %ld kB at end (max %ld); descriptors %d -> %d (max %d); "
        "threads %d -> %d (max %d)\n",
        rssStart, rssEnd, rssMax, fdsStart, fdsEnd, fdsMax, threadsStart, threadsEnd, threadsMax);
    return outside == 0 && restartsFailed == 0 ? 0 : 1;
}
