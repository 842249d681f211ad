// The serial link: scan, lock files, port settings, presence listing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "LinkSandbox.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"

namespace {

class DeviceLink : public ::testing::Test {
protected:
    void SetUp() override {
        SetTargetCheckResult(true);
        DeviceSetTargetCheck(StubTargetCheck);
    }
    LinkSandbox sandbox;
    RawPty pty;
};

TEST_F(DeviceLink, ScanSkipsMissingNodesAndTakesTheFirstThatAnswers) {
    ASSERT_TRUE(sandbox.Link(3, pty.SlavePath()));
    ASSERT_EQ(1, FindDevice(-1));
    EXPECT_EQ(1, TargetCheckCalls());  // only the node that opened was asked
    EXPECT_EQ(sandbox.NodePath(3), g_szDevicePath);
    EXPECT_EQ(1, DeviceIsConnected());
    for (int port = 0; port < 3; ++port)
        EXPECT_FALSE(sandbox.LockExists(port)) << port;
    EXPECT_EQ(getpid(), sandbox.LockOwner(3));
    struct stat st;
    ASSERT_EQ(0, stat(sandbox.LockPath(3).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);

    EXPECT_EQ(1, DeviceIsAlive());
    sandbox.Unlink(3);
    EXPECT_EQ(0, DeviceIsAlive());

    DeviceClose();
    EXPECT_EQ(0, DeviceIsConnected());
    EXPECT_EQ(-1, g_hDevice.load());
    EXPECT_STREQ("", g_szDevicePath);
    EXPECT_FALSE(sandbox.LockExists(3));
    DeviceClose();  // nothing on a closed port
}

TEST_F(DeviceLink, PortIsConfiguredRawAt115200) {
    ASSERT_TRUE(sandbox.Link(0, pty.SlavePath()));
    // Start from a cooked terminal so every change is visible.
    const int slave = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios cooked;
    tcgetattr(slave, &cooked);
    cooked.c_iflag |= ICRNL | IXON | ISTRIP | INLCR;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_cflag |= CLOCAL;
    tcsetattr(slave, TCSANOW, &cooked);

    ASSERT_EQ(1, FindDevice(0));
    termios tio;
    ASSERT_EQ(0, tcgetattr(slave, &tio));
    close(slave);
    EXPECT_TRUE(tio.c_iflag & IGNPAR);
    EXPECT_EQ(0u, tio.c_iflag & (ICRNL | IXON | ISTRIP | INLCR | IGNCR));
    EXPECT_EQ(0u, tio.c_oflag & (OPOST | ONLCR));
    EXPECT_EQ(0u, tio.c_cflag & CLOCAL);
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
    EXPECT_TRUE(tio.c_cflag & CREAD);
    EXPECT_EQ(0u, tio.c_lflag);
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
}

TEST_F(DeviceLink, FailedHandshakeClosesThePortAndDeletesItsLock) {
    SetTargetCheckResult(false);
    ASSERT_TRUE(sandbox.Link(5, pty.SlavePath()));
    EXPECT_EQ(0, FindDevice(5));
    EXPECT_EQ(1, TargetCheckCalls());
    EXPECT_EQ(0, DeviceIsConnected());
    EXPECT_FALSE(sandbox.LockExists(5));
}

// Who holds an existing lock file decides whether the port can be taken.
TEST_F(DeviceLink, ExistingLockFiles) {
    struct Case {
        const char* what;
        int pid;
        int bytes;
        bool taken;
    } cases[] = {
        {"owner exited", DeadPid(), 4, true},
        {"pid 0 names no process", 0, 4, true},
        {"negative pid", -5, 4, true},
        {"this process", static_cast<int>(getpid()), 4, false},
        {"a living process of another user", 1, 4, false},  // kill(1, 0) fails with EPERM or succeeds
        {"short file", DeadPid(), 2, false},
    };
    ASSERT_TRUE(sandbox.Link(2, pty.SlavePath()));
    for (const Case& c : cases) {
        sandbox.WriteLock(2, c.pid, c.bytes);
        EXPECT_EQ(c.taken ? 1 : 0, FindDevice(2)) << c.what;
        if (c.taken) {
            EXPECT_EQ(getpid(), sandbox.LockOwner(2)) << c.what;
        } else {
            EXPECT_TRUE(sandbox.LockExists(2)) << c.what << ": a lock we could not take is left alone";
            EXPECT_EQ(0, DeviceIsConnected()) << c.what;
        }
        DeviceClose();
        unlink(sandbox.LockPath(2).c_str());
    }
}

TEST_F(DeviceLink, ReleaseNeverDeletesAnotherProcessesLockFile) {
    ASSERT_TRUE(sandbox.Link(1, pty.SlavePath()));
    ASSERT_EQ(1, FindDevice(1));
    // Our lock file is removed behind our back and another process creates its own.
    unlink(sandbox.LockPath(1).c_str());
    sandbox.WriteLock(1, 1);
    DeviceClose();
    EXPECT_EQ(1, sandbox.LockOwner(1));
    EXPECT_EQ(-1, g_nLockFile);
}

TEST_F(DeviceLink, ListingIsEmptyWhenNotConnected) {
    ASSERT_TRUE(sandbox.Link(0, pty.SlavePath()));
    EXPECT_EQ(0, DeviceIsAlive());
    EXPECT_EQ(0, DeviceCheckPath(const_cast<char*>(sandbox.NodePath(0).c_str())));
}

TEST_F(DeviceLink, ConnectWithNoInstrumentFailsAfterOneScanAndOneSecond) {
    const uint64_t start = GetMonotonicMs();
    EXPECT_EQ(0, DeviceConnect(-1, 1));
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 5000u);
    EXPECT_EQ(0, DeviceConnect(-1, 0));
    EXPECT_EQ(0, FindDevice(-7));
}

}  // namespace
