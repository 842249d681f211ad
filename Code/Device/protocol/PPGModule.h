// PPG-module, calibration-setting and register commands: families 0xCC (numbered
// calibration settings, module selection, bus registers, respiratory-module values,
// two measurements), 0xB0 (ambient light, dynamic LED strength, signal-strength
// detection, transmission rate, automatic trigger level) and 0xAD (the sampling stream
// switch and the right-leg-drive levels).
//
// Owns: the dynamic-LED state and the transmission-rate cache (what the instrument was
// last told, so that unchanged values are not sent again), the AC-mode load, the
// working-mode choice and the factory backup of calibration settings. Callers hold
// g_CriticalSection; while a playback runs the calibration-setting writes go through the
// engine's command window (SubsystemHooks.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/nvs300.h"

static_assert(sizeof(AUTO_TRIGGER_STATUS) == 10 && offsetof(AUTO_TRIGGER_STATUS, usLevel1) == 6,
              "AUTO_TRIGGER_STATUS is 10 bytes, levels at 6 and 8");

// The dynamic-LED state the instrument last accepted (0 at load).
extern uint8_t g_PPGDynamicLEDEnabled;
// Forgets the dynamic-LED state, so that the next request is sent whatever its value.
void ForgetDynamicLEDState();
// The dynamic-LED state and the transmission-rate cache back to their load-time values
// (for the test suites).
void ResetPPGModuleState();

bool ReadCalibrationSetting(PPGCalibrationSetting id, unsigned char* value);
bool ReadCalibrationSetting(PPGCalibrationSetting id, unsigned short* value);
bool WriteCalibrationSetting(PPGCalibrationSetting id, unsigned char value);
bool WriteCalibrationSetting(PPGCalibrationSetting id, unsigned short value);
// The direct write (also what the command window runs).
bool WriteCalibrationSetting(PPGCalibrationSetting id, unsigned char* data, int length);

bool SwitchDeviceWorkingMode(unsigned char mode);
// Firmware 1.00..1.10 needs the working mode: 1 with a third PPG channel, else 0.
bool SwitchDeviceWorkingMode();
// Switches all three PPG channels to one AC range (operator mode 8), then waits 3 s.
bool LoadACMode(int mode);
// Model 0x2112 only: writes the LED levels and rate parameters of channels 1 and 2 that
// differ from what was last sent; other models forget what was sent and send nothing.
bool UpdateMCUTransmissionRate(unsigned short level1, unsigned short rate1, unsigned short level2,
                               unsigned short rate2);

bool ReadRespiratoryModuleSetting(unsigned short* values);
bool WriteRespiratoryModuleSetting(unsigned short* values);
bool ReadRespiratoryBaselineSetting(int* a, int* b);
bool WriteRespiratoryBaselineSetting(int a, int b);

int ReadAmbientLightDC();
bool WriteAmbientLightDC(int value);
int PPGModuleGetSelected();
bool PPGModuleSetSelected(int module);
bool SetAmbientLightMode(PPGAmbientLightMode mode);
int GetAmbientLightMode();
bool EnableDynamicLEDStrength(int enable);

// Reference voltages of PPG channels 1 and 2 (register 0x51 holds exactly these two).
bool ReadPPGVRef(PPGChannel channel, unsigned int* value);
bool WritePPGVRef(PPGChannel channel, unsigned int value);
bool FingerReadConfig(unsigned char reg, unsigned short* value);
bool FingerWriteConfig(unsigned char reg, unsigned short value);
int GetLEDOutputFeedbackVoltageADCData();
int GetUSBBusVoltage();

bool EnableADCControl(unsigned char value);
bool EnableSignalStrengthDetection(int enable);
bool EnableAutoTriggerLevel(int enable);
bool GetAutoTriggerLevelStatus(AUTO_TRIGGER_STATUS* status);
bool SetTransmissionRate(int rate);
bool ReadLEDMatrixEnableStatus(unsigned char* value);
bool WriteLEDMatrixEnableStatus(unsigned char value);
// Right-leg-drive levels in volts (10-bit words on a 2.5 V scale).
bool ReadRLDData(double* level1, double* level2);
bool BackupFactorySetting();

// ---- Pure codec (no port) --------------------------------------------------------------

// CC 00 id 00 + 60 zeros, or CC FF id 00 data + zeros (64 bytes).
void BuildCalibrationRequest(uint8_t* out, bool write, uint8_t id, const uint8_t* data, int length);
// Bytes 4..13 of a B0 00 30 00 reply as the host record.
void DecodeAutoTriggerStatus(const uint8_t* reply, AUTO_TRIGGER_STATUS* status);
// A right-leg-drive word in volts.
double RLDWordToVolts(uint16_t word);
