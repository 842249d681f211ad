// The external-respiration module's host-side model: a wanted resistance turned into the
// module's setting words. The module varies the impedance between the electrodes with
// three resistances in parallel: two 20 kOhm digital potentiometers of 1024 steps, each
// in series with a fixed resistance (coefficients C0 and C1), and a third resistance
// chosen from the 96 measured RDAC3 values; a baseline DAC sets the baseline impedance.
//
// Owns: the model (pure, on the tables of protocol/RespirationTables.h, which it reads
// without a lock) and the exported functions that set the module or store its
// calibration (under g_CriticalSection).
#pragma once

#include <cstdint>

constexpr int kRDAC3Entries = 96;
constexpr int kRespirationBaselineEntries = 12;
constexpr uint16_t kPotentiometerLastStep = 1023;

// The PPG side is the external-respiration module (product letters XJ).
bool ExtRespIsAvailable();

// Words 0 (potentiometer 0), 1 (potentiometer 1) and 2 (RDAC3 index) of a module
// setting for a resistance in ohms. False, with words untouched, when the resistance is
// not positive or the RDAC3 entry it needs is not a positive resistance (no calibration
// loaded). Positions are clamped to the potentiometers' steps 0..1023 and the index to
// 0..95; no out-of-range double is converted to an integer.
bool ExtRespGetAmplitudeDAC(double resistance, unsigned short* words);
// The baseline table's entry at index clamped to 0..11.
uint16_t ExtRespGetBaselineDAC(int index);
// The RDAC3 index for a resistance with index correction c2: (R - 50) x 6 + 10 +
// (100 - c2) / 21 truncated; 95 beyond the table (also for -1 and below, and NaN).
uint16_t ExtRespRDAC3Index(double resistance, double c2);
