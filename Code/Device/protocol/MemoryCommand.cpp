// The memory command's packets and its two transfer forms.
#include "protocol/MemoryCommand.h"

#include <algorithm>
#include <cstring>

#include "platform/Platform.h"
#include "platform/SleepSeam.h"
#include "platform/ThreadFlags.h"
#include "platform/Transport.h"
#include "protocol/Wire.h"

namespace {

constexpr unsigned kWordsPerPacket = 16;
constexpr unsigned kBytesPerPacket = 32;
// The pauses go through the sleep seam (tests scale them).
constexpr unsigned kWritePauseMs = 40;  // the instrument programs its flash after each packet
constexpr unsigned kByteReadPauseMs = 6;

uint8_t DirectionByte(MemoryOp op) { return op == MemoryOp::Read ? 0x00 : 0xFF; }

CThreadFlagTable s_readStop;

bool ReadStopped() { return s_readStop.Raised(); }

}  // namespace

void SetMemoryReadStop(const std::atomic<int>* flag) { s_readStop.Set(flag); }

void BuildMemoryRequest(uint8_t* out, MemoryOp op, uint8_t target, uint8_t count, uint32_t address,
                        const uint8_t* data) {
    memset(out, 0, kMemoryPacketLength);
    out[0] = 0x12;
    out[1] = 0x55;
    out[2] = 0xAA;
    out[3] = DirectionByte(op);
    out[4] = 0x00;
    out[5] = target;
    out[6] = op == MemoryOp::Erase ? 1 : 0;
    out[7] = op == MemoryOp::Erase ? 0 : count;
    wire::PutBE32(out + 8, address);
    if (op == MemoryOp::Write && data != nullptr) {
        memcpy(out + kMemoryDataOffset, data, std::min<size_t>(count, kMemoryPacketLength - kMemoryDataOffset));
    }
}

proto::Result CheckMemoryReply(const uint8_t* reply, MemoryOp op, uint8_t target, uint8_t count, uint32_t address) {
    if (reply[0] != 0x12 || reply[1] != 0x55 || reply[2] != 0xAA || reply[3] != DirectionByte(op)) {
        return proto::Result::Mismatch;
    }
    if (reply[4] != proto::kAccepted) {
        return proto::Result::Refused;
    }
    const uint8_t echoedCount = op == MemoryOp::Erase ? 0 : count;
    if (reply[5] != target || reply[7] != echoedCount || wire::GetBE32(reply + 8) != address) {
        return proto::Result::Mismatch;
    }
    return proto::Result::Ok;
}

proto::Result MemoryPacket(uint8_t* reply, MemoryOp op, uint8_t target, uint8_t count, uint32_t address,
                           const uint8_t* data, unsigned pauseMs) {
    uint8_t request[kMemoryPacketLength];
    BuildMemoryRequest(request, op, target, count, address, data);
    proto::Result r =
        proto::Transact(request, kMemoryPacketLength, reply, kMemoryPacketLength, NVS_KIND_REPLY, pauseMs);
    if (!proto::Ok(r)) {
        return r;
    }
    return CheckMemoryReply(reply, op, target, count, address);
}

