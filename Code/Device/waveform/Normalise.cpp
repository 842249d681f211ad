// Normalisation of ECG and PPG waveform records and the choice of the period's rate.
#include <cmath>

#include "protocol/Protocol.h"
#include "waveform/Calibration.h"
#include "waveform/Conversion.h"
#include "waveform/Normalise.h"
#include "waveform/Numeric.h"

using nvs::SatInt;

namespace {

constexpr double kECGRates[] = {40, 20, 10, 8, 5, 4, 2, 1, 0.5, 0.4, 0.2, 0.1, 0.05};
constexpr double kPPGRates[] = {40, 20, 10, 8, 5, 4, 2, 1, 0.5, 0.4, 0.2, 0.1};

// Clamp of a double in the instrument's order of tests: a NaN passes unchanged.
double Clamp(double x, double lo, double hi) {
    const double y = x > hi ? hi : x;
    if (lo > y) {
        return lo;
    }
    return x > hi ? hi : x;
}

// max(min(x, hi), lo) in the order the PPG limits are applied: a NaN becomes hi.
double MinThenMax(double x, double hi, double lo) {
    const double y = hi > x ? x : hi;
    return y > lo ? y : lo;
}

int PeriodLimit() { return MaxPeriodPoints(); }

template <std::size_t N>
void ChooseRate(const double (&rates)[N], double frequency, double& rateKHz, int& fraction) {
    if (!std::isfinite(frequency) || !(frequency > 0.0)) {
        return;
    }
    const int limit = PeriodLimit();
    for (double r : rates) {
        const double x = r * (1000.0 / frequency);
        const int whole = SatInt(x);
        if (whole <= limit) {
            rateKHz = r;
            fraction = SatInt(1000.0 * (x - whole));
            return;
        }
    }
}

}  // namespace

// The instrument's period buffer is shared with PPG channel 3 when that channel exists.
int MaxPeriodPoints() { return IsPPGChannel3Supported() ? 1500 : 2000; }

int MakeInRange(int v, int lo, int hi) {
    if (v < lo) {
        return lo;
    }
    if (v > hi) {
        return hi;
    }
    return v;
}

void AdjustECGWaveformScale(ECG_WAVEFORM* w) {
    if (w != nullptr) {
        ChooseRate(kECGRates, w->fFrequency, w->fSampleRateKHz, w->nSampleFraction);
    }
}

void AdjustPPGWaveformScale(PPG_WAVEFORM* w) {
    if (w != nullptr) {
        // fSampleRateKHz is only 4-aligned: go through a local.
        double rate = w->fSampleRateKHz;
        ChooseRate(kPPGRates, w->fFrequency, rate, w->nSampleFraction);
        w->fSampleRateKHz = rate;
    }
}

void AdjustECGWaveform(ECG_WAVEFORM* w) {
    if (w == nullptr) {
        return;
    }
    w->nTWidth = 180;
    if (w->nRespirationMode != 0) {
        // Respiration excludes the variable DC offset and pacing.
        w->bVariableDCOffset = 0;
        w->bPacingEnable = 0;
    }
    auto outOfRange = [](int rate) { return rate <= 9 || rate >= 301; };
    if (outOfRange(w->nPacingRate)) {
        if (w->nWaveformType == 6) {
            w->nPacingRate = SatInt(w->fFrequency * 60.0 + 0.5);  // the heart rate
        }
        if (w->nWaveformType != 6 || outOfRange(w->nPacingRate)) {
            w->nPacingRate = 60;
        }
    }
    w->fNoiseAmplitude = Clamp(w->fNoiseAmplitude, 0.0, 2.0);
    w->nNoiseType = MakeInRange(w->nNoiseType, 0, 4);
    w->fPacingAmplitude = Clamp(w->fPacingAmplitude, -1000.0, 1000.0);
    w->fPacingWidth = Clamp(w->fPacingWidth, 0.0, 2.0);
    if (w->nRespirationMode != 0x80) {
        w->nRespirationMode &= 0x0F;
    }
    if (w->nRespirationMode == 0x80) {
        // External respiration module.
        const int baseline = w->nRespirationRatioOrBaseline;
        if (baseline != 500 && baseline != 1000 && baseline != 1500 && baseline != 2000) {
            w->nRespirationRatioOrBaseline = 1000;
        }
        w->nRespirationRate = MakeInRange(w->nRespirationRate, 4, 200);
        w->nRespirationDepthOrRatio = MakeInRange(w->nRespirationDepthOrRatio, 1, 5);
        w->nRespirationAmplitude = MakeInRange(w->nRespirationAmplitude, 1000, 5000);
        w->nApneaDuration = MakeInRange(w->nApneaDuration, 0, 60);
        w->nApneaCycle = MakeInRange(w->nApneaCycle, 1, 10);
    } else if (w->nRespirationMode != 0) {
        w->nRespirationDepthOrRatio = MakeInRange(w->nRespirationDepthOrRatio, -16, 16);
        w->nRespirationRatioOrBaseline = MakeInRange(w->nRespirationRatioOrBaseline, 1, 5);
    }
    AdjustECGWaveformScale(w);
}

