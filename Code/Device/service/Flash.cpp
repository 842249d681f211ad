// The microcontroller firmware burn.
//
// Why the port is closed through the link (DeviceClose) and not by dropping its
// descriptor: the lock file would stay recorded, keeping other processes off the port for
// as long as this one lives, and the next scan would spend a round releasing it.
#include "service/Flash.h"

#include <cstring>
#include <new>

#include "api/Connection.h"
#include "platform/Device.h"
#include "platform/PortSeam.h"
#include "platform/SleepSeam.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "protocol/Identity.h"

unsigned char* g_pFlashData = nullptr;
uint32_t g_nFlashSize = 0;

namespace {

constexpr uint8_t kProgramTarget = 0x03;
constexpr uint8_t kRestartByte = 0xDD;
constexpr unsigned kErasePauseMs = 40;
constexpr unsigned kRestartWaitMs = 5000;
constexpr int kFirstAttempts = 10;
constexpr int kReturnAttempts = 15;

// A burn is reading the kept image (set and read under g_CriticalSection): a load from its
// own progress callback, which runs with the lock held, must not replace it.
bool s_bBurning = false;

// Frees the kept image when the library is unloaded. Trivially constructed (constant
// initialisation), so its place among the load-time objects does not matter.
struct CFlashImageRelease {
    ~CFlashImageRelease() {
        delete[] g_pFlashData;
        g_pFlashData = nullptr;
        g_nFlashSize = 0;
    }
} s_flashImageRelease;

void PutBe32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

void BuildHeader(uint8_t* out, uint8_t direction, uint8_t erase, uint8_t count, uint32_t address) {
    memset(out, 0, kFlashPacketLength);
    out[0] = 0x12;
    out[1] = 0x55;
    out[2] = 0xAA;
    out[3] = direction;
    out[5] = kProgramTarget;
    out[6] = erase;
    out[7] = count;
    PutBe32(out + 8, address);
}

void Report(PFN_UPDATE_PROGRESS progress, int stage, int value) {
    if (progress != nullptr)
        progress(stage, value);
}

int Fail(PFN_UPDATE_PROGRESS progress, int code) {
    Report(progress, ORV_UPDATE_STAGE_RESULT, code);
    return code;
}

// One request and its 64-byte reply; the reply's content is the caller's business.
int Exchange(uint8_t* request, int length, uint8_t* reply, int writeShort, int noReply) {
    if (WriteData(request, length, 1) != length)
        return writeShort;
    return ReadData(reply, kFlashPacketLength, NVS_KIND_REPLY) == kFlashPacketLength ? 0 : noReply;
}

struct BurnStep {
    FlashBlock block;
    PFN_UPDATE_PROGRESS progress;
};

int RunBurnStep(void* argument) {
    const BurnStep* step = static_cast<const BurnStep*>(argument);
    // Checked again under the lock: the image may have changed since the first check.
    const int check = FlashCheckBurn(step->block, g_pFlashData, g_nFlashSize);
    if (check != 0)
        return Fail(step->progress, check);
    return DoFlashBlockArea(step->block, step->progress);
}

}  // namespace

// ---- Pure ---------------------------------------------------------------------------

bool FlashBlockArea(FlashBlock block, uint32_t* start, uint32_t* length) {
    switch (static_cast<int>(block)) {
        case FLASH_BLOCK_0:
            *start = 0x00000;
            *length = 0x1E000;
            return true;
        case FLASH_BLOCK_1:
            *start = 0x3F000;
            *length = 0x400;
            return true;
        default:
            return false;
    }
}

void BuildFlashEraseRequest(uint8_t* out, uint32_t address) { BuildHeader(out, 0xFF, 1, 0, address); }

void BuildFlashWriteRequest(uint8_t* out, uint32_t address, const uint8_t* data, int count) {
    BuildHeader(out, 0xFF, 0, static_cast<uint8_t>(count), address);
    memcpy(out + 16, data, static_cast<size_t>(count));
}

void BuildFlashVerifyRequest(uint8_t* out, uint32_t address, int count) {
    BuildHeader(out, 0x00, 0, static_cast<uint8_t>(count), address);
}

int FlashPercent(uint32_t offset, uint32_t total) {
    return total == 0 ? 0 : static_cast<int>(uint64_t{offset} * 100 / total);
}

int FlashCheckBurn(FlashBlock block, const unsigned char* image, uint32_t size) {
    uint32_t start = 0;
    uint32_t length = 0;
    if (!FlashBlockArea(block, &start, &length) || image == nullptr || size == 0 || size > length)
        return ORV_UPDATE_BAD_REQUEST;
    return 0;
}

// ---- The burn -----------------------------------------------------------------------

