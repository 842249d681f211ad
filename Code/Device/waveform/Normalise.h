// Normalisation of waveform records: brings a record into the ranges that the instrument
// and the generators accept and chooses the rate at which one period is generated.
// Owned by the waveform model. Reads the capability record, the PPG model and the
// normalisation flags; the callers hold g_CriticalSection. Never fails: it clamps.
#pragma once

#include "api/nvs300.h"

// lo when v < lo, else hi when v > hi, else v (lo is tested first).
int MakeInRange(int v, int lo, int hi);

void AdjustECGWaveform(ECG_WAVEFORM* w);
// ch selects the DC table of the finger conversion; suppressFingerConversion non-zero
// skips that conversion. A null record is ignored.
void AdjustPPGWaveform(PPGChannel ch, PPG_WAVEFORM* w, int suppressFingerConversion);

// The most samples of one period the instrument's period buffer holds: 1500 where PPG
// channel 3 shares it, 2000 otherwise.
int MaxPeriodPoints();

// The first rate (40 kHz down to 0.05 kHz for ECG, 0.1 kHz for PPG) whose period has at
// most 1500 samples (2000 without PPG channel 3); both rate fields stay when none fits or
// the frequency is not positive and finite.
void AdjustECGWaveformScale(ECG_WAVEFORM* w);
void AdjustPPGWaveformScale(PPG_WAVEFORM* w);

// Model 0x2112: brings two PPG records whose AC ranges differ into one common range by
// scaling both with one factor.
void AdjustPPGWaveform2112(PPG_WAVEFORM* w1, PPG_WAVEFORM* w2);

// Multiplies the three amplitudes and the DC level by k; returns w.
PPG_WAVEFORM* PPGWaveformAmplitudeScale(double k, PPG_WAVEFORM* w);
