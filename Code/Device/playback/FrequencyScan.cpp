// The sine sweeps, generated whole into a channel's source before a run.
#include <climits>
#include <cmath>
#include <new>

#include "playback/PlaybackState.h"
#include "playback/RawData.h"
#include "playback/Sources.h"

namespace {

constexpr double kMaxScanFrequency = 500.0;
constexpr double kTwoPi = 6.283185307179586;

const bool s_bInstalled = (InstallFrequencyScanGenerators(GenerateECGFrequencyScan, GeneratePPGFrequencyScan), true);

bool IsGeneratable(double amplitude, double dc, double start, double end, int duration, int rate) {
    if (duration <= 0 || rate <= 0 || static_cast<long long>(duration) * rate > INT_MAX) {
        return false;
    }
    if (!std::isfinite(amplitude) || !std::isfinite(dc) || !std::isfinite(start) || !std::isfinite(end)) {
        return false;
    }
    return start != 0.0 || end != 0.0;  // with both at 0 the first cycle never ends
}

// Fills ac with the unit sweep (sin of the running phase) and the frequency rule: the
// frequency rises by a fixed step per sample, the position inside the current cycle is
// kept as a fraction across each change so the phase runs on, and the frequency is held
// at 500 Hz once it passes it (the period follows the frequency before the hold).
void Sweep(double* ac, int n, double start, double end, int duration, int rate) {
    const double step = (end - start) / duration / rate;
    double f = start;
    double t = 0.0;
    double period = 1.0 / f;
    for (int i = 0; i < n; ++i) {
        ac[i] = std::sin(kTwoPi * t * f);
        t += 1.0 / rate;
        const double c = t / period;
        const double frac = c - std::trunc(c);
        f += step;
        period = 1.0 / f;
        t = period * frac;
        if (!std::isfinite(t)) {
            t = 0.0;  // a frequency that passes through 0 restarts the cycle
        }
        if (f > kMaxScanFrequency) {
            f = kMaxScanFrequency;
        }
    }
}

bool MakeArrays(int n, double*& ac, double*& dc) {
    ac = new (std::nothrow) double[n];
    dc = new (std::nothrow) double[n];
    if (ac == nullptr || dc == nullptr) {
        delete[] ac;
        delete[] dc;
        return false;
    }
    return true;
}

}  // namespace

bool IsGeneratableScan(const FREQUENCY_SCAN* scan, int rate) {
    return scan != nullptr &&
           IsGeneratable(scan->fAmplitude, 0.0, scan->fStartFrequency, scan->fEndFrequency, scan->nDuration, rate);
}

bool IsGeneratableScan(const FREQUENCY_SCAN2* scan, int rate) {
    return scan != nullptr && IsGeneratable(scan->fAmplitude, scan->fDCLevel, scan->fStartFrequency,
                                            scan->fEndFrequency, scan->nDuration, rate);
}

int GenerateECGFrequencyScan(const FREQUENCY_SCAN* scan, int rate) {
    (void)s_bInstalled;
    if (!IsGeneratableScan(scan, rate)) {
        return 0;
    }
    const int n = scan->nDuration * rate;
    double* ac;
    double* dc;
    if (!MakeArrays(n, ac, dc)) {
        return 0;
    }
    Sweep(ac, n, scan->fStartFrequency, scan->fEndFrequency, scan->nDuration, rate);
    const double half = scan->fAmplitude * 0.5;
    for (int i = 0; i < n; ++i) {
        ac[i] *= half;
        dc[i] = 0.0;
    }
    delete[] g_pECGACSrcData;
    delete[] g_pECGDCSrcData;
    g_pECGACSrcData = ac;
    g_pECGDCSrcData = dc;
    g_nECGSrcSampleCount = n;
    g_fECGSrcSampleRate = static_cast<double>(rate);
    return 1;
}

int GeneratePPGFrequencyScan(int channel, const FREQUENCY_SCAN2* scan, int rate) {
    if (channel < 1 || channel > 3 || !IsGeneratableScan(scan, rate)) {
        return 0;
    }
    const int n = scan->nDuration * rate;
    double* ac;
    double* dc;
    if (!MakeArrays(n, ac, dc)) {
        return 0;
    }
    Sweep(ac, n, scan->fStartFrequency, scan->fEndFrequency, scan->nDuration, rate);
    const double half = scan->fAmplitude * 0.5;
    for (int i = 0; i < n; ++i) {
        ac[i] = half * ac[i] + half;
        dc[i] = scan->fDCLevel;
    }
    const int c = channel - 1;
    delete[] g_pPPGACSrcData[c];
    delete[] g_pPPGDCSrcData[c];
    g_pPPGACSrcData[c] = ac;
    g_pPPGDCSrcData[c] = dc;
    g_nPPGSrcSampleCount[c] = n;
    g_fPPGSrcSampleRate[c] = static_cast<double>(rate);
    return 1;
}
