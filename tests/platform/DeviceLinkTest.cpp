// The serial link: scan, lock files, port settings, presence listing.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "LinkSandbox.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"

extern char** environ;

namespace {

void WriteLockText(const LinkSandbox& sandbox, int port, const char* text) {
    mkdir(sandbox.LockDir().c_str(), 0755);
    const int fd = open(sandbox.LockPath(port).c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    (void)!write(fd, text, strlen(text));
    close(fd);
}

// Takes one of root's rights (CAP_DAC_OVERRIDE: to pass file permission checks; CAP_KILL:
// to signal any user's process) from the calling thread's effective set while alive, so
// that a test run as root meets the checks as any other user does. Capabilities belong
// to each thread: other threads keep theirs.
class WithoutRight {
public:
    explicit WithoutRight(unsigned capability) {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;
        if (syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~(1u << capability);
        changed_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutRight() {
        if (changed_)
            syscall(SYS_capset, &header_, saved_);
    }
    WithoutRight(const WithoutRight&) = delete;
    WithoutRight& operator=(const WithoutRight&) = delete;

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool changed_ = false;
};

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

// A find closes the port still open before it opens the next one (a port that takes one
// handle at a time could not be opened again otherwise): the new descriptor takes the
// number the old one left.
TEST_F(DeviceLink, AFindClosesTheOpenPortBeforeItOpensTheNext) {
    SetTargetCheckResult(true);
    ASSERT_TRUE(sandbox.Link(3, pty.SlavePath()));
    ASSERT_EQ(1, FindDevice(3));
    const PORT_HANDLE first = g_hDevice.load();
    ASSERT_EQ(1, FindDevice(3));
    EXPECT_EQ(first, g_hDevice.load());
    EXPECT_EQ(getpid(), sandbox.LockOwner(3));
    DeviceClose();
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
        {"empty file", 0, 0, false},
        // Text: its first 4 bytes read as a pid far above any the system gives out.
        {"garbage", 0, -1, true},
    };
    ASSERT_TRUE(sandbox.Link(2, pty.SlavePath()));
    for (const Case& c : cases) {
        if (c.bytes < 0) {
            WriteLockText(sandbox, 2, "no pid here\n");
        } else {
            sandbox.WriteLock(2, c.pid, c.bytes);
        }
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

// A lock folder this process may not write in: no lock file can be made. On Linux the
// port is then not taken; where the port's own record lock keeps other processes off
// (the macOS platform), the port is taken without the file.
TEST_F(DeviceLink, ALockFolderThatCannotBeWrittenIn) {
    ASSERT_TRUE(sandbox.Link(4, pty.SlavePath()));
    mkdir(sandbox.LockDir().c_str(), 0755);
    ASSERT_EQ(0, chmod(sandbox.LockDir().c_str(), 0555));
    {
        WithoutRight restricted(CAP_DAC_OVERRIDE);  // root passes every permission check otherwise
        const std::string probe = sandbox.LockDir() + "/probe";
        const int fd = open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            unlink(probe.c_str());
            chmod(sandbox.LockDir().c_str(), 0755);
            GTEST_SKIP() << "this process writes in a read-only folder";
        }
        EXPECT_EQ(kLinuxPlatform ? 0 : 1, FindDevice(4));
        EXPECT_FALSE(sandbox.LockExists(4));
        EXPECT_EQ(kLinuxPlatform ? 0 : 1, DeviceIsConnected());
        DeviceClose();
        EXPECT_EQ(0, DeviceIsConnected());
    }
    chmod(sandbox.LockDir().c_str(), 0755);
}

// The owner is alive but belongs to another user: the probe is refused (EPERM), and the
// lock stands. Run as root, the test starts a process under another user id and gives
// up its own right to signal it.
TEST_F(DeviceLink, ALockOfALivingProcessOfAnotherUserStands) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run a process as another user";
    const char* argv[] = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sleep", "60", nullptr};
    pid_t other = 0;
    ASSERT_EQ(0, posix_spawn(&other, "/usr/bin/setpriv", nullptr, nullptr, const_cast<char**>(argv), environ));
    const auto ownerIsOther = [other] {
        std::ifstream status("/proc/" + std::to_string(other) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("Uid:", 0) == 0)
                return line.find("65534") != std::string::npos;
        return false;
    };
    for (int i = 0; i < 2000 && !ownerIsOther(); ++i)
        usleep(5000);
    ASSERT_TRUE(ownerIsOther());
    ASSERT_TRUE(sandbox.Link(2, pty.SlavePath()));
    sandbox.WriteLock(2, other);
    {
        WithoutRight restricted(CAP_KILL);
        ASSERT_NE(0, kill(other, 0));
        ASSERT_EQ(EPERM, errno);
        EXPECT_EQ(0, FindDevice(2));
    }
    EXPECT_EQ(other, sandbox.LockOwner(2));
    EXPECT_EQ(0, DeviceIsConnected());
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
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
