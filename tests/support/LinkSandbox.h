// Test fixtures for the serial link: a temporary folder that stands in for /dev (device
// nodes are symlinks named like ttyACM<N>) and for /var/lock, and a raw pseudo-terminal.
#pragma once

#include <string>

// Redirects the library's node pattern and lock folder into a fresh temporary folder;
// restores the shipped paths and closes any open port when destroyed.
class LinkSandbox {
public:
    LinkSandbox();
    ~LinkSandbox();
    LinkSandbox(const LinkSandbox&) = delete;
    LinkSandbox& operator=(const LinkSandbox&) = delete;

    std::string NodePath(int port) const;  // <dir>/ttyACM<port> (macOS: cu.usbmodem<port>)
    std::string LockPath(int port) const;  // <dir>/lock/orvane.ACM<port>.lock
    std::string LockDir() const { return m_dir + "/lock"; }
    // Makes NodePath(port) a symlink to target.
    bool Link(int port, const std::string& target) const;
    void Unlink(int port) const;
    // Writes a lock file holding `pid` as 4 bytes (or `bytes` bytes of it).
    void WriteLock(int port, int pid, int bytes = 4) const;
    bool LockExists(int port) const;
    int LockOwner(int port) const;  // -1 when absent or short

private:
    std::string m_dir;
};

// A pseudo-terminal whose slave is raw; the test plays the instrument on the master.
class RawPty {
public:
    RawPty();
    ~RawPty();
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;

    int master() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }
    void CloseMaster();

private:
    int m_master = -1;
    int m_slave = -1;  // kept open so the master never sees EIO between the library's opens
    std::string m_slavePath;
};

// False in a build whose platform is not Linux's (the macOS platform code on its
// stand-in): a test of a Linux-only fact skips there, saying which fact.
constexpr bool kLinuxPlatform = NVS_TEST_LINUX_PLATFORM != 0;
#define NVS_SKIP_UNLESS_LINUX(fact)                          \
    do {                                                     \
        if (!kLinuxPlatform)                                 \
            GTEST_SKIP() << "a Linux-only fact: " << (fact); \
    } while (0)

// The pid of a process that has exited (reaped), for stale lock files.
int DeadPid();

// The handshake a scan runs, installed the way the connection installs it
// (DeviceSetTargetCheck); null installs the protocol's own handshake.
void DeviceSeamSetTargetCheck(bool (*check)());

// Handshake stand-in for the link's seam: answers `TargetCheckResult()` and counts calls.
bool StubTargetCheck();
void SetTargetCheckResult(bool accept);
int TargetCheckCalls();

// Held by every test that links nodes under the shipped /dev/ttyACM* and /var/lock, for
// its whole run: a scan of /dev/ttyACM* in one test process would otherwise open, lock
// and send handshake bytes to another test's port (ctest runs test processes side by
// side). An advisory lock on a file, so it also serialises separate test binaries.
class ShippedPathsLock {
public:
    ShippedPathsLock();
    ~ShippedPathsLock();
    ShippedPathsLock(const ShippedPathsLock&) = delete;
    ShippedPathsLock& operator=(const ShippedPathsLock&) = delete;

private:
    int m_fd = -1;
};
