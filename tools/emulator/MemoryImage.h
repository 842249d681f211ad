// The instrument's non-volatile memory as the memory command (12 55 AA) reaches it:
// one byte image per memory target, erased bytes 0xFF, and one image per PPG module
// for target 0x13 (the module that the PPG-module selection names).
//
// Targets and their kinds of memory:
//   0x01  main module identity     256 bytes    flash: a write only clears bits; the
//                                                host erases the record before it
//                                                rewrites it
//   0x03  program memory           0x40000      flash, erased in pages of 1024 bytes
//   0x12  main (ECG) data memory   0x20000      EEPROM: a write replaces the bytes
//   0x13  PPG module memory        0x8000       EEPROM, one image per PPG module
// An erase clears the page that holds the address (the whole identity store on 0x01).
//
// This component owns the images only: it is pure (no lock, no I/O); the firmware
// model (Firmware.h) guards it with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace nvsemu {

class MemoryImage {
public:
    // ppgBanks: number of PPG modules (images of target 0x13), at least 1.
    explicit MemoryImage(int ppgBanks = 1);

    static bool KnownTarget(uint8_t target);
    static uint32_t TargetSize(uint8_t target);  // 0 for an unknown target
    static bool IsFlash(uint8_t target);
    static uint32_t ErasePage(uint8_t target);
    int Banks(uint8_t target) const;

    // False when the target is unknown, the bank does not exist or the span leaves
    // the target. A bank applies to target 0x13 only (others have bank 0).
    bool Read(uint8_t target, int bank, uint32_t address, size_t n, std::vector<uint8_t>& out) const;
    // A write as the memory command does it: flash targets AND the bytes in.
    bool Write(uint8_t target, int bank, uint32_t address, const std::vector<uint8_t>& data);
    // Puts bytes in as they are, on any kind of memory (the factory's programming).
    bool Program(uint8_t target, int bank, uint32_t address, const std::vector<uint8_t>& data);
    // Erases the page holding address.
    bool ErasePageAt(uint8_t target, int bank, uint32_t address);
    // Erases n bytes from address (to 0xFF), whatever the page.
    bool EraseSpan(uint8_t target, int bank, uint32_t address, size_t n);
    // Erases a whole target, every bank of it.
    void EraseTarget(uint8_t target);

private:
    std::vector<uint8_t>* Image(uint8_t target, int bank);
    const std::vector<uint8_t>* Image(uint8_t target, int bank) const;
    static bool Fits(uint8_t target, uint32_t address, size_t n);

    std::map<uint8_t, std::vector<std::vector<uint8_t>>> images_;  // target -> banks
};

}  // namespace nvsemu
