// The generated and derived sources of a run: the ECG and PPG sine sweeps, the range of a
// loaded PPG channel, the inversion of PPG sample data, and the respiration and noise
// curves that the extras builders append to the channels' lists.
//
// Owns: the sweep generators (installed into RawData's seam at load) and the random
// noise generator's state. No device traffic; callers hold the playback API lock, the
// global lock or the data lock as RawData.h says, except GetLoadedPPGRange, which takes
// the data lock itself.
#pragma once

#include <vector>

#include "api/nvs300.h"

// The sweeps (installed as RawData's generators). nDuration x rate samples into the ECG
// source (or PPG channel 1..3's source), live rate = rate, the loaded rate untouched. The
// frequency climbs linearly from fStartFrequency towards fEndFrequency, held at 500 Hz
// at most, with the phase carried on across each change. 0, with the source untouched,
// for a null record, a rate or nDuration not positive, a sample count beyond the int
// range, a field that is not finite, both frequencies 0, a channel outside 1..3 or no
// memory.
int GenerateECGFrequencyScan(const FREQUENCY_SCAN* scan, int rate);
int GeneratePPGFrequencyScan(int channel, const FREQUENCY_SCAN2* scan, int rate);
// Whether a sweep record can be generated at rate (the checks above, without the channel).
bool IsGeneratableScan(const FREQUENCY_SCAN* scan, int rate);
bool IsGeneratableScan(const FREQUENCY_SCAN2* scan, int rate);

// Min and max of AC + DC over PPG channel 1..3's loaded source, under the data lock. False,
// outputs untouched, for a channel outside 1..3, a null output, or nothing loaded.
bool GetLoadedPPGRange(int channel, double* minimum, double* maximum);

// Turns the record's samples upside down in place: over a constant DC the AC mirrors
// between its own extremes; over a varying DC the mirrored total is carried by a DC in
// 30 mV steps above the truncated minimum (3000 mV at most) and an AC of at most 30 mV.
// Nothing for a record without samples or arrays.
void PlayRawDataPPGInvert(PLAY_RAW_DATA& record);

// One breath: a rising quarter sine over rise samples, then a falling one over fall
// samples, peak amplitude. out must hold rise + fall elements; nothing when it does not
// or a length is negative.
void GenerateRespirationData(std::vector<double>& out, int rise, int fall, double amplitude);

// Set the respiration state from the record (always), then append its respiration
// curves (one breath at 10000 per second per mode bit 1, 2, 4, into slots 0, 1, 2) and
// its interference or noise curve to the channel's lists. A breath is left out when
// respiration is on but its rate is not positive, gives no whole sample, or its ratio is
// below 0; a noise curve when its amplitude is not finite, or for random noise (PPG type
// 7) when 1000 x amplitude truncates to 0 or leaves the int range. ECG respiration mode
// 0x80 (external respiration) builds no breath here.
void PlayRawAddECGExtra(ECG_WAVEFORM* waveform);
void PlayRawAddPPGExtra(PPGChannel channel, PPG_WAVEFORM* waveform);

// Reading heart-database records is not supported: stops playback (respiration cleared)
// and answers 0.
int LoadMITECG(char* path, int record, int channel, int count);
