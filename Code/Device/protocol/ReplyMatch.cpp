// The per-family echo rules (see ReplyMatch.h).
#include "protocol/ReplyMatch.h"

#include <initializer_list>

namespace proto {

namespace {

constexpr int kMaxOffset = 16;

void Require(ReplyMatch& m, const uint8_t* request, int length, std::initializer_list<int> offsets) {
    for (int i : offsets) {
        if (i < length && i < kMaxOffset) {
            m.mask = static_cast<uint16_t>(m.mask | (1u << i));
            m.bytes[i] = request[i];
        }
    }
}

bool IsSettingSubCommand(uint8_t sub) { return sub == 0x01 || sub == 0x02 || sub == 0x03 || sub == 0x08; }

bool IsRawDataSubCommand(uint8_t sub) { return sub == 0x04 || sub == 0x05 || sub == 0x06 || sub == 0x09; }

}  // namespace

ReplyMatch MatchFor(const uint8_t* request, int length) {
    ReplyMatch m;
    if (request == nullptr || length <= 0) {
        return m;
    }
    const uint8_t family = request[0];
    const uint8_t direction = length > 1 ? request[1] : 0;
    const uint8_t sub = length > 2 ? request[2] : 0;
    switch (family) {
        case 0x00:
            Require(m, request, length, {0});
            break;
        case 0x12:
            Require(m, request, length, {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11});
            break;
        case 0x55:
        case 0xB0:
        case 0xB8:
        case 0xB9:
            Require(m, request, length, {0, 1, 2});
            break;
        case 0xAD:
            if (direction == 0xFF && sub == 0x00) {
                Require(m, request, length, {0});
            } else {
                Require(m, request, length, {0, 1, 2});
            }
            break;
        case 0xCC:
            Require(m, request, length, {0, 1, 2});
            if (sub == 0x0A) {
                Require(m, request, length, {4, 5, 6});
            }
            break;
        case 0xEA:
            if (direction == 0x00 && IsSettingSubCommand(sub)) {
                Require(m, request, length, {0, 2});
            } else {
                Require(m, request, length, {0, 1, 2});
            }
            if (direction == 0xFF && IsRawDataSubCommand(sub)) {
                Require(m, request, length, {4, 5, 6, 7});
            }
            break;
        default:  // 0xAA and any family without a known echo
            Require(m, request, length, {0});
            break;
    }
    return m;
}

bool Answers(const ReplyMatch& match, const uint8_t* reply, int length) {
    if (reply == nullptr || length <= 0) {
        return false;
    }
    for (int i = 0; i < kMaxOffset && i < length; ++i) {
        if ((match.mask & (1u << i)) != 0 && reply[i] != match.bytes[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace proto
