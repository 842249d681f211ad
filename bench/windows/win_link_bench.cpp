// Timed programs of the Windows build, run under wine (not tests):
//   wine-link-test.sh EMULATOR PREFIX win_link_bench.exe [seconds]
// - a command's round trip through WriteData + ReadData against plain WriteFile +
//   ReadFile on the same port (medians and p99, and their ratio);
// - the cost of an unanswered read (about one read time-out);
// - ORVFree while the connection thread is held in an exchange: in the loading's memory
//   reads, and in a read the silenced emulator leaves unanswered (goal: within 3.2 s);
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
#include <winsock2.h>

#include <atomic>

#include "api/nvs300.h"

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

// One command to the emulator's control port (NVS_CONTROL_PORT); its answer line.
std::string Control(const std::string& command) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const char* port = getenv("NVS_CONTROL_PORT");
    if (!started || port == nullptr)
        return "";
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(atoi(port)));
    std::string answer;
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string line = command + "\n";
        send(s, line.data(), static_cast<int>(line.size()), 0);
        char c;
        while (recv(s, &c, 1, 0) == 1 && c != '\n')
            answer += c;
    }
    if (s != INVALID_SOCKET)
        closesocket(s);
    return answer;
}

std::atomic<int> s_connected{0};
void Listener(bool connected) {
    if (connected)
        s_connected.fetch_add(1);
}

// ORVFree right after the connection (the loading's memory reads under way), with the
// emulator answering or silenced just before the free.
void FreeWhileHeld(bool silence, int runs) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        s_connected.store(0);
        if (!ORVInit(Listener))
            break;
        const uint64_t deadline = GetMonotonicMs() + 20000;
        while (s_connected.load() == 0 && GetMonotonicMs() < deadline)
            SleepEx(2);
        if (s_connected.load() == 0) {
            ORVFree();
            printf("no connection\n");
            return;
        }
        SleepEx(50);  // well into the loading
        if (silence && Control("silent on") != "ok") {
            ORVFree();
            printf("no control port\n");
            return;
        }
        const uint64_t start = GetMonotonicUs();
        ORVFree();
        ms.push_back(UsSince(start) / 1000.0);
        if (silence)
            Control("silent off");
    }
    printf("ORVFree, thread in %-14s median %7.1f ms  max %7.1f ms  (%zu runs; goal <= 3200 ms)\n",
           silence ? "a silent read:" : "the loading:", Percentile(ms, 0.5), Percentile(ms, 1.0), ms.size());
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
        FreeWhileHeld(false, 5);
        FreeWhileHeld(true, 5);
    }
    Ticks(20, seconds);
    Ticks(10, seconds);
    return 0;
}
