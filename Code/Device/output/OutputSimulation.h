// The host-side computation of a simulated output: while the instrument generates the
// waveform from the period it was sent, the library recomputes the same signal here,
// one simulated millisecond per sample and channel, for the host's sample callbacks.
//
// Owns: the per-output simulation state (one period per channel, each channel's clock,
// the overlays of the ECG kind, the apnea tick counter), its construction from the
// normalised records, the per-tick computation, the apnea switch points and the end
// markers. Pure computation: no device traffic, no lock, no thread, no callback call;
// the output thread (OutputThreads.cpp) paces it and hands the samples it produces to
// the callbacks. Nothing is allocated per tick.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "api/nvs300.h"

namespace output {

// The three output kinds.
enum class Kind { ECG, ECGAndPPG, PPG };

// Channel numbers of the samples: 0 ECG, 1..3 PPG channels 1..3 (slots 0..2).
constexpr int kECGChannel = 0;
constexpr int kChannels = 4;

// The end marker's value pair: the most negative int.
constexpr int kEndMarker = static_cast<int>(0x80000000u);

// One sample for one channel's callback.
struct Sample {
    int channel;
    double t;  // s since the output began, on that channel's clock
    int ac;    // µV
    int dc;    // µV
};

// One channel's period and clock.
struct Channel {
    bool inUse = false;     // the record is in use (PPG slot not -1; the ECG of the ECG kinds)
    bool callback = false;  // the host set a callback for it: per-tick samples and one end marker
    // One period: the ECG in µV, PPG in mV.
    std::vector<int> acUv, dcUv;
    std::vector<double> acMv, dcMv;
    int n = 0;             // samples per period
    int rate = 0;          // R, samples per second at which the instrument plays the period
    double periodS = 0.0;  // P = n / R
    int64_t periodMs = 0;  // (int)(1000 × P); 0: under a millisecond, not simulated
    int start = 0;         // rotation of a PPG period behind the ECG (ECG+PPG kind)
    double noiseMv = 0.0;  // PPG kind: noise amplitude (mV); 0 without noise
    double noiseHz = 0.0;
    // Clock: `ms` counts the samples handed over and gives the sample index; `t` is the
    // time reported to the host, accumulated in 0.001 s steps.
    uint64_t ms = 0;
    double t = 0.0;

    // True when per-tick samples are produced for this channel.
    bool Simulated() const { return inUse && callback && periodMs > 0; }
};

// What the ECG kind overlays on its samples.
struct EcgOverlay {
    bool noise = false;
    double noiseMv = 0.0;  // fNoiseAmplitude
    double noiseHz = 0.0;
    bool pacing = false;  // bPacingEnable with a usable pacing period
    double pacingWidthMs = 0.0;
    int64_t pacingPeriodMs = 0;  // Q = (int)(60000 / nPacingRate)
    int pacingUv = 0;            // (int)(1000 × fPacingAmplitude)
};

// Apnea of the external respiration module (ECG kind, respiration mode 0x80).
struct Apnea {
    bool enabled = false;
    uint64_t offAtMs = 0;   // nApneaCycle × 60000: respiration off at p = this
    uint64_t lengthMs = 0;  // L = nApneaCycle × 60000 + nApneaDuration × 1000
};

struct Simulation {
    Kind kind = Kind::ECG;
    int count = 0;  // PPG slots the kind looks at (0..3)
    Channel channel[kChannels];
    EcgOverlay overlay;
    Apnea apnea;
    uint64_t tickMs = 0;  // E: simulated ms of the ticks run so far (apnea schedule)
    // PPG kind: one clock shared by every channel.
    uint64_t sharedMs = 0;
    double sharedT = 0.0;
};

// The most samples one tick of T ms produces.
inline size_t MaxSamplesPerTick(int tickMs) { return static_cast<size_t>(tickMs > 0 ? tickMs : 0) * kChannels; }

// Noise frequency of a record's nNoiseType: the ECG and PPG columns; 0 for a negative
// index or one beyond the table.
double ECGNoiseHz(int noiseType);
double PPGNoiseHz(int noiseType);

// Sample index of simulated millisecond m in a period of n samples played at R samples
// per second, whose whole length is (int)(1000 n / R) ms: the phase in whole ms, as a
// fraction of the period, scaled to n: n x ((m mod len) / 1000) / (n / R), which is
// (m mod len) x R / 1000, taken in integers so that no rounding repeats or skips a
// sample; never n or more.
int PeriodIndex(uint64_t m, int n, int rate, int64_t periodMs);

// The ECG kind from a normalised ECG record.
Simulation BuildECG(const ECG_WAVEFORM& ecg, bool ecgCallback);
// The ECG+PPG kind: the ECG and PPG slots 0..count-1 (a slot whose nWaveformType is -1 is
// not in use); pttMs aligns the PPG periods behind the ECG.
Simulation BuildECGAndPPG(const ECG_WAVEFORM& ecg, bool ecgCallback, const PPG_WAVEFORM* ppg, const bool* ppgCallback,
                          int count, int pttMs);
// The PPG kind: slots 0..count-1 at the rate of the last slot in use. *lastInUse is that
// slot, or -1 when none is in use.
Simulation BuildPPG(const PPG_WAVEFORM* ppg, const bool* ppgCallback, int count, int* lastInUse);

// One tick: T simulated milliseconds of every simulated channel, in time order, and
// within one millisecond ECG first, then PPG channels 1, 2, 3. Writes at most
// MaxSamplesPerTick(T) samples to out and returns how many. Advances the clocks.
size_t Tick(Simulation& s, int tickMs, Sample* out);

// What the apnea schedule asks for at this tick.
enum class ApneaSwitch { None, RespirationOff, RespirationOn };
// The schedule's test for the tick that begins at E, then E += T (every tick, ECG kind).
ApneaSwitch ApneaStep(Simulation& s, int tickMs);

// One end marker per channel with a callback, each with its channel's clock (the shared
// clock in the PPG kind), ECG first. Writes at most kChannels samples.
size_t EndMarkers(const Simulation& s, Sample* out);

// The pulse-transit offset of an ECG+PPG output (the ECG setting's second word), from
// the normalised records; 0 when the RR interval is 0.
int ECGPeriodOffset(const ECG_WAVEFORM& ecg, const PPG_WAVEFORM& ppg, int pttMs);

}  // namespace output
