// Identity-record writes: the writers' exchanges.
#include <cstring>

#include "platform/Platform.h"
#include "platform/Transport.h"
#include "protocol/Exchange.h"
#include "protocol/Identity.h"
#include "protocol/IdentityWrite.h"
#include "protocol/MemoryCommand.h"

namespace {

constexpr unsigned kPacketPauseMs = 40;  // the instrument programs its flash after each packet

enum class Pause { None, AfterRead, AfterErase };

// Reads the record into packet (checked), erases the main module's record, lets edit
// turn the reply into the write, writes it and reads the answer.
template <typename Edit>
bool WriteIdentity(int module, Pause extra, Edit edit) {
    const uint8_t target = IdentityTarget(module);
    uint8_t request[kMemoryPacketLength];
    uint8_t packet[kMemoryPacketLength];
    BuildIdentityReadRequest(request, target);
    if (!proto::Ok(proto::Transact(request, kMemoryPacketLength, packet, kMemoryPacketLength, NVS_KIND_REPLY,
                                   kPacketPauseMs)) ||
        !IsIdentityReadReply(packet, target)) {
        return false;  // nothing erased: the record the instrument holds stays
    }
    if (extra == Pause::AfterRead) {
        SleepEx(kPacketPauseMs);
    }
    if (module == 0 && !FlashErase(kMemMainIdentity, 0)) {
        return false;
    }
    if (extra == Pause::AfterErase) {
        SleepEx(kPacketPauseMs);
    }
    edit(packet);
    uint8_t reply[kMemoryPacketLength];
    if (!proto::Ok(
            proto::Transact(packet, kMemoryPacketLength, reply, kMemoryPacketLength, NVS_KIND_REPLY, kPacketPauseMs))) {
        return false;
    }
    if (extra == Pause::AfterRead) {
        SleepEx(kPacketPauseMs);
    }
    return reply[4] == 0xFF;
}

}  // namespace

bool SetModelInfo(int module, MODEL_INFORMATION* info) {
    if (info == nullptr) {
        return false;
    }
    if (info->cProductName[0] == 'X' && info->cProductName[1] == 'J') {
        uint8_t prep[kMemoryPacketLength];
        uint8_t reply[kMemoryPacketLength];
        BuildRespirationIdentityPrep(prep);
        if (!proto::Ok(proto::Transact(prep, kMemoryPacketLength, reply, kMemoryPacketLength, NVS_KIND_REPLY))) {
            return false;
        }
    }
    const MODEL_INFORMATION record = *info;
    if (!WriteIdentity(module, Pause::None, [&](uint8_t* p) { PutModelInfoWrite(p, record); })) {
        return false;
    }
    if (module != 0) {
        MODEL_INFORMATION derived = record;
        UpdatePPGLedTypeByModelNumber(&derived);
        g_PPGModelInfo = derived;
    } else {
        g_ECGModelInfo = record;
    }
    return true;
}

bool DoSetProductName(int module, char first, char second) {
    return WriteIdentity(module, Pause::None, [&](uint8_t* p) { PutProductNameWrite(p, first, second); });
}

bool SetProductName(char first, char second) {
    if (!DoSetProductName(0, first, second)) {
        return false;
    }
    if (first == 'Z' && second == 'M') {
        SetModuleGenerationModel(0, 0x30, 1);
    } else if (first == 'K' && second == 'Q') {
        SetModuleGenerationModel(0, 0x20, 1);
    } else if (first == 'N' && second == 'V') {
        SetModuleGenerationModel(0, 0x10, 1);
    }
    return DoSetProductName(1, 'Y', 'B');
}

bool SetHWInfo(int module, int major, int minor) {
    if (!WriteIdentity(module, Pause::AfterRead, [&](uint8_t* p) { PutHWInfoWrite(p, major, minor); })) {
        return false;
    }
    HW_INFORMATION& cached = module != 0 ? g_PPGModuleHWInfo : g_ECGModuleHWInfo;
    cached.nHWMajor = major;
    cached.nHWMinor = minor;
    return true;
}

bool SetSerialNumber(int module, int prefix, int serial) {
    return WriteIdentity(module, Pause::AfterErase, [&](uint8_t* p) { PutSerialNumberWrite(p, prefix, serial); });
}

bool SetModuleGenerationModel(int module, unsigned char generation, unsigned char model) {
    return WriteIdentity(module, Pause::None, [&](uint8_t* p) { PutGenerationModelWrite(p, generation, model); });
}
