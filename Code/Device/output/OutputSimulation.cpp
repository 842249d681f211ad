// The host-side computation of a simulated output (see OutputSimulation.h).
#include "output/OutputSimulation.h"

#include <cmath>

#include "waveform/Alignment.h"
#include "waveform/Numeric.h"
#include "waveform/Waveform.h"

using nvs::SatInt;

namespace output {

namespace {

using nvs::kPi;
constexpr double kStep = 0.001;  // one simulated millisecond, in s

// Samples per second of a record's fSampleRateKHz, as the control block carries it.
int SamplesPerSecond(double rateKHz) { return SatInt(1000.0 * rateKHz); }

// Sets n, P and (int)(1000 P) of a channel for R samples per second. A rate that is not
// positive, or a period under one millisecond, leaves the channel unsimulated (periodMs 0)
// so that the phase never takes a modulus of 0.
void SetPeriod(Channel& c, int n, int rate) {
    c.n = n;
    c.rate = rate;
    if (n <= 0 || rate <= 0) {
        c.periodS = 0.0;
        c.periodMs = 0;
        return;
    }
    c.periodS = static_cast<double>(n) / rate;
    const double ms = 1000.0 * c.periodS;
    c.periodMs = ms >= 9.0e18 ? 0 : static_cast<int64_t>(ms);
}

void TakeECGPeriod(Channel& c, const ECG_WAVEFORM& ecg) {
    int n = 0;
    int* ac = nullptr;
    int* dc = nullptr;
    // The instrument adds the pacing pulse itself; the host overlays it per millisecond.
    GenECGWaveform(&ecg, &n, &ac, &dc, false);
    if (n > 0 && ac != nullptr && dc != nullptr) {
        c.acUv.assign(ac, ac + n);
        c.dcUv.assign(dc, dc + n);
    } else {
        n = 0;
    }
    delete[] ac;
    delete[] dc;
    SetPeriod(c, n, SamplesPerSecond(ecg.fSampleRateKHz));
}

// Generates a PPG period; returns its sample count (the period is set by the caller,
// whose rate may be another record's).
int TakePPGPeriod(Channel& c, const PPG_WAVEFORM& ppg) {
    int n = 0;
    double* ac = nullptr;
    double* dc = nullptr;
    GenPPGWaveform(&ppg, &n, &ac, &dc, 0.0);
    if (n > 0 && ac != nullptr && dc != nullptr) {
        c.acMv.assign(ac, ac + n);
        c.dcMv.assign(dc, dc + n);
    } else {
        n = 0;
    }
    delete[] ac;
    delete[] dc;
    return n;
}

// Appends one sample.
void Put(Sample*& out, int channel, double t, int ac, int dc) {
    out->channel = channel;
    out->t = t;
    out->ac = ac;
    out->dc = dc;
    ++out;
}

int Mod(int64_t a, int n) { return static_cast<int>(((a % n) + n) % n); }

}  // namespace

double ECGNoiseHz(int noiseType) {
    static constexpr double kHz[] = {0, 50, 60, 100, 120};
    return noiseType > 0 && noiseType < static_cast<int>(sizeof kHz / sizeof kHz[0]) ? kHz[noiseType] : 0.0;
}

double PPGNoiseHz(int noiseType) {
    static constexpr double kHz[] = {0, 50, 60, 1000, 5000, 100, 120, 100, 0.5, 1, 2, 3, 5, 10, 25};
    return noiseType > 0 && noiseType < static_cast<int>(sizeof kHz / sizeof kHz[0]) ? kHz[noiseType] : 0.0;
}

int PeriodIndex(uint64_t m, int n, int rate, int64_t periodMs) {
    if (n <= 0 || rate <= 0 || periodMs <= 0) {
        return 0;
    }
    const uint64_t phaseMs = m % static_cast<uint64_t>(periodMs);
    const uint64_t index = phaseMs * static_cast<uint64_t>(rate) / 1000u;
    // A phase of a whole period would index one past the last sample.
    return index >= static_cast<uint64_t>(n) ? n - 1 : static_cast<int>(index);
}

Simulation BuildECG(const ECG_WAVEFORM& ecg, bool ecgCallback) {
    Simulation s;
    s.kind = Kind::ECG;
    Channel& c = s.channel[kECGChannel];
    c.inUse = true;
    c.callback = ecgCallback;
    if (ecgCallback) {
        TakeECGPeriod(c, ecg);
    }

    EcgOverlay& o = s.overlay;
    o.noise = ecg.nNoiseType != 0;
    o.noiseMv = ecg.fNoiseAmplitude;
    o.noiseHz = ECGNoiseHz(ecg.nNoiseType);
    // Q = (int)(60000 / rate); a rate that leaves no whole millisecond has no overlay.
    const int64_t q = ecg.nPacingRate > 0 ? static_cast<int64_t>(60000.0 / ecg.nPacingRate) : 0;
    o.pacing = ecg.bPacingEnable != 0 && q > 0;
    o.pacingWidthMs = ecg.fPacingWidth;
    o.pacingPeriodMs = q;
    o.pacingUv = SatInt(1000.0 * ecg.fPacingAmplitude);

    // Only the external respiration module (mode 0x80 after normalisation) has apnea.
    const int64_t offAt = static_cast<int64_t>(ecg.nApneaCycle) * 60000;
    const int64_t length = offAt + static_cast<int64_t>(ecg.nApneaDuration) * 1000;
    s.apnea.enabled = (ecg.nRespirationMode & 0xC0) != 0 && ecg.nApneaDuration != 0 && offAt >= 0 && length > 0;
    s.apnea.offAtMs = s.apnea.enabled ? static_cast<uint64_t>(offAt) : 0;
    s.apnea.lengthMs = s.apnea.enabled ? static_cast<uint64_t>(length) : 0;
    return s;
}

Simulation BuildECGAndPPG(const ECG_WAVEFORM& ecg, bool ecgCallback, const PPG_WAVEFORM* ppg, const bool* ppgCallback,
                          int count, int pttMs) {
    Simulation s;
    s.kind = Kind::ECGAndPPG;
    s.count = count < 0 ? 0 : (count > 3 ? 3 : count);
    Channel& e = s.channel[kECGChannel];
    e.inUse = true;
    e.callback = ecgCallback;
    if (ecgCallback) {
        TakeECGPeriod(e, ecg);
    }
    const int rate = SamplesPerSecond(ecg.fSampleRateKHz);  // the ECG's rate is every channel's
    for (int i = 0; i < s.count; ++i) {
        Channel& c = s.channel[1 + i];
        c.inUse = ppg[i].nWaveformType != -1;
        c.callback = ppgCallback[i];
        if (!c.inUse || !c.callback) {
            continue;
        }
        ECG_WAVEFORM e2 = ecg;
        PPG_WAVEFORM p2 = ppg[i];
        c.start = CalcPPGStartPoint(&e2, &p2, pttMs);
        // The instrument plays every channel at the ECG's rate: P_i = n_i / R.
        SetPeriod(c, TakePPGPeriod(c, ppg[i]), rate);
    }
    return s;
}

Simulation BuildPPG(const PPG_WAVEFORM* ppg, const bool* ppgCallback, int count, int* lastInUse) {
    Simulation s;
    s.kind = Kind::PPG;
    s.count = count < 0 ? 0 : (count > 3 ? 3 : count);
    int last = -1;
    int n[3] = {0, 0, 0};
    for (int i = 0; i < s.count; ++i) {
        Channel& c = s.channel[1 + i];
        c.inUse = ppg[i].nWaveformType != -1;
        c.callback = ppgCallback[i];
        if (!c.inUse) {
            continue;
        }
        last = i;
        if (c.callback) {
            n[i] = TakePPGPeriod(c, ppg[i]);
            c.noiseMv = ppg[i].nNoiseType != 0 ? ppg[i].fNoiseAmplitude : 0.0;
            c.noiseHz = PPGNoiseHz(ppg[i].nNoiseType);
        }
    }
    // The control block carries the last slot's rate; each channel keeps its own count.
    const int rate = last >= 0 ? SamplesPerSecond(ppg[last].fSampleRateKHz) : 0;
    for (int i = 0; i < s.count; ++i) {
        if (s.channel[1 + i].inUse && s.channel[1 + i].callback) {
            SetPeriod(s.channel[1 + i], n[i], rate);
        }
    }
    if (lastInUse != nullptr) {
        *lastInUse = last;
    }
    return s;
}

size_t Tick(Simulation& s, int tickMs, Sample* out) {
    Sample* const first = out;
    for (int k = 0; k < tickMs; ++k) {
        if (s.kind == Kind::PPG) {
            const double t = s.sharedT;
            for (int i = 0; i < s.count; ++i) {
                const Channel& c = s.channel[1 + i];
                if (!c.Simulated()) {
                    continue;
                }
                const int index = PeriodIndex(s.sharedMs, c.n, c.rate, c.periodMs);
                double a = c.acMv[index];
                if (c.noiseMv != 0.0) {
                    a += 0.5 * c.noiseMv * std::sin(2.0 * kPi * t * c.noiseHz);
                }
                Put(out, 1 + i, t, SatInt(1000.0 * a), SatInt(1000.0 * c.dcMv[index]));
            }
            ++s.sharedMs;
            s.sharedT += kStep;
            continue;
        }

        Channel& e = s.channel[kECGChannel];
        if (e.Simulated()) {
            const int index = PeriodIndex(e.ms, e.n, e.rate, e.periodMs);
            int a = e.acUv[index];
            int d = e.dcUv[index];
            if (s.kind == Kind::ECG) {
                const EcgOverlay& o = s.overlay;
                if (o.noise) {
                    // The noise is truncated on its own before it is added.
                    a += SatInt(1000.0 * (o.noiseMv * std::sin(2.0 * kPi * e.t * o.noiseHz) * 0.5));
                }
                if (o.pacing && o.pacingWidthMs > static_cast<double>(e.ms % static_cast<uint64_t>(o.pacingPeriodMs))) {
                    d = o.pacingUv;  // the pulse replaces the DC for its first milliseconds
                }
            }
            Put(out, kECGChannel, e.t, a, d);
            ++e.ms;
            e.t += kStep;
        }
        if (s.kind == Kind::ECGAndPPG) {
            for (int i = 0; i < s.count; ++i) {
                Channel& c = s.channel[1 + i];
                if (!c.Simulated()) {
                    continue;
                }
                const int index = Mod(static_cast<int64_t>(c.start) + PeriodIndex(c.ms, c.n, c.rate, c.periodMs), c.n);
                Put(out, 1 + i, c.t, SatInt(1000.0 * c.acMv[index]), SatInt(1000.0 * c.dcMv[index]));
                ++c.ms;
                c.t += kStep;
            }
        }
    }
    return static_cast<size_t>(out - first);
}

ApneaSwitch ApneaStep(Simulation& s, int tickMs) {
    ApneaSwitch result = ApneaSwitch::None;
    if (s.kind == Kind::ECG && s.apnea.enabled && s.tickMs != 0) {
        const uint64_t p = s.tickMs % s.apnea.lengthMs;
        if (p == s.apnea.offAtMs) {
            result = ApneaSwitch::RespirationOff;
        } else if (p == 0) {
            result = ApneaSwitch::RespirationOn;
        }
    }
    s.tickMs += static_cast<uint64_t>(tickMs > 0 ? tickMs : 0);
    return result;
}

size_t EndMarkers(const Simulation& s, Sample* out) {
    Sample* const first = out;
    if (s.kind != Kind::PPG && s.channel[kECGChannel].callback) {
        Put(out, kECGChannel, s.channel[kECGChannel].t, kEndMarker, kEndMarker);
    }
    for (int i = 0; i < s.count; ++i) {
        const Channel& c = s.channel[1 + i];
        if (c.callback) {
            Put(out, 1 + i, s.kind == Kind::PPG ? s.sharedT : c.t, kEndMarker, kEndMarker);
        }
    }
    return static_cast<size_t>(out - first);
}

int ECGPeriodOffset(const ECG_WAVEFORM& ecg, const PPG_WAVEFORM& ppg, int pttMs) {
    const int64_t rr = ecg.nRRInterval;
    if (rr == 0) {
        return 0;
    }
    // Remainders take the sign of the dividend.
    if (ppg.nWaveformType == 3) {
        return SatInt((rr + pttMs - static_cast<int64_t>(ppg.nTime1)) % rr);
    }
    const double lead = 0.5 * ppg.nPeriod + pttMs;
    const int64_t whole = lead >= 9.0e18 || lead <= -9.0e18 ? 0 : static_cast<int64_t>(lead);
    return SatInt(static_cast<int64_t>(SatInt(whole)) % rr);
}

}  // namespace output
