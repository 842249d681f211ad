#include "FpgaUpgrade.h"

#include <algorithm>
#include <cstdio>

namespace nvsemu {

namespace {

constexpr uint8_t kAccepted = 0xFF;
constexpr uint8_t kIdle = 0x80;
constexpr size_t kChunk = 32;

FpgaUpgrade::Bytes Reply(const FpgaUpgrade::Bytes& r, bool accepted) {
    FpgaUpgrade::Bytes reply(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(r.size(), 64)));
    reply.resize(64, 0);
    reply[3] = accepted ? kAccepted : 0x00;
    return reply;
}

std::string Hex(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%X", v);
    return text;
}

}  // namespace

FpgaUpgrade::FpgaUpgrade(std::array<uint32_t, kSectors> sizes) : sizes_(sizes) {
    for (int e = 0; e < kSectors; ++e)
        flash_[static_cast<size_t>(e)].assign(sizes_[static_cast<size_t>(e)], 0xFF);
}

uint32_t FpgaUpgrade::Crc32(const uint8_t* data, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void FpgaUpgrade::RefuseData(size_t index, unsigned times) {
    refuseFrom_ = index;
    refuseTimes_ = times;
    refusedSoFar_ = 0;
}

void FpgaUpgrade::Restarted() {
    upgrade_ = false;
    selected_ = -1;
    busyLeft_ = 0;
}

FpgaUpgrade::Bytes FpgaUpgrade::Answer(const Bytes& r, bool present, bool* left) {
    if (left != nullptr)
        *left = false;
    if (r.size() < 5 || r[0] != 0xB8)
        return {};
    if (r[1] == 0xFF && r[2] == 0x00) {  // upgrade mode
        if (!present || refuseMode_)
            return Reply(r, false);
        if (r[4] == 1) {
            upgrade_ = true;
        } else if (r[4] == 0) {
            if (upgrade_ && left != nullptr)
                *left = true;
            upgrade_ = false;
            selected_ = -1;
        } else {
            return Reply(r, false);
        }
        return Reply(r, true);
    }
    if (r[1] == 0xFF && r[2] == 0x01 && r.size() >= 6) {  // control
        const int e = r[5] - kFirstSector;
        if (!present || !upgrade_ || refuseControl_ || e < 0 || e >= kSectors)
            return Reply(r, false);
        if (r[4] == 1) {
            std::fill(flash_[static_cast<size_t>(e)].begin(), flash_[static_cast<size_t>(e)].end(), 0xFF);
            erased_.push_back(e);
            busyLeft_ = busyPolls_;
        } else if (r[4] == 3) {
            selected_ = e;
            next_ = 0;
        } else {
            return Reply(r, false);
        }
        return Reply(r, true);
    }
    if (r[1] == 0x00 && r[2] == 0x02) {  // status
        if (!present)
            return Reply(r, false);
        Bytes reply = Reply(r, true);
        if (busyLeft_ > 0) {
            if (busyLeft_ != ~0u)
                --busyLeft_;
        } else {
            reply[4] = kIdle;
        }
        uint32_t crc = crc_;
        if (lastWritten_ >= 0 && corrupt_.count(lastWritten_) != 0)
            crc ^= 0x5A5A5A5Au;
        reply[8] = static_cast<uint8_t>(crc >> 24);
        reply[9] = static_cast<uint8_t>(crc >> 16);
        reply[10] = static_cast<uint8_t>(crc >> 8);
        reply[11] = static_cast<uint8_t>(crc);
        return reply;
    }
    if (r[1] == 0xFF && r[2] == 0x03 && r.size() == 64)
        return present ? OnData(r) : Reply(r, false);
    return {};
}

FpgaUpgrade::Bytes FpgaUpgrade::OnData(const Bytes& r) {
    const size_t index = received_++;
    if (!upgrade_ || selected_ < 0) {
        Violation("data packet outside upgrade mode or without a selected sector");
        return Reply(r, false);
    }
    if (index >= refuseFrom_ && (refuseTimes_ == 0 || refusedSoFar_ < refuseTimes_)) {
        ++refusedSoFar_;
        ++refused_;
        return Reply(r, false);
    }
    const size_t length = r[4];
    const uint32_t offset = static_cast<uint32_t>(r[5]) << 16 | static_cast<uint32_t>(r[6]) << 8 | r[7];
    const uint32_t size = sizes_[static_cast<size_t>(selected_)];
    if (length < 1 || length > kChunk || offset + length > size) {
        Violation("data packet of " + std::to_string(length) + " bytes at " + Hex(offset) + " outside the sector");
        return Reply(r, false);
    }
    if (offset != next_)
        Violation("data offset " + Hex(offset) + " is not the next one (" + Hex(next_) + ")");
    const bool last = length != kChunk || (offset + kChunk) / kChunk == size / kChunk;
    if (r[8] != (last ? 0xFF : 0x00))
        Violation("wrong last flag at " + Hex(offset));
    bool padding = false;
    for (size_t i = 9; i < 16; ++i)
        padding = padding || r[i] != 0;
    for (size_t i = 16 + length; i < 64; ++i)
        padding = padding || r[i] != 0;
    if (padding)
        Violation("padding not zero at " + Hex(offset));

    Bytes& flash = flash_[static_cast<size_t>(selected_)];
    for (size_t i = 0; i < length; ++i)
        flash[offset + i] &= r[16 + i];  // flash: a write only clears bits
    next_ = offset + static_cast<uint32_t>(length);
    ++taken_;
    if (r[8] == 0xFF) {
        lastFlags_.emplace_back(selected_, offset);
        crc_ = Crc32(flash.data(), flash.size());
        lastWritten_ = selected_;
        busyLeft_ = busyPolls_;
    }
    return Reply(r, true);
}

}  // namespace nvsemu
