// ECG waveform synthesis: the seven shapes, the ECG beat's segment timing, pacing pulse
// and variable DC offset of one period.
#include <cmath>
#include <cstdint>

#include "waveform/Numeric.h"
#include "waveform/Samples.h"
#include "waveform/Waveform.h"

using nvs::Fraction;
using nvs::kPi;
using nvs::NewPeriod;
using nvs::NewSamples;
using nvs::SatInt;
using nvs::ToMillivolts;

namespace {

int CapPointNumber(double rateKHz, double frequency) {
    if (!std::isfinite(frequency) || !(frequency > 0.0) || !(rateKHz > 0.0)) {
        return 0;
    }
    const double x = rateKHz * (1000.0 / frequency);
    if (!(x < static_cast<double>(kMaxPointNumber))) {
        return kMaxPointNumber;
    }
    return static_cast<int>(x);
}

}  // namespace

int GetPointNumber(const ECG_WAVEFORM& w) { return CapPointNumber(w.fSampleRateKHz, w.fFrequency); }

int GetPointNumber(const PPG_WAVEFORM& w) { return CapPointNumber(w.fSampleRateKHz, w.fFrequency); }

int IsPacingSupported(const ECG_WAVEFORM* w) {
    if (w == nullptr || w->bPacingEnable == 0 || w->fPacingAmplitude == 0.0) {
        return 0;
    }
    if (w->nWaveformType != 6) {
        return 1;
    }
    return static_cast<int64_t>(w->nQRSWidth) + 129 < w->nRRInterval ? 1 : 0;
}

int* GenECGWaveformSine(const ECG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const double half = w->fAmplitude / 2.0;
    for (int i = 0; i < n; ++i) {
        s[i] = SatInt(1000.0 * (half * std::sin(2.0 * kPi * i / n)));
    }
    return s;
}

int* GenECGWaveformTriangle(const ECG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const int q = static_cast<int>(0.25 * n);
    const int h = q + static_cast<int>(0.5 * n);
    const double a = w->fAmplitude / 2.0;
    for (int i = 0; i < n; ++i) {
        if (i < q) {
            s[i] = SatInt(i * (1000.0 * a) / q);
        } else if (i < h) {
            s[i] = SatInt(1000.0 * a + (i - q) * (-2.0 * 1000.0 * a) / (0.5 * n));
        } else {
            s[i] = SatInt(((i - h) / (0.25 * n) - 1.0) * a * 1000.0);
        }
    }
    return s;
}

int* GenECGWaveformSquare(const ECG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const int h = static_cast<int>(0.5 * n);
    const int high = SatInt(1000.0 * (w->fAmplitude / 2.0));
    const int low = SatInt(-1000.0 * (w->fAmplitude / 2.0));
    for (int i = 0; i < n; ++i) {
        s[i] = i < h ? high : low;
    }
    return s;
}

int* GenECGWaveformRectanglePulse(const ECG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const double width = w->fSampleRateKHz * w->nPulseWidth;
    const int height = SatInt(1000.0 * w->fAmplitude);
    for (int i = 0; i < n; ++i) {
        s[i] = i < width ? height : 0;
    }
    return s;
}

int* GenECGWaveformTrianglePulse(const ECG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const double width = w->fSampleRateKHz * w->nPulseWidth;
    const int m = SatInt(width) / 2;
    // The rise is computed in single precision, as the instrument's own generator does.
    const float peak = static_cast<float>(w->fAmplitude) * 1000.0f;
    for (int i = 0; i < n; ++i) {
        if (i < m) {
            s[i] = SatInt(static_cast<double>(static_cast<float>(i) * peak / static_cast<float>(m)));
        } else if (i < width) {
            // m = 0 (a pulse under two samples wide) has a fall of no length; an odd
            // fractional width reaches one sample past the foot: the fall stops at 0.
            float f = m == 0 ? 1.0f : 1.0f + static_cast<float>(m - i) / static_cast<float>(m);
            if (f < 0.0f) {
                f = 0.0f;
            }
            s[i] = SatInt(static_cast<double>(f) * w->fAmplitude * 1000.0);
        } else {
            s[i] = 0;
        }
    }
    return s;
}

