// A host process that competes for the instrument's port with others of its kind:
//
//   nvs_port_race_host race <node pattern> <lock folder> <marker> <rounds>
//   nvs_port_race_host hold <node pattern> <lock folder>
//
// race: waits until its standard input reaches its end (the start, for every competitor
// at once), then scans every port `rounds` times (connect handshake included). While it
// holds the port it creates <marker> exclusively, checks that the lock file names it,
// and deletes <marker> again before it lets go: a marker that exists already means two
// processes hold the instrument together. Prints "held <n> missed <m> failed <f>", f the
// handshakes that failed on a port this process had locked (a reply later than the
// transport waits, on a loaded machine; the test tells that from another process's bytes
// by what the instrument received).
// hold: scans until it holds the port, prints "held" and waits to be killed.
//
// Exit status: 0 done; 2 usage; 3 two holders at once; 4 the lock file did not name the
// holder; 6 no port within the deadline (hold).
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/Device.h"
#include "platform/PortSeam.h"
#include NVS_DEVICE_SEAM_HEADER
#include "protocol/Identity.h"

namespace {

int s_handshakeFailures = 0;

bool CountedHandshake() {
    const bool ok = IsTargetDevice();
    s_handshakeFailures += ok ? 0 : 1;
    return ok;
}

int LockOwner() {
    const int fd = open(g_szLockFilePath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int32_t owner = -1;
    const ssize_t got = read(fd, &owner, sizeof owner);
    close(fd);
    return got == static_cast<ssize_t>(sizeof owner) ? owner : -1;
}

int Race(const char* marker, int rounds) {
    for (char byte;;) {
        const ssize_t got = read(0, &byte, 1);
        if (got == 0 || (got < 0 && errno != EINTR))
            break;
    }
    int held = 0;
    int missed = 0;
    for (int i = 0; i < rounds; ++i) {
        if (FindDevice(-1) == 0) {
            ++missed;
            continue;
        }
        ++held;
        const int fd = open(marker, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) {
            std::fprintf(stderr, "round %d: %s exists: another process holds the port too\n", i, marker);
            return 3;
        }
        close(fd);
        if (LockOwner() != static_cast<int>(getpid())) {
            std::fprintf(stderr, "round %d: the lock file names %d\n", i, LockOwner());
            return 4;
        }
        unlink(marker);
        DeviceClose();
    }
    std::printf("held %d missed %d failed %d\n", held, missed, s_handshakeFailures);
    std::fflush(stdout);
    return 0;
}

int Hold() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (FindDevice(-1) == 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return 6;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;)
        pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    const std::string mode = argv[1];
    DeviceSeamSetNodePattern(argv[2]);
    DeviceSeamSetLockDirectory(argv[3]);
    DeviceSetTargetCheck(CountedHandshake);
    if (mode == "race" && argc == 6)
        return Race(argv[4], std::atoi(argv[5]));
    if (mode == "hold")
        return Hold();
    return 2;
}
