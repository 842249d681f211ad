// nvs-emulator: the emulated instrument as a program, for manual runs and for
// cross-built test clients (a native emulator can serve them over the same pty).
//
//   nvs-emulator [--profile NAME] [--link PATH] [-v]
//
// Prints the slave path on its first line of standard output, then runs until SIGINT
// or SIGTERM, answering as the firmware model of the chosen profile (Profile.h; the
// default is a main unit with a PPG module 0x2112). With -v every request is logged
// to standard error.
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Emulator.h"
#include "Firmware.h"
#include "Profile.h"

namespace {

void Usage(const char* argv0, FILE* out) {
    std::fprintf(out, "usage: %s [--profile NAME] [--link PATH] [-v]\n", argv0);
    std::fprintf(out, "profiles:");
    for (const std::string& name : nvsemu::Profile::Names())
        std::fprintf(out, " %s%s", name.c_str(), name == nvsemu::Profile::DefaultName() ? " (default)" : "");
    std::fprintf(out, "\n");
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
    std::string link;
    std::string profileName = nvsemu::Profile::DefaultName();
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
            link = argv[++i];
        } else if (std::strcmp(argv[i], "--profile") == 0 && i + 1 < argc) {
            profileName = argv[++i];
        } else if (std::strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(argv[0], stdout);
            return 0;
        } else {
            Usage(argv[0], stderr);
            return 2;
        }
    }
    nvsemu::Profile profile;
    if (!nvsemu::Profile::ByName(profileName, profile)) {
        std::fprintf(stderr, "nvs-emulator: no profile named %s\n", profileName.c_str());
        Usage(argv[0], stderr);
        return 2;
    }

    // Block the stop signals before the I/O thread starts, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    nvsemu::Emulator emulator;
    emulator.SetResponder(std::make_shared<nvsemu::Firmware>(profile));
    if (verbose)
        emulator.SetRequestHook(Log);
    if (!emulator.Start()) {
        std::perror("nvs-emulator: cannot open a pseudo-terminal");
        return 1;
    }
    if (!link.empty() && !emulator.LinkAs(link)) {
        std::fprintf(stderr, "nvs-emulator: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", emulator.SlavePath().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    emulator.Stop();
    if (verbose)
        std::fprintf(stderr, "nvs-emulator: stopped by signal %d after %zu requests, %zu filler bytes\n", signal,
                     emulator.Requests().size(), emulator.FillerBytes());
    return 0;
}
