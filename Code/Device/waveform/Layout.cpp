// Binary layout of the host-facing records on every target. Hosts declare these records
// themselves and pass them by pointer, so a layout change is an interface break.
#include <cstddef>

#include "api/nvs300.h"
#include "protocol/Protocol.h"

#if defined(__i386__) || defined(_M_IX86)
// i386: doubles are 4-aligned everywhere.
static_assert(sizeof(ECG_WAVEFORM) == 160, "ECG_WAVEFORM size");
static_assert(offsetof(ECG_WAVEFORM, fFrequency) == 4, "ECG_WAVEFORM layout");
static_assert(offsetof(ECG_WAVEFORM, fNoiseAmplitude) == 84, "ECG_WAVEFORM layout");
static_assert(offsetof(ECG_WAVEFORM, fPacingAmplitude) == 100, "ECG_WAVEFORM layout");
static_assert(offsetof(ECG_WAVEFORM, fSampleRateKHz) == 148, "ECG_WAVEFORM layout");
static_assert(offsetof(ECG_WAVEFORM, nSampleFraction) == 156, "ECG_WAVEFORM layout");
static_assert(sizeof(PPG_WAVEFORM) == 124, "PPG_WAVEFORM size");
static_assert(offsetof(PPG_WAVEFORM, fFrequency) == 4, "PPG_WAVEFORM layout");
static_assert(offsetof(PPG_WAVEFORM, fNoiseAmplitude) == 76, "PPG_WAVEFORM layout");
static_assert(offsetof(PPG_WAVEFORM, fSampleRateKHz) == 112, "PPG_WAVEFORM layout");
static_assert(offsetof(PPG_WAVEFORM, nSampleFraction) == 120, "PPG_WAVEFORM layout");
static_assert(sizeof(PLAY_RAW_DATA) == 28, "PLAY_RAW_DATA size");
static_assert(offsetof(PLAY_RAW_DATA, pCallback) == 24, "PLAY_RAW_DATA layout");
#else
// x86-64, AArch64, 32-bit ARM, Windows x64: doubles 8-aligned, except the PPG record's
// fSampleRateKHz.
static_assert(sizeof(ECG_WAVEFORM) == 168, "ECG_WAVEFORM size");
static_assert(offsetof(ECG_WAVEFORM, fFrequency) == 8, "ECG_WAVEFORM layout");
static_assert(offsetof(ECG_WAVEFORM, fNoiseAmplitude) == 88, "ECG_WAVEFORM layout");
static_assert(offsetof(ECG_WAVEFORM, fPacingAmplitude) == 104, "ECG_WAVEFORM layout");
static_assert(offsetof(ECG_WAVEFORM, fSampleRateKHz) == 152, "ECG_WAVEFORM layout");
static_assert(offsetof(ECG_WAVEFORM, nSampleFraction) == 160, "ECG_WAVEFORM layout");
static_assert(sizeof(PPG_WAVEFORM) == 128, "PPG_WAVEFORM size");
static_assert(offsetof(PPG_WAVEFORM, fFrequency) == 8, "PPG_WAVEFORM layout");
static_assert(offsetof(PPG_WAVEFORM, fNoiseAmplitude) == 80, "PPG_WAVEFORM layout");
static_assert(offsetof(PPG_WAVEFORM, fSampleRateKHz) == 116, "PPG_WAVEFORM layout");
static_assert(offsetof(PPG_WAVEFORM, nSampleFraction) == 124, "PPG_WAVEFORM layout");
#if defined(__arm__) || defined(_M_ARM)
// 32-bit pointers; the leading double makes the record 8-aligned: 28 bytes padded to 32.
static_assert(sizeof(PLAY_RAW_DATA) == 32, "PLAY_RAW_DATA size");
static_assert(offsetof(PLAY_RAW_DATA, pCallback) == 24, "PLAY_RAW_DATA layout");
#else
static_assert(sizeof(PLAY_RAW_DATA) == 40, "PLAY_RAW_DATA size");
static_assert(offsetof(PLAY_RAW_DATA, pCallback) == 32, "PLAY_RAW_DATA layout");
#endif
#endif

static_assert(sizeof(PPGChannel) == 4, "PPGChannel is an int-sized enumeration");
static_assert(sizeof(MODEL_INFORMATION) == 24, "MODEL_INFORMATION size");
static_assert(sizeof(DEVICE_FEATURE) == 80, "DEVICE_FEATURE size");
static_assert(offsetof(DEVICE_FEATURE, fACMinimum) == 24, "DEVICE_FEATURE layout");
static_assert(offsetof(DEVICE_FEATURE, nParam1) == 72, "DEVICE_FEATURE layout");
