// Calibration streams (methods 2 to 5): the play-thread side that fills the playback
// engine's 64-byte stream packets with exactly known DAC codes instead of evaluated
// samples, the state it reads and advances, method 3's converted words, and the starts.
//
//   byte 0     0x01
//   byte 1     the operator mode the packet is laid out for (2, 4, 6 or 14)
//   bytes 2-4  0
//   byte 5     payload bytes: 56 in modes 2, 4 and 6, 48 in mode 14
//   bytes 6-7  sequence number, big-endian
//   bytes 8-   points, every word big-endian: modes 2 and 4 carry 14 points of (DC, AC),
//              mode 6 seven of (channel 1 DC, AC, channel 2 DC, AC), mode 14 four of
//              three (DC, AC) pairs in the order PPG channel 3, 1, 2
//
// Method 2 sweeps the DC code up and down by one code a sample (5000 samples per second,
// AC 0); method 3 repeats a generated PPG cycle already converted into words; method 4
// holds constant codes; method 5 plays a DC square wave between 0 and full scale. Methods
// 2 and 4 pass their codes through the convert tables (ConvertTable.h) as they build.
//
// Owns: the calibration slots, the sweep state, the read positions, the method-5 level
// flags and method 3's converted words. All of it lives in namespace calibration (the
// playback engine has arrays of the same names for its own sources).
//
// Threads. The starts (exported callers, holding g_CriticalSection) write this state and
// the play thread's send functions read and advance it; both sides hold
// g_CalibrationStreamLock for that, the send functions for the whole of a batch's build,
// the starts only for a copy or a swap. It is not the engine's interrupt lock: the play
// thread builds its first batch without that one, and the command window holds that one
// while it waits for a request, so a start that took it could stall the first batch. The
// packet builders take no lock: a caller outside a run (tests, benchmarks) calls them
// directly, the send functions call them holding the lock.
#pragma once

#include <cstdint>

#include "api/nvs300.h"
#include "platform/SimpleCriticalSection.h"

namespace calibration {

constexpr int kSlots = 2;  // PPG channels 1 and 2
constexpr int kMethod2Rate = 5000;
constexpr int kStreamRate = 10000;  // methods 3 to 5

extern CSimpleCriticalSection g_CalibrationStreamLock;

// The parameters of methods 2, 4 and 5, slot 0 for PPG channel 1 and 1 for channel 2, in
// DAC codes and samples: method 2 fAmplitude1 sweep base index, fDCLevel sweep height;
// method 4 fAmplitude1 AC table index, fDCLevel DC table index; method 5 fAmplitude1 high
// phase length, fAmplitude2 low phase length (samples).
extern PPG_WAVEFORM g_PPGCalibrationWaveform[kSlots];
// Method 2's sweep offset per slot and its direction; (0, ascending) at load and at every
// method-2 stream start.
extern int32_t g_iCalibrationDCValue[kSlots];
extern bool g_iCalibrationDCAscending[kSlots];
// Read positions: methods 3 and 5 use the first two (the one-channel builders use the
// first for either slot). Below the played channel's word count whenever a method-3
// builder uses it; 0 at the start of a new run.
extern uint32_t g_nPlayCounter[3];
// Method 5's levels (true: high); low at load, kept from one run to the next.
extern bool highLevel;
extern bool highLevelCh1;
extern bool highLevelCh2;
// Method 3's converted words per channel (index channel - 1): g_nPPGSrcSampleCount words
// in each array, every word big-endian in memory (high byte first), ready to copy into a
// packet. Null and 0 until the channel's first conversion; replaced whole by each one.
extern uint16_t* g_pPPGAC[kSlots];
extern uint16_t* g_pPPGDC[kSlots];
extern int32_t g_nPPGSrcSampleCount[kSlots];

// Converts one PPG channel's stream (channel 1 or 2) into its method-3 words through that
// channel's rows of both tables, after resampling it to sampleRate when its rate differs
// (or is not a number). L = g_nPPGDCDacLevel: AC index trunc(ac / 30 mV x L) in 0..trunc(L),
// AC code at most trunc(L); DC index trunc(dc) in 0..65535; a NaN sample indexes 0. The
// swap is made under g_CalibrationStreamLock and reduces the channel's read position
// modulo the new count. 1 when done; 0, with the words left as they were, for another
// channel, a null array, a count below 1, a failed resampling or allocation.
int LoadRawPPG(int channel, const PLAY_RAW_DATA& data, int sampleRate);

// Every value above back to its load-time contents, freeing the words (for the test
// suites and benchmarks; the library never calls it). Only while no run exists.
void ResetCalibrationStreamState();

}  // namespace calibration

