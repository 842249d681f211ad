// The microcontroller firmware burn: the kept firmware image, the burn request packets
// (memory command 12 55 AA on target 0x03, the program memory) and the burn itself.
//
// Owns: the kept image (g_pFlashData, g_nFlashSize), guarded by g_CriticalSection, which
// a burn holds from the end of its ORVFree to its return. The packet builders and the
// block map are pure; the burn runs on the caller's thread and takes the serial port over
// (DeviceConnect, WriteData, ReadData), following the instrument through its restart.
#pragma once

#include <cstdint>

#include "api/nvs300.h"

// The kept image: a private copy, replaced by each load; null and 0 when none is kept.
extern unsigned char* g_pFlashData;
extern uint32_t g_nFlashSize;

constexpr int kFlashPacketLength = 64;
constexpr uint32_t kFlashPageSize = 1024;     // an erase clears one page
constexpr int kFlashChunkSize = 48;           // image bytes per write or verify request
constexpr uint32_t kFlashMaxImage = 0x1E000;  // block 0's length: no block holds more

// ---- Pure ---------------------------------------------------------------------------

// The block's start address and erased length; false for a block other than 0 and 1.
bool FlashBlockArea(FlashBlock block, uint32_t* start, uint32_t* length);
// The 64-byte requests: erase of the page at address; write of count (1..48) bytes at
// address; verify (read back) of count bytes at address. Bytes not named are 0.
void BuildFlashEraseRequest(uint8_t* out, uint32_t address);
void BuildFlashWriteRequest(uint8_t* out, uint32_t address, const uint8_t* data, int count);
void BuildFlashVerifyRequest(uint8_t* out, uint32_t address, int count);
// The percentage a progress report carries: offset x 100 / total (integer arithmetic,
// no overflow for any 32-bit offset).
int FlashPercent(uint32_t offset, uint32_t total);
// 0 when a burn of an image of `size` bytes into `block` may start; -2 when the image is
// empty or larger than the block, or the block is not 0 or 1.
int FlashCheckBurn(FlashBlock block, const unsigned char* image, uint32_t size);

// ---- The burn -----------------------------------------------------------------------

// Keeps a copy of size bytes (under g_CriticalSection, so never under a running burn):
// size; -4 without memory; -2 for a null image with a size or a size above 0x1E000, or
// from a running burn's progress callback (kept image unchanged).
int FlashLoadBinFile(unsigned char* image, unsigned int size);
// The file loader behind ORVUpdateFwLoadBinFile: loads nothing, returns 0.
int FlashLoadBinFile(char* path, int* a, int* b, int* c);
// ORVFree, then the burn of the kept image into block as one lifecycle step; -2 (with the
// report (6, -2)) before anything is sent when the burn cannot be done.
int FlashBurnFlashBlock(FlashBlock block, PFN_UPDATE_PROGRESS progress);
int FlashBurnBinFile(PFN_UPDATE_PROGRESS progress);  // block 0
// Maps the block, runs DoFlashBurnBinFile and, whatever its result, closes the port.
// The caller holds g_CriticalSection and has ended the connection handling.
int DoFlashBlockArea(FlashBlock block, PFN_UPDATE_PROGRESS progress);
// Finds the instrument, erases [start, start + length) page by page, writes and verifies
// the kept image, restarts the instrument and finds it again. 0 or a negative code, always
// with one (6, code) report.
int DoFlashBurnBinFile(uint32_t start, uint32_t length, PFN_UPDATE_PROGRESS progress);
