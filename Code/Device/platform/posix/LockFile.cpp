// Lock files between processes: one per port, holding the owner's process id as 4 bytes
// in the host's byte order, created exclusively and kept open while the port is held.
//
// Quirks:
// - A lock is stale only when its recorded owner no longer exists (ESRCH); a process of
//   another user (EPERM) is alive.
// - A release deletes the file only if it is still the one this process created (same
//   device and inode): another process may have made its own under the same name since.
// - Every descriptor here is close-on-exec, so a child the host starts does not keep
//   the lock alive.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../Device.h"
#include "../PortSeam.h"
#include "Posix.h"

char g_szLockFilePath[128];
int g_nLockFile = -1;

namespace {

// The lock file this process created and holds: its path and identity.
char s_szHeldLockPath[sizeof g_szLockFilePath];
dev_t s_heldLockDev;
ino_t s_heldLockIno;

// mkdir -p with mode 0755 for every folder that is missing.
void MakeFolders(const char* directory) {
    char path[256];
    const int length = snprintf(path, sizeof path, "%s", directory);
    if (length <= 0 || length >= static_cast<int>(sizeof path))
        return;
    struct stat st;
    if (stat(path, &st) == 0)
        return;
    for (char* p = path + 1; *p != '\0'; ++p) {
        if (*p != '/')
            continue;
        *p = '\0';
        if (stat(path, &st) != 0)
            mkdir(path, 0755);
        *p = '/';
    }
    mkdir(path, 0755);
}

int OpenLockFile(const char* path, int flags) {
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

int PortLockFile(int port) {
    char directory[256];
    PosixLockDirectory(directory, sizeof directory);
    MakeFolders(directory);
    const int nameLength = snprintf(g_szLockFilePath, sizeof g_szLockFilePath, "%s/orvane.ACM%d.lock", directory, port);
    if (nameLength < 0 || nameLength >= static_cast<int>(sizeof g_szLockFilePath))
        return 0;
    if (g_nLockFile != -1)
        return 0;  // one lock at a time: never lose track of the one held

    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = OpenLockFile(g_szLockFilePath, O_CREAT | O_EXCL | O_RDWR);
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
        if (errno != EEXIST) {
            // No folder, or no right to write in it (only root may make the folder on
            // some systems): where the port's record lock excludes other processes, go
            // on without the file rather than never connect.
            const int error = errno;
            return PosixLockFileOptional() && (error == ENOENT || error == EACCES || error == EPERM || error == EROFS)
                       ? 1
                       : 0;
        }

        fd = OpenLockFile(g_szLockFilePath, O_RDWR | O_NOCTTY);
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
        // A pid <= 0 names no process (and kill would address a process group).
        const bool stale = owner <= 0 || (kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH);
        if (!stale)
            return 0;
        unlink(g_szLockFilePath);
    }
    return 0;
}

void PortUnlockFile() {
    if (g_nLockFile == -1)
        return;
    struct stat named;
    if (stat(s_szHeldLockPath, &named) == 0 && named.st_dev == s_heldLockDev && named.st_ino == s_heldLockIno)
        unlink(s_szHeldLockPath);
    close(g_nLockFile);
    g_nLockFile = -1;
    s_szHeldLockPath[0] = '\0';
    g_szLockFilePath[0] = '\0';
}
