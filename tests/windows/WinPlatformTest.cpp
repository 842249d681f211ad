// The Win32 backend: wait results, private timer ticks, threads, the working directory,
// and the discovery filter (friendly names, device paths, wanted port).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "platform/Transport.h"
#include "platform/windows/DiscoverySeam.h"

// The backend's own counts (platform/windows/Win32.h, which brings <windows.h> along).
long WinOpenHandleCount();
long WinPrioritiesGranted(OsThreadPriority priority);

namespace {

constexpr unsigned int kWaitFailed = 0xFFFFFFFFu;

TEST(WinWaits, ResultsAreZeroIndexOr258AndTheLowestIndexAloneIsConsumed) {
    EXPECT_EQ(258u, NVS_WAIT_TIMEOUT);
    CAutoResetEvent a, b, c;
    CEvent* events[] = {&a, &b, &c};
    EXPECT_EQ(258u, WaitForMultipleObjects(3, events, 0, 0));
    b.SetEvent();
    c.SetEvent();
    EXPECT_EQ(1u, WaitForMultipleObjects(3, events, 0, 0));
    EXPECT_EQ(2u, WaitForMultipleObjects(3, events, 0, 0));
    EXPECT_EQ(258u, WaitForMultipleObjects(3, events, 0, 0));
    a.SetEvent();
    EXPECT_EQ(0u, a.WaitTimeout(0));
    EXPECT_EQ(258u, a.WaitTimeout(0));
}

TEST(WinWaits, BadArgumentsFailAtOnce) {
    CAutoResetEvent a;
    std::vector<CEvent*> many(65, &a);
    a.SetEvent();
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(0, many.data(), 0, NVS_INFINITE));
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(65, many.data(), 0, NVS_INFINITE));
    EXPECT_EQ(kWaitFailed, WaitForMultipleObjects(1, nullptr, 0, NVS_INFINITE));
    EXPECT_EQ(0u, a.WaitTimeout(0));  // nothing consumed
    EXPECT_EQ(258u, WaitForSingleObject(nullptr, 0));
}

TEST(WinWaits, InfiniteWaitEndsWhenAnotherThreadSets) {
    CManualResetEvent event;
    std::thread setter([&] {
        SleepEx(20);
        event.SetEvent();
    });
    EXPECT_EQ(0u, event.WaitTimeout(NVS_INFINITE));
    CEvent* events[] = {&event};
    EXPECT_EQ(0u, WaitForMultipleObjects(1, events, 0, NVS_INFINITE));
    setter.join();
}

TEST(WinTimers, TwoPacedThreadsEachGetTheirOwnTicksAndAMarkWakesAWaiter) {
    CAutoResetEvent first, second;
    TIMER_HANDLE t1 = CreateTimerForEvent(20, &first);
    TIMER_HANDLE t2 = CreateTimerForEvent(20, &second);
    ASSERT_NE(nullptr, t1);
    ASSERT_NE(nullptr, t2);
    const uint64_t start = GetMonotonicMs();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(0u, first.WaitTimeout(2000));  // a blocked wait is woken by a tick
        EXPECT_EQ(0u, second.WaitTimeout(2000));
    }
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 150u);
    EXPECT_LT(took, 3000u);
    DeleteTimerForEvent(t1);
    DeleteTimerForEvent(t2);
    EXPECT_EQ(nullptr, t1);
}

TEST(WinThreads, LibraryThreadsAreMarkedAndTheJoinerAloneCloses) {
    std::atomic<int> seen{-1};
    THREAD_HANDLE handle = 0;
    auto body = [](void* argument) -> void* {
        static_cast<std::atomic<int>*>(argument)->store(IsLibraryThread() ? 1 : 0);
        return nullptr;
    };
    ASSERT_EQ(1, CreateThread(&handle, body, &seen));
    CloseThread(handle);
    WaitForThread(handle);
    EXPECT_EQ(1, seen.load());
    EXPECT_FALSE(IsLibraryThread());
    EXPECT_EQ(0, CreateThread(&handle, nullptr, nullptr));
}

// A bounded join that runs out leaves the thread running (never terminated): the handle
// stays valid, a later join takes it, and no handle is left open after it.
TEST(WinThreads, BoundedJoinLeavesALateThreadToEndAloneAndALaterJoinTakesIt) {
    CManualResetEvent release;
    const long handlesBefore = WinOpenHandleCount();
    auto blocked = [](void* argument) -> void* {
        static_cast<CManualResetEvent*>(argument)->Wait();
        return nullptr;
    };
    auto quick = [](void*) -> void* { return nullptr; };
    THREAD_HANDLE handle = 0;
    ASSERT_EQ(1, CreateThread(&handle, quick, nullptr));
    EXPECT_TRUE(WaitForThreadBounded(handle, 5000));
    EXPECT_TRUE(WaitForThreadBounded(0, 0));

    ASSERT_EQ(1, CreateThread(&handle, blocked, &release));
    const uint64_t start = GetMonotonicMs();
    EXPECT_FALSE(WaitForThreadBounded(handle, 300));
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 250u);
    EXPECT_LT(took, 3000u);
    release.SetEvent();
    WaitForThread(handle);
    EXPECT_EQ(handlesBefore, WinOpenHandleCount());
}

