// The transport and the connection over a real port: the native emulator's
// pseudo-terminal, opened by its USB device-interface path (tools/wine-link-test.sh makes
// the link and names it in NVS_LINK_PATH). The discovery seam lists that path; everything
// after the listing runs as shipped.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/nvs300.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "platform/Transport.h"
#include "platform/windows/DiscoverySeam.h"
#include "protocol/Identity.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winsock2.h>

namespace {

std::string LinkPath() {
    const char* path = getenv("NVS_LINK_PATH");
    return path ? path : "";
}

// One command to the emulator's control port (tools/wine-link-test.sh names it in
// NVS_CONTROL_PORT); its answer line, or "" when the port cannot be reached.
std::string Control(const std::string& command) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const char* port = getenv("NVS_CONTROL_PORT");
    if (!started || port == nullptr)
        return "";
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return "";
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(atoi(port)));
    std::string answer;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string line = command + "\n";
        send(s, line.data(), static_cast<int>(line.size()), 0);
        char c;
        while (recv(s, &c, 1, 0) == 1 && c != '\n')
            answer += c;
    }
    closesocket(s);
    return answer;
}

class Link : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = LinkPath();
        if (m_path.empty())
            GTEST_SKIP() << "run by tools/wine-link-test.sh";
        std::vector<CDiscoveryEntry> entries = {{"\\\\?\\usb#vid_1111&pid_2222#other#{x}", "Other (COM3)"},
                                                {m_path, "NVS300 (COM7)"}};
        DiscoverySeamSetEntries(&entries);
        DeviceSetTargetCheck(IsTargetDevice);
    }
    void TearDown() override {
        DeviceClose();
        DiscoverySeamSetEntries(nullptr);
    }
    std::string m_path;
};

TEST_F(Link, DiscoveryOpensTheWantedPortAndTheHandshakeRunsOverIt) {
    struct Case {
        int port;
        int found;
    } cases[] = {{5, 0}, {3, 0}, {7, 1}, {-1, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.found, FindDevice(c.port)) << c.port;
        EXPECT_EQ(c.found, DeviceIsConnected()) << c.port;
        if (c.found) {
            EXPECT_EQ(1, DeviceIsAlive());
        }
        DeviceClose();
    }
}

TEST_F(Link, UnansweredReadCostsOneTimeoutAndRepliesComeBack) {
    ASSERT_EQ(1, FindDevice(7));
    unsigned char buffer[64];
    for (int i = 0; i < 3; ++i) {
        const uint64_t start = GetMonotonicMs();
        EXPECT_EQ(0, ReadData(buffer, 64, NVS_KIND_REPLY));
        const uint64_t took = GetMonotonicMs() - start;
        EXPECT_GE(took, 80u);
        EXPECT_LT(took, 190u) << "more than one read time-out";
    }
    // A request goes out in one write, all of it counted; its reply comes back.
    EXPECT_TRUE(IsTargetDevice());
}

std::atomic<int> s_true{0};
std::atomic<int> s_false{0};
void Listener(bool connected) { (connected ? s_true : s_false).fetch_add(1); }

// Freed while the connection thread is still loading the stored records (an exchange
// under way), then connected through ORVConnect on the COM number.
TEST_F(Link, FreeDuringTheLoadingThenConnectOnTheComNumber) {
    ASSERT_TRUE(ORVInit(Listener));
    for (int i = 0; i < 4000 && s_true.load() == 0; ++i)
        SleepEx(5);
    ASSERT_EQ(1, s_true.load());
    // The loading's memory reads give up between packets (under wine one stored table
    // takes about 3.5 s of reads): the free returns well within its 3 s bound.
    const uint64_t start = GetMonotonicMs();
    ORVFree();
    EXPECT_LT(GetMonotonicMs() - start, 3000u);
    EXPECT_EQ(1, s_false.load());
    EXPECT_EQ(0, DeviceIsConnected());

    EXPECT_FALSE(ORVConnect(5, 1500));  // no instrument on COM5
    EXPECT_TRUE(ORVConnect(7, 20000));
    ORVFree();
    EXPECT_EQ(0, DeviceIsConnected());
}

std::atomic<int> s_blockedCalls{0};
HANDLE s_release = nullptr;
void BlockingListener(bool) {
    s_blockedCalls.fetch_add(1);
    WaitForSingleObject(s_release, 30000);
}

