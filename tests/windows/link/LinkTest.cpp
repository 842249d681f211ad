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

namespace {

std::string LinkPath() {
    const char* path = getenv("NVS_LINK_PATH");
    return path ? path : "";
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
    // The free waits for the step of the loading under way (under wine one step of
    // the stored tables takes about 3.5 s of memory reads); the steps after it are
    // given up.
    const uint64_t start = GetMonotonicMs();
    ORVFree();
    EXPECT_LT(GetMonotonicMs() - start, 8000u);
    EXPECT_EQ(1, s_false.load());
    EXPECT_EQ(0, DeviceIsConnected());

    EXPECT_FALSE(ORVConnect(5, 1500));  // no instrument on COM5
    EXPECT_TRUE(ORVConnect(7, 20000));
    ORVFree();
    EXPECT_EQ(0, DeviceIsConnected());
}

// Connected: an unrelated device change keeps the connection; once the instrument's own
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
