// The serial device link on Linux: the instrument is a CDC-ACM port /dev/ttyACM0..127.
//
// Quirks this file deals with:
// - The port is opened non-blocking and configured fully raw at 115200 baud: the
//   instrument's packets are binary, so no byte may be translated, stripped or eaten
//   as a control character.
// - The presence monitor closes a vanished port without the global lock while another
//   thread may be mid-exchange on it. The descriptor is therefore borrowed
//   (CDevicePort): a close marks the port gone at once, but the descriptor itself is
//   closed only after its last borrower let go, so its number is never reused while
//   one of our threads could still write our bytes into it.
// - Lock files are shared with other processes running this library; a lock is stale
//   only when its recorded owner no longer exists (ESRCH).
#include <aio.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "../Device.h"
#include "../Platform.h"
#include "../Utils.h"
#include "DeviceSeam.h"
#include "protocol/Identity.h"

std::atomic<long> g_hDevice{-1};
char g_szDevicePath[512];
char g_szLockFilePath[128];
int g_nLockFile = -1;
std::atomic<uint32_t> g_nDeviceReadTimeout{100};
std::atomic<uint32_t> g_nDeviceWriteTimeout{200};

namespace {

char s_szNodePattern[256] = "/dev/ttyACM%d";
char s_szLockDirectory[256] = "/var/lock";
std::atomic<PFN_TARGET_DEVICE_CHECK> s_pfnTargetCheck{nullptr};

// The lock file this process created and holds: its path and identity, so a release
// never deletes a file that another process has created under the same name since.
char s_szHeldLockPath[sizeof g_szLockFilePath];
dev_t s_heldLockDev;
ino_t s_heldLockIno;

// Serialises the link's own state (path, lock file, open and close) between the
// connection thread, the presence monitor and host threads.
std::mutex s_linkMutex;

// Borrowing of the port descriptor.
struct RetiredPort {
    int fd;
    int borrowers;
};
std::mutex s_portMutex;
int s_nOpenFd = -1;                      // the open port's descriptor, -1 when none
int s_nOpenBorrowers = 0;                // borrowers of s_nOpenFd
std::atomic<uint64_t> s_nGeneration{1};  // changes at every open and close
RetiredPort s_retired[16];               // closed ports whose descriptors still have borrowers
int s_nRetired = 0;

void InstallPort(int fd) {
    std::lock_guard<std::mutex> guard(s_portMutex);
    s_nOpenFd = fd;
    s_nOpenBorrowers = 0;
    s_nGeneration.fetch_add(1);
    g_hDevice.store(fd);
}

// Marks the port closed; closes its descriptor now or when its last borrower is done.
void RetirePort() {
    int closeNow = -1;
    {
        std::lock_guard<std::mutex> guard(s_portMutex);
        if (s_nOpenFd < 0)
            return;
        if (s_nOpenBorrowers == 0) {
            closeNow = s_nOpenFd;
        } else if (s_nRetired < static_cast<int>(sizeof s_retired / sizeof s_retired[0])) {
            s_retired[s_nRetired++] = RetiredPort{s_nOpenFd, s_nOpenBorrowers};
        } else {
            closeNow = s_nOpenFd;  // cannot happen with a handful of threads; never leak
        }
        s_nOpenFd = -1;
        s_nOpenBorrowers = 0;
        s_nGeneration.fetch_add(1);
        g_hDevice.store(-1);
    }
    if (closeNow >= 0)
        CloseHandle(closeNow);
}

int LockDeviceFileLocked(int port);
void UnlockDeviceFileLocked();
void DeviceCloseLocked();

void FormatNodePath(char* out, size_t size, int port) { snprintf(out, size, s_szNodePattern, port); }

void ConfigurePort(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return;
    // Fully raw: 8 data bits, receiver on, no parity, no translation or stripping in
    // either direction, no echo, no canonical input, no signal characters. Parity errors
    // are ignored (IGNPAR) and modem control lines are honoured (CLOCAL cleared).
    tio.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_iflag |= IGNPAR;
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CLOCAL);
    tio.c_cflag |= CS8 | CREAD;
    tio.c_lflag = 0;
    // VMIN 1: a non-blocking read with nothing there fails with EAGAIN, while a read of
    // 0 bytes means the port hung up (VMIN 0 would report "nothing there" as 0 too).
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetospeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
}

