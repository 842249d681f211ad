// Reply builders shared by the firmware model's family handlers (internal to the
// emulator). Pure byte work: how the instrument shapes a reply from its request.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nvsemu {
namespace fw {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kAccepted = 0xFF;
constexpr uint8_t kRefused = 0x00;

// The request's bytes, cut or padded with zeros to the reply length.
inline Bytes Echo(const Bytes& request, size_t length = 64) {
    Bytes reply(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(std::min(request.size(), length)));
    reply.resize(length, 0);
    return reply;
}

// The request echoed with byte 3 = status (0xFF accepted).
inline Bytes Status(const Bytes& request, uint8_t status, size_t length = 64) {
    Bytes reply = Echo(request, length);
    if (reply.size() > 3)
        reply[3] = status;
    return reply;
}

inline Bytes Accept(const Bytes& request, size_t length = 64) { return Status(request, kAccepted, length); }
inline Bytes Refuse(const Bytes& request, size_t length = 64) { return Status(request, kRefused, length); }

inline uint16_t Be16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

inline void PutBe16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v & 0xFF);
}

// The length of the instrument's reply to a request: 12 bytes to 55 00 m, 5 to AA 03,
// 64 to everything else.
inline size_t ReplyLength(const Bytes& request) {
    if (!request.empty() && request[0] == 0x55)
        return 12;
    if (request.size() >= 2 && request[0] == 0xAA && request[1] == 0x03)
        return 5;
    return 64;
}

}  // namespace fw
}  // namespace nvsemu
