// Respiration and noise curves, tabulated once before a run and appended to the
// channels' extra-curve lists.
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "playback/PlaybackState.h"
#include "playback/RawData.h"
#include "playback/Sources.h"
#include "waveform/Conversion.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kCurveRate = 10000.0;
constexpr long long kBreathSamplesPerMinute = 600000;  // one minute at 10000 per second
constexpr int kECGExternalRespiration = 0x80;
constexpr int kRespirationBits[3] = {1, 2, 4};
constexpr int kECGNoiseSamples = 10000;  // one second
constexpr int kPPGNoiseSamples = 20000;  // two seconds
constexpr int kPPGRandomNoise = 7;

// Interference frequencies (Hz) of the ECG noise types 1..4 and the PPG types 1..14
// (type 7 is random noise).
constexpr double kECGNoiseHz[5] = {0, 50, 60, 100, 120};
constexpr double kPPGNoiseHz[15] = {0, 50, 60, 1000, 5000, 100, 120, 0, 0.5, 1, 2, 3, 5, 10, 25};

// One breath of N samples split into rise and fall, or false when the record's rate and
// ratio give none: a rate that is not positive (no breath length), a ratio below 0 (the
// rise would be negative or undefined) or a breath shorter than one sample.
bool BreathLengths(int rate, int ratio, int& rise, int& fall) {
    if (rate <= 0 || ratio < 0) {
        return false;
    }
    const long long n = kBreathSamplesPerMinute / rate;
    if (n <= 0) {
        return false;
    }
    rise = static_cast<int>(n / (static_cast<long long>(ratio) + 1));
    fall = static_cast<int>(n) - rise;
    return true;
}

// Appends {10000 per second, curve, no DC} through the given appender.
template <typename Append>
void AppendCurve(std::vector<double>& curve, Append append) {
    PLAY_RAW_DATA record = {};
    record.fSampleRate = kCurveRate;
    record.nSampleCount = static_cast<int32_t>(curve.size());
    record.pACData = curve.data();
    append(record);
}

template <typename Append>
void AppendBreaths(int mode, int rate, int ratio, double baselineAmplitude, double fraction, Append append) {
    int rise = 0, fall = 0;
    if ((mode & 7) == 0 || !BreathLengths(rate, ratio, rise, fall)) {
        return;
    }
    std::vector<double> breath;
    try {
        breath.resize(static_cast<size_t>(rise) + fall);
    } catch (...) {
        return;
    }
    for (int slot = 0; slot < 3; ++slot) {
        if ((mode & kRespirationBits[slot]) == 0) {
            continue;
        }
        GenerateRespirationData(breath, rise, fall, slot == 0 ? baselineAmplitude : fraction);
        AppendCurve(breath, [&](const PLAY_RAW_DATA& r) { append(r, slot); });
    }
}

bool SineCurve(std::vector<double>& curve, int n, double hz, double amplitude) {
    try {
        curve.resize(n);
    } catch (...) {
        return false;
    }
    for (int i = 0; i < n; ++i) {
        curve[i] = std::sin(hz * kTwoPi * i / kCurveRate) * amplitude;
    }
    return true;
}

bool RandomCurve(std::vector<double>& curve, int n, double amplitude) {
    const double scaled = std::trunc(1000.0 * amplitude);
    if (!std::isfinite(scaled) || scaled == 0.0 || std::fabs(scaled) >= 2147483648.0) {
        return false;  // no modulus, or none that fits
    }
    const int modulus = static_cast<int>(scaled);
    try {
        curve.resize(n);
    } catch (...) {
        return false;
    }
    // The library's own generator, seeded afresh for each curve, so the host's rand()
    // sequence is left alone.
    std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(
                                   std::chrono::steady_clock::now().time_since_epoch().count() & 0x7FFFFFFF) |
                               1u);
    for (int i = 0; i < n; ++i) {
        // Draws below 2^31, so the difference fits an int.
        const int r1 = static_cast<int>(generator());
        const int r2 = static_cast<int>(generator());
        curve[i] = ((r1 - r2) % modulus) / 1000.0;
    }
    return true;
}

}  // namespace

void GenerateRespirationData(std::vector<double>& out, int rise, int fall, double amplitude) {
    if (rise < 0 || fall < 0 || out.size() < static_cast<size_t>(rise) + static_cast<size_t>(fall)) {
        return;
    }
    for (int i = 0; i < rise; ++i) {
        out[i] = amplitude * std::sin(kTwoPi * i / (4.0 * rise));
    }
    for (int j = 0; j < fall; ++j) {
        out[rise + j] = amplitude * std::sin(kTwoPi * (fall + j) / (4.0 * fall));
    }
}

void PlayRawAddECGExtra(ECG_WAVEFORM* waveform) {
    if (waveform == nullptr) {
        return;
    }
    const ECG_WAVEFORM& w = *waveform;
    g_nRespirationMode = w.nRespirationMode;
    g_nRespirationApneaCycle = w.nApneaCycle;
    g_nRespirationApneaDuration = w.nApneaDuration;
    if (w.nRespirationMode != 0 && (w.nRespirationMode & kECGExternalRespiration) == 0) {
        AppendBreaths(w.nRespirationMode, w.nRespirationRate, w.nRespirationRatioOrBaseline,
                      w.nRespirationDepthOrRatio * w.fAmplitude / 100.0, w.nRespirationDepthOrRatio / 100.0,
                      [](const PLAY_RAW_DATA& r, int slot) { PlayRawAppendScaledECG(r, slot); });
    }
    if (w.fNoiseAmplitude != 0.0 && std::isfinite(w.fNoiseAmplitude) && w.nNoiseType >= 1 && w.nNoiseType <= 4) {
        std::vector<double> noise;
        if (SineCurve(noise, kECGNoiseSamples, kECGNoiseHz[w.nNoiseType], w.fNoiseAmplitude / 2.0)) {
            AppendCurve(noise, [](const PLAY_RAW_DATA& r) { PlayRawAppendECG(r); });
        }
    }
}

void PlayRawAddPPGExtra(PPGChannel channel, PPG_WAVEFORM* waveform) {
    if (waveform == nullptr) {
        return;
    }
    const PPG_WAVEFORM& w = *waveform;
    g_nRespirationMode = w.nRespirationMode;
    g_nRespirationApneaCycle = w.nApneaCycle;
    g_nRespirationApneaDuration = w.nApneaDuration;
    if (w.nRespirationMode != 0) {
        AppendBreaths(w.nRespirationMode, w.nRespirationRate, w.nRespirationRatio,
                      FingerACValueConvert(w.fAmplitude1) * w.nRespirationDepth / 100.0, w.nRespirationDepth / 100.0,
                      [channel](const PLAY_RAW_DATA& r, int slot) { PlayRawAppendScalePPG(channel, r, slot); });
    }
    if (w.fNoiseAmplitude != 0.0 && std::isfinite(w.fNoiseAmplitude) && w.nNoiseType >= 1 && w.nNoiseType <= 14) {
        std::vector<double> noise;
        const bool made = w.nNoiseType == kPPGRandomNoise
                              ? RandomCurve(noise, kPPGNoiseSamples, w.fNoiseAmplitude)
                              : SineCurve(noise, kPPGNoiseSamples, kPPGNoiseHz[w.nNoiseType], w.fNoiseAmplitude);
        if (made) {
            AppendCurve(noise, [channel](const PLAY_RAW_DATA& r) { PlayRawAppendPPG(channel, r); });
        }
    }
}
