// What the connection thread does after every connection: the output path back to its
// defaults, then the calibration data stored in the instrument copied into the host
// tables (stored tables that are erased give way to defaults), and a one-time backup of
// the factory settings.
//
// Owns: the photodiode calibration tables (storage and slots), g_FPGA_PDRatio and the
// loaders. The other host tables it fills belong to the waveform model
// (waveform/Calibration.h), the protocol (protocol/Memory.h, protocol/RespirationTables.h).
// Everything here runs under g_CriticalSection (ResetDeviceToDefaultStatus: each setter
// takes it).
#pragma once

// Twelve photodiode calibration tables of 1024 entries: slot = PPG module (0..5) x 2 +
// photodiode channel index (0 or 1); index = raw value 0..1023, value = calibrated value.
// Slots are set only while the connection thread runs (identity tables from its start)
// and empty otherwise. The storage itself is never freed, so a table read under
// g_CriticalSection is always valid.
constexpr int g_nPPGPDSamplingCalibrationDataCount = 1024;
constexpr int kPPGPDSamplingTableSlots = 12;
constexpr int kPPGModulesWithTables = 6;
extern int* g_pPPGPDSamplingCalibrationData[kPPGPDSamplingTableSlots];

// The table of a module's photodiode channel (channelIndex 0 or 1); null for a module
// outside 0..5 (the instrument may report any byte as its module), a channel index
// outside 0..1 or an empty slot. Hold g_CriticalSection while using it.
int* PPGPDSamplingTable(int module, int channelIndex);
// Fill every slot with an identity table / empty every slot (the connection thread's
// start and end).
void AllocatePPGPDSamplingTables();
void ReleasePPGPDSamplingTables();

// Photodiode ratios of PPG channels 1..3 (8 each); 0 at load.
extern float g_FPGA_PDRatio[3][8];
// Empty slots and zero ratios, as at load (for the test suites; only with the
// connection thread ended).
void ResetPostConnectionState();

// The instrument has gone: every table loaded from it goes back to its state at load
// (identity photodiode tables in the slots in use, zero ratios, the default ECG DC
// table, an empty PPG DC table, the respiration tables at load), so that nothing read
// from one instrument is applied to the output or the records of the next, even when
// the next one's loading fails. The caller holds g_CriticalSection.
void ForgetInstrumentCalibration();

// Electrode, impedance, pacing, respiration and ambient-light mode back to 0 through the
// exported setters. The result of the last of them.
bool ResetDeviceToDefaultStatus();
// The whole loading, under g_CriticalSection.
void InititalizeAfterConnected();

void LoadPPGDCTable();
void LoadPPGPDSamplingCalibrationData();
void LoadRespirationDACCalibrationData();
void LoadECGDCVariableCalibrationData();
void CheckFactorySetting();
// Model 0x2112: the stored MCU factory record into g_FactorySettingMCU, marked as read
// from this instrument; a failed read leaves the cache as it was, not marked.
bool LoadFactorySettingMCU();