// Each class of priority a thread asks for itself is granted and counted (wine reads 0
// from GetThreadPriority).
TEST(WinThreads, ThreadsAskForTheirOwnPriority) {
    const OsThreadPriority classes[] = {OsThreadPriority::TimeCritical, OsThreadPriority::BelowNormal,
                                        OsThreadPriority::Normal};
    for (OsThreadPriority priority : classes) {
        const long before = WinPrioritiesGranted(priority);
        struct Ask {
            OsThreadPriority priority;
            bool granted;
        } ask{priority, false};
        auto body = [](void* argument) -> void* {
            Ask* a = static_cast<Ask*>(argument);
            a->granted = SetCurrentThreadPriority(a->priority);
            return nullptr;
        };
        THREAD_HANDLE handle = 0;
        ASSERT_EQ(1, CreateThread(&handle, body, &ask));
        WaitForThread(handle);
        EXPECT_TRUE(ask.granted) << static_cast<int>(priority);
        EXPECT_EQ(before + 1, WinPrioritiesGranted(priority)) << static_cast<int>(priority);
    }
}

TEST(WinInstance, WorkingDirectoryIsTheModuleFolder) {
    const std::string folder = OsWorkingDirectory();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ('\\', folder.back());
}

TEST(WinDiscovery, ComNumberOfFriendlyNames) {
    struct Case {
        const char* name;
        int com;
    } cases[] = {
        {"USB Serial Device (COM5)", 5},
        {"COMPOSITE (COM5)", 5},
        {"Device (COM12", 12},
        {"Device (COM)", -1},
        {"no port here", -1},
        {"", -1},
        {"(COM0)", -1},
        {"(COM256)", 256},
        {"(COM65535)", 65535},
        {"(COM65536)", -1},  // the numbers from 0x10000 on stand for interfaces without one
        {"(COM99999999999999)", -1},
        {"com5", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.com, ComNumberOfFriendlyName(c.name, strlen(c.name) + 1)) << c.name;
    // 300 bytes with no terminator: read within its size only.
    std::string full(300, 'x');
    full.replace(290, 4, "COM7");
    EXPECT_EQ(7, ComNumberOfFriendlyName(full.data(), full.size()));
    EXPECT_EQ(-1, ComNumberOfFriendlyName(nullptr, 10));
}

const char* kInstrument = "\\\\?\\usb#vid_04d8&pid_000a#nvs1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

TEST(WinDiscovery, ListingFiltersByDeviceAndWantedPort) {
    const std::string upper = "\\\\?\\USB#VID_04D8&PID_000A#NVS2#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
    const std::string other = "\\\\?\\usb#vid_1234&pid_5678#x#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    const std::string longPath = std::string(kInstrument) + std::string(512, 'z');
    std::vector<CDiscoveryEntry> entries = {
        {other, "Other (COM3)"},  {kInstrument, "NVS (COM7)"}, {upper, "no number"},
        {longPath, "NVS (COM9)"}, {kInstrument, "", false},
    };
    DiscoverySeamSetEntries(&entries);
    int ports[8];
    ASSERT_EQ(3, PortList(ports, 8));
    EXPECT_EQ(7, ports[0]);
    char path[512];
    struct Case {
        int port;
        bool named;
    } cases[] = {{7, true}, {5, false}, {3, false}, {9, false}, {ports[1], true}, {ports[2], true}, {-1, false}};
    for (const Case& c : cases)
        EXPECT_EQ(c.named, PortNodePath(c.port, path, sizeof path)) << c.port;
    EXPECT_TRUE(PortNodePath(ports[1], path, sizeof path));
    EXPECT_EQ(upper, path);
    EXPECT_TRUE(PortIsListed(other.c_str()));
    EXPECT_FALSE(PortIsListed(longPath.c_str()));
    EXPECT_FALSE(PortIsListed(""));
    // Nothing listed can be opened here: a scan leaves no port open.
    EXPECT_EQ(0, FindDevice(-1));
    EXPECT_EQ(0, DeviceIsConnected());
    DiscoverySeamSetEntries(nullptr);
}

TEST(WinTransport, NoPortMeansNothingMoves) {
    unsigned char buffer[64] = {};
    EXPECT_EQ(0, ReadData(buffer, 64, 0xFF));
    EXPECT_EQ(0, ReadData(nullptr, 64, 0xFF));
    EXPECT_EQ(0, ReadData(buffer, 0, 0xFF));
    EXPECT_EQ(0, WriteData(buffer, 64, 1));
    EXPECT_EQ(0, WriteData(nullptr, 64, 1));
    EXPECT_EQ(0, WriteData(buffer, -1, 0));
}

}  // namespace
