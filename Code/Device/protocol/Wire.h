// Named readers and writers of the instrument's wire fields. Multi-byte numbers travel
// big-endian unless a command says otherwise: the 16-bit calibration settings and the
// apnea cycle of the ECG setting block go low byte first, and records stored through the
// memory command's byte form keep the host's little-endian layout. Pure; owned by the
// protocol component.
#pragma once

#include <cstdint>
#include <cstring>

namespace wire {

inline uint16_t GetBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline int16_t GetBE16Signed(const uint8_t* p) { return static_cast<int16_t>(GetBE16(p)); }
inline uint32_t GetBE24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
inline uint32_t GetBE32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// Each writer stores the low bits of the value.
inline void PutBE16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void PutBE24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}
inline void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void PutLE16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// The waveform model's DAC conversions return a code whose two bytes are already
// swapped into wire order when the value is held little-endian: its low byte is the
// code's high byte. This puts such a value on the wire.
inline void PutSwapped16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Host-layout (little-endian) doubles, floats and words in stored records.
inline double GetHostDouble(const uint8_t* p) {
    double d;
    memcpy(&d, p, sizeof d);
    return d;
}
inline void PutHostDouble(uint8_t* p, double d) { memcpy(p, &d, sizeof d); }

}  // namespace wire
