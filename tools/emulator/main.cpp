// nvs-emulator: the emulated instrument as a program, for host developers, manual runs
// and cross-built test clients (a native emulator can serve them over the same pty).
// `nvs-emulator --help` lists the options (CommandLine.h).
//
// Prints the slave path on its first line of standard output, and the new path each
// time the instrument is plugged back in. Runs until SIGINT or SIGTERM, answering as
// the firmware model of the chosen profile (Profile.h). SIGUSR1 unplugs and replugs.
//
// Signals: the handler only writes the signal's number to a pipe (close-on-exec,
// non-blocking); this thread polls the pipe and does the work. The signals are blocked
// in the emulator's I/O thread, so they interrupt nothing but this wait.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "CommandLine.h"
#include "Emulator.h"
#include "Firmware.h"
#include "Profile.h"

namespace {

int g_signalPipe = -1;  // write end; set before the handlers are installed

extern "C" void OnSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    (void)!write(g_signalPipe, &number, 1);  // a full pipe already holds a wake-up
    errno = saved;
}

const char* KindName(nvsemu::FrameKind kind) {
    switch (kind) {
        case nvsemu::FrameKind::Known:
            return "";
        case nvsemu::FrameKind::Unknown:
            return "unknown ";
        case nvsemu::FrameKind::Incomplete:
            return "incomplete ";
    }
    return "";
}

void Log(const nvsemu::Request& r) {
    std::string hex;
    char byte[4];
    for (uint8_t b : r.bytes) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        hex += byte;
    }
    if (!hex.empty())
        hex.pop_back();
    std::fprintf(stderr, "%llu.%06llu #%zu %s%s [%zu] %s\n", static_cast<unsigned long long>(r.atUs / 1000000),
                 static_cast<unsigned long long>(r.atUs % 1000000), r.index, KindName(r.kind), r.name.c_str(),
                 r.bytes.size(), hex.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    nvsemu::CommandLine line;
    std::string error;
    if (!nvsemu::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line, error)) {
        std::fprintf(stderr, "nvs-emulator: %s (--help lists the options)\n", error.c_str());
        return 2;
    }
    if (line.help) {
        std::fputs(nvsemu::UsageText(argv[0]).c_str(), stdout);
        return 0;
    }
    const std::string profileName = line.profile.empty() ? nvsemu::Profile::DefaultName() : line.profile;
    nvsemu::Profile profile;
    if (!nvsemu::Profile::ByName(profileName, profile)) {
        std::fprintf(stderr, "nvs-emulator: no profile named %s (--help lists the profiles)\n", profileName.c_str());
        return 2;
    }

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("nvs-emulator: pipe");
        return 1;
    }
    g_signalPipe = pipeFds[1];
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGUSR1);
    // Blocked while the I/O thread starts (it keeps this mask), unblocked below.
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);

    auto firmware = std::make_shared<nvsemu::Firmware>(profile);
    nvsemu::Emulator emulator;
    emulator.SetResponder(firmware);
    nvsemu::PlanFaults(line, emulator, *firmware);
    if (line.verbose)
        emulator.SetRequestHook(Log);
    if (!emulator.Start()) {
        std::perror("nvs-emulator: cannot open a pseudo-terminal");
        return 1;
    }
    if (!line.link.empty() && !emulator.LinkAs(line.link)) {
        std::fprintf(stderr, "nvs-emulator: cannot link %s: %s\n", line.link.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", emulator.SlavePath().c_str());
    std::fflush(stdout);
    pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);

    int stopSignal = 0;
    while (stopSignal == 0) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR) {
            std::perror("nvs-emulator: poll");
            break;
        }
        unsigned char signals[16];
        ssize_t n;
        while (stopSignal == 0 && (n = read(pipeFds[0], signals, sizeof signals)) > 0) {
            for (ssize_t i = 0; i < n && stopSignal == 0; ++i) {
                if (signals[i] != SIGUSR1) {
                    stopSignal = signals[i];
                } else if (emulator.Plugged()) {
                    emulator.Unplug();
                    if (line.verbose)
                        std::fprintf(stderr, "nvs-emulator: unplugged\n");
                } else if (emulator.Replug()) {
                    std::printf("%s\n", emulator.SlavePath().c_str());
                    std::fflush(stdout);
                    if (line.verbose)
                        std::fprintf(stderr, "nvs-emulator: plugged back in as %s\n", emulator.SlavePath().c_str());
                } else {
                    std::fprintf(stderr, "nvs-emulator: cannot plug back in: %s\n", std::strerror(errno));
                }
            }
        }
    }
    emulator.Stop();
    if (line.verbose)
        std::fprintf(stderr, "nvs-emulator: stopped by signal %d after %zu requests, %zu filler bytes\n", stopSignal,
                     emulator.Requests().size(), emulator.FillerBytes());
    return 0;
}
