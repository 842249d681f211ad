// Operator mode (family 0x00) and the 0xEA family of the firmware model: the device
// control block, the LED pulse-group take, the waveform settings, the raw periods and
// the ROM bytes with the standalone slots.
#include "Firmware.h"

#include "FirmwareReplies.h"

namespace nvsemu {

using namespace fw;

namespace {

constexpr size_t kControlOffset = 4;  // the block's bytes 0 to 56 travel in bytes 4 to 60
constexpr size_t kEcgSettingLength = 58;
constexpr size_t kPointsPerPacket = 14;

// 0xEA sub-commands of the settings and raw data, by channel (0 ECG, 1 to 3 PPG).
int SettingChannel(uint8_t sub) {
    switch (sub) {
        case 0x01:
            return 0;
        case 0x02:
            return 1;
        case 0x03:
            return 2;
        case 0x08:
            return 3;
        default:
            return -1;
    }
}

int RawChannel(uint8_t sub) {
    switch (sub) {
        case 0x04:
            return 0;
        case 0x05:
            return 1;
        case 0x06:
            return 2;
        case 0x09:
            return 3;
        default:
            return -1;
    }
}

}  // namespace

// 00 FF mode rate(2) sync(3) ac(3) 0 0 0 writes the operator block; the 11-byte form
// carries its rate low byte first (10 27 is 10000), the firmware keeps it big-endian
// like the 14-byte form. 14 zero bytes read the block. The reply holds the block in
// bytes 0 to 13 (byte 3 is the rate's high byte, not a status).
Firmware::Bytes Firmware::OnOperatorMode(const Bytes& r) {
    if (r[1] == 0xFF) {
        std::array<uint8_t, 14> block{};
        block[0] = 0x00;
        block[1] = 0xFF;
        block[2] = r[2];
        const uint16_t rate = r.size() == 11 ? static_cast<uint16_t>(r[3] | r[4] << 8) : Be16(r, 3);
        block[3] = static_cast<uint8_t>(rate >> 8);
        block[4] = static_cast<uint8_t>(rate & 0xFF);
        for (size_t i = 5; i <= 10; ++i)
            block[i] = r[i];
        operatorBlock_ = block;
    }
    Bytes reply(operatorBlock_.begin(), operatorBlock_.end());
    reply[1] = r[1];
    reply.resize(64, 0);
    return reply;
}

Firmware::Bytes Firmware::OnDevice(const Bytes& r) {
    const bool write = r[1] == 0xFF;
    const uint8_t sub = r[2];
    if (sub == 0x00 || (sub == 0x0A && write)) {
        if (r.size() < kControlOffset + control_.size())
            return Refuse(r);
        if (sub == 0x0A) {  // take the LED pulse group now in the block
            ++pulseGroupTakes_;
            return Accept(r);
        }
        if (!write) {
            Bytes reply = Accept(r);
            std::copy(control_.begin(), control_.end(), reply.begin() + kControlOffset);
            return reply;
        }
        std::copy(r.begin() + kControlOffset, r.begin() + kControlOffset + control_.size(), control_.begin());
        if (r[3] != 0)
            appliedOutputs_ = control_[0];  // the apply flag: outputs switch now
        return Accept(r);
    }
    if (sub == 0x07)
        return OnRom(r);
    const int setting = SettingChannel(sub);
    if (setting >= 0)
        return OnWaveformSetting(r, setting);
    const int raw = RawChannel(sub);
    if (raw >= 0 && write)
        return OnRawData(r, raw);
    return Refuse(r);
}

// A setting write is kept as sent and echoed whole with byte 3 = 0xFF; a read answers
// the kept block with EA 00 s FF in front (zeros when nothing was written yet).
Firmware::Bytes Firmware::OnWaveformSetting(const Bytes& r, int channel) {
    Bytes& kept = settings_[static_cast<size_t>(channel)];
    if (r[1] == 0xFF) {
        const size_t length = channel == 0 ? kEcgSettingLength : 64;
        if (r.size() < length)
            return Refuse(r);
        kept.assign(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(length));
        return Accept(r);
    }
    Bytes reply = Echo(kept);
    reply[0] = 0xEA;
    reply[1] = 0x00;
    reply[2] = r[2];
    reply[3] = kAccepted;
    return reply;
}

// A raw packet carries 14 points (DC word, AC word) from the point index in bytes 6-7;
// index 0 starts a new period.
Firmware::Bytes Firmware::OnRawData(const Bytes& r, int channel) {
    if (r.size() < 64)
        return Refuse(r);
    std::vector<RawPoint>& points = raw_[static_cast<size_t>(channel)];
    const size_t index = Be16(r, 6);
    if (index == 0)
        points.clear();
    if (points.size() < index + kPointsPerPacket)
        points.resize(index + kPointsPerPacket);
    for (size_t k = 0; k < kPointsPerPacket; ++k)
        points[index + k] = RawPoint{Be16(r, 8 + 4 * k), Be16(r, 10 + 4 * k)};
    return Accept(r);
}

// EA 00 07 00 a 00 reads ROM byte a, EA FF 07 00 a v writes it. The read's reply
// carries, in byte 5, the byte that the previous read asked for: the firmware fetches
// the byte after it has answered.
Firmware::Bytes Firmware::OnRom(const Bytes& r) {
    const uint8_t address = r[4];
    Bytes reply = Accept(r);
    if (r[1] == 0xFF) {
        rom_[address] = r[5];
        romBusyLeft_ = romBusyReads_;
        if (address >= 1 && address <= 3) {  // a standalone slot's type: keep what it plays
            Slot& slot = slots_[address];
            slot.control = control_;
            slot.settings = settings_;
            slot.raw = raw_;
        }
        return reply;
    }
    if (romBusyLeft_ > 0) {  // still storing: refused, the latch stays
        if (romBusyLeft_ != kNeverDone)
            --romBusyLeft_;
        return Refuse(r);
    }
    reply[5] = romLatch_;
    romLatch_ = rom_[address];
    if (address >= 1 && address <= 3) {
        const auto it = slots_.find(address);
        if (it != slots_.end()) {  // the slot's blocks become the ones read next
            control_ = it->second.control;
            settings_ = it->second.settings;
            raw_ = it->second.raw;
        }
    }
    return reply;
}

}  // namespace nvsemu