// A listener that does not return holds the connection thread past the free's bound: the
// free returns after about 3 s and closes the port; the thread, left running, calls the
// listener no more and writes nothing; the next connect waits for its end and connects.
TEST_F(Link, FreeLeavesAThreadPastItsBoundAndTheNextStartWaitsForIt) {
    s_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s_blockedCalls.store(0);
    ASSERT_TRUE(ORVInit(BlockingListener));
    for (int i = 0; i < 4000 && s_blockedCalls.load() == 0; ++i)
        SleepEx(5);
    ASSERT_EQ(1, s_blockedCalls.load());
    const uint64_t start = GetMonotonicMs();
    ORVFree();
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 2500u);
    EXPECT_LT(took, 4500u);
    EXPECT_EQ(0, DeviceIsConnected());
    SetEvent(s_release);
    EXPECT_TRUE(ORVConnect(7, 20000));
    EXPECT_EQ(1, s_blockedCalls.load()) << "the late thread called the listener again";
    ORVFree();
    EXPECT_EQ(0, DeviceIsConnected());
    CloseHandle(s_release);
}

// Silence: a command goes unanswered within its time-out and works again once the
// instrument answers; no filler byte ever reaches it.
TEST_F(Link, SilenceThroughTheControlPort) {
    ASSERT_EQ(1, FindDevice(7));
    ASSERT_EQ("ok", Control("silent on"));
    const uint64_t start = GetMonotonicMs();
    EXPECT_FALSE(IsTargetDevice());
    EXPECT_LT(GetMonotonicMs() - start, 2000u);
    ASSERT_EQ("ok", Control("silent off"));
    EXPECT_TRUE(IsTargetDevice());
    EXPECT_EQ("ok 0", Control("fillers"));
}

// The instrument really unplugged (its port closed, its name gone from the prefix): once
// its interface is no longer listed a device change ends the connection (listener false
// once); plugged back in under the same name, the connection thread finds it again.
TEST_F(Link, UnplugAndReplugThroughTheControlPort) {
    s_true.store(0);
    s_false.store(0);
    ASSERT_TRUE(ORVInit(Listener));
    for (int i = 0; i < 4000 && s_true.load() == 0; ++i)
        SleepEx(5);
    ASSERT_EQ(1, s_true.load());
    ASSERT_EQ("ok", Control("unplug"));
    std::vector<CDiscoveryEntry> others = {{"\\\\?\\usb#vid_1111&pid_2222#other#{x}", "Other (COM3)"}};
    DiscoverySeamSetEntries(&others);
    PostMessageA(HWND_BROADCAST, WM_DEVICECHANGE, 7 /* DBT_DEVNODES_CHANGED */, 0);
    for (int i = 0; i < 4000 && s_false.load() == 0; ++i)
        SleepEx(5);
    EXPECT_EQ(1, s_false.load());
    EXPECT_EQ(0, DeviceIsConnected());

    ASSERT_EQ("ok", Control("replug"));
    std::vector<CDiscoveryEntry> back = {{m_path, "NVS300 (COM7)"}};
    DiscoverySeamSetEntries(&back);
    for (int i = 0; i < 4000 && s_true.load() < 2; ++i)
        SleepEx(5);
    EXPECT_EQ(2, s_true.load());
    EXPECT_EQ(1, DeviceIsConnected());
    ORVFree();
    EXPECT_EQ(2, s_false.load());
}

// Connected: an unrelated device change// Connected: an unrelated device change keeps the connection; once the instrument's own
// interface is no longer listed, the next device change ends it (listener false once).
TEST_F(Link, DeviceChangesKeepOrEndTheConnection) {
    s_true.store(0);
    s_false.store(0);
    ASSERT_TRUE(ORVInit(Listener));
    for (int i = 0; i < 4000 && s_true.load() == 0; ++i)
        SleepEx(5);
    ASSERT_EQ(1, s_true.load());
    PostMessageA(HWND_BROADCAST, WM_DEVICECHANGE, 7 /* DBT_DEVNODES_CHANGED */, 0);
    for (int i = 0; i < 200 && s_false.load() == 0; ++i)  // 1 s for a wrong disconnection
        SleepEx(5);
    EXPECT_EQ(0, s_false.load());
    EXPECT_EQ(1, DeviceIsConnected());

    std::vector<CDiscoveryEntry> others = {{"\\\\?\\usb#vid_1111&pid_2222#other#{x}", "Other (COM3)"}};
    DiscoverySeamSetEntries(&others);
    PostMessageA(HWND_BROADCAST, WM_DEVICECHANGE, 7, 0);
    for (int i = 0; i < 4000 && s_false.load() == 0; ++i)
        SleepEx(5);
    EXPECT_EQ(1, s_false.load());
    EXPECT_EQ(0, DeviceIsConnected());
    ORVFree();
    EXPECT_EQ(1, s_false.load());
}

}  // namespace
