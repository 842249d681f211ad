// ECG and PPG waveform synthesis: one period of a waveform record as sample arrays.
// Owned by the waveform model. Pure computation: no device traffic, no lock, no shared
// state. Integer arrays hold microvolts (the PPG sine, triangle, square and constant AC
// shapes 1/2000 mV); double arrays millivolts. Arrays are allocated with array new for
// the caller, who frees them with array delete. When an allocation fails the count is 0
// and the arrays are null.
#pragma once

#include "api/nvs300.h"

// Longest period any generator produces: 4,194,304 samples (105 s at 40 kHz). A longer
// period (a near-zero frequency) is cut there so that the allocations stay bounded.
constexpr int kMaxPointNumber = 1 << 22;

// Samples in one period: (int)(fSampleRateKHz x (1000 / fFrequency)); 0 for a frequency
// that is not positive and finite or a rate that is not positive; at most kMaxPointNumber.
int GetPointNumber(const ECG_WAVEFORM& w);
int GetPointNumber(const PPG_WAVEFORM& w);

// 1 when the instrument adds pacing pulses to this record: pacing on with a non-zero
// amplitude, and for the ECG beat (type 6 only) room for the pulse before the QRS.
int IsPacingSupported(const ECG_WAVEFORM* w);

// One ECG period: AC shape and DC (variable offset and, when withPacing, the pacing pulse
// at the start of the period, cut at the period's end).
void GenECGWaveform(const ECG_WAVEFORM* w, int* count, int** ac, int** dc, bool withPacing);
void GenECGWaveform(const ECG_WAVEFORM* w, int* count, double** ac, double** dc, bool withPacing);

// ECG shapes: *count holds n on entry; a new array of n microvolt samples (null for n = 0
// or a failed allocation).
int* GenECGWaveformSine(const ECG_WAVEFORM* w, int* count);
int* GenECGWaveformTriangle(const ECG_WAVEFORM* w, int* count);
int* GenECGWaveformSquare(const ECG_WAVEFORM* w, int* count);
int* GenECGWaveformRectanglePulse(const ECG_WAVEFORM* w, int* count);
int* GenECGWaveformTrianglePulse(const ECG_WAVEFORM* w, int* count);
int* GenECGWaveformExponential(const ECG_WAVEFORM* w, int* count);
int* GenECGWaveformECG(const ECG_WAVEFORM* w, int* count);

// One PPG period: AC shape plus AC offset, constant DC. startLevel (microvolts, or mV in
// the double form) is non-zero only for the transition period of an inverted pulse. An
// unknown type gives an all-zero AC array.
void GenPPGWaveform(const PPG_WAVEFORM* w, int* count, int** ac, int** dc, int startLevel);
void GenPPGWaveform(const PPG_WAVEFORM* w, int* count, double** ac, double** dc, double startLevel);

// PPG shapes, as the ECG ones.
int* GenPPGWaveformSine(const PPG_WAVEFORM* w, int* count);
int* GenPPGWaveformTriangle(const PPG_WAVEFORM* w, int* count);
int* GenPPGWaveformSquare(const PPG_WAVEFORM* w, int* count);
int* GenPPGWaveformPPG(const PPG_WAVEFORM* w, int* count);
int* GenPPGWaveformPPG(const PPG_WAVEFORM* w, int* count, int startLevel);
int* GenPPGWaveformPPGEx(const PPG_WAVEFORM* w, int* count);
int* GenPPGWaveformDC(const PPG_WAVEFORM* w, int* count);