void AdjustPPGWaveform(PPGChannel ch, PPG_WAVEFORM* w, int suppressFingerConversion) {
    if (w == nullptr) {
        return;
    }
    const DEVICE_FEATURE& f = g_DeviceFeature;
    const uint16_t model = GetPPGFullModelNumber();
    if (w->nWaveformType != 255) {
        w->fDCLevel = MinThenMax(w->fDCLevel, 3000.0, f.fDCMinimum);
        w->fAmplitude1 = MinThenMax(w->fAmplitude1, f.fACMaximum, f.fACMinimum);
        w->fAmplitude2 = MinThenMax(w->fAmplitude2, f.fACMaximum, f.fACMinimum);
        w->fAmplitude3 = MinThenMax(w->fAmplitude3, f.fACMaximum, f.fACMinimum);
    }
    if (g_bACAboveDC == 0) {
        // The host's level is the top of the signal; the AC rides below it.
        w->fDCLevel -= w->fAmplitude1;
    }
    if (suppressFingerConversion == 0 && g_bPPGAmplitudeConversion != 0 && (model == 0x2012 || model == 0x2112)) {
        w->fDCLevel = FingerDCValueConvert(ch, w->fDCLevel);
        w->fAmplitude1 = FingerACValueConvert(w->fAmplitude1);
        w->fAmplitude2 = FingerACValueConvert(w->fAmplitude2);
        w->fAmplitude3 = FingerACValueConvert(w->fAmplitude3);
    }
    if (model != 0x2112) {
        w->fDCLevel = MinThenMax(w->fDCLevel, 3000.0, f.fDCMinimum);
    }
    const double a = w->fAmplitude1;
    w->nSyncPulse = w->nSyncPulse == 2 ? 2 : 1;
    w->bInverted = w->bInverted != 0 ? 1 : 0;
    w->fNoiseAmplitude = w->nNoiseType != 0 ? Clamp(w->fNoiseAmplitude, 0.0, 2.0) : 0.0;
    const double offsetBound = f.fACMaximum - a - w->fNoiseAmplitude;
    const double offset = w->fACOffset > offsetBound ? offsetBound : w->fACOffset;
    w->fACOffset = offset > 0.0 ? offset : 0.0;
    w->nNoiseType = MakeInRange(w->nNoiseType, 0, 14);
    if (w->nRespirationMode != 4) {
        // The depth may take the amplitude up to the AC maximum. Without an amplitude
        // there is no such bound: the depth keeps the symmetric limit.
        const int hi = a != 0.0 ? SatInt(100.0 * ((f.fACMaximum - a) / a)) : 16;
        w->nRespirationDepth = MakeInRange(w->nRespirationDepth, -16, hi);
    }
    w->nRespirationRatio = MakeInRange(w->nRespirationRatio, 1, 5);
    AdjustPPGWaveformScale(w);
}

PPG_WAVEFORM* PPGWaveformAmplitudeScale(double k, PPG_WAVEFORM* w) {
    if (w != nullptr) {
        w->fAmplitude1 *= k;
        w->fAmplitude2 *= k;
        w->fAmplitude3 *= k;
        w->fDCLevel *= k;
    }
    return w;
}

void AdjustPPGWaveform2112(PPG_WAVEFORM* w1, PPG_WAVEFORM* w2) {
    if (w1 == nullptr || w2 == nullptr || GetPPGFullModelNumber() != 0x2112) {
        return;
    }
    const int mode1 = GetACCalMode(w1);
    const int mode2 = GetACCalMode(w2);
    if (mode1 == mode2) {
        return;
    }
    const int m = mode1 < mode2 ? mode1 : mode2;  // the wider of the two ranges (0 or 1)
    static constexpr double kBottom[2] = {15.0, 1.5};
    static constexpr double kTop[2] = {300.0, 15.0};
    const double minA = w1->fAmplitude1 < w2->fAmplitude1 ? w1->fAmplitude1 : w2->fAmplitude1;
    const double maxA = w1->fAmplitude1 < w2->fAmplitude1 ? w2->fAmplitude1 : w1->fAmplitude1;
    const double maxDC = w1->fDCLevel < w2->fDCLevel ? w2->fDCLevel : w1->fDCLevel;
    // Each bound applies only where its divisor is positive; no bound, no scaling.
    double k = 0.0;
    bool bounded = false;
    auto bound = [&](double limit, double value) {
        if (value > 0.0) {
            const double q = limit / value;
            if (!bounded || q < k) {
                k = q;
            }
            bounded = true;
        }
    };
    bound(kBottom[m], minA);
    bound(kTop[m], maxA);
    bound(3000.0, maxDC);
    if (!bounded) {
        return;
    }
    PPGWaveformAmplitudeScale(k, w1);
    PPGWaveformAmplitudeScale(k, w2);
}