bool WaitForPort(int fd, bool forWrite, unsigned int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    int result;
    do {
        result = select(fd + 1, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &tv);
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

}  // namespace

// ---- Borrowing ---------------------------------------------------------------------

CDevicePort::CDevicePort() : m_fd(-1), m_generation(0) {
    std::lock_guard<std::mutex> guard(s_portMutex);
    if (s_nOpenFd >= 0) {
        m_fd = s_nOpenFd;
        ++s_nOpenBorrowers;
        m_generation = s_nGeneration.load();
    }
}

CDevicePort::~CDevicePort() {
    if (m_fd < 0)
        return;
    int closeNow = -1;
    {
        std::lock_guard<std::mutex> guard(s_portMutex);
        if (m_generation == s_nGeneration.load() && m_fd == s_nOpenFd) {
            --s_nOpenBorrowers;
        } else {
            for (int i = 0; i < s_nRetired; ++i) {
                if (s_retired[i].fd != m_fd)
                    continue;
                if (--s_retired[i].borrowers == 0) {
                    closeNow = m_fd;
                    s_retired[i] = s_retired[--s_nRetired];
                }
                break;
            }
        }
    }
    if (closeNow >= 0)
        CloseHandle(closeNow);
}

bool CDevicePort::Valid() const { return m_fd >= 0 && m_generation == s_nGeneration.load(); }

// ---- Seam ----------------------------------------------------------------------------

void DeviceSeamSetNodePattern(const char* pattern) {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    snprintf(s_szNodePattern, sizeof s_szNodePattern, "%s", pattern ? pattern : "/dev/ttyACM%d");
}

void DeviceSeamSetLockDirectory(const char* directory) {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    snprintf(s_szLockDirectory, sizeof s_szLockDirectory, "%s", directory ? directory : "/var/lock");
}

void DeviceSeamSetTargetCheck(PFN_TARGET_DEVICE_CHECK check) { s_pfnTargetCheck.store(check); }

// ---- The link ------------------------------------------------------------------------

int DeviceConnect(int port, int attempts) {
    for (int i = 0; i < attempts; ++i) {
        if (FindDevice(port))
            return 1;
        SleepEx(1000);
    }
    return 0;
}

int FindDevice(int port) {
    if (port == -1) {
        for (int candidate = 0; candidate < 128; ++candidate) {
            if (DoFindDevice(candidate))
                return 1;
        }
        return 0;
    }
    return port >= 0 ? DoFindDevice(port) : 0;
}

int DoFindDevice(int port) {
    if (port < 0)
        return 0;
    char path[sizeof g_szDevicePath];
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(s_linkMutex);
        FormatNodePath(path, sizeof path, port);
        const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return 0;
        DeviceCloseLocked();  // never leak a previous port
        InstallPort(fd);
        generation = s_nGeneration.load();
        if (!LockDeviceFileLocked(port)) {
            DeviceCloseLocked();
            return 0;
        }
        DeviceCancelIO();
        ConfigurePort(fd);
    }
    PFN_TARGET_DEVICE_CHECK check = s_pfnTargetCheck.load();
    const bool found = check != nullptr ? check() : IsTargetDevice();
    std::lock_guard<std::mutex> guard(s_linkMutex);
    if (s_nGeneration.load() != generation)
        return 0;  // closed under the handshake (the port went away)
    if (found) {
        snprintf(g_szDevicePath, sizeof g_szDevicePath, "%s", path);
        return 1;
    }
    DeviceCloseLocked();
    return 0;
}

int LockDeviceFile(int port) {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    return LockDeviceFileLocked(port);
}

void UnlockDeviceFile() {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    UnlockDeviceFileLocked();
}

