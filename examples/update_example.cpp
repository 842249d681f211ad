// Example factory host: burns a firmware image into the emulated instrument's program
// memory through the library's public interface only (api/nvs300.h and libnvs), and
// prints one line per progress report and the result.
//
// The burn finds the instrument by scanning /dev/ttyACM*, on the caller's thread, and
// follows it through its restart; so the emulator's port must be linked under /dev,
// which needs root. Without root the burn finds nothing and ends with -3.
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "nvs300.h"

namespace {

constexpr unsigned kPort = 125;

const char* StageName(int stage) {
    switch (stage) {
        case ORV_UPDATE_STAGE_ERASE:
            return "erase";
        case ORV_UPDATE_STAGE_WRITE:
            return "write";
        case ORV_UPDATE_STAGE_VERIFY:
            return "verify";
        case ORV_UPDATE_STAGE_RESTART:
            return "restart";
        case ORV_UPDATE_STAGE_RECONNECT:
            return "reconnect";
        case ORV_UPDATE_STAGE_RESULT:
            return "result";
        default:
            return "?";
    }
}

void Progress(int stage, int value) {
    if (stage == ORV_UPDATE_STAGE_RESULT)
        std::printf("%-9s %d\n", StageName(stage), value);
    else
        std::printf("%-9s %3d%%\n", StageName(stage), value);
}

}  // namespace

int main() {
    auto firmware = std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpg2112());
    nvsemu::Emulator emulator;
    if (!emulator.Start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    emulator.SetResponder(firmware);
    // The instrument restarts after the burn: its port vanishes and comes back.
    firmware->SetRestartHandler([&emulator] { emulator.Restart(); });

    const std::string node = "/dev/ttyACM" + std::to_string(kPort);
    if (geteuid() == 0) {
        unlink(node.c_str());
        if (!emulator.LinkAs(node)) {
            std::fprintf(stderr, "cannot link %s\n", node.c_str());
            return 1;
        }
        std::printf("emulator linked as %s\n", node.c_str());
    } else {
        std::printf("not root: no link under /dev possible, the burn will find no instrument\n");
    }

    std::vector<unsigned char> image(1000);
    std::mt19937 rng(2024);
    for (unsigned char& b : image)
        b = static_cast<unsigned char>(rng());
    std::printf("image kept: %d bytes\n", ORVUpdateLoadBinFile(image.data(), static_cast<unsigned>(image.size())));

    const int result = ORVUpdateBurnFlashBlock(FLASH_BLOCK_0, Progress);
    const std::vector<uint8_t> burnt = firmware->MemoryAt(0x03, 0, image.size());
    const bool same = burnt.size() == image.size() && std::memcmp(burnt.data(), image.data(), image.size()) == 0;
    std::printf("burn result %d; program memory %s the image\n", result, same ? "holds" : "does not hold");
    emulator.Stop();
    return result == 0 ? 0 : 2;
}
