// nvs-emulator: the emulated instrument as a program, for host developers, manual runs
// and cross-built test clients (a native emulator can serve them over the same pty).
// `nvs-emulator --help` lists the options (CommandLine.h).
//
// Prints the slave path on its first line of standard output, and the new path each
// time the instrument is plugged back in. Runs until SIGINT or SIGTERM, answering as
// the firmware model of the chosen profile (Profile.h). SIGUSR1 unplugs and replugs.
// With --control it also listens on a loopback TCP port (its number on the second line
// of standard output) for the commands of Control.h, served on this thread.
//
// Signals: SIGINT, SIGTERM and SIGUSR1 are blocked in every thread from the start and
// read from a signalfd (close-on-exec, non-blocking) that this thread polls: no handler
// ever runs, so nothing is interrupted and nothing async-signal-unsafe can happen. (A
// handler would also trip user-mode emulators of 32-bit targets, which restore a
// thread's TLS register wrongly after one.)
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "CommandLine.h"
#include "Control.h"
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

// A listening socket on 127.0.0.1 at a port the system picks; -1 on failure.
int ListenOnLoopback(unsigned& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

struct ControlClient {
    int fd;
    std::string pending;  // bytes after the last full line
};

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
    int listener = -1;
    if (line.control) {
        unsigned port = 0;
        listener = ListenOnLoopback(port);
        if (listener < 0) {
            std::perror("nvs-emulator: control port");
            return 1;
        }
        std::printf("control %u\n", port);
    }
    std::fflush(stdout);
    std::vector<ControlClient> clients;

    int stopSignal = 0;
    while (stopSignal == 0) {
        std::vector<pollfd> p{{signals, POLLIN, 0}};
        if (listener >= 0)
            p.push_back({listener, POLLIN, 0});
        for (const ControlClient& c : clients)
            p.push_back({c.fd, POLLIN, 0});
        if (poll(p.data(), p.size(), -1) < 0 && errno != EINTR) {
            std::perror("nvs-emulator: poll");
            break;
        }
        if (listener >= 0 && (p[1].revents & POLLIN) != 0) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                clients.push_back({fd, std::string()});
        }
        for (size_t i = 0, first = listener >= 0 ? 2 : 1; i + first < p.size(); ++i) {
            if (p[i + first].revents == 0)
                continue;
            ControlClient& c = clients[i];
            char buffer[256];
            const ssize_t n = read(c.fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(c.fd);
                c.fd = -1;
                continue;
            }
            c.pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = c.pending.find('\n')) != std::string::npos;) {
                nvsemu::ControlEffect effect;
                const std::string answer = nvsemu::RunControlCommand(c.pending.substr(0, end), emulator, effect) + "\n";
                c.pending.erase(0, end + 1);
                if (effect == nvsemu::ControlEffect::Replugged) {
                    std::printf("%s\n", emulator.SlavePath().c_str());
                    std::fflush(stdout);
                }
                if (line.verbose && effect != nvsemu::ControlEffect::None)
                    std::fprintf(stderr, "nvs-emulator: %s by the control port\n",
                                 effect == nvsemu::ControlEffect::Unplugged ? "unplugged" : "plugged back in");
                if (send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
                    close(c.fd);
                    c.fd = -1;
                    break;
                }
            }
            if (c.pending.size() > 4096) {  // no line end in sight: not a control client
                close(c.fd);
                c.fd = -1;
            }
        }
        for (size_t i = clients.size(); i-- > 0;)
            if (clients[i].fd < 0)
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
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
    for (const ControlClient& c : clients)
        close(c.fd);
    if (listener >= 0)
        close(listener);
    emulator.Stop();
    if (line.verbose)
        std::fprintf(stderr, "nvs-emulator: stopped by signal %d after %zu requests, %zu filler bytes\n", stopSignal,
                     emulator.Requests().size(), emulator.FillerBytes());
    return 0;
}
