// Identity and capability records of the instrument, cached on the host after the connect
// handshake and cleared at each disconnection. The protocol component owns the records,
// their load-time values and the small queries on them; the handshake that fills them is
// built with the rest of the device protocol.
#pragma once

#include <cstdint>

#include "api/nvs300.h"

// The PPG side's model record. At load: all zero, LED types 0, 0, 3.
extern MODEL_INFORMATION g_PPGModelInfo;
// Capabilities. At load the default row; all zero after a disconnection.
extern DEVICE_FEATURE g_DeviceFeature;

// Full-scale codes of the ECG DAC and the PPG DC and AC DACs: 4095 (12 bits) until an
// instrument reports 65535 (16 bits). The AC level takes the DC level's value at each
// handshake; the host may change it afterwards.
extern double g_nECGDacLevel;
extern double g_nPPGDCDacLevel;
extern double g_nPPGACDacLevel;

// g_PPGModelInfo, g_DeviceFeature and the DAC levels back to their load-time values, as
// if the library were loaded afresh (for the test suites; the library never calls it).
void ResetProtocolCapabilityState();

// The PPG side's 16-bit model number (0x2012, 0x2112, ...), from g_PPGModelInfo.
uint16_t GetPPGFullModelNumber();

// AC range of a PPG waveform on model 0x2112: 0 (300 mV full scale) when fAmplitude1 is at
// least 15 mV, 1 (15 mV) when at least 1.5 mV, else 2 (1.5 mV); the 5e-5 mV allowance
// absorbs rounding in amplitudes computed by the host. 0 for null.
int GetACCalMode(PPG_WAVEFORM const* waveform);

// True when PPG channel 3 has an LED (its LED type is not 3).
bool IsPPGChannel3Supported();
