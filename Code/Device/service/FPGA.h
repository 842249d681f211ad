// The FPGA image upgrade: the geometry of the FPGA's image flash, the loaded image, the
// CRC-32 the FPGA reports per sector, the 0xB8 upgrade requests and the upgrade itself.
//
// Owns: the geometry FPGAConfig (built at load, first of the load-time objects, never
// changed), the loaded image g_pFPGAData (guarded by g_CriticalSection), and the test
// geometry seam below. The CRC-32 and the packet builders are pure; the upgrade runs on
// the caller's thread and takes the serial port over.
#pragma once

#include <cstdint>

#include "api/nvs300.h"

// One sector of the image flash: its length and its start within the image, in bytes.
struct CHIP_FLASH {
    uint32_t nSize;
    uint32_t nOffset;
    CHIP_FLASH() : nSize(0), nOffset(0) {}
    CHIP_FLASH(uint32_t size, uint32_t offset) : nSize(size), nOffset(offset) {}
};

// The geometry: entries 0..2 are the sectors in burning order (device sector numbers 2,
// 3, 4); entry 3 ends it, nSize 0 and nOffset the image's total length.
class CFPGAConfig {
public:
    CFPGAConfig() = default;
    CHIP_FLASH m_Flash[4];
    uint32_t ImageSize() const { return m_Flash[3].nOffset; }
};

// The 10M25: pages of 4096 bytes, 52, 40 and 92 pages per sector.
class CFPGAConfig10M25 : public CFPGAConfig {
public:
    CFPGAConfig10M25();
};

extern CFPGAConfig10M25 FPGAConfig;  // defined among the load-time objects (StaticObjects.cpp)

// The loaded image (at least the geometry's length), null when none is loaded.
extern unsigned char* g_pFPGAData;
extern uint32_t g_nFPGADataSize;

constexpr int kFPGASectors = 3;
constexpr int kFPGAFirstSectorNumber = 2;  // the device's number of entry 0
constexpr int kFPGAChunkSize = 32;
constexpr int kFPGAPacketLength = 64;
constexpr int kFPGAMaxResends = 10;  // a refused data packet is sent again at most so often

// ---- Pure ---------------------------------------------------------------------------

// Folds length bytes into the running CRC-32 (IEEE 802.3, reflected, table-driven); the
// initial value (0xFFFFFFFF) and the final complement are the caller's.
unsigned int CRC32(unsigned int crc, unsigned char* data, int length);
// The CRC-32 of length bytes, initial value and complement included.
uint32_t FPGAImageCrc(const unsigned char* data, uint32_t length);

// Requests: upgrade mode B8 FF 00 00 e (5 bytes); control B8 FF 01 00 mode sector (6);
// status B8 00 02 00 00 00 (6). Each returns its length.
int BuildFPGAUpgradeModeRequest(uint8_t* out, int enable);
int BuildFPGAControlRequest(uint8_t* out, uint8_t mode, int sector);
int BuildFPGAStatusRequest(uint8_t* out);
// True when the chunk at offset (length bytes) is its sector's last: a length other
// than 32, or (offset + 32) / 32 == sectorSize / 32.
bool FPGAIsLastChunk(uint32_t offset, int length, uint32_t sectorSize);
// The 64-byte data packet: B8 FF 03 00, length, offset (24 bits, big-endian), last flag,
// the chunk from byte 16 (32 bytes, zero beyond length), zeros to 63.
void BuildFPGADataPacket(uint8_t* out, const uint8_t* chunk, int length, uint32_t offset, uint32_t sectorSize);
// Write-stage percentage: reached x 100 / total (integer arithmetic).
int FPGAPercent(uint32_t reached, uint32_t total);

// ---- The upgrade --------------------------------------------------------------------

// The geometry the upgrade and the loader use: FPGAConfig unless a test installed another
// (null puts FPGAConfig back). For tests that run the upgrade on a small flash.
const CFPGAConfig& FPGAActiveConfig();
void FPGASetConfigForTest(const CFPGAConfig* config);

// The requests (the port must be open; the caller holds g_CriticalSection).
int FPGAEnableUpgradeMode(int enable);                // 1 when accepted
int FPGAControlMode(unsigned char mode, int sector);  // 1 when accepted
// Polls the status until idle (at most 10 polls, 100 ms apart) unless wait is 0; the CRC
// of the sector last written (bytes 8..11), 0 when not idle in time or no answer.
unsigned int FPGAWaitIdle(int wait);
// The upgrade with the loaded image, after ORVFree and under g_CriticalSection. 0 or a
// negative code, always with one (6, code) report.
int FPGABurn(PFN_UPDATE_PROGRESS progress);
// Loads an image file (the flash's raw bytes): 0, -2 (null path, or from a running
// upgrade's progress callback) or -17.
int FPGALoad(char* path, int* length, int* crc);
