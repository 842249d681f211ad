// Signal evaluation and cycle timing of the playback engine: the value of every channel at
// an output-sample index, taken from the channel's source by linear interpolation and
// combined with its extra curves; the cycle rules that end, loop or re-rate a source; the
// apnea flag; the drift trim; and three general routines (resampler, buffer re-allocator,
// all-zeros test).
//
// Owns: the rules only; the state they read and write is in PlaybackState.h. Pure
// computation on that state: no I/O, no lock, no allocation on the per-sample paths. The
// one wait (the catch-up wait of the rate factor) goes through an installed step, so the
// engine's threads decide how it wakes the reporter and when it gives way to a stop.
//
// Values are millivolts (the external-respiration curve: ohms). n is an output-sample
// index since the run began; "offset" is the index at which the channel's cycle began.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

#include "playback/PlaybackState.h"

// ---- Evaluation --------------------------------------------------------------------------

// One source array at index n: linear interpolation at x = n / g_nSampleRate x srcRate,
// the index wrapping at count (every source is periodic). Past the last sample the curve
// goes on along its last segment. 0.0 for count <= 0, a null array, an output rate <= 0
// or an x that is negative, not finite or beyond 2^64; a one-sample source yields its
// sample.
double DoCalculateVoltage(unsigned long long n, double srcRate, int count, double* data);
// Sum over the list of each element's AC (DC) value at n; 0.0 for an empty list.
double CalculateACAccumulatedVoltage(std::vector<RAW_DATA>& list, unsigned long long n);
double CalculateDCAccumulatedVoltage(std::vector<RAW_DATA>& list, unsigned long long n);
// Product over the list of (1 + AC value at n); 1.0 for an empty list.
double CalculateACScaledVoltage(std::vector<RAW_DATA>& list, unsigned long long n);

// ECG AC: source at n - offset; unless apnea, slot 0 added (mode bit 0x01), slot 1
// multiplied in (bit 0x02), then the append list added, the lists at n. Clamped to +-5.0.
double CalculateECGACVoltage(unsigned long long n, unsigned long long offset, int apnea);
// ECG DC at index i (callers pass n - ECG offset), with the appended DC; clamped to +-1000.
double CalculateECGDCVoltage(unsigned long long i);
// The external-respiration resistance at n (source rate 10000, no clamp).
double CalculateECGExtRespiration(unsigned long long n);
// PPG AC of channel 0..2, as the ECG AC with the channel's lists, clamped to
// [0, g_DeviceFeature.fACMaximum]; 0.0 for a silent channel or one outside 0..2.
double CalculatePPGACVoltage(int channel, unsigned long long n, unsigned long long offset, int apnea);
// PPG DC of channel 0..2 at index i (callers pass n - offset), clamped to [0, 3000].
double CalculatePPGDCVoltage(int channel, unsigned long long i);
// The streamed ECG AC word: ECG_AC_VoltageToDAC of mV / g_fACRatio (a ratio that is 0 or
// not finite counts as 1.0). Only the stream uses the ratio; callbacks get the plain value.
uint16_t ECG_AC_VoltageToDAC_Ex(double mv);

// ---- Cycle rules ---------------------------------------------------------------------------

// Cycle length in output samples: g_nSampleRate x (count / srcRate) truncated, where a
// product short of a whole number only by rounding counts as that number. 0 (no cycle)
// for count <= 0, a rate that is 0 or not finite, a negative or non-finite quotient, or a
// cycle under one output sample; saturates at 2^64 - 1.
unsigned long long CycleLength(int count, double srcRate);
// Whether a source of count samples at srcRate has a cycle of at least one output sample
// at outputRate. A start refuses a channel that has not (its end test would never fire).
bool IsPlayableCycle(int count, double srcRate, int outputRate);