int* GenECGWaveformExponential(const ECG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const int fs = SatInt(1000.0 * w->fSampleRateKHz);  // samples per second
    const double height = w->fAmplitude * 1000.0;
    for (int i = 0; i < n; ++i) {
        // Decay with a time constant of 50 ms.
        s[i] = SatInt(std::exp((-i / 0.05) / fs) * height);
    }
    return s;
}

namespace {

// Segment timing of one ECG beat, in samples.
struct BeatTiming {
    int p0 = 0, p1 = 0;                  // P wave [p0, p1); none when p0 = p1
    int q0 = 0, qa = 0, qb = 0, qc = 0;  // QRS: rise [q0, qa), fall [qa, qb], return (qb, qc]
    int tailCase = 0;                    // what follows qc: 0 zeros, 1 T from qc, 2 ST+T, 3 hold
    int t1 = 0, t2 = 0;                  // T wave halves
    int ts = 0;                          // ST plateau end / T start (tail 2)
    double tw = 0.0;                     // T width in samples
};

}  // namespace

int* GenECGWaveformECG(const ECG_WAVEFORM* w, int* count) {
    const int n = *count;
    int* s = NewSamples(n);
    if (s == nullptr) {
        return nullptr;
    }
    const double r = w->fSampleRateKHz;
    const double R = 1000.0 * w->fAmplitude;
    const double T = 1000.0 * w->fTAmplitude;
    const double P = 1000.0 * w->fPAmplitude;
    const double S = 1000.0 * w->fSTLevel;
    // Millisecond sums are formed in 64-bit integers: host values may be anything.
    const int64_t RR = w->nRRInterval;
    const int64_t Q = w->nQRSWidth;
    const int64_t QT = w->nQTInterval;
    int64_t PR = w->nPRInterval;
    int64_t Tw = w->nTWidth;
    // Lead-in that leaves room for the pacing pulse before the P wave.
    const int64_t L = IsPacingSupported(w) == 1 ? 30 : 0;
    auto pos = [r](int64_t t) { return SatInt(static_cast<double>(t) * r); };

    BeatTiming b;
    int64_t t0 = 0;
    if (RR <= Q + 100) {
        t0 = 0;  // QRS only, from sample 0, no lead-in
    } else {
        if (RR <= Q + 279) {
            PR = 100;
            if (RR > Q + 259) {
                Tw = RR - Q - 100;
                b.tailCase = 1;
            }
        } else {
            if (RR <= Q + 379) {
                PR = RR - Q - 180;
            }
            b.tailCase = RR <= Q + 379 ? 1 : 2;
        }
        b.p0 = pos(L);
        b.p1 = pos(L + 100);
        t0 = L + PR;
    }
    b.q0 = pos(t0);
    b.qa = pos(static_cast<int64_t>(SatInt(0.4375 * static_cast<double>(Q))) + t0);
    b.qb = pos(static_cast<int64_t>(SatInt(0.9375 * static_cast<double>(Q))) + t0);
    b.qc = pos(Q + t0);
    b.tw = static_cast<double>(Tw) * r;
    int tStart = b.qc;  // start sample c of the T wave
    if (b.tailCase == 1) {
        b.t1 = SatInt(b.tw / 2.0 + tStart);
        b.t2 = SatInt(b.tw + tStart);
    } else if (b.tailCase == 2) {
        const int ts = pos(L + PR + QT - Tw);
        const int te = pos(L + PR + QT);
        if (te > n) {
            b.tailCase = 3;  // the ST level runs to the end of the period, no T wave
        } else if (ts < b.qc) {
            b.tailCase = 0;  // T would start inside the QRS
        } else {
            tStart = ts;
            b.ts = ts;
            b.t1 = SatInt(b.tw / 2.0 + ts);
            b.t2 = te;
        }
    }

    double last = 0.0;
    for (int i = 0; i < n; ++i) {
        double v = 0.0;
        if (i < b.p0) {
            v = 0.0;
        } else if (i < b.p1) {
            v = P * std::sin(kPi * (i - b.p0) / (100.0 * r));
        } else if (i < b.q0) {
            v = 0.0;
        } else if (i < b.qa) {
            v = 0.875 * Fraction(i - b.q0, b.qa - b.q0) * R;
        } else if (i <= b.qb) {
            v = (0.875 - Fraction(i - b.qa, b.qb - b.qa)) * R;
        } else if (i <= b.qc) {
            v = (0.125 * R + S) * Fraction(i - b.qb, b.qc - b.qb) - 0.125 * R;
        } else {
            switch (b.tailCase) {
                case 1:  // T wave from qc: halves (qc, t1] and (t1, t2]
                    if (i <= b.t1) {
                        v = (T - S) * std::sin(kPi * Fraction(i - tStart, b.tw)) + S;
                    } else if (i <= b.t2) {
                        v = T * std::sin(kPi / 2.0 + kPi * Fraction(i - b.t1, b.tw));
                    }
                    break;
                case 2:  // ST plateau (qc, ts), T halves [ts, t1) and [t1, te)
                    if (i < b.ts) {
                        v = S;
                    } else if (i < b.t1) {
                        v = (T - S) * std::sin(kPi * Fraction(i - tStart, b.tw)) + S;
                    } else if (i < b.t2) {
                        v = T * std::sin(kPi / 2.0 + kPi * Fraction(i - b.t1, b.tw));
                    }
                    break;
                case 3:  // the last computed value (the ST level at qc) is held
                    v = last;
                    break;
                default:
                    break;
            }
        }
        last = v;
        s[i] = SatInt(v);
    }
    return s;
}

