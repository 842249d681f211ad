// Conversions between millivolts and the instrument's 16-bit DAC codes, the ECG amplitude
// factor of the external respiration module, and the finger-PPG set-point conversions.
// Owned by the waveform model, with the built-in finger curves of PPG model 0x2012.
// The VoltageToDAC functions return the code with its two bytes swapped: stored in host
// (little-endian) order the code's high byte goes first, as packets carry it. They take
// no lock and allocate nothing: they run for every stream sample.
#pragma once

#include <cstdint>

#include "api/nvs300.h"

// ECG AC amplitude divisor while the external respiration module is in circuit, by its
// baseline impedance in ohms (500, 1000, 1500, 2000); 1.0 for any other value.
double GetScaledRatioByRespiration(int baselineOhms);

// 2.5 microvolts per step, clamped to -32768..32767 steps (about +-81.9 mV).
uint16_t ECG_AC_VoltageToDAC(double mv);
// Rounded to a whole millivolt in -1000..1000 (NaN gives 1000), through the ECG DC table.
uint16_t ECG_DC_VoltageToDAC(double mv);
// channelIndex 0, 1, 2 for PPG channels 1, 2, 3. Code in [0, AC DAC level]; on model 0x2112
// scaled to the channel's AC range and its factory full-scale code.
uint16_t PPG_AC_VoltageToDAC(int channelIndex, double mv);
// 0..3000 mV onto [0, DC DAC level].
uint16_t PPG_DC_VoltageToDAC(double mv);

// Finger conversions of a PPG DC set-point and AC amplitude (model 0x2012: built-in
// curves; model 0x2112: the channel's DC table; other models: unchanged). Inputs outside
// the tables use the nearest entry.
double FingerDCValueConvert(PPGChannel channel, double mv);
double FingerACValueConvert(double mv);
// Model 0x2112: the set-point whose table entry equals value, or -1; other models: value.
int FingerConvertedDCValueIndex(PPGChannel channel, uint16_t value);

// The built-in curves of model 0x2012 (exposed for their tests): DC in whole mV by
// set-point 0..3000, AC in tenths of a mV by amplitude in tenths 0..300, and the
// range factors by (int)(converted DC / 100).
double FingerDCCurve(int index);
double FingerACCurve(int index);
double FingerRangeFactor(int index);
