// Smoke host: starts the instrument emulator on a pseudo-terminal, opens its port
// through the library's serial link and runs one exchange (the firmware-version
// request AA 03, answered with five bytes).
//
// As root the emulator is linked as /dev/ttyACM127 and found where the shipped library
// looks; otherwise the port pattern is pointed at a temporary folder (an internal seam
// that the shared library does not export).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

#include "Emulator.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/Transport.h"
#include "platform/linux/DeviceSeam.h"

int main() {
    nvsemu::Emulator emulator;
    if (!emulator.Start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    auto firmware = std::make_shared<nvsemu::FamilyResponder>();
    firmware->On(0xAA, [](const nvsemu::Request& request) {
        std::vector<nvsemu::Reply> replies;
        if (request.bytes.size() == 2 && request.bytes[1] == 0x03)
            replies.push_back(nvsemu::Reply{{0xAA, 0x03, 0xFF, 0x07, 0x00}, 0});
        return replies;
    });
    emulator.SetResponder(firmware);

    int port = 127;
    std::string node = "/dev/ttyACM127";
    std::string folder;
    if (geteuid() != 0) {
        char pattern[] = "/tmp/nvs-smoke-XXXXXX";
        folder = mkdtemp(pattern);
        node = folder + "/ttyACM" + std::to_string(port);
        DeviceSeamSetNodePattern((folder + "/ttyACM%d").c_str());
        DeviceSeamSetLockDirectory(folder.c_str());
    }
    if (!emulator.LinkAs(node)) {
        std::fprintf(stderr, "cannot link %s\n", node.c_str());
        return 1;
    }
    std::printf("emulator on %s (%s)\n", node.c_str(), folder.empty() ? "shipped device path" : "test seam");

    // The connect handshake comes with the device protocol; accept the port as it is.
    DeviceSeamSetTargetCheck([] { return true; });
    if (!FindDevice(port)) {
        std::fprintf(stderr, "the library did not open %s\n", node.c_str());
        return 1;
    }
    unsigned char request[2] = {0xAA, 0x03};
    unsigned char reply[5] = {0};
    const bool written = WriteData(request, 2, 1) == 2;
    SleepEx(40);
    const int got = written ? ReadData(reply, 5, 0xFF) : 0;
    std::printf("sent AA 03, got %d bytes:", got);
    for (int i = 0; i < got; ++i)
        std::printf(" %02X", reply[i]);
    std::printf("\nfirmware revision byte: %d\n", got == 5 ? reply[3] : -1);
    DeviceClose();
    emulator.Stop();
    if (!folder.empty())
        std::system(("rm -rf '" + folder + "'").c_str());
    return got == 5 ? 0 : 1;
}
