// What macOS names its own way: the instrument is a USB modem /dev/cu.usbmodem<N>, the
// ports are found by a listing command and tried in the order it prints them, the lock
// files live in /private/var/orvane/lock, and the port itself carries a record lock.
// The test seam (DeviceSeam.h) can move the nodes, the listing and the lock files.
//
// Quirks:
// - Record locks belong to the process and go as soon as it closes any descriptor of
//   the locked file. A descriptor of the port that the link retires and closes later
//   (its last borrower let go after a reconnect to the same port) would drop the new
//   lock, so such a close waits until the lock is released (PosixDeferClose).
// - Only EAGAIN and EACCES from F_SETLK mean another holder; a device without record
//   locks is taken with the lock file alone.
// - The time-outs need no wait on macOS: SetDeviceTimeoutSetting only stores them.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "../PortSeam.h"
#include "../posix/Posix.h"
#include "DeviceSeam.h"

namespace {

constexpr const char* kNodePattern = "/dev/cu.usbmodem%d";
constexpr const char* kLockDirectory = "/private/var/orvane/lock";

std::mutex s_namingMutex;  // the seam may change the names while the link reads them
char s_szNodePattern[256] = "/dev/cu.usbmodem%d";
char s_szLockDirectory[256] = "/private/var/orvane/lock";
char s_szListingCommand[4096] = "";  // empty: list the node pattern

// True when text can stand in a shell command unquoted.
bool ShellSafe(const char* text) {
    for (const char* c = text; *c != '\0'; ++c) {
        if (strchr("/._-+", *c) == nullptr && !(*c >= '0' && *c <= '9') && !(*c >= 'a' && *c <= 'z') &&
            !(*c >= 'A' && *c <= 'Z'))
            return false;
    }
    return true;
}

// The record lock this process holds on the open port, and the descriptors of the same
// file whose close waits for its release.
std::mutex s_recordMutex;
int s_nLockedFd = -1;
dev_t s_lockedDev;
ino_t s_lockedIno;
int s_deferred[16];
int s_nDeferred = 0;

int SetRecordLock(int fd, short type) {
    struct flock region;
    memset(&region, 0, sizeof region);
    region.l_type = type;
    region.l_whence = SEEK_SET;
    region.l_start = 0;
    region.l_len = 0;  // to the end, however far it grows
    int result;
    do {
        result = fcntl(fd, F_SETLK, &region);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

void DeviceSeamSetNodePattern(const char* pattern) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(s_szNodePattern, sizeof s_szNodePattern, "%s", pattern ? pattern : kNodePattern);
}

void DeviceSeamSetLockDirectory(const char* directory) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(s_szLockDirectory, sizeof s_szLockDirectory, "%s", directory ? directory : kLockDirectory);
}

void DeviceSeamSetListingCommand(const char* command) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(s_szListingCommand, sizeof s_szListingCommand, "%s", command ? command : "");
}

void PosixNodePattern(char* pattern, size_t size) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(pattern, size, "%s", s_szNodePattern);
}

int PosixHighestPort() { return INT_MAX; }

void PosixLockDirectory(char* directory, size_t size) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(directory, size, "%s", s_szLockDirectory);
}

bool PosixListingCommand(char* command, size_t size) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    if (s_szListingCommand[0] != '\0') {
        snprintf(command, size, "%s", s_szListingCommand);
        return true;
    }
    char prefix[256];
    snprintf(prefix, sizeof prefix, "%s", s_szNodePattern);
    if (char* mark = strstr(prefix, "%d"))
        *mark = '\0';
    if (ShellSafe(prefix))
        snprintf(command, size, "/bin/ls %s* 2>/dev/null", prefix);
    else if (strchr(prefix, '\'') == nullptr)
        snprintf(command, size, "/bin/ls '%s'* 2>/dev/null", prefix);
    else
        snprintf(command, size, "true");  // a pattern no shell word can hold lists nothing
    return true;
}

bool PosixLockFileOptional() { return true; }

int PortLockRecord(PORT_HANDLE port) {
    if (port < 0 || port > INT32_MAX)
        return 0;
    const int fd = static_cast<int>(port);
    std::lock_guard<std::mutex> guard(s_recordMutex);
    if (SetRecordLock(fd, F_WRLCK) != 0)
        return errno == EAGAIN || errno == EACCES ? 0 : 1;  // others: no record locks here
    struct stat st;
    if (fstat(fd, &st) == 0) {
        s_nLockedFd = fd;
        s_lockedDev = st.st_dev;
        s_lockedIno = st.st_ino;
    }
    return 1;
}

void PortUnlockRecord(PORT_HANDLE port) {
    int deferred[sizeof s_deferred / sizeof s_deferred[0]];
    int count;
    {
        std::lock_guard<std::mutex> guard(s_recordMutex);
        if (s_nLockedFd < 0 || port != s_nLockedFd)
            return;
        SetRecordLock(s_nLockedFd, F_UNLCK);
        s_nLockedFd = -1;
        count = s_nDeferred;
        memcpy(deferred, s_deferred, sizeof(int) * static_cast<size_t>(count));
        s_nDeferred = 0;
    }
    for (int i = 0; i < count; ++i)
        close(deferred[i]);
}

bool PosixDeferClose(int fd) {
    std::lock_guard<std::mutex> guard(s_recordMutex);
    if (s_nLockedFd < 0 || fd == s_nLockedFd ||
        s_nDeferred == static_cast<int>(sizeof s_deferred / sizeof s_deferred[0]))
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != s_lockedDev || st.st_ino != s_lockedIno)
        return false;
    s_deferred[s_nDeferred++] = fd;
    return true;
}

// Nothing to wait for: the transport applies the new time-outs from its next call.
void PortApplyTimeouts(PORT_HANDLE, unsigned int, unsigned int) {}
