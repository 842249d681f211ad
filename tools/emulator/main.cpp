// nvs-emulator: the emulated instrument as a program, for host developers, manual runs
// and cross-built test clients (a native emulator can serve them over the same pty).
// `nvs-emulator --help` lists the options (CommandLine.h).
//
// Prints the slave path on its first line of standard output, and the new path each
// time the instrument is plugged back in. Runs until SIGINT or SIGTERM, answering as
// the firmware model of the chosen profile (Profile.h). SIGUSR1 unplugs and replugs.
//
// Signals: SIGINT, SIGTERM and SIGUSR1 are blocked in every thread from the start and
// read from a signalfd (close-on-exec, non-blocking) that this thread polls: no handler
// ever runs, so nothing is interrupted and nothing async-signal-unsafe can happen. (A
// handler would also trip user-mode emulators of 32-bit targets, which restore a
// thread's TLS register wrongly after one.)
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "CommandLine.h"
#include "Emulator.h"
#include "Firmware.h"
#include "Profile.h"

namespace {

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

    // Blocked before the I/O thread starts (it keeps this mask) and never unblocked.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    const int signals = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        std::perror("nvs-emulator: signalfd");
        return 1;
    }

    auto firmware = std::make_shared<nvsemu::Firmware>(profile);
    nvsemu::Emulator emulator;
    emulator.SetResponder(firmware);
    // The restart byte (a firmware burn's end) and the end of an FPGA upgrade: the port
    // vanishes and comes back under the same link.
    firmware->SetRestartHandler([&emulator] { emulator.Restart(); });
    nvsemu::PlanFaults(line, emulator, *firmware);
    nvsemu::ApplyStreamOptions(line, *firmware);
    nvsemu::PlanSampling(line, *firmware);
    if (line.verbose) {
        emulator.SetRequestHook(Log);
        // Stream packets are not requests: one line per batch instead of 50.
        firmware->SetStreamHook([](const nvsemu::StreamEvent& e) {
            const std::string text = nvsemu::StreamLogLine(e);
            if (!text.empty())
                std::fprintf(stderr, "%s\n", text.c_str());
        });
    }
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

    int stopSignal = 0;
    while (stopSignal == 0) {
        pollfd p{signals, POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR) {
            std::perror("nvs-emulator: poll");
            break;
        }
        signalfd_siginfo info;
        while (stopSignal == 0 && read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo != SIGUSR1) {
                stopSignal = static_cast<int>(info.ssi_signo);
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
    emulator.Stop();
    if (line.verbose)
        std::fprintf(stderr, "nvs-emulator: stopped by signal %d after %zu requests, %zu filler bytes\n", stopSignal,
                     emulator.Requests().size(), emulator.FillerBytes());
    return 0;
}
