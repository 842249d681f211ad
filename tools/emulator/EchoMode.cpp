// The minimal-echo mode's reply change (see EchoMode.h).
#include "EchoMode.h"

namespace nvsemu {

namespace {

constexpr uint8_t kFlip = 0xA5;

bool IsSettingOrRawWrite(uint8_t direction, uint8_t sub) {
    if (direction != 0xFF)
        return false;
    switch (sub) {
        case 0x01: case 0x02: case 0x03: case 0x08:  // ECG and PPG settings
        case 0x04: case 0x05: case 0x06: case 0x09:  // raw data
            return true;
        default:
            return false;
    }
}

}  // namespace

bool EchoOfHeaderPromised(const std::vector<uint8_t>& request) {
    if (request.size() < 2)
        return true;
    const uint8_t family = request[0];
    const uint8_t sub = request.size() > 2 ? request[2] : 0;
    switch (family) {
        case 0x00:  // the operator block itself
        case 0x12:  // the memory command
            return true;
        case 0x55:  // model record 55 00 m; the DAC width 55 00 80/81 repeats nothing
            return request.size() > 2 && (sub == 0x00 || sub == 0x01);
        case 0xCC:  // a register read's reply goes back as the register write (byte 1 made 0xFF)
            return request.size() > 2 && sub == 0x0A && request[1] == 0x00;
        case 0xEA:
            return request.size() > 2 && IsSettingOrRawWrite(request[1], sub);
        default:
            return false;
    }
}

void RepeatOnlyWhatIsPromised(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
    if (reply.size() < 3 || EchoOfHeaderPromised(request) || reply[0] != request[0])
        return;
    reply[1] = static_cast<uint8_t>(request[1] ^ kFlip);
    if (request.size() > 2)
        reply[2] = static_cast<uint8_t>(request[2] ^ kFlip);
}

}  // namespace nvsemu
