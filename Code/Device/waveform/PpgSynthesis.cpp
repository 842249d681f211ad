// PPG waveform synthesis: sine, triangle, square, the two pulse shapes and the constant
// level, the AC offset and the DC level of one period.
#include <cmath>
#include <cstdint>

#include "platform/Utils.h"
#include "waveform/Numeric.h"
#include "waveform/Samples.h"
#include "waveform/Waveform.h"

using nvs::kPi;
using nvs::NewPeriod;
using nvs::NewSamples;
using nvs::SatInt;
using nvs::ToMillivolts;

namespace {

// The pulse shapes work in microvolts; the other shapes in 1/2000 mV.
bool IsPulseType(int type) { return type == 3 || type == 16; }

struct PulseTimes {
    double a1, a2, a3, peak;  // microvolts; peak = the largest of the three
    int s1, s2, s3;           // samples
};

// a - b without overflow: a record's pulse times may be anywhere in the int range.
double Span(int a, int b) { return static_cast<double>(a) - static_cast<double>(b); }

PulseTimes PulseTimesOf(const PPG_WAVEFORM* w) {
    PulseTimes p;
    p.a1 = 1000.0 * w->fAmplitude1;
    p.a2 = 1000.0 * w->fAmplitude2;
    p.a3 = 1000.0 * w->fAmplitude3;
    p.peak = p.a1;
    if (p.a2 > p.peak) {
        p.peak = p.a2;
    }
    if (p.a3 > p.peak) {
        p.peak = p.a3;
    }
    const double r = w->fSampleRateKHz;
    p.s1 = SatInt(w->nTime1 * r);
    p.s2 = SatInt(w->nTime2 * r);
    p.s3 = SatInt(w->nTime3 * r);
    return p;
}

}  // namespace

double GetPPGAmplitude(PPG_WAVEFORM* waveform) { return waveform == nullptr ? 0.0 : waveform->fAmplitude1; }

int* GenPPGWaveformSine(const PPG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const int a = SatInt(1000.0 * w->fAmplitude1);
    for (int i = 0; i < n; ++i) {
        s[i] = SatInt(static_cast<int64_t>(a) + SatInt(std::sin(2.0 * kPi * i / n) * a));
    }
    return s;
}

int* GenPPGWaveformTriangle(const PPG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const int q = static_cast<int>(0.25 * n);
    const int h = q + static_cast<int>(0.5 * n);
    // Products in 64 bits: at 300 mV (a = 300000) and 10000 samples a period the fall's
    // numerator reaches 3e9.
    const int64_t a = SatInt(1000.0 * w->fAmplitude1);
    for (int i = 0; i < n; ++i) {
        int64_t v;
        if (i < q) {
            v = (a * i) / q;
        } else if (i < h) {
            const int64_t num = 2 * (-(static_cast<int64_t>(i) - q) * a);
            v = SatInt(static_cast<double>(a) + static_cast<double>(num) / (0.5 * n));
        } else {
            v = SatInt(static_cast<double>(a) * ((i - h) / (0.25 * n) - 1.0));
        }
        s[i] = SatInt(v + a);
    }
    return s;
}

int* GenPPGWaveformSquare(const PPG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const int h = static_cast<int>(0.5 * n);
    const int high = SatInt(1000.0 * (w->fAmplitude1 + w->fAmplitude1));
    for (int i = 0; i < n; ++i) {
        s[i] = i < h ? high : 0;
    }
    return s;
}

int* GenPPGWaveformDC(const PPG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const int level = SatInt(1000.0 * w->fAmplitude1);
    for (int i = 0; i < n; ++i) {
        s[i] = level;
    }
    return s;
}

