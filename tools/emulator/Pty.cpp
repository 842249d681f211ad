#include "Pty.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace nvsemu {

bool OpenRawPty(PtyPair& pty) {
    // Both ends are opened close-on-exec in the same call that creates them: a host
    // process that starts programs from other threads must not hand them the port
    // (a child holding the master would keep the instrument "plugged in").
    const int master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0)
        return false;
    char name[PATH_MAX] = {};
    int slave = -1;
    if (grantpt(master) == 0 && unlockpt(master) == 0 && ptsname_r(master, name, sizeof name) == 0) {
#ifdef TIOCGPTPEER
        slave = ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
#endif
        if (slave < 0)
            slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    // Raw before the path is given to anyone, so no other opener sees the cooked
    // defaults.
    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    if (slave < 0 || tcsetattr(slave, TCSANOW, &raw) != 0) {
        const int saved = errno;
        if (slave >= 0)
            close(slave);
        close(master);
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
