// The playback engine's own interface below the exported functions: operator mode and
// rate, the starts of a run per channel set, run state, looping, the stop, and the
// command window that runs device commands between two stream batches.
//
// Every function here is called with g_CriticalSection held (exported callers); each
// takes g_PlayRawCriticalSection itself. A start stops the current run first, unless its
// arguments are refused: then it answers 0, sends nothing and leaves the run alone.
//
// Owns: the starts' rules and the window's bound; the values a start sets (operator
// mode, rate, sync bytes, pacing, the external-respiration curve) are the engine state of
// PlaybackState.h.
#pragma once

#include "api/nvs300.h"

// Operator mode, rate and sync bytes: stored (rate > 0 only), then sent when an
// instrument is connected. 1 when stored and (if connected) accepted; 0 otherwise.
int UpdateOperatorMode(int mode, unsigned char sync1, unsigned char sync2, unsigned char sync3, int rate);
// One PPG channel alone at 10000 per second: mode 2, 4 or 16 (any other channel).
int UpdateOperatorMode(PPGChannel channel, unsigned char sync);
int GetOperatorMode();
// 1 when both arrays are given, the count is not 0 and the rate not 0.0 (a NaN rate and
// a negative count pass; the starts refuse them separately).
int ValidateRawDataSetting(const PLAY_RAW_DATA& data);
int CheckOutputChannel(int mask, int bits);

// Starts: 1 when the run's producer thread started.
int PlayRawECG(const PLAY_RAW_DATA& ecg);
int PlayRawECGEx(const PLAY_RAW_DATA& ecg, const ECG_WAVEFORM& waveform);
int PlayRawECGAndPPG(const PLAY_RAW_DATA& ecg, PPGChannel channel, const PLAY_RAW_DATA& ppg);
int PlayRawECGAndPPGEx(const PLAY_RAW_DATA& ecg, const PLAY_RAW_DATA& ppg1, const PLAY_RAW_DATA& ppg2);
int PlayRawECGAndPPGEx(PLAY_RAW_DATA* ecg, PLAY_RAW_DATA** ppg);
int PlayRawPPG(PPGChannel channel, const PLAY_RAW_DATA& ppg);
int PlayRawPPGEx(const PLAY_RAW_DATA& ppg1, const PLAY_RAW_DATA& ppg2);
int PlayRawPPGEx(PLAY_RAW_DATA** ppg);
int PlayRawFrequencyScanECG(FREQUENCY_SCAN* scan, PFN_SAMPLE_CALLBACK callback);
int PlayRawFrequencyScanPPG(PPGChannel channel, FREQUENCY_SCAN2* scan, PFN_SAMPLE_CALLBACK callback);

// 1 from a start until the next PlayRawStop, also after the run ended by itself.
int PlayRawIsRunning();
void PlayRawEnableLoop(bool loop);
// Ends the run and joins its threads; the extra lists are emptied only when a run
// existed. clearRespiration non-zero also clears the respiration mode.
void PlayRawStop(int clearRespiration);
// The unload's last step: frees the loaded ECG and PPG sources and the external
// respiration curve once no run is left (a run that is still there keeps them).
void PlayRawReleaseSources();

// The command window: each runs its command between two batches of the running stream
// and answers the command's own result. Once the producer has ended the command goes
// out directly; when no request comes within the bound, the command fails unsent.
constexpr unsigned kCommandWindowBoundMs = 1000;
bool PlayRawSetOutputImpedance(int code);
bool PlayRawSetOutputLead(int code);
bool PlayRawSetDCOffset(int millivolts);
bool PlayRawSetOutputPacing(int code);
bool PlayRawSetLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* setting);
int PlayRawGetAmbientLightMode();
bool PlayRawSetAmbientLightMode(PPGAmbientLightMode mode);
int PlayRawSetOperatorMode(int mode, unsigned char sync1, unsigned char sync2);
bool PlayRawSetCalibrationSetting(PPGCalibrationSetting id, unsigned short value);
bool PlayRawBackupFactorySetting();
bool PlayRawUpdatePPGSyncPulse(PPGChannel channel, SyncPulse pulse);
bool PlayRead0xCCCommand(unsigned char id, unsigned char* value);
bool PlayWrite0xCCCommand(unsigned char id, unsigned char* data, int length);
bool PlayReadPPGLEDSetting(int group, int index, PPG_LED_SETTING* setting);
bool PlayWritePPGLEDSetting(int group, int index, PPG_LED_SETTING* setting);
bool PlayReadLEDMatrixEnableStatus(unsigned char* status);
bool PlayWriteLEDMatrixEnableStatus(unsigned char status);
int PlayRawGetLEDOutputFeedbackVoltageADCData();

// Puts the engine's entries in the subsystem hook table (done at load; the test suites
// call it again after they reset the table).
void InstallPlaybackEngineHooks();
