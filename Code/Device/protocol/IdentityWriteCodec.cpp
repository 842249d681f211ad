// Identity-record writes: the packets.
#include <cstring>

#include "protocol/IdentityWrite.h"
#include "protocol/MemoryCommand.h"
#include "protocol/Wire.h"

namespace {

constexpr uint8_t kIdentityCount = 0x0C;
constexpr int kIdentity = kMemoryDataOffset;  // identity byte 0 in the packet

void MakeWrite(uint8_t* packet, bool clearStatus) {
    packet[3] = 0xFF;
    if (clearStatus) {
        packet[4] = 0x00;
    }
}

void PutLetters(uint8_t* packet, char first, char second) {
    packet[kIdentity + 0] = 0x4F;
    packet[kIdentity + 1] = static_cast<uint8_t>(first);
    packet[kIdentity + 2] = static_cast<uint8_t>(second);
}

}  // namespace

uint8_t IdentityTarget(int module) { return module == 0 ? kMemMainIdentity : kMemPPG; }

void BuildIdentityReadRequest(uint8_t* out, uint8_t target) {
    BuildMemoryRequest(out, MemoryOp::Read, target, kIdentityCount, 0, nullptr);
}

bool IsIdentityReadReply(const uint8_t* reply, uint8_t target) {
    return reply != nullptr &&
           CheckMemoryReply(reply, MemoryOp::Read, target, kIdentityCount, 0) == proto::Result::Ok && reply[6] == 0;
}

void PutModelInfoWrite(uint8_t* packet, const MODEL_INFORMATION& info) {
    MakeWrite(packet, true);
    PutLetters(packet, info.cProductName[0], info.cProductName[1]);
    packet[kIdentity + 3] = info.ucGeneration;
    packet[kIdentity + 4] = info.ucModel;
    packet[kIdentity + 5] = static_cast<uint8_t>(info.nSerialPrefix);
    wire::PutBE16(packet + kIdentity + 6, static_cast<uint32_t>(info.iSerialNumber));
}

void PutProductNameWrite(uint8_t* packet, char first, char second) {
    MakeWrite(packet, true);
    PutLetters(packet, first, second);
}

void PutHWInfoWrite(uint8_t* packet, int major, int minor) {
    MakeWrite(packet, false);
    packet[kIdentity + 8] = static_cast<uint8_t>(major);
    packet[kIdentity + 9] = static_cast<uint8_t>(minor);
}

void PutSerialNumberWrite(uint8_t* packet, int prefix, int serial) {
    MakeWrite(packet, false);
    packet[kIdentity + 5] = static_cast<uint8_t>(prefix);
    wire::PutBE16(packet + kIdentity + 6, static_cast<uint32_t>(serial));
}

void PutGenerationModelWrite(uint8_t* packet, uint8_t generation, uint8_t model) {
    MakeWrite(packet, false);
    packet[kIdentity + 3] = generation;
    packet[kIdentity + 4] = model;
}

void BuildRespirationIdentityPrep(uint8_t* out) {
    memset(out, 0, kMemoryPacketLength);
    out[0] = 0xCC;
    out[1] = 0xFF;
    out[2] = 0x06;
    out[3] = 0x00;
    out[4] = 0x3F;
}
