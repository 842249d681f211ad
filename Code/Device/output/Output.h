// Simulated waveform output: the output functions, their threads and the common stop.
//
// A start stops whatever output runs, copies and normalises the host's records into the
// output state below, uploads the waveform settings and one period to the instrument
// and starts the one output thread. The thread switches the instrument's outputs on,
// then recomputes the same signal on the host (OutputSimulation.h) and feeds the host's
// sample callbacks until the stop.
//
// Owns: the output state (written only by the starts, each of which stops the output
// thread first; the thread only reads it), the output thread's handle, the common stop.
// The exported functions are declared in api/nvs300.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "api/nvs300.h"
#include "platform/OsServices.h"

// ---- Output state shared by the starts and the thread bodies --------------------------

extern ECG_WAVEFORM g_ECGWaveform;            // the normalised ECG record
extern PPG_WAVEFORM g_PPGChannelWaveform[3];  // slots 0..2 = channels 1..3; nWaveformType -1: not in use
extern PFN_SAMPLE_CALLBACK g_OutputECGCallback;
extern PFN_SAMPLE_CALLBACK g_OutputPPGChannelCallback[3];
extern int g_iTimeDiffPPTPeak;      // ms the PPG peak follows the ECG peak
extern int g_iSamplingTime;         // ms per tick (20), and samples per tick and channel
extern uint8_t g_LastOutputEnable;  // the mask the running thread switched on; 0: none
extern int g_iPPGOutputChannelNo;   // channel of the last one-channel PPG output (1 at load)
// The one output thread (simulated or calibration output); 0 when none.
extern std::atomic<THREAD_HANDLE> g_hOutputWaveformThread;
// The output state above back to its load-time values, as if the library were loaded
// afresh (for the test suites; the library never calls it). Only with no output thread
// running: its handle is then 0 already.
void ResetOutputState();

// ---- Thread wrapper and the thread bodies (OutputThreads.cpp) -------------------------

typedef void (*PFN_OUTPUT_BODY)();

// Runs body() (a PFN_OUTPUT_BODY). Returns 0. The handle stays set until the stop joins it.
void* OutputThread(void* body);

void OutputWaveformECGThread();
void OutputWaveformECGAndPPGThread();
void OutputWaveformECGAndPPGExThread();
void OutputWaveformECGAndPPG3Thread();
void OutputWaveformPPGThread();
void OutputWaveformPPGExThread();
void OutputWaveformPPG3Thread();
void DoOutputWaveformECGAndPPG3Thread(int count);
void DoOutputWaveformPPGThread(int count);

// The PPG part of the output-enable mask for a PPG side whose channel 3 is simulated
// (reads the LED pulse group; the caller holds g_CriticalSection).
uint8_t GetOutputEnableForPPGModule();

// ---- Starts and stop -----------------------------------------------------------------

// True on the running output's thread or on one of the running playback's threads: a
// start made there (from a sample callback) would replace the run it is part of, whose
// thread cannot be joined from inside it, and the old thread would read on from the
// sources the start replaces. Every output, playback and calibration start refuses it:
// false, nothing stopped, nothing sent.
bool OnARunsOwnThread();

// Every start's first step, without g_CriticalSection held: the common stop, then the
// wait for a thread that an earlier stop left running (OutputGate.h). False, with
// nothing done, on a run's own thread (OnARunsOwnThread), and when that wait is refused
// (on a library thread): the start then fails.
bool StopBeforeStart();

// The common start of ORVOutputPPGEx and ORVOutputPPG3.
bool DoOutputPPGWaveform(int count, PPG_WAVEFORM** records, PFN_SAMPLE_CALLBACK* callbacks, PFN_OUTPUT_BODY body);

// Ends the output thread: sets the stop event and joins the thread (its end steps and
// end markers run during the join), then clears the handle, g_LastOutputEnable and every
// callback slot. Nothing when no thread runs. Holds g_CriticalSection while it joins,
// within output::kStopBoundMs where the platform bounds joins (OutputGate.h).
void StopOutputWaveform();

// ORVStopOutputWaveform (nvs300.h): ends the output thread, stops any playback, turns
// dynamic LED strength off, restores the default transmission rates and re-enables the
// photodiode inputs if sampling runs.
