// What Linux names its own way: the instrument is a CDC-ACM port /dev/ttyACM0..127, the
// lock files live in /var/lock. The test seam (DeviceSeam.h) can move both.
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "../PortSeam.h"
#include "../posix/Posix.h"
#include "DeviceSeam.h"

namespace {

constexpr const char* kNodePattern = "/dev/ttyACM%d";
constexpr const char* kLockDirectory = "/var/lock";
constexpr int kHighestPort = 127;

std::mutex s_namingMutex;  // the seam may change the names while the link reads them
char s_szNodePattern[256] = "/dev/ttyACM%d";
char s_szLockDirectory[256] = "/var/lock";

}  // namespace

void DeviceSeamSetNodePattern(const char* pattern) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(s_szNodePattern, sizeof s_szNodePattern, "%s", pattern ? pattern : kNodePattern);
}

void DeviceSeamSetLockDirectory(const char* directory) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(s_szLockDirectory, sizeof s_szLockDirectory, "%s", directory ? directory : kLockDirectory);
}

void PosixNodePattern(char* pattern, size_t size) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(pattern, size, "%s", s_szNodePattern);
}

int PosixHighestPort() { return kHighestPort; }

void PosixLockDirectory(char* directory, size_t size) {
    std::lock_guard<std::mutex> guard(s_namingMutex);
    snprintf(directory, size, "%s", s_szLockDirectory);
}

// Linux lets the new time-outs settle with one wait each way on the port.
void PortApplyTimeouts(PORT_HANDLE port, unsigned int readMs, unsigned int writeMs) {
    if (port < 0 || port > INT32_MAX)
        return;
    PosixWaitReady(static_cast<int>(port), false, readMs);
    PosixWaitReady(static_cast<int>(port), true, writeMs);
}

bool PosixListingCommand(char*, size_t) { return false; }

bool PosixLockFileOptional() { return false; }

bool PosixDeferClose(int) { return false; }

// Linux holds nothing on the port itself: the lock file alone excludes other processes.
int PortLockRecord(PORT_HANDLE) { return 1; }

void PortUnlockRecord(PORT_HANDLE) {}