namespace proto {

Result FlashReadWords(uint32_t address, uint8_t target, int* words, unsigned long count) {
    if (count == 0) {
        return Result::Ok;
    }
    if (words == nullptr) {
        return Result::BadArgument;
    }
    std::fill(words, words + count, 0);
    for (unsigned long done = 0; done < count;) {
        if (ReadStopped()) {
            return Result::GaveUp;
        }
        const unsigned n = static_cast<unsigned>(std::min<unsigned long>(count - done, kWordsPerPacket));
        uint8_t reply[kMemoryPacketLength];
        const Result r = MemoryPacket(reply, MemoryOp::Read, target, static_cast<uint8_t>(2 * n),
                                      address + static_cast<uint32_t>(2 * done), nullptr, 0);
        if (!Ok(r)) {
            return r;
        }
        for (unsigned i = 0; i < n; ++i) {
            words[done + i] = wire::GetBE16(reply + kMemoryDataOffset + 2 * i);
        }
        done += n;
    }
    return Result::Ok;
}

Result FlashWriteWords(uint32_t address, uint8_t target, const int* words, unsigned long count) {
    if (count == 0) {
        return Result::Ok;
    }
    if (words == nullptr) {
        return Result::BadArgument;
    }
    for (unsigned long done = 0; done < count;) {
        const unsigned n = static_cast<unsigned>(std::min<unsigned long>(count - done, kWordsPerPacket));
        uint8_t data[2 * kWordsPerPacket];
        for (unsigned i = 0; i < n; ++i) {
            wire::PutBE16(data + 2 * i, static_cast<uint32_t>(words[done + i]));
        }
        uint8_t reply[kMemoryPacketLength];
        const Result r = MemoryPacket(reply, MemoryOp::Write, target, static_cast<uint8_t>(2 * n),
                                      address + static_cast<uint32_t>(2 * done), data, 0);
        if (!Ok(r)) {
            return r;
        }
        SeamSleep(kWritePauseMs);
        done += n;
    }
    return Result::Ok;
}

Result FlashReadBytes(uint32_t address, uint8_t target, uint8_t* data, unsigned long count) {
    if (count == 0) {
        return Result::Ok;
    }
    if (data == nullptr) {
        return Result::BadArgument;
    }
    memset(data, 0, count);
    for (unsigned long done = 0; done < count;) {
        if (ReadStopped()) {
            return Result::GaveUp;
        }
        const unsigned n = static_cast<unsigned>(std::min<unsigned long>(count - done, kBytesPerPacket));
        uint8_t reply[kMemoryPacketLength];
        const Result r = MemoryPacket(reply, MemoryOp::Read, target, static_cast<uint8_t>(n),
                                      address + static_cast<uint32_t>(done), nullptr, 0);
        if (!Ok(r)) {
            return r;
        }
        memcpy(data + done, reply + kMemoryDataOffset, n);
        SeamSleep(kByteReadPauseMs);
        done += n;
    }
    return Result::Ok;
}

Result FlashWriteBytes(uint32_t address, uint8_t target, const uint8_t* data, unsigned long count) {
    if (count == 0) {
        return Result::Ok;
    }
    if (data == nullptr) {
        return Result::BadArgument;
    }
    for (unsigned long done = 0; done < count;) {
        const unsigned n = static_cast<unsigned>(std::min<unsigned long>(count - done, kBytesPerPacket));
        uint8_t reply[kMemoryPacketLength];
        const Result r = MemoryPacket(reply, MemoryOp::Write, target, static_cast<uint8_t>(n),
                                      address + static_cast<uint32_t>(done), data + done, 0);
        if (!Ok(r)) {
            return r;
        }
        SeamSleep(kWritePauseMs);
        done += n;
    }
    return Result::Ok;
}

}  // namespace proto

bool FlashRead(unsigned int address, unsigned char target, int* words, unsigned long count) {
    return proto::Ok(proto::FlashReadWords(address, target, words, count));
}

bool FlashWrite(unsigned int address, unsigned char target, int* words, unsigned long count) {
    return proto::Ok(proto::FlashWriteWords(address, target, words, count));
}

bool FlashRead(unsigned int address, unsigned char target, unsigned char* data, unsigned long count) {
    return proto::Ok(proto::FlashReadBytes(address, target, data, count));
}

bool FlashWrite(unsigned int address, unsigned char target, unsigned char* data, unsigned long count) {
    return proto::Ok(proto::FlashWriteBytes(address, target, data, count));
}

bool FlashErase(unsigned char target, unsigned int address) {
    uint8_t request[kMemoryPacketLength];
    BuildMemoryRequest(request, MemoryOp::Erase, target, 0, address, nullptr);
    uint8_t reply[kMemoryPacketLength];
    if (!proto::Ok(proto::Send(request, kMemoryPacketLength))) {
        return false;
    }
    SeamSleep(kWritePauseMs);
    // The instrument's answer to an erase carries nothing the library relies on.
    return proto::Ok(
        proto::Receive(reply, kMemoryPacketLength, NVS_KIND_REPLY, proto::MatchFor(request, kMemoryPacketLength)));
}
