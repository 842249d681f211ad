// Exchanges of the waveform settings and the raw-data upload.
#include "protocol/WaveformSetting.h"

#include <cstring>
#include <new>
#include <vector>

#include "platform/Transport.h"
#include "protocol/Exchange.h"
#include "protocol/Wire.h"
#include "waveform/Normalise.h"
#include "waveform/Waveform.h"

namespace {

constexpr uint8_t kFamily = 0xEA;

// Writes a request and expects the instrument to repeat its first `compared` bytes with
// byte 3 set to 0xFF.
proto::Result WriteEchoed(uint8_t* request, int length, int compared) {
    uint8_t reply[NVS_PACKET_SIZE];
    proto::Result r = proto::Transact(request, length, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY);
    if (!proto::Ok(r)) {
        return r;
    }
    request[3] = proto::kAccepted;
    if (memcmp(reply, request, static_cast<size_t>(compared)) != 0) {
        return reply[3] != proto::kAccepted ? proto::Result::Refused : proto::Result::Mismatch;
    }
    return proto::Result::Ok;
}

proto::Result ReadSetting(uint8_t subCommand, uint8_t* reply) {
    const uint8_t request[3] = {kFamily, 0x00, subCommand};
    proto::Result r = proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY);
    if (!proto::Ok(r)) {
        return r;
    }
    if (reply[0] != kFamily) {
        return proto::Result::Mismatch;  // not a setting block: nothing to decode
    }
    return reply[3] == proto::kAccepted ? proto::Result::Ok : proto::Result::Refused;
}

// Owns one generated period (the waveform model allocates with array new).
struct Period {
    int n = 0;
    int* ac = nullptr;
    int* dc = nullptr;
    ~Period() {
        delete[] ac;
        delete[] dc;
    }
};

}  // namespace

bool WriteWaveformInfo(ECG_WAVEFORM const& waveform, int transitTime, int ppgDelay, int ppgStart) {
    _READ_WRITE_ECG_WAVEFORM_SETTING block = {};
    ToECGWaveformSetting(waveform, block);
    uint8_t* b = block.ucData;
    b[1] = 0xFF;
    b[2] = kECGSettingSubCommand;
    wire::PutBE16(b + 48, static_cast<uint32_t>(transitTime));
    wire::PutBE16(b + 50, static_cast<uint32_t>(ppgDelay));
    wire::PutBE16(b + 52, static_cast<uint32_t>(ppgStart));
    return proto::Ok(WriteEchoed(b, sizeof block.ucData, sizeof block.ucData));
}

bool WriteWaveformInfo(PPGChannel channel, PPG_WAVEFORM const& waveform) {
    _READ_WRITE_PPG_WAVEFORM_SETTING block = {};
    ToPPGWaveformSetting(channel, waveform, block);
    uint8_t* b = block.ucData;
    b[1] = 0xFF;
    b[2] = static_cast<uint8_t>(GetWaveformInfoSubCommandByPPGChannel(channel));
    return proto::Ok(WriteEchoed(b, sizeof block.ucData, sizeof block.ucData));
}

bool ReadWaveformInfo(ECG_WAVEFORM* waveform, int* transitTime) {
    if (waveform == nullptr) {
        return false;
    }
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(ReadSetting(kECGSettingSubCommand, reply))) {
        return false;
    }
    DecodeECGWaveformSetting(reply, waveform, transitTime);
    return true;
}

bool ReadWaveformInfo(PPGChannel channel, PPG_WAVEFORM* waveform) {
    if (waveform == nullptr) {
        return false;
    }
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(ReadSetting(static_cast<uint8_t>(GetWaveformInfoSubCommandByPPGChannel(channel)), reply))) {
        return false;
    }
    DecodePPGWaveformSetting(channel, reply, waveform);
    return true;
}

bool WriteWaveformRawData(unsigned char* data, unsigned int byteCount, int subCommand) {
    const unsigned int points = byteCount / 4;
    if (points == 0) {
        return true;
    }
    if (data == nullptr) {
        return false;
    }
    for (unsigned int index = 0; index < points; index += kRawPointsPerPacket) {
        uint8_t packet[NVS_PACKET_SIZE];
        // Only the caller's bytes are read; a last packet that is not full goes out padded
        // with zeros, as a buffer rounded up to whole packets would carry.
        BuildRawPacket(packet, static_cast<uint8_t>(subCommand), static_cast<int>(index), data + 4 * index,
                       byteCount - 4 * index);
        if (!proto::Ok(WriteEchoed(packet, NVS_PACKET_SIZE, NVS_PACKET_SIZE))) {
            return false;
        }
    }
    return true;
}

bool WriteECGRawData(ECG_WAVEFORM const& waveform) {
    // A period that no rate fits into the instrument's buffer (a frequency too low for the
    // slowest rate) is refused: it would overrun the buffer, and its upload of up to
    // kMaxPointNumber points would hold the line for minutes.
    if (GetPointNumber(waveform) > MaxPeriodPoints()) {
        return false;
    }
    Period period;
    GenECGWaveform(&waveform, &period.n, &period.ac, &period.dc, false);
    // No period means the generator could not allocate one (normalised records always
    // have a period): that is a failure, not an empty upload.
    if (period.n <= 0 || period.ac == nullptr) {
        return false;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(RawBufferBytes(period.n), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    PackECGRawData(waveform, period.ac, period.n, buffer.data());
    return WriteWaveformRawData(buffer.data(), static_cast<unsigned int>(4 * period.n), kECGRawSubCommand);
}

bool WritePPGRawData(PPGChannel channel, PPG_WAVEFORM const& waveform) {
    if (GetPointNumber(waveform) > MaxPeriodPoints()) {
        return false;  // as for the ECG period
    }
    Period period;
    GenPPGWaveform(&waveform, &period.n, &period.ac, &period.dc, 0);
    if (period.n <= 0 || period.ac == nullptr || period.dc == nullptr) {
        return false;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(RawBufferBytes(period.n), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    PackPPGRawData(channel, waveform, period.ac, period.dc, period.n, buffer.data());
    return WriteWaveformRawData(buffer.data(), static_cast<unsigned int>(4 * period.n),
                                GetWriteWaveformRawDataSubCommandByPPGChannel(channel));
}
