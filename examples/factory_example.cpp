// Example factory host: gives the emulated instrument's main module a new serial number
// through the library's public interface only (api/nvs300.h and libnvs), connects again
// and reads the number back from the instrument.
//
// The identity write changes the instrument's stored record; the library's copy of it
// changes only when the instrument is identified again, so the host reconnects. As root
// the emulator's port is linked as /dev/ttyACM124 and the host uses ORVConnect and
// ORVFree; without root the host opens the port itself, hands it over with
// ORVSetDeviceHandle, and for the reconnect gives it back and hands it over again.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

#include "Emulator.h"
#include "Firmware.h"
#include "nvs300.h"

namespace {

constexpr unsigned kPort = 124;
constexpr unsigned kConnectTimeoutMs = 20000;
constexpr int kNewPrefix = 0x12;
constexpr int kNewSerial = 1234;

// Connects (root: through the scan) or hands the emulator's port over; false when no
// instrument answers.
bool Attach(nvsemu::Emulator& emulator, bool root, int& fd) {
    if (root) {
        return ORVConnect(kPort, kConnectTimeoutMs);
    }
    fd = open(emulator.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    ORVSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    return ORVGetDeviceHandle() != reinterpret_cast<void*>(-1) && ORVGetSerialNumber()[0] != '\0';
}

void Detach(bool root) {
    if (root) {
        ORVFree();
    } else {
        ORVSetDeviceHandle(nullptr);  // the library closes the port it took over
    }
}

void PrintIdentity(const char* when) {
    MODEL_INFORMATION m = {};
    ORVGetDeviceInformation(&m);
    std::printf("%s: serial number %s (prefix 0x%02X, number %d)\n", when, ORVGetSerialNumber(), m.nSerialPrefix,
                m.iSerialNumber);
}

}  // namespace

int main() {
    nvsemu::Emulator emulator;
    if (!emulator.Start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    emulator.SetResponder(std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpg2112()));

    const bool root = geteuid() == 0;
    const std::string node = "/dev/ttyACM" + std::to_string(kPort);
    if (root) {
        unlink(node.c_str());
        if (!emulator.LinkAs(node)) {
            std::fprintf(stderr, "cannot link %s\n", node.c_str());
            return 1;
        }
        std::printf("path: root, emulator linked as %s; ORVConnect(%u)\n", node.c_str(), kPort);
    } else {
        std::printf("path: not root, no link under /dev possible; port %s handed over with ORVSetDeviceHandle\n",
                    emulator.SlavePath().c_str());
    }

    int fd = -1;
    if (!Attach(emulator, root, fd)) {
        std::fprintf(stderr, "no instrument found\n");
        return 1;
    }
    PrintIdentity("before");
    const bool written = ORVSetSerialNumber(kNewPrefix, kNewSerial);
    std::printf("serial number 0x%02X/%d written: %s\n", kNewPrefix, kNewSerial, written ? "yes" : "no");
    PrintIdentity("the library's copy until the next connection");

    Detach(root);
    if (!Attach(emulator, root, fd)) {
        std::fprintf(stderr, "the instrument was not found again\n");
        return 1;
    }
    PrintIdentity("after reconnecting");
    MODEL_INFORMATION after = {};
    ORVGetDeviceInformation(&after);

    Detach(root);
    emulator.Stop();
    if (root) {
        unlink(node.c_str());
    }
    const bool ok = written && after.nSerialPrefix == kNewPrefix && after.iSerialNumber == kNewSerial;
    std::printf("%s\n", ok ? "done" : "the serial number did not read back");
    return ok ? 0 : 1;
}
