// The macOS platform code on the dispatch stand-in (macos-standin with NVS_BUILD_BENCH):
//   1. timer 1 at 20 ms for 10 s: how many marks a paced thread sees (about 500, the
//      first at once); this measures the stand-in, not macOS;
//   2. a scan over 20 listed ports with no instrument: listings started and handshakes
//      tried (one listing, 20 handshakes), and what the scan cost.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "platform/macos/DeviceSeam.h"

namespace {

int s_nChecks = 0;
bool RefuseAll() {
    ++s_nChecks;
    return false;
}

void TimerTicks() {
    g_hSigTimer1Event.ResetEvent();
    unsigned int number = TimerSignal1();
    const uint64_t start = GetMonotonicUs();
    TIMER_HANDLE timer = CreateNewTimer(20, number);
    CEvent* events[] = {&g_hSigTimer1Event};
    int marks = 0;
    uint64_t firstUs = 0;
    while (GetMonotonicUs() - start < 10000000) {
        if (WaitForMultipleObjects(1, events, 0, 100) == 0) {
            if (marks++ == 0)
                firstUs = GetMonotonicUs() - start;
        }
    }
    DeleteTimer(number, timer);
    printf("timer 1 at 20 ms for 10 s: %d marks (goal 500 +/- 5), first after %.2f ms\n", marks, firstUs / 1000.0);
}

void ScanOfTwentyPorts() {
    char dir[] = "/tmp/nvs-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return;
    const std::string folder = dir;
    for (int port = 1; port <= 20; ++port) {
        const std::string node = folder + "/cu.usbmodem" + std::to_string(port);
        if (symlink("/dev/null", node.c_str()) != 0)
            return;
    }
    const std::string count = folder + "/listings";
    const std::string pattern = folder + "/cu.usbmodem%d";
    const std::string listing = "echo x >> " + count + "; /bin/ls " + folder + "/cu.usbmodem* 2>/dev/null";
    DeviceSeamSetNodePattern(pattern.c_str());
    DeviceSeamSetLockDirectory((folder + "/lock").c_str());
    DeviceSeamSetListingCommand(listing.c_str());
    DeviceSetTargetCheck(RefuseAll);
    const uint64_t start = GetMonotonicUs();
    const int found = FindDevice(-1);
    const double ms = (GetMonotonicUs() - start) / 1000.0;
    FILE* file = fopen(count.c_str(), "r");
    int listings = 0;
    for (int c; file != nullptr && (c = fgetc(file)) != EOF;)
        listings += c == '\n';
    if (file != nullptr)
        fclose(file);
    printf("scan of 20 listed ports, no instrument: found %d, %d listing(s), %d handshake(s), %.1f ms\n", found,
           listings, s_nChecks, ms);
    DeviceSeamSetListingCommand(nullptr);
    DeviceSeamSetNodePattern(nullptr);
    DeviceSeamSetLockDirectory(nullptr);
    const std::string remove = "rm -rf " + folder;
    if (system(remove.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", folder.c_str());
}

}  // namespace

int main() {
    ScanOfTwentyPorts();
    TimerTicks();
    return 0;
}
