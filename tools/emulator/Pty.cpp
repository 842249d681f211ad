#include "Pty.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace nvsemu {

bool OpenRawPty(PtyPair& pty) {
    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    char name[PATH_MAX] = {};
    int master = -1;
    int slave = -1;
    // openpty applies the raw settings to the slave before returning, so no other
    // opener can see the cooked defaults.
    if (openpty(&master, &slave, name, &raw, nullptr) != 0)
        return false;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    const int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
        const int saved = errno;
        close(master);
        close(slave);
        errno = saved;
        return false;
    }
    pty.master = master;
    pty.slave = slave;
    pty.slavePath = name;
    return true;
}

void ClosePty(PtyPair& pty) {
    if (pty.master >= 0)
        close(pty.master);
    if (pty.slave >= 0)
        close(pty.slave);
    pty.master = -1;
    pty.slave = -1;
    pty.slavePath.clear();
}

bool MakeLink(const std::string& link, const std::string& target) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            errno = EEXIST;
            return false;
        }
        if (unlink(link.c_str()) != 0)
            return false;
    }
    return symlink(target.c_str(), link.c_str()) == 0;
}

void RemoveLink(const std::string& link, const std::string& target) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = '\0';
    if (target == buf)
        unlink(link.c_str());
}

}  // namespace nvsemu
