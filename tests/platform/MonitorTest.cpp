// The presence monitor, and the shipped device paths (/dev/ttyACM*, /var/lock).
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "LinkSandbox.h"
#include "platform/Device.h"
#include "platform/Monitor.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "platform/PortSeam.h"

namespace {

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        SetTargetCheckResult(true);
        DeviceSetTargetCheck(StubTargetCheck);
        g_hReconnectEvent.ResetEvent();
    }
    void TearDown() override { g_AutoMonitor.PauseMonitor(); }
    LinkSandbox sandbox;
    RawPty pty;
};

TEST_F(Monitor, UnpluggedPortIsClosedAndTheConnectionWoken) {
    ASSERT_TRUE(sandbox.Link(4, pty.SlavePath()));
    ASSERT_EQ(1, FindDevice(4));
    g_AutoMonitor.StartMonitor();
    EXPECT_TRUE(g_AutoMonitor.IsMonitored());
    const uint64_t start = GetMonotonicMs();
    sandbox.Unlink(4);
    ASSERT_EQ(0u, g_hReconnectEvent.WaitTimeout(10000));
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 1000u);  // a first check and three re-checks 500 ms apart at the least
    EXPECT_LT(took, 9000u);
    EXPECT_EQ(0, DeviceIsConnected());
    EXPECT_FALSE(sandbox.LockExists(4));
    g_AutoMonitor.PauseMonitor();
    EXPECT_FALSE(g_AutoMonitor.IsMonitored());
}

// A device that resets under its node: the node is back at once under the same name, but
// the open descriptor has hung up. The monitor closes it at its next look, without the
// re-checks a vanished node gets.
TEST_F(Monitor, HungUpPortWithItsNodeBackIsClosedAndTheConnectionWoken) {
    ASSERT_TRUE(sandbox.Link(5, pty.SlavePath()));
    ASSERT_EQ(1, FindDevice(5));
    g_AutoMonitor.StartMonitor();
    RawPty back;
    const uint64_t start = GetMonotonicMs();
    pty.CloseMaster();
    ASSERT_TRUE(sandbox.Link(5, back.SlavePath()));
    ASSERT_EQ(0u, g_hReconnectEvent.WaitTimeout(10000));
    EXPECT_LT(GetMonotonicMs() - start, 5000u);  // one 1.2 s cycle and a look, with room
    EXPECT_EQ(0, DeviceIsConnected());
    EXPECT_FALSE(sandbox.LockExists(5));
}

TEST_F(Monitor, AShortVanishingDoesNotDropThePort) {
    ASSERT_TRUE(sandbox.Link(6, pty.SlavePath()));
    ASSERT_EQ(1, FindDevice(6));
    g_AutoMonitor.StartMonitor();
    sandbox.Unlink(6);
    SleepEx(200);
    ASSERT_TRUE(sandbox.Link(6, pty.SlavePath()));
    // Longer than a whole cycle of checks: the port must still be connected.
    EXPECT_EQ(NVS_WAIT_TIMEOUT, g_hReconnectEvent.WaitTimeout(3500));
    EXPECT_EQ(1, DeviceIsConnected());
}

TEST_F(Monitor, PausedMonitorLeavesAVanishedPortAlone) {
    ASSERT_TRUE(sandbox.Link(7, pty.SlavePath()));
    ASSERT_EQ(1, FindDevice(7));
    sandbox.Unlink(7);
    EXPECT_EQ(NVS_WAIT_TIMEOUT, g_hReconnectEvent.WaitTimeout(2500));
    EXPECT_EQ(1, DeviceIsConnected());
}

// The shipped paths, as root: /dev/ttyACM<N> links to the pseudo-terminal, locks under
// /var/lock. N is one of 120-127, unused by other tests.
TEST(ShippedDevicePaths, FoundListedAndUnpluggedThroughDev) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create /dev/ttyACM121";
    ShippedPathsLock shippedPaths;
    SetTargetCheckResult(true);
    DeviceSetTargetCheck(StubTargetCheck);
    RawPty pty;
    const int port = 121;
    const std::string node = "/dev/ttyACM" + std::to_string(port);
    const std::string lock = "/var/lock/orvane.ACM" + std::to_string(port) + ".lock";
    unlink(node.c_str());
    unlink(lock.c_str());
    ASSERT_EQ(0, symlink(pty.SlavePath().c_str(), node.c_str()));
    g_hReconnectEvent.ResetEvent();

    EXPECT_EQ(1, FindDevice(port));
    EXPECT_EQ(node, g_szDevicePath);
    EXPECT_EQ(0, access(lock.c_str(), F_OK));
    EXPECT_EQ(1, DeviceIsAlive());

    g_AutoMonitor.StartMonitor();
    unlink(node.c_str());
    EXPECT_EQ(0u, g_hReconnectEvent.WaitTimeout(10000));
    g_AutoMonitor.PauseMonitor();
    EXPECT_EQ(0, DeviceIsConnected());
    EXPECT_NE(0, access(lock.c_str(), F_OK));

    DeviceClose();
    unlink(node.c_str());
    DeviceSetTargetCheck(nullptr);
}

}  // namespace
