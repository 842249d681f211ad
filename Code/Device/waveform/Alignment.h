// ECG-PPG alignment: the rotation of a PPG period that puts its pulse a chosen delay after
// the ECG peak, and the PPG playback streams built from waveform records. Owned by the
// waveform model; pure computation. Writing an ECG record's options into the device
// control block is the protocol's exchange and is not here.
#pragma once

#include "api/nvs300.h"

// First sample of the rotated PPG period, at the ECG record's fSampleRateKHz; the PPG
// peak (pulses), rising edge (square) or sine peak then falls delay ms after the ECG
// peak. 0 for null records, an RR interval of 0 or a PPG period of 0 or less.
int CalcPPGStartPoint(ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, int delay);

// Rotates n samples in place: new[i] = old[(start + i) mod n]. Any start is taken modulo n.
void ShiftPPGWaveformData(double* samples, int n, int start);

// For each of count records that is not null: out[i] becomes a 10000-per-second stream of
// one period generated at rate samples per ms (written into the record's rate fields),
// rotated by start; the arrays belong to the caller. Entries of null records are left as
// they are.
void PPGWaveformToRawData(int count, PPG_WAVEFORM** records, PFN_SAMPLE_CALLBACK* callbacks, PLAY_RAW_DATA* out,
                          int rate, int start);