namespace {

// The AC shape of the record's type: the ECG beat for type 6 and any other type.
int* GenECGShape(const ECG_WAVEFORM* w, int n) {
    switch (w->nWaveformType) {
        case 0:
            return GenECGWaveformSine(w, &n);
        case 1:
            return GenECGWaveformTriangle(w, &n);
        case 2:
            return GenECGWaveformSquare(w, &n);
        case 3:
            return GenECGWaveformRectanglePulse(w, &n);
        case 4:
            return GenECGWaveformTrianglePulse(w, &n);
        case 5:
            return GenECGWaveformExponential(w, &n);
        default:
            return GenECGWaveformECG(w, &n);
    }
}

}  // namespace

void GenECGWaveform(const ECG_WAVEFORM* w, int* count, int** ac, int** dc, bool withPacing) {
    const int n = w == nullptr ? 0 : GetPointNumber(*w);
    if (!NewPeriod(
            n, [w](int k) { return GenECGShape(w, k); }, count, ac, dc)) {
        return;
    }
    int* d = *dc;
    if (withPacing && IsPacingSupported(w) == 1) {
        const int width = SatInt(w->fSampleRateKHz * w->fPacingWidth);
        const int height = SatInt(1000.0 * w->fPacingAmplitude);
        for (int i = 0; i < width && i < n; ++i) {
            d[i] = SatInt(static_cast<int64_t>(d[i]) + height);
        }
    }
    if (w->bVariableDCOffset != 0) {
        const int64_t offset = static_cast<int64_t>(w->nDCOffset) * 1000;
        for (int i = 0; i < n; ++i) {
            d[i] = SatInt(d[i] + offset);
        }
    }
}

void GenECGWaveform(const ECG_WAVEFORM* w, int* count, double** ac, double** dc, bool withPacing) {
    int n = 0;
    int* ia = nullptr;
    int* id = nullptr;
    GenECGWaveform(w, &n, &ia, &id, withPacing);
    ToMillivolts(n, ia, id, 1000.0, count, ac, dc);
}
