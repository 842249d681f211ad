// nvs-emulator: the emulated instrument as a program, for manual runs and for
// cross-built test clients (a native emulator can serve them over the same pty).
//
//   nvs-emulator [--link PATH] [-v]
//
// Prints the slave path on its first line of standard output, then runs until SIGINT
// or SIGTERM. With -v every request is logged to standard error. It answers only what
// the emulator core answers by itself (nothing, for now).
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstring>
#include <string>

#include "Emulator.h"

namespace {

void Usage(const char* argv0) {
    std::fprintf(stderr, "usage: %s [--link PATH] [-v]\n", argv0);
}

const char* KindName(nvsemu::FrameKind kind) {
    switch (kind) {
    case nvsemu::FrameKind::Known: return "";
    case nvsemu::FrameKind::Unknown: return "unknown ";
    case nvsemu::FrameKind::Incomplete: return "incomplete ";
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
    if (!hex.empty()) hex.pop_back();
    std::fprintf(stderr, "%llu.%06llu #%zu %s%s [%zu] %s\n",
                 static_cast<unsigned long long>(r.atUs / 1000000),
                 static_cast<unsigned long long>(r.atUs % 1000000), r.index, KindName(r.kind),
                 r.name.c_str(), r.bytes.size(), hex.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::string link;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
            link = argv[++i];
        } else if (std::strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else {
            Usage(argv[0]);
            return 2;
        }
    }

    // Block the stop signals before the I/O thread starts, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    nvsemu::Emulator emulator;
    if (verbose) emulator.SetRequestHook(Log);
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
        std::fprintf(stderr, "nvs-emulator: stopped by signal %d after %zu requests, %zu filler bytes\n",
                     signal, emulator.Requests().size(), emulator.FillerBytes());
    return 0;
}
