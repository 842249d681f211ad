// Stream decoding and value mapping. Runs on the sampling thread outside
// g_CriticalSection, on a snapshot taken under it.
//
// Sound behaviour beyond the bare mapping:
// - A module without a table (outside 0..5, or a slot emptied at disconnection) maps a
//   raw value to min(raw, 1023), the identity table, instead of reading out of bounds.
// - The FPGA ratio product is clamped to 0..1023 in floating point before it is
//   truncated: a negative product gives 0 rather than wrapping to 1023, a product of
//   65536 or more gives 1023 rather than wrapping small, and a NaN ratio (an erased
//   ratio row) counts as 1.0.
// - A switch value above 1023 is limited to 1023 before the inversion, so it never
//   turns negative.
#include <cmath>
#include <cstring>

#include "api/LedApi.h"
#include "api/PostConnection.h"
#include "protocol/Protocol.h"
#include "sampling/Sampling.h"

namespace {

inline int Be16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

inline int LimitRaw(int raw) { return raw < 0 ? 0 : (raw > kSamplingMaxRaw ? kSamplingMaxRaw : raw); }

// The records of a payload: offset + size within min(length, 56).
inline int ReadableBytes(int length) {
    if (length < 0) {
        return 0;
    }
    return length < kSamplingPayloadCapacity ? length : kSamplingPayloadCapacity;
}

}  // namespace

bool IsFPGAPhotodiodeModel(unsigned short ppgModel) {
    return ppgModel == 0x2012 || ppgModel == 0x2014 || ppgModel == 0x2112;
}

void TakeSamplingMap(SamplingMap* map) {
    map->fpga = IsFPGAPhotodiodeModel(GetPPGFullModelNumber());
    const int module = g_nCurrentSelectPPGModule.load();
    for (int c = 0; c < 2; ++c) {
        map->ratio[c] = g_FPGA_PDRatio[c][0];
        const int* table = PPGPDSamplingTable(module, c);
        map->hasTable[c] = table != nullptr;
        if (table != nullptr) {
            memcpy(map->table[c], table, sizeof map->table[c]);
        }
    }
}

int CSampling::GetSamplingPDData(int channel, int raw, const SamplingMap& map) {
    const int index = LimitRaw(raw);
    const int c = channel == 1 ? 1 : 0;
    const int entry = map.hasTable[c] ? map.table[c][index] : index;
    if (!map.fpga) {
        return entry & 0xFFFF;
    }
    float ratio = map.ratio[c];
    if (std::isnan(ratio)) {
        ratio = 1.0f;
    }
    float v = static_cast<float>(entry) * ratio;
    if (!(v > 0.0f)) {
        v = 0.0f;  // negative, or NaN from an infinite ratio times 0
    } else if (v > static_cast<float>(kSamplingMaxRaw)) {
        v = static_cast<float>(kSamplingMaxRaw);
    }
    return static_cast<int>(v);
}

int CSampling::GetSamplingSwitchData(int, int raw, const SamplingMap& map) {
    if (map.fpga) {
        return kSamplingMaxRaw - LimitRaw(raw);
    }
    return raw & 0xFFFF;
}

namespace {

// One input per record (modes 1, 2, 4, 8): runs of equal mapped values merge into one
// call; the first record is taken even when the length holds none.
template <class Map>
void DecodeMerged(PFN_SAMPLING_CALLBACK cb, const unsigned char* payload, int length, Map map) {
    if (cb == nullptr) {
        return;
    }
    constexpr int kSize = 3;
    int value = map(Be16(payload));
    int count = payload[2];
    const int readable = ReadableBytes(length);
    for (int offset = kSize; offset + kSize <= readable; offset += kSize) {
        const int next = map(Be16(payload + offset));
        if (next != value) {
            cb(value, count);
            value = next;
            count = payload[offset + 2];
        } else {
            count += payload[offset + 2];
        }
    }
    cb(value, count);
}

}  // namespace

void CSampling::DoSamplingPD(int channel, PFN_SAMPLING_CALLBACK cb, const unsigned char* payload, int length,
                             const SamplingMap& map) {
    DecodeMerged(cb, payload, length, [&](int raw) { return GetSamplingPDData(channel, raw, map); });
}

void CSampling::DoSamplingSwitch(PFN_SAMPLING_CALLBACK cb, const unsigned char* payload, int length,
                                 const SamplingMap& map) {
    DecodeMerged(cb, payload, length, [&](int raw) { return GetSamplingSwitchData(0, raw, map); });
}

