#include "LinkSandbox.h"

#include <atomic>
#include <cerrno>
#include <sys/file.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/Device.h"
#include "platform/PortSeam.h"
#include NVS_DEVICE_SEAM_HEADER
#include "protocol/Identity.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// Removes a folder and what it holds without starting a shell: a fork from a test process
// with several threads is best avoided (under user-mode emulation it can stall).
void RemoveTree(const std::string& dir) { nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

}  // namespace

LinkSandbox::LinkSandbox() {
    char pattern[] = "/tmp/nvs-link-XXXXXX";
    const char* made = mkdtemp(pattern);
    m_dir = made ? made : "/tmp";
    const std::string nodePattern = m_dir + "/" NVS_TEST_NODE_NAME "%d";
    DeviceSeamSetNodePattern(nodePattern.c_str());
    DeviceSeamSetLockDirectory(LockDir().c_str());
}

LinkSandbox::~LinkSandbox() {
    DeviceClose();
    DeviceSeamSetNodePattern(nullptr);
    DeviceSeamSetLockDirectory(nullptr);
    DeviceSeamSetTargetCheck(nullptr);
    RemoveTree(m_dir);
}

std::string LinkSandbox::NodePath(int port) const { return m_dir + "/" NVS_TEST_NODE_NAME + std::to_string(port); }

std::string LinkSandbox::LockPath(int port) const { return LockDir() + "/orvane.ACM" + std::to_string(port) + ".lock"; }

bool LinkSandbox::Link(int port, const std::string& target) const {
    unlink(NodePath(port).c_str());
    return symlink(target.c_str(), NodePath(port).c_str()) == 0;
}

void LinkSandbox::Unlink(int port) const { unlink(NodePath(port).c_str()); }

void LinkSandbox::WriteLock(int port, int pid, int bytes) const {
    mkdir(LockDir().c_str(), 0755);
    FILE* file = fopen(LockPath(port).c_str(), "wb");
    if (file == nullptr)
        return;
    const int32_t value = pid;
    fwrite(&value, 1, static_cast<size_t>(bytes), file);
    fclose(file);
}

bool LinkSandbox::LockExists(int port) const { return access(LockPath(port).c_str(), F_OK) == 0; }

int LinkSandbox::LockOwner(int port) const {
    FILE* file = fopen(LockPath(port).c_str(), "rb");
    if (file == nullptr)
        return -1;
    int32_t value = 0;
    const size_t got = fread(&value, 1, sizeof value, file);
    fclose(file);
    return got == sizeof value ? value : -1;
}

RawPty::RawPty() {
    char name[256];
    termios tio;
    cfmakeraw(&tio);
    if (openpty(&m_master, &m_slave, name, &tio, nullptr) == 0)
        m_slavePath = name;
}

RawPty::~RawPty() {
    CloseMaster();
    if (m_slave >= 0)
        close(m_slave);
}

void RawPty::CloseMaster() {
    if (m_master >= 0)
        close(m_master);
    m_master = -1;
}

int DeadPid() {
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return static_cast<int>(child);
}

namespace {
std::atomic<bool> s_accept{true};
std::atomic<int> s_calls{0};
}  // namespace

bool StubTargetCheck() {
    s_calls.fetch_add(1);
    return s_accept.load();
}

void SetTargetCheckResult(bool accept) {
    s_accept = accept;
    s_calls = 0;
}

int TargetCheckCalls() { return s_calls.load(); }

void DeviceSeamSetTargetCheck(bool (*check)()) { DeviceSetTargetCheck(check != nullptr ? check : IsTargetDevice); }

ShippedPathsLock::ShippedPathsLock() {
    // ctest marks each test: 1 where it schedules the test alone (tests/CMakeLists.txt,
    // NVS_SHIPPED_PATH_TESTS_<suite>), 0 elsewhere. A test run by hand sets neither.
    const char* scheduled = std::getenv("NVS_SHIPPED_PATHS_SCHEDULED");
    if (scheduled != nullptr && std::string(scheduled) == "0") {
        fprintf(stderr, "this test links nodes under the shipped paths: list it in NVS_SHIPPED_PATH_TESTS_<suite> "
                        "(tests/CMakeLists.txt), so that ctest runs it alone\n");
        _exit(1);
    }
    m_fd = open("/tmp/nvs-tests-shipped-paths.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (m_fd >= 0) {
        while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

ShippedPathsLock::~ShippedPathsLock() {
    if (m_fd >= 0)
        close(m_fd);  // releases the lock
}
