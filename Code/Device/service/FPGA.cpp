// The FPGA image upgrade.
#include "service/FPGA.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "api/Connection.h"
#include "platform/Device.h"
#include "platform/PortSeam.h"
#include "platform/SleepSeam.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "protocol/Identity.h"

unsigned char* g_pFPGAData = nullptr;
uint32_t g_nFPGADataSize = 0;

namespace {

constexpr uint8_t kFamily = 0xB8;
constexpr uint8_t kAccepted = 0xFF;
constexpr uint8_t kIdle = 0x80;
constexpr uint8_t kModeErase = 1;
constexpr uint8_t kModeWrite = 3;
constexpr int kIdlePolls = 10;
constexpr unsigned kIdlePollMs = 100;
constexpr unsigned kResendMs = 600;
constexpr unsigned kSectorSettleMs = 100;
constexpr unsigned kRestartWaitMs = 5000;
constexpr int kFirstAttempts = 5;
constexpr int kReturnAttempts = 15;
constexpr uint32_t kPageSize = 4096;

std::atomic<const CFPGAConfig*> s_testConfig{nullptr};

// An upgrade is reading the loaded image (set and read under g_CriticalSection): a load
// from its own progress callback, which runs with the lock held, must not replace it.
bool s_bUpgrading = false;

// Frees the loaded image at unload; trivially constructed, so its place among the
// load-time objects does not matter.
struct CFPGAImageRelease {
    ~CFPGAImageRelease() {
        delete[] g_pFPGAData;
        g_pFPGAData = nullptr;
        g_nFPGADataSize = 0;
    }
} s_fpgaImageRelease;

// The published table of the reflected polynomial 0xEDB88320, computed at compile time.
struct CrcTable {
    uint32_t entry[256];
    constexpr CrcTable() : entry() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[i] = c;
        }
    }
};
constexpr CrcTable kCrcTable;

void Report(PFN_UPDATE_PROGRESS progress, int stage, int value) {
    if (progress != nullptr)
        progress(stage, value);
}

int Fail(PFN_UPDATE_PROGRESS progress, int code) {
    Report(progress, ORV_UPDATE_STAGE_RESULT, code);
    return code;
}

// One request and its 64-byte 0xB8 reply: true when both went through.
bool Exchange(uint8_t* request, int length, uint8_t* reply) {
    if (WriteData(request, length, 1) != length)
        return false;
    return ReadData(reply, kFPGAPacketLength, kFamily) == kFPGAPacketLength;
}

uint32_t Be32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 | static_cast<uint32_t>(at[2]) << 8 |
           at[3];
}

bool ImageLoadedFor(const CFPGAConfig& config) {
    return g_pFPGAData != nullptr && config.ImageSize() != 0 && g_nFPGADataSize >= config.ImageSize();
}

// Writes one sector: every chunk acknowledged, a refused one resent (the same bytes)
// after 600 ms, at most kFPGAMaxResends times.
int WriteSector(const CFPGAConfig& config, int e, PFN_UPDATE_PROGRESS progress) {
    const CHIP_FLASH& sector = config.m_Flash[e];
    const uint32_t total = config.ImageSize();
    uint8_t packet[kFPGAPacketLength];
    uint8_t reply[kFPGAPacketLength];
    for (uint32_t offset = 0; offset < sector.nSize;) {
        const uint32_t left = sector.nSize - offset;
        const int length = static_cast<int>(left < kFPGAChunkSize ? left : kFPGAChunkSize);
        BuildFPGADataPacket(packet, g_pFPGAData + sector.nOffset + offset, length, offset, sector.nSize);
        for (int resends = 0;; ++resends) {
            if (WriteData(packet, kFPGAPacketLength, 1) != kFPGAPacketLength)
                return ORV_UPDATE_WRITE_SHORT;
            if (ReadData(reply, kFPGAPacketLength, kFamily) != kFPGAPacketLength)
                return ORV_UPDATE_NO_REPLY;
            if (reply[3] == kAccepted)
                break;
            if (resends == kFPGAMaxResends)
                return ORV_UPDATE_PACKET_REFUSED;
            SeamSleep(kResendMs);
        }
        offset += static_cast<uint32_t>(length);
        Report(progress, ORV_UPDATE_STAGE_WRITE, FPGAPercent(offset + sector.nOffset, total));
    }
    return 0;
}

