// The per-family echo rules (see ReplyMatch.h).
#include "protocol/ReplyMatch.h"

#include <initializer_list>

namespace proto {

namespace {

constexpr int kMaxOffset = 16;

uint16_t Offsets(const uint8_t* request, int length, ReplyMatch& m, std::initializer_list<int> offsets) {
    uint16_t mask = 0;
    for (int i : offsets) {
        if (i < length && i < kMaxOffset) {
            mask = static_cast<uint16_t>(mask | (1u << i));
            m.bytes[i] = request[i];
        }
    }
    return mask;
}

bool IsSettingSubCommand(uint8_t sub) { return sub == 0x01 || sub == 0x02 || sub == 0x03 || sub == 0x08; }

bool IsRawDataSubCommand(uint8_t sub) { return sub == 0x04 || sub == 0x05 || sub == 0x06 || sub == 0x09; }

bool Compare(uint16_t mask, const ReplyMatch& match, const uint8_t* reply, int length) {
    for (int i = 0; i < kMaxOffset && i < length; ++i) {
        if ((mask & (1u << i)) != 0 && reply[i] != match.bytes[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

ReplyMatch MatchFor(const uint8_t* request, int length) {
    ReplyMatch m;
    if (request == nullptr || length <= 0) {
        return m;
    }
    const uint8_t family = request[0];
    const uint8_t direction = length > 1 ? request[1] : 0;
    const uint8_t sub = length > 2 ? request[2] : 0;
    uint16_t promised = Offsets(request, length, m, {0});
    uint16_t header = 0;
    switch (family) {
        case 0x12:
            promised |= Offsets(request, length, m, {1, 2, 3, 5, 6, 7, 8, 9, 10, 11});
            break;
        case 0x55:
            if (sub == 0x00 || sub == 0x01) {
                promised |= Offsets(request, length, m, {1, 2});
            } else {
                header = Offsets(request, length, m, {1, 2});
            }
            break;
        case 0xAD:
            if (!(direction == 0xFF && sub == 0x00)) {
                header = Offsets(request, length, m, {1, 2});
            }
            break;
        case 0xB0:
        case 0xB8:
        case 0xB9:
            header = Offsets(request, length, m, {1, 2});
            break;
        case 0xCC:
            header = Offsets(request, length, m, {1, 2});
            if (sub == 0x0A) {
                header |= Offsets(request, length, m, {4, 5, 6});
            }
            break;
        case 0xEA:
            if (direction == 0xFF && (IsSettingSubCommand(sub) || IsRawDataSubCommand(sub))) {
                promised |= Offsets(request, length, m, {1, 2});
                if (IsRawDataSubCommand(sub)) {
                    promised |= Offsets(request, length, m, {4, 5, 6, 7});
                }
            } else if (direction == 0x00 && IsSettingSubCommand(sub)) {
                header = Offsets(request, length, m, {2});
            } else {
                header = Offsets(request, length, m, {1, 2});
            }
            break;
        default:  // 0x00, 0xAA and any family without a known echo: the family byte
            break;
    }
    m.promised = promised;
    m.header = static_cast<uint16_t>(promised | header);
    return m;
}

bool Answers(const ReplyMatch& match, const uint8_t* reply, int length, bool headers) {
    if (reply == nullptr || length <= 0) {
        return false;
    }
    return Compare(headers ? match.header : match.promised, match, reply, length);
}

void EchoLearner::Reset() { *this = EchoLearner(); }

void EchoLearner::Note(const ReplyMatch& match, const uint8_t* reply, int length) {
    if (mode_ != EchoMode::Unknown || reply == nullptr || length <= 0) {
        return;
    }
    const uint16_t beyond = static_cast<uint16_t>(match.header & ~match.promised);
    if (beyond == 0 || (length < kMaxOffset && (beyond >> length) != 0)) {
        return;  // nothing to learn, or the delivery is too short to show it
    }
    const bool zeroHeader = ((beyond & 0x2u) == 0 || match.bytes[1] == 0) && ((beyond & 0x4u) == 0 || match.bytes[2] == 0);
    if (zeroHeader) {
        return;
    }
    if (!Compare(match.header, match, reply, length)) {
        mode_ = EchoMode::Promised;
        return;
    }
    const uint16_t key = static_cast<uint16_t>((match.bytes[0] << 8) | match.bytes[2]);
    for (int i = 0; i < repeats_; ++i) {
        if (seen_[i] == key) {
            return;
        }
    }
    seen_[repeats_++] = key;
    if (repeats_ == kRepeatsNeeded) {
        mode_ = EchoMode::Headers;
    }
}

}  // namespace proto