namespace {

int LockDeviceFileLocked(int port) {
    struct stat st;
    if (stat(s_szLockDirectory, &st) != 0)
        mkdir(s_szLockDirectory, 0755);
    const int nameLength =
        snprintf(g_szLockFilePath, sizeof g_szLockFilePath, "%s/orvane.ACM%d.lock", s_szLockDirectory, port);
    if (nameLength < 0 || nameLength >= static_cast<int>(sizeof g_szLockFilePath))
        return 0;
    if (g_nLockFile != -1)
        return 0;  // one lock at a time: never lose track of the one held

    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(g_szLockFilePath, O_CREAT | O_EXCL | O_RDWR, 0600);
        if (fd >= 0) {
            const int32_t pid = static_cast<int32_t>(getpid());
            ssize_t written;
            do {
                written = write(fd, &pid, sizeof pid);
            } while (written < 0 && errno == EINTR);
            struct stat held;
            if (written != static_cast<ssize_t>(sizeof pid) || fstat(fd, &held) != 0) {
                close(fd);
                unlink(g_szLockFilePath);
                return 0;
            }
            g_nLockFile = fd;
            snprintf(s_szHeldLockPath, sizeof s_szHeldLockPath, "%s", g_szLockFilePath);
            s_heldLockDev = held.st_dev;
            s_heldLockIno = held.st_ino;
            return 1;
        }
        if (errno != EEXIST)
            return 0;

        fd = open(g_szLockFilePath, O_RDWR | O_NOCTTY);
        if (fd < 0)
            return 0;
        int32_t owner = 0;
        ssize_t got;
        do {
            got = read(fd, &owner, sizeof owner);
        } while (got < 0 && errno == EINTR);
        close(fd);
        if (got != static_cast<ssize_t>(sizeof owner))
            continue;  // a lock being written, or a foreign file: it is left alone
        // Only a vanished owner makes the lock stale. A pid <= 0 names no process (and
        // kill would address a process group); EPERM means a living process of another user.
        const bool stale = owner <= 0 || (kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH);
        if (!stale)
            return 0;
        unlink(g_szLockFilePath);
    }
    return 0;
}

void UnlockDeviceFileLocked() {
    if (g_nLockFile == -1)
        return;
    // Delete the file only if it is still the one this process created and holds open.
    struct stat named;
    if (stat(s_szHeldLockPath, &named) == 0 && named.st_dev == s_heldLockDev && named.st_ino == s_heldLockIno)
        unlink(s_szHeldLockPath);
    close(g_nLockFile);
    g_nLockFile = -1;
    s_szHeldLockPath[0] = '\0';
    g_szLockFilePath[0] = '\0';
}

void DeviceCloseLocked() {
    if (!DeviceIsConnected())
        return;
    UnlockDeviceFileLocked();
    g_szDevicePath[0] = '\0';
    RetirePort();
}

}  // namespace

void UnlockDevice() { UnlockDeviceFile(); }

void DeviceCancelIO() {
    CDevicePort port;
    if (port.fd() >= 0)
        aio_cancel(port.fd(), nullptr);
}

void DeviceClose() {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    DeviceCloseLocked();
}

int DeviceIsConnected() { return g_hDevice.load() != -1 ? 1 : 0; }

int DeviceSetHandle(long descriptor) {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    DeviceCloseLocked();
    if (descriptor < 0 || descriptor > INT32_MAX)
        return 0;
    const int fd = static_cast<int>(descriptor);
    // The transport's reads wait with select and then read; a blocking descriptor would
    // hang the read that finds nothing.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return 0;
    InstallPort(fd);
    ConfigurePort(fd);
    return 1;
}

int DeviceIsAlive() {
    if (!DeviceIsConnected())
        return 0;
    // The listing of the node pattern: "/bin/ls /dev/ttyACM* 2>/dev/null".
    char glob[sizeof s_szNodePattern];
    {
        std::lock_guard<std::mutex> guard(s_linkMutex);  // the pattern may be changed by the seam
        snprintf(glob, sizeof glob, "%s", s_szNodePattern);
    }
    if (char* mark = strstr(glob, "%d")) {
        mark[0] = '*';
        memmove(mark + 1, mark + 2, strlen(mark + 2) + 1);
    }
    char command[sizeof glob + 32];
    snprintf(command, sizeof command, "/bin/ls %s 2>/dev/null", glob);
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr)
        return 0;
    int alive = 0;
    char line[512];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        StringTrim(line);
        if (DeviceCheckPath(line)) {
            alive = 1;
            break;
        }
    }
    pclose(pipe);
    return alive;
}

int DeviceCheckPath(char* path) {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    if (g_szDevicePath[0] == '\0' || path == nullptr)
        return 0;
    return strcmp(path, g_szDevicePath) == 0 ? 1 : 0;
}

void SetDeviceTimeoutSetting(unsigned int readMs, unsigned int writeMs) {
    g_nDeviceReadTimeout.store(readMs);
    g_nDeviceWriteTimeout.store(writeMs);
    CDevicePort port;
    if (!port.Valid())
        return;
    WaitForPort(port.fd(), false, readMs);
    WaitForPort(port.fd(), true, writeMs);
}
