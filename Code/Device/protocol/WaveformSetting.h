// Waveform settings and raw-data upload (family 0xEA, sub-commands 01..06, 08, 09).
//
// When the instrument generates a waveform itself it is first told the waveform's
// parameters (one setting block for the ECG, one per PPG channel), then sent one period
// of samples, which it repeats. Writes are confirmed by the instrument repeating the
// whole request with byte 3 set to 0xFF.
//
// Owns: the two setting-block layouts with their scaling, the readers that turn a stored
// block back into a record, the packing of one generated period into raw packets (all
// pure), and the exchanges. Callers hold g_CriticalSection and pass normalised records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/nvs300.h"

// The ECG setting block as written (58 bytes); the reader takes the same offsets from
// its 64-byte reply. Multi-byte fields big-endian except the apnea cycle (bytes 56-57).
typedef struct _READ_WRITE_ECG_WAVEFORM_SETTING {
    uint8_t ucData[58];
} _READ_WRITE_ECG_WAVEFORM_SETTING;

// The PPG setting block of one channel (64 bytes).
typedef struct _READ_WRITE_PPG_WAVEFORM_SETTING {
    uint8_t ucData[64];
} _READ_WRITE_PPG_WAVEFORM_SETTING;

static_assert(sizeof(_READ_WRITE_ECG_WAVEFORM_SETTING) == 58, "ECG setting block is 58 bytes");
static_assert(sizeof(_READ_WRITE_PPG_WAVEFORM_SETTING) == 64, "PPG setting block is 64 bytes");

constexpr int kRawPointsPerPacket = 14;  // 4 bytes each: DC word, AC word
constexpr int kRawDataBytesPerPacket = 56;
constexpr uint8_t kECGSettingSubCommand = 0x01;
constexpr uint8_t kECGRawSubCommand = 0x04;

bool WriteWaveformInfo(ECG_WAVEFORM const& waveform, int transitTime, int ppgDelay, int ppgStart);
bool WriteWaveformInfo(PPGChannel channel, PPG_WAVEFORM const& waveform);
// Fill the fields carried by the stored block; the others keep their values.
bool ReadWaveformInfo(ECG_WAVEFORM* waveform, int* transitTime);
bool ReadWaveformInfo(PPGChannel channel, PPG_WAVEFORM* waveform);

// Uploads byteCount / 4 packed points in packets of 14, each echoed by the instrument.
// Reads at most byteCount bytes of data; a last packet that is not full is padded with zeros.
bool WriteWaveformRawData(unsigned char* data, unsigned int byteCount, int subCommand);
// Generate one period (waveform model), pack it and upload it.
bool WriteECGRawData(ECG_WAVEFORM const& waveform);
bool WritePPGRawData(PPGChannel channel, PPG_WAVEFORM const& waveform);

int GetWaveformInfoSubCommandByPPGChannel(int channel);                 // 02, 03, 08; else 02
int GetWriteWaveformRawDataSubCommandByPPGChannel(PPGChannel channel);  // 05, 06, 09; else 05

// (int)(value x 10^digits + 0.5) / 10^digits, the integer taken toward zero (saturated).
double RoundTo(double value, int digits);

// ---- Pure codec (no port) --------------------------------------------------------------

// Bytes 0 and 4..57 of the ECG block (timing words zero); the writer adds bytes 1..3 and
// the timing words.
void ToECGWaveformSetting(ECG_WAVEFORM const& waveform, _READ_WRITE_ECG_WAVEFORM_SETTING& block);
// Bytes 0 and 4..63 of the PPG block of a channel.
void ToPPGWaveformSetting(PPGChannel channel, PPG_WAVEFORM const& waveform, _READ_WRITE_PPG_WAVEFORM_SETTING& block);
// Reads a stored block (at least 58 or 64 bytes) into the record's carried fields.
void DecodeECGWaveformSetting(const uint8_t* block, ECG_WAVEFORM* waveform, int* transitTime);
void DecodePPGWaveformSetting(PPGChannel channel, const uint8_t* block, PPG_WAVEFORM* waveform);

// value rounded half away from zero (saturated to int).
int RoundHalfAway(double value);

// Bytes needed for n points, rounded up to whole packets.
size_t RawBufferBytes(int points);
// Packs n generated samples into buffer (RawBufferBytes(n) bytes, zeroed by the caller).
// ECG: AC samples in microvolts. PPG: AC and DC samples in microvolts.
void PackECGRawData(ECG_WAVEFORM const& waveform, const int* ac, int n, uint8_t* buffer);
void PackPPGRawData(PPGChannel channel, PPG_WAVEFORM const& waveform, const int* ac, const int* dc, int n,
                    uint8_t* buffer);
// One raw packet: EA FF sub 00 00 00, first point index (16 bits), then up to 56 data
// bytes (available of them copied, the rest zero).
void BuildRawPacket(uint8_t* out, uint8_t subCommand, int index, const uint8_t* data, size_t available);
