// Calibration state that the conversions read, and the ECG DC table's default line.
// The waveform model defines these process-wide values with their load-time contents;
// the connection's loading after each connect, the factory functions, the API setters
// and the playback engine write them (as a rule under g_CriticalSection). The identity
// and capability records live with the protocol (protocol/Protocol.h, protocol/Memory.h).
#pragma once

#include <cstdint>

// ECG DC code for each whole millivolt from -1000 to +1000 (index = mV + 1000). At load
// (and after SetDefaultECGDCVariableCalibrationData) the default line.
extern uint16_t g_ECGDCVariableCalibrationData[2001];

// Model 0x2112: per PPG channel 1..3, the corrected DC set-point for each whole millivolt
// 0..3000. Zero at load.
extern uint16_t g_PPGDCTable[3][3001];

// AC range in force for PPG channels 1..3 on model 0x2112: 0 (300 mV), 1 (15 mV),
// 2 (1.5 mV). Set by the playback engine when it loads a PPG source, cleared by its stop.
extern uint8_t g_ACCalMode[3];

// Transmission-rate mode 0..5 (0 at load).
extern int g_nTransmissionRateMode;

// Normalisation flags: AC above DC (0 at load), finger-PPG amplitude conversion (1 at load).
extern int g_bACAboveDC;
extern int g_bPPGAmplitudeConversion;

// The default ECG DC line: entry v + 1000 = (int)(0.5 + (1000 + v / 1.02) / 2000 x 4095).
void SetDefaultECGDCVariableCalibrationData();

// Every value above back to its load-time contents, as if the library were loaded
// afresh (for the test suites; the library never calls it).
void ResetWaveformCalibrationState();
