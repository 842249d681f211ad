// The waveform services a Windows host cannot call (the DLL does not export them, so the
// exported header does not declare them there) are still the library's code: the
// waveform suite tests them directly.
#pragma once

#include "api/nvs300.h"

double ORVConvertAutoDCToFixedDC(PPGChannel channel, int dcReading, int gainReading);
int ORVCalcPPGStartPoint(ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, int delay);