// The upgrade itself (FPGABurn marks it as running around this). The failures of the
// upgrade proper (upgrade mode, the control requests, the data packets, a sector's CRC)
// end it without a result report; only the searches for the instrument before and
// after it report theirs.
int DoFPGABurn(PFN_UPDATE_PROGRESS progress) {
    const CFPGAConfig& config = FPGAActiveConfig();
    if (!ImageLoadedFor(config))
        return Fail(progress, ORV_UPDATE_BAD_REQUEST);
    DeviceSetTargetCheck(IsTargetDevice);
    if (!DeviceConnect(-1, kFirstAttempts))
        return Fail(progress, ORV_UPDATE_NO_INSTRUMENT);
    if (!FPGAEnableUpgradeMode(1))
        return ORV_UPDATE_MODE_REFUSED;
    Report(progress, ORV_UPDATE_STAGE_ERASE, 0);

    for (int step = 0; step < kFPGASectors; ++step) {
        if (!FPGAControlMode(kModeErase, step + kFPGAFirstSectorNumber))
            return ORV_UPDATE_CONTROL_REFUSED;
        FPGAWaitIdle(1);  // an FPGA that never reports idle: the pass goes on
        Report(progress, ORV_UPDATE_STAGE_ERASE, (step + 1) * 100 / kFPGASectors);
    }

    for (int e = 0; e < kFPGASectors; ++e) {
        if (!FPGAControlMode(kModeWrite, e + kFPGAFirstSectorNumber))
            return ORV_UPDATE_CONTROL_REFUSED;
        const int code = WriteSector(config, e, progress);
        if (code != 0)
            return code;
        SeamSleep(kSectorSettleMs);
        const CHIP_FLASH& sector = config.m_Flash[e];
        const uint32_t expected = FPGAImageCrc(g_pFPGAData + sector.nOffset, sector.nSize);
        if (FPGAWaitIdle(0) != expected)
            return ORV_UPDATE_MISMATCH;
    }

    Report(progress, ORV_UPDATE_STAGE_WRITE, 100);
    Report(progress, ORV_UPDATE_STAGE_RESTART, 99);
    FPGAEnableUpgradeMode(0);  // leaving restarts the instrument; the outcome is not examined
    DeviceClose();
    SeamSleep(kRestartWaitMs);
    Report(progress, ORV_UPDATE_STAGE_RECONNECT, 100);
    if (!DeviceConnect(-1, kReturnAttempts))
        return Fail(progress, ORV_UPDATE_NOT_FOUND_AGAIN);
    Report(progress, ORV_UPDATE_STAGE_RESULT, ORV_UPDATE_OK);
    return ORV_UPDATE_OK;  // the found instrument's port stays open
}

struct UpgradeStep {
    PFN_UPDATE_PROGRESS progress;
};

int RunUpgradeStep(void* argument) { return FPGABurn(static_cast<const UpgradeStep*>(argument)->progress); }

}  // namespace

CFPGAConfig10M25::CFPGAConfig10M25() {
    const uint32_t pages[kFPGASectors] = {52, 40, 92};
    uint32_t offset = 0;
    for (int e = 0; e < kFPGASectors; ++e) {
        m_Flash[e] = CHIP_FLASH(pages[e] * kPageSize, offset);
        offset += pages[e] * kPageSize;
    }
    m_Flash[3] = CHIP_FLASH(0, offset);
}

// ---- Pure ---------------------------------------------------------------------------

