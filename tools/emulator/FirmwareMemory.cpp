// The memory command 12 55 AA of the firmware model: reads, writes and erases of a
// span of one memory target. The firmware does not know the host's word and byte forms:
// both are spans of bytes at an address, the word form's words big-endian.
#include "Firmware.h"

#include "FirmwareReplies.h"

namespace nvsemu {

using namespace fw;

namespace {

constexpr size_t kMaxCount = 48;  // data bytes 16 to 63 of one packet

}  // namespace

// Request: 12 55 AA, 00 read / FF write or erase, 00, target, erase flag, count,
// address (big-endian), then the data from byte 16. The reply echoes bytes 0 to 11
// with byte 4 = 0xFF on success (0x00 refused), and a read's data from byte 16.
Firmware::Bytes Firmware::OnMemory(const Bytes& r) {
    Bytes reply = Echo(r, 12);
    reply.resize(64, 0);
    reply[4] = kRefused;
    const uint8_t direction = r[3];
    const uint8_t target = r[5];
    const bool erase = r[6] == 1;
    const size_t count = r[7];
    const uint32_t address = static_cast<uint32_t>(r[8]) << 24 | static_cast<uint32_t>(r[9]) << 16 |
                             static_cast<uint32_t>(r[10]) << 8 | r[11];
    const int bank = target == 0x13 ? selectedModule_ : 0;
    // A count beyond one packet would read or write past the packet: refused.
    if (!MemoryImage::KnownTarget(target) || count > kMaxCount)
        return reply;

    if (direction == 0x00 && !erase) {
        Bytes data;
        if (!memory_.Read(target, bank, address, count, data))
            return reply;
        std::copy(data.begin(), data.end(), reply.begin() + 16);
        reply[4] = kAccepted;
    } else if (direction == 0xFF && erase) {
        if (memory_.ErasePageAt(target, bank, address))
            reply[4] = kAccepted;
    } else if (direction == 0xFF && r.size() >= 16 + count) {
        const Bytes data(r.begin() + 16, r.begin() + 16 + static_cast<std::ptrdiff_t>(count));
        if (!memory_.Write(target, bank, address, data))
            return reply;
        if (target == 0x03 && flipProgramAt_ >= address && flipProgramAt_ < int64_t{address} + int64_t(count)) {
            // The fault: one programmed byte keeps a wrong bit.
            Bytes stored;
            const uint32_t at = static_cast<uint32_t>(flipProgramAt_);
            if (memory_.Read(target, bank, at, 1, stored))
                memory_.Program(target, bank, at, {static_cast<uint8_t>(stored[0] ^ 0x01)});
            flipProgramAt_ = -1;
        }
        std::copy(data.begin(), data.end(), reply.begin() + 16);
        reply[4] = kAccepted;
    }
    return reply;
}

}  // namespace nvsemu
