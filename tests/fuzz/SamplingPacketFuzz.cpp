// libFuzzer target: one sampling packet through the header check, the skip, the sequence
// check and the decoder, with the mapping's inputs taken from the library's state the
// way the sampling thread takes them.
//
// Input: [0] PPG model (0: 0x2112, 1: 0x2012, 2: 0x2014, else 0x2001), [1] selected
// module (any byte), [2-5] and [6-9] ratio rows 0 and 1 (float bits, little-endian),
// [10] bits 0-3 data callbacks set, bit 4 error callback set, bit 5 photodiode tables
// emptied, [11-14] skip count (int, little-endian), [15-46] the expected number of
// modes 0..15 (big-endian), then the 64-byte packet (short inputs are zero-filled).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/LedApi.h"
#include "api/PostConnection.h"
#include "protocol/Identity.h"
#include "sampling/Sampling.h"

namespace {

constexpr size_t kHeader = 47;
constexpr size_t kInput = kHeader + 64;

bool s_fpga = false;

void Check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

void OnPD(int value, int count) {
    Check(value >= 0 && value <= 0xFFFF && count >= 0);
    Check(!s_fpga || value <= 1023);
}

void OnSwitch(int value, int count) {
    Check(value >= 0 && value <= 0xFFFF && count >= 0);
    Check(!s_fpga || value <= 1023);
}

void OnError(int code) { Check(code == 18); }

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t in[kInput] = {};
    memcpy(in, data, size < kInput ? size : kInput);

    static const uint16_t kModels[4] = {0x2112, 0x2012, 0x2014, 0x2001};
    const uint16_t model = kModels[in[0] < 3 ? in[0] : 3];
    g_PPGModelInfo.ucGeneration = static_cast<uint8_t>(model >> 8);
    g_PPGModelInfo.ucModel = static_cast<uint8_t>(model);
    s_fpga = IsFPGAPhotodiodeModel(model);
    g_nCurrentSelectPPGModule.store(in[1]);
    for (int row = 0; row < 2; ++row) {
        const uint32_t bits = Le32(in + 2 + 4 * row);
        memcpy(&g_FPGA_PDRatio[row][0], &bits, sizeof bits);
    }
    if (in[10] & 0x20) {
        ReleasePPGPDSamplingTables();
    } else {
        AllocatePPGPDSamplingTables();
    }

    SamplingTargets targets;
    targets.data[0] = (in[10] & 1) ? OnPD : nullptr;
    targets.data[1] = (in[10] & 2) ? OnPD : nullptr;
    targets.data[2] = (in[10] & 4) ? OnSwitch : nullptr;
    targets.data[3] = (in[10] & 8) ? OnSwitch : nullptr;
    targets.error = (in[10] & 0x10) ? OnError : nullptr;
    targets.skip = static_cast<int>(Le32(in + 11));
    SamplingSequence sequence;
    for (int m = 0; m < 16; ++m) {
        sequence.expected[m] = static_cast<unsigned short>(in[15 + 2 * m] << 8 | in[16 + 2 * m]);
    }

    static SamplingMap map;
    TakeSamplingMap(&map);
    // The packet in a buffer of exactly 64 bytes, so a read past its end is reported.
    uint8_t* packet = new uint8_t[64];
    memcpy(packet, in + kHeader, 64);
    CSampling::ProcessPacket(packet, targets, &sequence, map);
    delete[] packet;
    return 0;
}
