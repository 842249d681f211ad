// The playback engine's shared state: the channel sources, the extra-curve lists, the
// production and report indices with their cycle offsets, the respiration and apnea
// state, looping, the operator mode and output rate, the pacing pulse and the
// external-respiration curve of an ECG stream.
//
// Owns: every value declared here (the AC calibration ranges g_ACCalMode and the finger
// conversion flag g_bPPGAmplitudeConversion live with the waveform model,
// waveform/Calibration.h, and are used from there).
//
// Threads. The starts (holding the playback API lock) load the sources, lists, pacing and
// respiration values before a run's threads exist; nothing but a start or a stop changes
// them while a run exists. During a run the producer (play or simulation thread, holding
// the interrupt lock) writes g_nCurrent, the offsets, the live source rates, g_bPlayIsApnea
// and g_fDelayAccumulated; the reporter (holding the data lock) writes g_nOutputCurrent and
// g_bOutputIsApnea and reads the rest. Values that one thread writes while another reads
// them are atomics, 64-bit ones too (lock-free on every target, so also exact on i386 and
// armhf); the rest are plain.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "api/nvs300.h"
#include "waveform/Calibration.h"

// One extra curve (an appended noise, interference or respiration curve): the engine's own
// copy of a sample stream. Note the order, count before rate, unlike PLAY_RAW_DATA. The
// list that holds a record owns its two arrays (array new; ClearAppendData frees them).
struct RAW_DATA {
    int32_t nSampleCount;  // samples in each array
    double fSampleRate;    // source samples per second of the arrays
    double* pACData;       // mV, nSampleCount values
    double* pDCData;       // mV, nSampleCount values
};

// The drift trim: a stream is stretched by this share (7 ppm) so that the instrument,
// whose clock runs a little slow against the stream's rate, never runs dry.
constexpr double DELAY_PER_SECOND = 7e-6;

// Positions in g_nCurrentOffset: PPG channels 1..3 at 0..2, the ECG at 3.
constexpr int kECGOffsetIndex = 3;

// ---- Output ----------------------------------------------------------------------------

extern std::atomic<int> g_nSampleRate;    // output samples per second; 1 at load
extern std::atomic<int> g_nOperatorMode;  // operator mode of the run; 0 at load
extern std::atomic<int> g_bPlayLoop;      // 1: a source cycle that ends starts again; 1 at load

// Production index (the next sample to build) and report index (the next sample to hand
// to the host callbacks), in output samples since the run began.
extern std::atomic<uint64_t> g_nCurrent;
extern std::atomic<uint64_t> g_nOutputCurrent;
// Index at which each channel's current source cycle began ([0..2] PPG 1..3, [3] ECG).
extern std::atomic<uint64_t> g_nCurrentOffset[4];

// ---- Channel sources (mV; array new, replaced whole) -------------------------------------

extern double* g_pECGACSrcData;
extern double* g_pECGDCSrcData;
extern int g_nECGSrcSampleCount;
extern std::atomic<double> g_fECGSrcSampleRate;  // live rate (the rate factor changes it)
extern double g_fECGSrcSampleRateBackup;         // the rate as loaded

// Index 0, 1, 2 = PPG channel 1, 2, 3. A channel with rate 0 or count 0 is silent.
extern double* g_pPPGACSrcData[3];
extern double* g_pPPGDCSrcData[3];
extern int g_nPPGSrcSampleCount[3];
extern std::atomic<double> g_fPPGSrcSampleRate[3];
extern double g_fPPGSrcSampleRateBackup[3];

// The external-respiration resistance curve (ohms), one breath at 10000 per second.
extern double* g_pECGExtRespirationData;
extern int g_nECGExtRespirationSampleCount;
// Baseline DAC word of the external-respiration module (host order), streamed in mode 17.
extern uint16_t g_nECGExtRespirationBaselineDAC;

// ---- Extra curves --------------------------------------------------------------------------

// Added to the ECG AC and DC of every sample (the AC part not during apnea).
extern std::vector<RAW_DATA> g_vecECGAppendData;
// ECG respiration slots: [0] added to the AC, [1] multiplied into the AC as (1 + v),
// [2] the rate factor applied at each cycle end.
extern std::vector<RAW_DATA> g_vecECGRespirationExtraData[3];
// The same per PPG channel (index channel - 1).
extern std::vector<RAW_DATA> g_vecPPGAppendData[3];
extern std::vector<RAW_DATA> g_vecPPGRespirationExtraData[3][3];

// ---- Respiration and apnea ---------------------------------------------------------------

// Bit flags: 0x01 use slot 0, 0x02 use slot 1, 0x04 use slot 2 (rate factor); 0 and 0x80
// also mean no apnea.
extern std::atomic<int> g_nRespirationMode;
extern std::atomic<int> g_nRespirationApneaCycle;     // minutes of breathing before each apnea
extern std::atomic<int> g_nRespirationApneaDuration;  // seconds of each apnea; 0: none
extern int g_bPlayIsApnea;                            // the producer's apnea flag (producer only)
extern int g_bOutputIsApnea;                          // the reporter's apnea flag (reporter only)

// ---- Run values set at the start of a run ---------------------------------------------------

extern double g_fACRatio;             // divisor of the streamed ECG AC; 1.0 at load
extern double g_fDelayAccumulated;    // the drift trim's accumulator (producer only)
extern uint8_t g_nPPGChSyncPulse[3];  // sync bytes last sent for PPG 1..3; 1, 1, 1 at load

// Pacing pulse of an ECG stream. The stop clears the flag while the threads may still
// read it, so it is atomic; the other three are set by a start before its threads exist.
extern std::atomic<bool> g_bPacingEnable;
extern double g_fPacingAmplitude;  // mV
extern double g_fPacingRate;       // pulses per second; 1.0 at load
extern double g_fPacingDuraton;    // ms; 2.0 at load

// Frees the loaded ECG and PPG sources and the external respiration curve (counts to 0);
// the caller makes sure no run reads them.
void FreeLoadedSources();
// Every value above back to its load-time contents, freeing the sources, the
// external-respiration curve and every list's arrays, as if the library were loaded
// afresh (for the test suites; the library never calls it). Only while no run exists.
void ResetPlaybackState();
