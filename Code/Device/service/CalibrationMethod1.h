// Calibration method 1: the instrument plays one uploaded period from its own waveform
// memory at 1000 points per second while the factory host measures: a raised sine
// between 0 and a given code on a PPG channel, or a constant pair of codes on the ECG
// output. The host uploads the waveform setting and the period, then runs a calibration
// output thread (output/CalibrationThreads.h) until the common stop.
//
// Owns: the period builders (pure: record and tables in, upload bytes out) and the
// uploads. The exported starts are declared in api/nvs300.h. Callers hold
// g_CriticalSection.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "api/nvs300.h"

// The upload's point index is 16 bits: a period holds 1..65536 points.
constexpr int kMethod1MaxPoints = 65536;
bool IsMethod1PeriodLength(int points);

// ---- Pure period builders -------------------------------------------------------------

// nRRInterval points of 4 bytes: the DC code (nDCOffset when bVariableDCOffset is set,
// else 0), then the AC code (fAmplitude, truncated; NaN gives 0), each as its low 16
// bits high byte first; zero-padded to whole packets of 56 bytes. Empty for a period
// outside 1..65536 points.
std::vector<uint8_t> BuildECGMethod1Period(const ECG_WAVEFORM& ecg);

// nPeriod points: AC code a[i] = trunc(0.5 + (sin(2 pi i / n) + 1) / 2 x fAmplitude1),
// kept in 0..trunc(dacLevel); DC code trunc(fDCLevel), kept in 0..65535 (NaN gives 0 for
// both). With acRow and dcRow (bInverted set) each code is replaced by its table entry.
// Point = DC word, AC word, big-endian; zero-padded to whole packets. Empty for a period
// outside 1..65536 points.
std::vector<uint8_t> BuildPPGMethod1Period(const PPG_WAVEFORM& ppg, double dacLevel, const std::atomic<int32_t>* acRow,
                                           const std::atomic<int32_t>* dcRow);

// ---- Uploads ---------------------------------------------------------------------------

// Build and upload the ECG period (sub-command 4); the upload's result.
bool ECGCalibrateMethod1WriteRawData(const ECG_WAVEFORM& ecg);
// Rebuilds the channel's AC and DC convert tables (nNoiseType: from their files), builds
// the period with them and uploads it (sub-command 5 for channel 1, 6 for channel 2).
bool CalibrateMethod1WritePPGRawData(PPGChannel channel, const PPG_WAVEFORM& ppg);
