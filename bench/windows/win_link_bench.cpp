// Timed programs of the Windows build, run under wine (not tests):
//   wine-link-test.sh EMULATOR PREFIX win_link_bench.exe [seconds]
// - a command's round trip through WriteData + ReadData against plain WriteFile +
//   ReadFile on the same port (medians and p99, and their ratio);
// - the cost of an unanswered read (about one read time-out);
// - the multimedia timers' ticks at 20 ms and 10 ms over `seconds` (default 10): ticks
//   per second, median and p99 of the gaps.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "platform/Transport.h"
#include "platform/windows/DiscoverySeam.h"

namespace {

const unsigned char kRequest[3] = {0x55, 0x00, 0x00};  // the model record
constexpr int kReplyLength = 12;                       // its reply

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

double UsSince(uint64_t startUs) { return static_cast<double>(GetMonotonicUs() - startUs); }

void Report(const char* what, const std::vector<double>& us) {
    printf("%-34s median %8.1f us  p99 %8.1f us  (%zu runs)\n", what, Percentile(us, 0.5), Percentile(us, 0.99),
           us.size());
}

std::vector<double> RawRoundTrips(const std::string& path, int runs, bool overlapped) {
    std::vector<double> us;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return us;
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = 100;
    t.WriteTotalTimeoutConstant = 200;
    SetCommTimeouts(h, &t);
    unsigned char reply[kReplyLength];
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < runs; ++i) {
        const uint64_t start = GetMonotonicUs();
        DWORD n = 0;
        OVERLAPPED ov = {};
        ov.hEvent = overlapped ? event : nullptr;
        WriteFile(h, kRequest, sizeof kRequest, &n, overlapped ? &ov : nullptr);
        ReadFile(h, reply, sizeof reply, &n, overlapped ? &ov : nullptr);
        if (n == sizeof reply)
            us.push_back(UsSince(start));
    }
    CloseHandle(event);
    CloseHandle(h);
    return us;
}

std::vector<double> LibraryRoundTrips(int runs) {
    std::vector<double> us;
    unsigned char request[sizeof kRequest];
    unsigned char reply[kReplyLength];
    for (int i = 0; i < runs; ++i) {
        memcpy(request, kRequest, sizeof request);
        const uint64_t start = GetMonotonicUs();
        if (WriteData(request, sizeof request, 1) == static_cast<int>(sizeof request) &&
            ReadData(reply, sizeof reply, NVS_KIND_REPLY) == static_cast<int>(sizeof reply))
            us.push_back(UsSince(start));
    }
    return us;
}

void Ticks(unsigned int periodMs, unsigned int seconds) {
    CAutoResetEvent event;
    TIMER_HANDLE timer = CreateTimerForEvent(periodMs, &event);
    if (timer == nullptr) {
        printf("no timer at %u ms\n", periodMs);
        return;
    }
    std::vector<double> gaps;
    const uint64_t start = GetMonotonicUs();
    uint64_t last = start;
    int ticks = 0;
    while (GetMonotonicUs() - start < static_cast<uint64_t>(seconds) * 1000000u) {
        if (event.WaitTimeout(1000) != 0)
            continue;
        const uint64_t now = GetMonotonicUs();
        gaps.push_back(static_cast<double>(now - last) / 1000.0);
        last = now;
        ++ticks;
    }
    DeleteTimerForEvent(timer);
    printf("ticks at %2u ms: %.1f/s, gap median %.1f ms, p99 %.1f ms, max %.1f ms\n", periodMs,
           ticks / static_cast<double>(seconds), Percentile(gaps, 0.5), Percentile(gaps, 0.99), Percentile(gaps, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned int seconds = argc > 1 ? static_cast<unsigned int>(atoi(argv[1])) : 10;
    const char* link = getenv("NVS_LINK_PATH");
    if (link != nullptr) {
        const std::string path = link;
        const int runs = 300;
        const std::vector<double> raw = RawRoundTrips(path, runs, false);
        const std::vector<double> rawOverlapped = RawRoundTrips(path, runs, true);
        std::vector<CDiscoveryEntry> entries = {{path, "NVS300 (COM7)"}};
        DiscoverySeamSetEntries(&entries);
        DeviceSetTargetCheck([] { return true; });
        if (FindDevice(7) != 1) {
            printf("cannot open %s\n", path.c_str());
            return 1;
        }
        const std::vector<double> lib = LibraryRoundTrips(runs);
        Report("raw WriteFile + ReadFile", raw);
        Report("raw, with OVERLAPPED records", rawOverlapped);
        Report("WriteData + ReadData", lib);
        if (!raw.empty() && !rawOverlapped.empty() && !lib.empty()) {
            printf("%-34s %.2f against plain calls, %.2f against OVERLAPPED ones (goal <= 1.2)\n",
                   "ratio of the medians", Percentile(lib, 0.5) / Percentile(raw, 0.5),
                   Percentile(lib, 0.5) / Percentile(rawOverlapped, 0.5));
        }
        std::vector<double> unanswered;
        unsigned char buffer[64];
        for (int i = 0; i < 10; ++i) {
            const uint64_t start = GetMonotonicUs();
            ReadData(buffer, 64, NVS_KIND_REPLY);
            unanswered.push_back(UsSince(start));
        }
        Report("unanswered read", unanswered);
        DeviceClose();
    }
    Ticks(20, seconds);
    Ticks(10, seconds);
    return 0;
}
