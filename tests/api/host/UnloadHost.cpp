// A host program that unloads the library without freeing it first, in a given state:
//
//   nvs_unload_host <library> <state> <port>
//
// state: idle (loaded only), init (connection thread scanning, no instrument accepted),
// connected (ORVConnect on /dev/ttyACM<port>), output (connected, an ECG output running),
// playback (connected, an ECG playback streaming).
// After dlclose the library must be gone from the process with every thread it started,
// and a second load must connect again. Exit status 0 when all held; otherwise the number
// of the step that failed (a crash shows as the signal that ended the process).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <string>
#include <thread>

#include "nvs300.h"

namespace {

enum Failure {
    kUsage = 1,
    kLoad = 2,
    kState = 3,
    kStillLoaded = 4,
    kThreadsLeft = 5,
    kReload = 6,
};

int Tasks() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(dir);
    return n;
}

template <class Cond>
bool WaitUntil(Cond cond, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::atomic<int> s_samples{0};
void CountSample(double, int, int) { s_samples.fetch_add(1); }

template <class F>
F Get(void* lib, const char* name) {
    return reinterpret_cast<F>(dlsym(lib, name));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <library> idle|init|connected|output|playback <port>\n", argv[0]);
        return kUsage;
    }
    const char* path = argv[1];
    const std::string state = argv[2];
    const unsigned port = static_cast<unsigned>(std::atoi(argv[3]));
    // A sanitizer's runtime starts a thread of its own with the first thread of the
    // process: one started and joined here brings it up before the count.
    std::thread([] {}).join();
    const int before = Tasks();

    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return kLoad;
    }
    auto initEx = Get<bool (*)(int, PFN_CONNECT_LISTENER)>(lib, "_Z9ORVInitExiPFvbE");
    auto connect = Get<bool (*)(unsigned, unsigned)>(lib, "ORVConnect");
    auto outputECG = Get<bool (*)(ECG_WAVEFORM*, PFN_SAMPLE_CALLBACK)>(lib, "ORVOutputECG");
    auto playECG = Get<bool (*)(ECG_WAVEFORM*, PFN_SAMPLE_CALLBACK)>(lib, "ORVPlayECG");
    if (initEx == nullptr || connect == nullptr || outputECG == nullptr || playECG == nullptr) {
        return kLoad;
    }
    bool ready = true;
    if (state == "init") {
        ready = initEx(7777, nullptr);  // a serial number that no instrument here carries
    } else if (state == "connected" || state == "output" || state == "playback") {
        ready = connect(port, 20000);
        if (ready && state != "connected") {
            ECG_WAVEFORM ecg{};
            ecg.fFrequency = 1.0;
            ecg.fAmplitude = 1.0;
            ecg.nRRInterval = 1000;
            ecg.nPacingRate = 60;
            ecg.fSampleRateKHz = 1.0;
            ready = (state == "output" ? outputECG : playECG)(&ecg, CountSample) &&
                    WaitUntil([] { return s_samples.load() >= 100; }, 10000);
        }
    } else if (state != "idle") {
        return kUsage;
    }
    if (!ready) {
        std::fprintf(stderr, "the library did not reach the state '%s'\n", state.c_str());
        return kState;
    }

    dlclose(lib);  // no ORVFree
    if (dlopen(path, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        std::fprintf(stderr, "the library stayed loaded\n");
        return kStillLoaded;
    }
    // A joined thread may linger in the task list for a moment after its join: the
    // library's as they end here, and (seen under qemu) the one joined just before the
    // first count, which then went in it. No thread of the library may be left.
    if (!WaitUntil([&] { return Tasks() <= before; }, 5000)) {
        std::fprintf(stderr, "%d threads before the load, %d after the unload\n", before, Tasks());
        return kThreadsLeft;
    }

    lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        return kReload;
    }
    connect = Get<bool (*)(unsigned, unsigned)>(lib, "ORVConnect");
    auto freeLib = Get<void (*)()>(lib, "ORVFree");
    if (connect == nullptr || freeLib == nullptr || !connect(port, 20000)) {
        std::fprintf(stderr, "no connection after the second load\n");
        return kReload;
    }
    freeLib();
    dlclose(lib);
    return 0;
}
