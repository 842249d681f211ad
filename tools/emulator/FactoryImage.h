// What a profile's instrument holds when it leaves the factory: the identity records,
// the stored calibration tables and records that the host loads after each connection,
// and the calibration settings that those records back up. Pure: it fills a
// MemoryImage and a settings table, nothing else.
//
// Where things sit (target 0x13 unless stated; every PPG-module bank alike):
//   0x01:0x0000, 0x13:0x0000  identity records (12 bytes)
//   0x0400, 0x0C00            photodiode-sampling tables of channels 1 and 2, 1024
//                             big-endian words (PPG modules with letters YB)
//   0x1400                    factory backup of the LED and trigger levels (64 bytes)
//   0x1440                    PPG manufacturing text
//   0x1480                    PPG 0x2112: the MCU factory record (256 bytes, little-
//                             endian); 0x2012: the photodiode ratio rows (3 x 8 floats);
//                             XJ: the respiration record that begins with 0.60991
//   0x14C0, 0x1500            XJ: baseline DAC table (12 words), RDAC3 table (96 doubles)
//   0x1600, 0x3600            PPG 0x2112: DC tables of channels 1 and 2 (3001 words,
//                             little-endian, zeros up to 8192 bytes)
//   0x12:0x10000              ECG DC-variable table, 2001 big-endian words
//   0x12:0x12000              ECG manufacturing text
// Records stored in the byte form keep the host's little-endian layout.
#pragma once

#include <cstdint>
#include <map>

#include "MemoryImage.h"
#include "Profile.h"

namespace nvsemu {

namespace memmap {
constexpr uint8_t kMainIdentityTarget = 0x01;
constexpr uint8_t kProgramTarget = 0x03;
constexpr uint8_t kEcgTarget = 0x12;
constexpr uint8_t kPpgTarget = 0x13;
constexpr uint32_t kPdSampling1 = 0x0400;
constexpr uint32_t kPdSampling2 = 0x0C00;
constexpr uint32_t kFactorySetting = 0x1400;
constexpr uint32_t kPpgMfgInfo = 0x1440;
constexpr uint32_t kFactorySettingMcu = 0x1480;
constexpr uint32_t kPdRatio = 0x1480;
constexpr uint32_t kRespirationRwa = 0x1480;
constexpr uint32_t kRespirationBaseline = 0x14C0;
constexpr uint32_t kRespirationRdac3 = 0x1500;
constexpr uint32_t kPpgDcTable1 = 0x1600;
constexpr uint32_t kPpgDcTable2 = 0x3600;
constexpr uint32_t kEcgDcVariable = 0x10000;
constexpr uint32_t kEcgMfgInfo = 0x12000;
constexpr double kRwaMarker = 0.60991;
}  // namespace memmap

// The numbered calibration settings (family 0xCC) the instrument starts with.
std::map<uint8_t, uint16_t> FactoryCalibrationSettings(const Profile& profile);

// Fills an erased image with the profile's factory contents.
void WriteFactoryImage(const Profile& profile, MemoryImage& image);

}  // namespace nvsemu