unsigned int CRC32(unsigned int crc, unsigned char* data, int length) {
    uint32_t c = crc;
    for (int i = 0; i < length; ++i)
        c = kCrcTable.entry[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c;
}

uint32_t FPGAImageCrc(const unsigned char* data, uint32_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    // CRC32 takes an int length: fold in pieces that always fit.
    constexpr uint32_t kPiece = 1u << 30;
    for (uint32_t done = 0; done < length;) {
        const uint32_t n = length - done < kPiece ? length - done : kPiece;
        crc = CRC32(crc, const_cast<unsigned char*>(data + done), static_cast<int>(n));
        done += n;
    }
    return ~crc;
}

int BuildFPGAUpgradeModeRequest(uint8_t* out, int enable) {
    const uint8_t bytes[5] = {kFamily, 0xFF, 0x00, 0x00, static_cast<uint8_t>(enable != 0 ? 1 : 0)};
    memcpy(out, bytes, sizeof bytes);
    return 5;
}

int BuildFPGAControlRequest(uint8_t* out, uint8_t mode, int sector) {
    const uint8_t bytes[6] = {kFamily, 0xFF, 0x01, 0x00, mode, static_cast<uint8_t>(sector)};
    memcpy(out, bytes, sizeof bytes);
    return 6;
}

int BuildFPGAStatusRequest(uint8_t* out) {
    const uint8_t bytes[6] = {kFamily, 0x00, 0x02, 0x00, 0x00, 0x00};
    memcpy(out, bytes, sizeof bytes);
    return 6;
}

bool FPGAIsLastChunk(uint32_t offset, int length, uint32_t sectorSize) {
    return length != kFPGAChunkSize || (offset + kFPGAChunkSize) / kFPGAChunkSize == sectorSize / kFPGAChunkSize;
}

void BuildFPGADataPacket(uint8_t* out, const uint8_t* chunk, int length, uint32_t offset, uint32_t sectorSize) {
    memset(out, 0, kFPGAPacketLength);
    out[0] = kFamily;
    out[1] = 0xFF;
    out[2] = 0x03;
    out[4] = static_cast<uint8_t>(length);
    out[5] = static_cast<uint8_t>(offset >> 16);
    out[6] = static_cast<uint8_t>(offset >> 8);
    out[7] = static_cast<uint8_t>(offset);
    out[8] = FPGAIsLastChunk(offset, length, sectorSize) ? 0xFF : 0x00;
    memcpy(out + 16, chunk, static_cast<size_t>(length));
}

int FPGAPercent(uint32_t reached, uint32_t total) {
    return total == 0 ? 0 : static_cast<int>(uint64_t{reached} * 100 / total);
}

// ---- The upgrade --------------------------------------------------------------------

const CFPGAConfig& FPGAActiveConfig() {
    const CFPGAConfig* test = s_testConfig.load();
    return test != nullptr ? *test : FPGAConfig;
}

void FPGASetConfigForTest(const CFPGAConfig* config) { s_testConfig.store(config); }

int FPGAEnableUpgradeMode(int enable) {
    uint8_t request[8];
    uint8_t reply[kFPGAPacketLength];
    const int length = BuildFPGAUpgradeModeRequest(request, enable);
    return Exchange(request, length, reply) && reply[3] == kAccepted ? 1 : 0;
}

int FPGAControlMode(unsigned char mode, int sector) {
    uint8_t request[8];
    uint8_t reply[kFPGAPacketLength];
    const int length = BuildFPGAControlRequest(request, mode, sector);
    return Exchange(request, length, reply) && reply[3] == kAccepted ? 1 : 0;
}

unsigned int FPGAWaitIdle(int wait) {
    uint8_t request[8];
    uint8_t reply[kFPGAPacketLength];
    const int length = BuildFPGAStatusRequest(request);
    for (int poll = 0; poll < kIdlePolls; ++poll) {
        if (poll > 0)
            SeamSleep(kIdlePollMs);
        if (!Exchange(request, length, reply))
            return 0;
        if (wait == 0 || reply[4] == kIdle)
            return Be32(reply + 8);
    }
    return 0;
}

int FPGABurn(PFN_UPDATE_PROGRESS progress) {
    s_bUpgrading = true;
    const int result = DoFPGABurn(progress);
    s_bUpgrading = false;
    return result;
}

int FPGALoad(char* path, int* length, int* crc) {
    if (path == nullptr || s_bUpgrading)
        return ORV_UPDATE_BAD_REQUEST;
    const uint32_t size = FPGAActiveConfig().ImageSize();
    FILE* file = fopen(path, "rb");
    if (file == nullptr)
        return ORV_UPDATE_IMAGE_FILE;
    unsigned char* image = new (std::nothrow) unsigned char[size];
    if (image == nullptr) {
        fclose(file);
        return ORV_UPDATE_NO_MEMORY;
    }
    // Only the image's length is read: a longer file costs no more than the image.
    const size_t got = fread(image, 1, size, file);
    fclose(file);
    if (got != size) {
        delete[] image;  // short, or not a readable file (a directory)
        return ORV_UPDATE_IMAGE_FILE;
    }
    delete[] g_pFPGAData;
    g_pFPGAData = image;
    g_nFPGADataSize = size;
    if (length != nullptr)
        *length = static_cast<int>(size);
    if (crc != nullptr)
        *crc = static_cast<int>(FPGAImageCrc(image, size));
    return 0;
}

// ---- Exported -----------------------------------------------------------------------

int ORVUpdateFPGABurn(PFN_UPDATE_PROGRESS progress) {
    {
        CAutoCriticalSection lock(g_CriticalSection);
        if (!ImageLoadedFor(FPGAActiveConfig()))
            return Fail(progress, ORV_UPDATE_BAD_REQUEST);
    }
    UpgradeStep step{progress};
    const int result = RunLifecycleStep(RunUpgradeStep, &step, ORV_UPDATE_BAD_REQUEST);
    if (result == ORV_UPDATE_BAD_REQUEST && IsLibraryThread())
        Report(progress, ORV_UPDATE_STAGE_RESULT, result);  // refused on a callback
    return result;
}

int ORVUpdateFPGALoadFile(char* path, int* length, int* crc) {
    CAutoCriticalSection lock(g_CriticalSection);
    return FPGALoad(path, length, crc);
}