// ---- Packet builders (pure over the state above, the tables and g_nPPGDCDacLevel) -------
//
// Each fills one zeroed 64-byte packet with the given sequence number and answers 1 (the
// calibration builders always fill their packets). Indexes into a table row are clamped:
// method 2's index and method 4's DC index into 0..trunc(L), method 4's AC index into
// 0..65535, a NaN field as 0; a code above trunc(L) from method 2's row is sent as trunc(L).

// Method 2: one slot (mode 2: slot 0, mode 4: slot 1) or both (mode 6). Each point's DC
// code is DC[s][base + V[s]], its AC 0; then the slot's sweep steps.
int Method2ToPPGCalibrationDCPacket(int slot, unsigned short seq, unsigned char* packet);
int Method2ToPPGExCalibrationDCPacket(unsigned short seq, unsigned char* packet);
// One sweep step of a slot, height T = trunc(fDCLevel) in 0..65535: V runs 0, 1, .., T,
// T - 1, .., 0, 1, ..; T = 0 keeps V at 0.
void SetNextCalibrationValue(int slot);

// Method 3: the (DC, AC) word pairs at the read positions, each advanced modulo its
// channel's count. One slot reads at position 0; mode 6 reads channel 1 at 0 and channel
// 2 at 1; mode 14 writes channel 1's pair twice, then channel 2's. A channel without words
// gives zero words and keeps its position.
int Method3ToPPGPacket(int slot, unsigned short seq, unsigned char* packet);
int Method3ToPPGExPacket(unsigned short seq, unsigned char* packet);
int Method3ToPPG3Packet(unsigned short seq, unsigned char* packet);

// Method 4: AC[s][fAmplitude1], DC[s][min(fDCLevel, L)] in every point; mode 14 puts the
// slot's codes in all three pairs.
int Method4ToPPGPacket(int slot, unsigned short seq, unsigned char* packet);
int Method4ToPPGExPacket(unsigned short seq, unsigned char* packet);
int Method4ToPPG3Packet(int slot, unsigned short seq, unsigned char* packet);

// Method 5: DC trunc(L) while high, 0 while low, AC 0; a high phase lasts
// max(1, ceil(fAmplitude1)) samples, a low one max(1, ceil(fAmplitude2)). One slot runs on
// position 0 with highLevel; mode 6 runs channel 1 on position 0 with highLevelCh1 and
// slot 0's lengths, channel 2 on position 1 with highLevelCh2 and slot 1's lengths.
int Method5ToPPGPacket(int slot, unsigned short seq, unsigned char* packet);
int Method5ToPPGExPacket(unsigned short seq, unsigned char* packet);

// ---- Send functions (the play thread's contract, playback/PlayThreads.h) ----------------
//
// Builds up to count packets (at most 50) into one zeroed batch, picking the builder by
// the operator mode: method 2 in modes 2, 4, 6; methods 3 and 4 in 2, 4, 6, 14; method 5
// in 2, 4, 6. A mode the method lacks sets more to 0 and ends the batch before that packet
// (the stop event is not raised: the run lasts until it is stopped). Writes what was built
// in one write bounded by the write time-out and arms the notification reader. 1 when the
// write went out whole; 0 when it failed or nothing was built.
int CalibrationMethod2SendPacket(int& seq, int count, int& more);
int CalibrationMethod3SendPacket(int& seq, int count, int& more);
int CalibrationMethod4SendPacket(int& seq, int count, int& more);
int CalibrationMethod5SendPacket(int& seq, int count, int& more);

// The batch the send functions write, built without writing it: count packets (at most
// 50) into batch (50 x 64 bytes), the builder picked per packet as above. Answers the
// packets built and sets more as the send function does. Holds g_CalibrationStreamLock.
int BuildCalibrationBatch(int method, int& seq, int count, int& more, unsigned char* batch);

// ---- Starts (callers hold g_CriticalSection; non-zero on success) -----------------------
//
// A start updates the running stream (new slots, words or operator mode, no second play
// thread) only when the run that exists uses the method's own send function and, for
// methods 2 and 3, its operator mode plays the channels asked for; otherwise the run that
// exists is stopped and a new one started. Method 5 always starts a new run.
int CalibrationMethod2(PPGChannel channel, PPG_WAVEFORM* record);
int CalibrationMethod2Ex(PPG_WAVEFORM* record1, PPG_WAVEFORM* record2);
int CalibrationMethod3(PPGChannel channel, const PLAY_RAW_DATA& data, int useFile);
int CalibrationMethod3Ex(const PLAY_RAW_DATA& data1, const PLAY_RAW_DATA& data2, int useFile1, int useFile2,
                         int enable1, int enable2);
int CalibrationMethod4(PPG_WAVEFORM* record1, PPG_WAVEFORM* record2, int enable1, int enable2);
int CalibrateMethod5(PPG_WAVEFORM* record1, PPG_WAVEFORM* record2, int enable1, int enable2);
