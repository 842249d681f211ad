// The photodiode FPGA's upgrade interface (family 0xB8) of the emulated instrument: its
// image flash of three sectors (device numbers 2, 3, 4), upgrade mode, the erase and
// sector selection, the status poll with the CRC-32 of the sector last written, and the
// 64-byte data packets.
//
// Requests and replies (every reply 64 bytes, starting 0xB8, byte 3 = 0xFF accepted):
//   B8 FF 00 00 e          upgrade mode: e = 1 enter, 0 leave (leaving restarts the
//                          instrument: Answer says so)
//   B8 FF 01 00 mode s     mode 1 erases sector s (to 0xFF), mode 3 selects it for writing
//   B8 00 02 00 00 00      status: byte 4 = 0x80 idle (busy for a set number of polls
//                          after an erase and after a sector's last chunk), bytes 8-11
//                          the CRC-32 of the sector last written, big-endian
//   B8 FF 03 00 n o o o l  data: n (1..32) bytes at sector offset o (24 bits), l = 0xFF
//                          on the sector's last chunk; data from byte 16, zeros elsewhere
//
// It logs what a careful host never does (an offset that is not the next one, a wrong
// last flag, data outside upgrade mode or without a selected sector, padding not zero),
// refuses chosen data packets without writing them, and can corrupt a sector's CRC.
// Its CRC-32 is its own (bitwise).
//
// Pure: no lock, no I/O. The firmware model guards it with its own lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace nvsemu {

class FpgaUpgrade {
public:
    using Bytes = std::vector<uint8_t>;
    static constexpr int kSectors = 3;
    static constexpr int kFirstSector = 2;  // device number of sector 0

    // The sector lengths in bytes (the 10M25's: 0x34000, 0x28000, 0x5C000).
    explicit FpgaUpgrade(std::array<uint32_t, kSectors> sizes = {0x34000, 0x28000, 0x5C000});

    // The reply to an upgrade request (B8 FF 00/01/03, B8 00 02); present: an FPGA that
    // takes upgrades is fitted (others refuse upgrade mode and everything after it).
    // *left is set when the request left upgrade mode.
    Bytes Answer(const Bytes& r, bool present, bool* left);
    // The instrument restarted: upgrade mode and the selection end; the flash stays.
    void Restarted();

    bool InUpgradeMode() const { return upgrade_; }
    const Bytes& Sector(int e) const { return flash_[static_cast<size_t>(e)]; }
    uint32_t SectorSize(int e) const { return sizes_[static_cast<size_t>(e)]; }
    const std::vector<std::string>& Violations() const { return violations_; }
    // Data packets taken (written) and refused, counted over all sectors.
    size_t DataPackets() const { return taken_; }
    size_t RefusedPackets() const { return refused_; }
    // Offsets (within their sector) of the taken packets that carried the last flag.
    const std::vector<std::pair<int, uint32_t>>& LastFlags() const { return lastFlags_; }
    std::vector<int> Erased() const { return erased_; }  // sectors erased, in order

    // Polls that report busy after an erase and after a last chunk (default 2;
    // ~0u: never idle).
    void SetBusyPolls(unsigned polls) { busyPolls_ = polls; }
    // Data packets number `index` onwards (counted over received packets, from 0) are
    // refused `times` times in all (0: every one).
    void RefuseData(size_t index, unsigned times);
    // The status reports a wrong CRC for sector e.
    void CorruptCrc(int e) { corrupt_.insert(e); }
    // Upgrade mode, control requests, status polls refused from now on.
    void RefuseUpgradeMode(bool refuse) { refuseMode_ = refuse; }
    void RefuseControl(bool refuse) { refuseControl_ = refuse; }

    static uint32_t Crc32(const uint8_t* data, size_t n);

private:
    Bytes OnData(const Bytes& r);
    void Violation(std::string what) { violations_.push_back(std::move(what)); }

    std::array<uint32_t, kSectors> sizes_;
    std::array<Bytes, kSectors> flash_;
    bool upgrade_ = false;
    int selected_ = -1;  // sector selected for writing, -1 none
    uint32_t next_ = 0;  // the offset the next data packet should carry
    uint32_t crc_ = 0;   // CRC of the sector last written
    int lastWritten_ = -1;
    unsigned busyPolls_ = 2;
    unsigned busyLeft_ = 0;
    size_t received_ = 0, taken_ = 0, refused_ = 0;
    size_t refuseFrom_ = ~size_t{0};
    unsigned refuseTimes_ = 0, refusedSoFar_ = 0;
    std::set<int> corrupt_;
    bool refuseMode_ = false, refuseControl_ = false;
    std::vector<std::string> violations_;
    std::vector<std::pair<int, uint32_t>> lastFlags_;
    std::vector<int> erased_;
};

}  // namespace nvsemu