int FlashLoadBinFile(unsigned char* image, unsigned int size) {
    if ((image == nullptr && size != 0) || size > kFlashMaxImage)
        return ORV_UPDATE_BAD_REQUEST;
    unsigned char* copy = nullptr;
    if (size != 0) {
        copy = new (std::nothrow) unsigned char[size];
        if (copy == nullptr)
            return ORV_UPDATE_NO_MEMORY;
        memcpy(copy, image, size);
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (s_bBurning) {
        delete[] copy;
        return ORV_UPDATE_BAD_REQUEST;
    }
    delete[] g_pFlashData;
    g_pFlashData = copy;
    g_nFlashSize = size;
    return static_cast<int>(size);
}

int FlashLoadBinFile(char*, int*, int*, int*) { return 0; }

int FlashBurnFlashBlock(FlashBlock block, PFN_UPDATE_PROGRESS progress) {
    int check;
    {
        CAutoCriticalSection lock(g_CriticalSection);
        check = FlashCheckBurn(block, g_pFlashData, g_nFlashSize);
    }
    if (check != 0)
        return Fail(progress, check);
    BurnStep step{block, progress};
    const int result = RunLifecycleStep(RunBurnStep, &step, ORV_UPDATE_BAD_REQUEST);
    if (result == ORV_UPDATE_BAD_REQUEST && IsLibraryThread())
        Report(progress, ORV_UPDATE_STAGE_RESULT, result);  // refused on a callback
    return result;
}

int FlashBurnBinFile(PFN_UPDATE_PROGRESS progress) { return FlashBurnFlashBlock(FLASH_BLOCK_0, progress); }

int DoFlashBlockArea(FlashBlock block, PFN_UPDATE_PROGRESS progress) {
    uint32_t start = 0;
    uint32_t length = 0;
    if (!FlashBlockArea(block, &start, &length))
        return Fail(progress, ORV_UPDATE_BAD_REQUEST);
    s_bBurning = true;
    const int result = DoFlashBurnBinFile(start, length, progress);
    s_bBurning = false;
    DeviceClose();
    return result;
}

int DoFlashBurnBinFile(uint32_t start, uint32_t length, PFN_UPDATE_PROGRESS progress) {
    const unsigned char* image = g_pFlashData;
    const uint32_t size = g_nFlashSize;
    if (image == nullptr || size == 0 || size > length)
        return Fail(progress, ORV_UPDATE_BAD_REQUEST);

    // The scan identifies the instrument with the protocol's handshake, also when the
    // host never connected before.
    DeviceSetTargetCheck(IsTargetDevice);
    if (!DeviceConnect(-1, kFirstAttempts))
        return Fail(progress, ORV_UPDATE_NO_INSTRUMENT);

    uint8_t request[kFlashPacketLength];
    uint8_t reply[kFlashPacketLength];

    for (uint32_t offset = 0; offset < length; offset += kFlashPageSize) {
        Report(progress, ORV_UPDATE_STAGE_ERASE, FlashPercent(offset, length));
        BuildFlashEraseRequest(request, start + offset);
        if (WriteData(request, kFlashPacketLength, 1) != kFlashPacketLength)
            return Fail(progress, ORV_UPDATE_WRITE_SHORT);
        SeamSleep(kErasePauseMs);
        if (ReadData(reply, kFlashPacketLength, NVS_KIND_REPLY) != kFlashPacketLength)
            return Fail(progress, ORV_UPDATE_NO_REPLY);
    }
    Report(progress, ORV_UPDATE_STAGE_ERASE, 100);

    for (uint32_t offset = 0; offset < size; offset += kFlashChunkSize) {
        const int count = static_cast<int>(size - offset < kFlashChunkSize ? size - offset : kFlashChunkSize);
        Report(progress, ORV_UPDATE_STAGE_WRITE, FlashPercent(offset, size));
        BuildFlashWriteRequest(request, start + offset, image + offset, count);
        const int code = Exchange(request, kFlashPacketLength, reply, ORV_UPDATE_WRITE_SHORT, ORV_UPDATE_NO_REPLY);
        if (code != 0)
            return Fail(progress, code);
    }
    Report(progress, ORV_UPDATE_STAGE_WRITE, 100);

    for (uint32_t offset = 0; offset < size; offset += kFlashChunkSize) {
        const int count = static_cast<int>(size - offset < kFlashChunkSize ? size - offset : kFlashChunkSize);
        Report(progress, ORV_UPDATE_STAGE_VERIFY, FlashPercent(offset, size));
        BuildFlashVerifyRequest(request, start + offset, count);
        const int code =
            Exchange(request, kFlashPacketLength, reply, ORV_UPDATE_VERIFY_WRITE_SHORT, ORV_UPDATE_VERIFY_NO_REPLY);
        if (code != 0)
            return Fail(progress, code);
        if (memcmp(reply + 16, image + offset, static_cast<size_t>(count)) != 0)
            return Fail(progress, ORV_UPDATE_MISMATCH);
    }
    Report(progress, ORV_UPDATE_STAGE_VERIFY, 100);

    Report(progress, ORV_UPDATE_STAGE_RESTART, 99);
    uint8_t restart = kRestartByte;
    if (WriteData(&restart, 1, 1) != 1)
        return ORV_UPDATE_RESTART_NOT_SENT;  // without a report: the burn is done, the restart unsent
    DeviceClose();
    SeamSleep(kRestartWaitMs);
    Report(progress, ORV_UPDATE_STAGE_RECONNECT, 100);
    if (!DeviceConnect(-1, kReturnAttempts))
        return Fail(progress, ORV_UPDATE_NOT_FOUND_AGAIN);
    Report(progress, ORV_UPDATE_STAGE_RESULT, ORV_UPDATE_OK);
    return ORV_UPDATE_OK;
}

// ---- Exported -----------------------------------------------------------------------

int ORVUpdateLoadBinFile(unsigned char* image, unsigned int size) { return FlashLoadBinFile(image, size); }

int ORVUpdateBurnFlashBlock(FlashBlock block, PFN_UPDATE_PROGRESS progress) {
    return FlashBurnFlashBlock(block, progress);
}

int ORVUpdateFwBurnBinFile(PFN_UPDATE_PROGRESS progress) { return FlashBurnBinFile(progress); }

int ORVUpdateFwLoadBinFile(char* path, int* a, int* b, int* c) { return FlashLoadBinFile(path, a, b, c); }

int ORVUpdateMCULoadBinFile(char*, int*, int*) { return ORV_UPDATE_NOT_PROVIDED; }

int ORVUpdateMCUBurnBinFile(PFN_UPDATE_PROGRESS) { return ORV_UPDATE_NOT_PROVIDED; }