namespace {

// The unmerged modes: every record gives one call per set callback, with its count.
// inputs[i] says how value i of a record is mapped: 0/1 photodiode channel, 2 switch.
void DecodeRecords(const PFN_SAMPLING_CALLBACK* cbs, const int* inputs, int n, const unsigned char* payload, int length,
                   const SamplingMap& map) {
    bool any = false;
    for (int i = 0; i < n; ++i) {
        any = any || cbs[i] != nullptr;
    }
    if (!any) {
        return;
    }
    const int size = 2 * n + 1;
    const int readable = ReadableBytes(length);
    for (int offset = 0; offset + size <= readable; offset += size) {
        const unsigned char* record = payload + offset;
        const int count = record[2 * n];
        for (int i = 0; i < n; ++i) {
            if (cbs[i] == nullptr) {
                continue;
            }
            const int raw = Be16(record + 2 * i);
            const int value = inputs[i] == 2 ? CSampling::GetSamplingSwitchData(0, raw, map)
                                             : CSampling::GetSamplingPDData(inputs[i], raw, map);
            cbs[i](value, count);
        }
    }
}

}  // namespace

void CSampling::DoSamplingPD(PFN_SAMPLING_CALLBACK pd1, PFN_SAMPLING_CALLBACK pd2, const unsigned char* payload,
                             int length, const SamplingMap& map) {
    const PFN_SAMPLING_CALLBACK cbs[2] = {pd1, pd2};
    const int inputs[2] = {0, 1};
    DecodeRecords(cbs, inputs, 2, payload, length, map);
}

void CSampling::DoSamplingSwitch(PFN_SAMPLING_CALLBACK sw1, PFN_SAMPLING_CALLBACK sw2, const unsigned char* payload,
                                 int length, const SamplingMap& map) {
    const PFN_SAMPLING_CALLBACK cbs[2] = {sw1, sw2};
    const int inputs[2] = {2, 2};
    DecodeRecords(cbs, inputs, 2, payload, length, map);
}

void CSampling::DoSamplingPDSwitch(int channel, PFN_SAMPLING_CALLBACK pd, PFN_SAMPLING_CALLBACK sw,
                                   const unsigned char* payload, int length, const SamplingMap& map) {
    const PFN_SAMPLING_CALLBACK cbs[2] = {pd, sw};
    const int inputs[2] = {channel == 1 ? 1 : 0, 2};
    DecodeRecords(cbs, inputs, 2, payload, length, map);
}

void CSampling::DoSamplingAll(const PFN_SAMPLING_CALLBACK callbacks[4], const unsigned char* payload, int length,
                              const SamplingMap& map) {
    const int inputs[4] = {0, 1, 2, 2};
    DecodeRecords(callbacks, inputs, 4, payload, length, map);
}

bool CSampling::IsModeEnabled(unsigned char mask, unsigned char bits) { return (mask & bits) == bits; }

bool CSampling::DecodePacketPayload(unsigned char mode, const PFN_SAMPLING_CALLBACK cb[4], const unsigned char* payload,
                                    int length, const SamplingMap& map) {
    switch (mode) {
        case 1:
            DoSamplingPD(0, cb[0], payload, length, map);
            return true;
        case 2:
            DoSamplingPD(1, cb[1], payload, length, map);
            return true;
        case 3:
            DoSamplingPD(cb[0], cb[1], payload, length, map);
            return true;
        case 4:
            DoSamplingSwitch(cb[2], payload, length, map);
            return true;
        case 5:
            DoSamplingPDSwitch(0, cb[0], cb[2], payload, length, map);
            return true;
        case 8:
            DoSamplingSwitch(cb[3], payload, length, map);
            return true;
        case 10:
            DoSamplingPDSwitch(1, cb[1], cb[3], payload, length, map);
            return true;
        case 12:
            DoSamplingSwitch(cb[2], cb[3], payload, length, map);
            return true;
        case 15:
            DoSamplingAll(cb, payload, length, map);
            return true;
        default:
            return false;
    }
}

SamplingStep CSampling::ProcessPacket(const unsigned char packet[64], const SamplingTargets& targets,
                                      SamplingSequence* sequence, const SamplingMap& map) {
    if (packet[0] != 0xAD || packet[3] != 0xFF) {
        return SamplingStep::BadHeader;
    }
    const unsigned short number = static_cast<unsigned short>(Be16(packet + 6));
    const unsigned char mode = packet[4];
    const int length = packet[5];
    SamplingStep step = SamplingStep::Continue;
    if (number >= targets.skip &&
        !DecodePacketPayload(mode, targets.data, packet + kSamplingPayloadOffset, length, map)) {
        step = SamplingStep::EndMode;
    }
    if (targets.error != nullptr && mode <= 15) {
        unsigned short& expected = sequence->expected[mode];
        if (number != expected) {
            targets.error(kSamplingGapCode);
            expected = number;
        }
        expected = static_cast<unsigned short>(expected + 1);
    }
    return step;
}
