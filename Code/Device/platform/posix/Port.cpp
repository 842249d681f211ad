// The serial port on POSIX: open, termios settings, poll-based waits, non-blocking reads
// and writes.
//
// Quirks:
// - The port is opened non-blocking and configured fully raw at 115200 baud: the
//   instrument's packets are binary, so no byte may be translated, stripped or eaten as
//   a control character.
// - Every wait is poll(), never select(): select cannot take a descriptor at or above
//   FD_SETSIZE (1024), which a host holding many files hands us.
// - Every descriptor is close-on-exec, so a child process the host starts never holds
//   the port open.
// - A device that resets or leaves the bus hangs the open descriptor up for good, even
//   when its node stays or comes back under the same name: poll reports POLLHUP (or
//   POLLERR), reads give 0 bytes or EIO, writes EIO (ENXIO once the device is gone).
#include <aio.h>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "../OsServices.h"
#include "../PortSeam.h"
#include "Posix.h"

namespace {

bool IsDescriptor(PORT_HANDLE port) { return port >= 0 && port <= INT32_MAX; }

int Fd(PORT_HANDLE port) { return static_cast<int>(port); }

// What a failed read or write (-1) means by its errno.
PortIo Outcome(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
        return PortIo::Nothing;
    if (error == EIO || error == ENXIO)
        return PortIo::HungUp;  // the device has gone under the descriptor
    return PortIo::Failed;
}

}  // namespace

int PosixWaitReady(int fd, bool forWrite, unsigned int ms) {
    const uint64_t end = GetMonotonicMs() + ms;
    pollfd p;
    p.fd = fd;
    p.events = forWrite ? POLLOUT : POLLIN;
    for (;;) {
        p.revents = 0;
        const uint64_t now = GetMonotonicMs();
        const uint64_t left = end > now ? end - now : 0;
        const int timeout = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        const int result = poll(&p, 1, timeout);
        if (result > 0)
            return (p.revents & POLLNVAL) ? -1 : 1;
        if (result == 0)
            return 0;
        if (errno != EINTR && errno != EAGAIN)
            return -1;
        if (left == 0)
            return 0;
    }
}

PORT_HANDLE PortOpen(const char* path) {
    if (path == nullptr)
        return NVS_NO_PORT;
    int fd;
    do {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? NVS_NO_PORT : static_cast<PORT_HANDLE>(fd);
}

void PortConfigure(PORT_HANDLE port) {
    if (!IsDescriptor(port))
        return;
    termios tio;
    int got;
    do {
        got = tcgetattr(Fd(port), &tio);
    } while (got != 0 && errno == EINTR);
    if (got != 0)
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
    while (tcsetattr(Fd(port), TCSANOW, &tio) != 0 && errno == EINTR) {
    }
}

void PortCancelIO(PORT_HANDLE port) {
    if (IsDescriptor(port))
        aio_cancel(Fd(port), nullptr);
}

bool PortAdopt(PORT_HANDLE port) {
    if (!IsDescriptor(port))
        return false;
    const int fd = Fd(port);
    // The transport's reads wait and then read; a blocking descriptor would hang the read
    // that finds nothing.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    const int fdFlags = fcntl(fd, F_GETFD);
    if (fdFlags >= 0)
        fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC);
    PortConfigure(port);
    return true;
}

bool PortSingleCallIO() { return false; }

PortIo PortRead(PORT_HANDLE port, unsigned char* buffer, size_t length, unsigned int waitMs, size_t* got) {
    *got = 0;
    if (!IsDescriptor(port))
        return PortIo::Failed;
    if (waitMs > 0)
        PosixWaitReady(Fd(port), false, waitMs);  // the read tells what the wait found
    const ssize_t n = read(Fd(port), buffer, length);
    if (n > 0) {
        *got = static_cast<size_t>(n);
        return PortIo::Moved;
    }
    if (n == 0)
        return PortIo::HungUp;
    return Outcome(errno);
}

PortIo PortWrite(PORT_HANDLE port, const unsigned char* data, size_t length, unsigned int waitMs, size_t* put) {
    *put = 0;
    if (!IsDescriptor(port))
        return PortIo::Failed;
    if (waitMs > 0)
        PosixWaitReady(Fd(port), true, waitMs);  // the write tells what the wait found
    const ssize_t n = write(Fd(port), data, length);
    if (n > 0) {
        *put = static_cast<size_t>(n);
        return PortIo::Moved;
    }
    if (n == 0)
        return PortIo::Nothing;
    return Outcome(errno);
}

bool PortHungUp(PORT_HANDLE port) {
    if (!IsDescriptor(port))
        return false;
    // No events asked for: poll reports the hang-up, error and invalid conditions anyway.
    pollfd p{Fd(port), 0, 0};
    int result;
    do {
        result = poll(&p, 1, 0);
    } while (result < 0 && errno == EINTR);
    return result > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}