int* GenPPGWaveformPPG(const PPG_WAVEFORM* w, int* count, int startLevel) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const PulseTimes p = PulseTimesOf(w);
    const bool inverted = w->bInverted != 0;
    const double start = startLevel;
    // Each segment divides only by its own length, at least 1 whenever it holds a sample.
    for (int i = 0; i < n; ++i) {
        double v;
        bool invert = inverted;
        if (i < p.s1) {
            if (startLevel != 0) {
                // Transition period: fall from the previous period's level; not inverted.
                v = (start / 2.0) * std::sin(kPi / 2.0 + kPi * i / p.s1) + start / 2.0;
                invert = false;
            } else {
                v = p.a1 / 2.0 + (p.a1 / 2.0) * std::sin(kPi * i / p.s1 - kPi / 2.0);
            }
        } else if (i < p.s2) {
            v = ((p.a1 - p.a2) / 2.0) * std::cos(kPi * Span(i, p.s1) / Span(p.s2, p.s1)) + (p.a1 - p.a2) / 2.0 + p.a2;
        } else if (i < p.s3) {
            v = ((p.a3 - p.a2) / 2.0) * std::sin(kPi * Span(i, p.s2) / Span(p.s3, p.s2) - kPi / 2.0) +
                (p.a3 - p.a2) / 2.0 + p.a2;
        } else {
            v = (p.a3 / 2.0) * std::cos(kPi * Span(i, p.s3) / Span(n, p.s3)) + p.a3 / 2.0;
        }
        if (invert) {
            v = p.peak - v;
        }
        s[i] = SatInt(v);
    }
    return s;
}

int* GenPPGWaveformPPG(const PPG_WAVEFORM* w, int* count) { return GenPPGWaveformPPG(w, count, 0); }

int* GenPPGWaveformPPGEx(const PPG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const PulseTimes p = PulseTimesOf(w);
    for (int i = 0; i < n; ++i) {
        double v;
        if (i < p.s1) {
            v = i * p.a1 / p.s1;
        } else if (i < p.s2) {
            v = Span(i, p.s1) * (p.a2 - p.a1) / Span(p.s2, p.s1) + p.a1;
        } else if (i < p.s3) {
            v = Span(i, p.s2) * (p.a3 - p.a2) / Span(p.s3, p.s2) + p.a2;
        } else {
            v = Span(i, p.s3) * (0.0 - p.a3) / Span(n, p.s3) + p.a3;
        }
        if (w->bInverted != 0) {
            v = p.peak - v;
        }
        s[i] = SatInt(v);
    }
    return s;
}

namespace {

// The AC shape of the record's type; *known false for a type without a shape.
int* GenPPGShape(const PPG_WAVEFORM* w, int n, int startLevel, bool* known) {
    *known = true;
    switch (w->nWaveformType) {
        case 0:
            return GenPPGWaveformSine(w, &n);
        case 1:
            return GenPPGWaveformTriangle(w, &n);
        case 2:
            return GenPPGWaveformSquare(w, &n);
        case 3:
            return GenPPGWaveformPPG(w, &n, startLevel);
        case 16:
            return GenPPGWaveformPPGEx(w, &n);
        case 255:
            return GenPPGWaveformDC(w, &n);
        default:
            // No shape: a flat zero AC, without offset.
            *known = false;
            return NewSamples(n);
    }
}

}  // namespace

void GenPPGWaveform(const PPG_WAVEFORM* w, int* count, int** ac, int** dc, int startLevel) {
    const int n = w == nullptr ? 0 : GetPointNumber(*w);
    bool known = false;
    if (!NewPeriod(
            n, [&](int k) { return GenPPGShape(w, k, startLevel, &known); }, count, ac, dc)) {
        return;
    }
    int* a = *ac;
    int* d = *dc;
    const int level = SatInt(1000.0 * w->fDCLevel);
    for (int i = 0; i < n; ++i) {
        d[i] = level;
    }
    if (known) {
        // The offset in the shape's own unit: microvolts for the pulses, 1/2000 mV otherwise.
        const int64_t offset = IsPulseType(w->nWaveformType) ? SatInt(1000.0 * w->fACOffset)
                                                             : SatInt(1000.0 * (w->fACOffset + w->fACOffset));
        for (int i = 0; i < n; ++i) {
            a[i] = SatInt(a[i] + offset);
        }
    }
}

void GenPPGWaveform(const PPG_WAVEFORM* w, int* count, double** ac, double** dc, double startLevel) {
    int n = 0;
    int* ia = nullptr;
    int* id = nullptr;
    GenPPGWaveform(w, &n, &ia, &id, SatInt(1000.0 * startLevel));
    const bool pulse = w != nullptr && IsPulseType(w->nWaveformType);
    ToMillivolts(n, ia, id, pulse ? 1000.0 : 2000.0, count, ac, dc);
}
