// Waveform records for the tests and the benchmarks: the shapes they play, built in one
// place. Each builder starts from a zeroed record and sets only what its line names;
// callers change the rest. Periods given in ms come out as exact sample counts: the
// frequency is set a hair below 1000 / period, because 1000 / (1000 / 479) is
// 478.99999..., which would truncate to one sample less.
#pragma once

#include "api/nvs300.h"

namespace records {

// 1000 / periodMs, a hair low: rate x (1000 / frequency) truncates to rate x periodMs.
double FrequencyOfPeriod(double periodMs);

// An ECG record of the type with rateKHz x periodMs samples and the amplitude in mV.
ECG_WAVEFORM Ecg(int type, double rateKHz, double periodMs, double amplitudeMv = 1.0);

// The ECG beat (type 6) of rateKHz x rrMs samples: R 1 mV, T 0.3 mV, P 0.2 mV; RR rrMs,
// PR 160 ms, QRS 100 ms, T wave 180 ms, QT 400 ms.
ECG_WAVEFORM EcgBeat(int rrMs, double rateKHz = 1.0);

// An ECG sine of exactly hz at 1 sample per ms: RR 1000 / hz ms, pacing rate 60.
ECG_WAVEFORM EcgSine(double hz, double amplitudeMv);

// A PPG record of the type with rateKHz x periodMs samples and fAmplitude1 in mV.
PPG_WAVEFORM Ppg(int type, double rateKHz, double periodMs, double a1Mv = 1.0);

// A PPG pulse (type 3 arcs, 16 lines) of rateKHz x periodMs samples: peak a1 at 150 ms,
// notch 0.4 a1 at 300 ms, second peak 0.6 a1 at 400 ms; nPeriod periodMs.
PPG_WAVEFORM PpgPulse(int type, double rateKHz, double periodMs, double a1Mv = 1.0);

// A PPG sine of exactly hz at 1 sample per ms: DC level and AC span in mV, nPeriod
// 1000 / hz ms.
PPG_WAVEFORM PpgSine(double hz, double dcMv, double a1Mv);

}  // namespace records