// 1 when index is a whole number of cycles (index mod length = 0); never for a channel
// without a cycle (CycleLength 0). The index all-ones stands for g_nCurrent.
int CheckEndOfCycle(int count, double srcRate, unsigned long long index);
// The same at g_nCurrent minus the channel's offset (ECG; PPG channel 0..2). A PPG
// channel with rate 0.0 never ends a cycle.
int CheckECGEndOfCycle();
int CheckPPGEndOfCycle(int channel);

// The channels whose cycles the rules follow in the current operator mode: the channels
// its packets carry (modes 1-7 and 9-17); none in other modes. Clears both outputs first.
// PPG channels are 0-based, ascending.
void CheckOutputChannelByOperatorMode(int& ecg, std::vector<int>& ppgChannels);

// The end test of the simulation thread with looping off: 1 when one of the mode's
// channels is at a cycle end counted from index 0 (g_nCurrent itself); 1 in a mode
// without channels.
int IsEndOfCycle();

// Called after every produced sample: 1 go on, 0 the stream has ended (a channel of the
// mode ended a cycle with looping off). With looping on and mode bit 0x04 a channel at its
// cycle end restarts its cycle at g_nCurrent at its loaded rate times the slot-2 product
// at g_nCurrent, after the catch-up wait (below).
int DoReloadIfNeeded();
int DoReloadECGIfNeeded();
int DoReloadPPGIfNeeded(int* channels, int count);
// The re-rate of one channel: offset = g_nCurrent, live rate = loaded rate x slot-2
// product at g_nCurrent; a product giving a non-finite or <= 0 rate, or a cycle under one
// output sample, keeps the loaded rate.
void ReloadECGDataForRespiration();
void ReloadPPGDataForRespiration(int channel);

// The catch-up wait before a re-rate: until g_nOutputCurrent is no longer below
// g_nCurrent, the producer calls the installed step again and again. A step wakes the
// reporter and yields the processor; it answers false when the wait must give way (the
// reporter has ended, a stop is under way), and the re-rate then goes ahead at once.
// Without a step (the load-time state, and the pure tests) there is no wait.
typedef bool (*PFN_CATCH_UP_STEP)();
void SetCatchUpStep(PFN_CATCH_UP_STEP step);

// Updates an apnea flag for index n: in each period of (cycle x 60 + duration) seconds
// the flag rises cycle minutes in and falls at the period's end. 0 when the respiration
// mode is 0 or 0x80, the duration is 0, or the period is not positive. 64-bit arithmetic.
void CheckApnea(unsigned long long n, int& apnea);

// The drift trim after each produced sample of an instrument-paced stream: every 1/7e-6
// samples g_nCurrent steps back by one, so that index is produced twice.
void FineTunePlayCounter();

// ---- General routines --------------------------------------------------------------------

// src (count samples at srcRate) resampled to newRate by linear interpolation, the last
// source sample held. Equal rates: out null, outCount 0, result 1. Otherwise out is a new
// array of outCount = newRate x count / srcRate samples (the caller array-deletes it),
// result 1. A null src, a count of 0, a rate that is not positive and finite, an output
// that would be empty or larger than an int, or a failed allocation: result 0, out null,
// outCount 0 (nothing for the caller to free).
int Resample(double* src, unsigned long count, double srcRate, double*& out, unsigned long& outCount, int newRate);

// Frees buffer (array delete) and sets it null; then for count > 0 makes a new,
// uninitialised array. 1 when done (also for count 0), 0 when the allocation failed (the
// buffer is then null). Contents are never kept.
template <typename T>
int ReAllocateBuffer(T*& buffer, unsigned long count) {
    delete[] buffer;
    buffer = nullptr;
    if (count == 0) {
        return 1;
    }
    buffer = new (std::nothrow) T[count];
    return buffer != nullptr ? 1 : 0;
}

// 1 when every element compares equal to 0 (a NaN is not zero; an empty or null array is
// all zeros).
template <typename T>
int IsAllZeros(T* data, unsigned long count) {
    for (unsigned long i = 0; data != nullptr && i < count; ++i) {
        if (!(data[i] == 0)) {
            return 0;
        }
    }
    return 1;
}
