// Loading a run's sources: the host's PLAY_RAW_DATA records copied into the channel
// sources (a PPG record through the finger conversion, which also picks the channel's AC
// calibration range on model 0x2112), the extra-curve lists, and the frequency sweeps.
//
// Owns: the loaders and the list operations; the state they fill is in PlaybackState.h.
// No device traffic, no lock of its own: callers hold the playback API lock (the starts),
// g_CriticalSection (the exported functions) or the data lock (the auto-test loader), and
// load only while no run's threads read the sources.
//
// Channels are 1..3 here (PPG channel numbers); a channel outside 1..3 is refused.
#pragma once

#include <vector>

#include "api/nvs300.h"
#include "playback/PlaybackState.h"

// Copies the record into the ECG source: count, live and loaded rate, both arrays. 1 when
// done (a count of 0 leaves both arrays null and the count 0). 0, with the source left as
// it was, for a negative count, a rate that is not finite or not positive (for count > 0),
// a null array (for count > 0) or a failed allocation.
int LoadRawECG(const PLAY_RAW_DATA& record);

// Copies the record into PPG channel 1..3's source, with the finger conversion when
// g_bPPGAmplitudeConversion is set on PPG models 0x2012 and 0x2112; on 0x2112 the
// converted AC peak sets g_ACCalMode[channel - 1] (0 from 15 mV, 1 from 1.5 mV, else 2).
// A count of 0 frees the arrays and keeps the channel's count and rates. Refusals as
// LoadRawECG, and a channel outside 1..3; the channel is then left as it was.
int LoadRawPPG(int channel, const PLAY_RAW_DATA& record);

// Frees PPG channel 1..3's arrays and sets its count, rate and loaded rate to 0 (it then
// streams 0). Nothing for a channel outside 1..3.
void FreeRawPPG(int channel);

// An owned copy of the record's arrays (zeros where a source array is null). The copy has
// count 0 and null arrays when the count is not positive or an allocation failed.
RAW_DATA CloneRawData(const PLAY_RAW_DATA& record);

// Frees both arrays of every record, then empties the list.
void ClearAppendData(std::vector<RAW_DATA>& list);
// ClearAppendData on the ECG append list, the three ECG slots, the three PPG append lists
// and the nine PPG slots, in that order.
void PlayRawResetAccumulation();

// A clone of the record appended to a list. Slots are 0..2, PPG channels 1..3; a slot or
// channel outside its range, or a record whose clone is empty (count not positive, or no
// memory), appends nothing.
void PlayRawAppendECG(const PLAY_RAW_DATA& record);
void PlayRawAppendScaledECG(const PLAY_RAW_DATA& record, int slot);
void PlayRawAppendPPG(PPGChannel channel, const PLAY_RAW_DATA& record);
void PlayRawAppendScalePPG(PPGChannel channel, const PLAY_RAW_DATA& record, int slot);

// One breath of the external-respiration resistance curve (ohms, 10000 samples per
// second) into g_pECGExtRespirationData and its count, from an ECG record's respiration
// fields: N = 600000 / nRespirationRate samples around 50 ohms with amplitude
// a = nRespirationAmplitude / 1000 ohms; respiration mode 0x40 holds 50 + a throughout,
// any other mode rises as a quarter sine for N / (nRespirationDepthOrRatio + 1) samples
// and falls as a quarter cosine for the rest. A rate that is not positive or gives no
// whole sample, or a ratio of -1 or below (no inspiration length), gives a constant
// 50.0 ohms (one sample). 1 when done, 0 when the allocation failed (no curve then).
int LoadECGExtRespirationCurve(const ECG_WAVEFORM& waveform);

// ---- Frequency sweeps ------------------------------------------------------------------

// Generate the ECG sweep into the ECG source, or the PPG sweep into PPG channel 1..3's
// source, at rate samples per second; 1 when done. They run the installed generators;
// until one is installed they fail (0) and leave the sources alone.
int LoadECGFrequencyScanWaveform(const FREQUENCY_SCAN* scan, int rate);
int LoadPPGFrequencyScanWaveform(int channel, const FREQUENCY_SCAN2* scan, int rate);

typedef int (*PFN_ECG_SCAN_GENERATOR)(const FREQUENCY_SCAN* scan, int rate);
typedef int (*PFN_PPG_SCAN_GENERATOR)(int channel, const FREQUENCY_SCAN2* scan, int rate);
// Installs the sweep generators (null: the failing form). Install while no start runs.
void InstallFrequencyScanGenerators(PFN_ECG_SCAN_GENERATOR ecg, PFN_PPG_SCAN_GENERATOR ppg);
