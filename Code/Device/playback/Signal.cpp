// Signal evaluation and cycle timing.
#include "playback/Signal.h"

#include <atomic>
#include <cmath>

#include "protocol/Protocol.h"
#include "waveform/Conversion.h"

namespace {

constexpr double kECGACLimitMv = 5.0;
constexpr double kECGDCLimitMv = 1000.0;
constexpr double kPPGDCMaximumMv = 3000.0;
constexpr double kExtRespirationRate = 10000.0;  // samples per second of the breath curve
constexpr double kTwoTo64 = 18446744073709551616.0;
// Relative rounding error of a quotient and a product, generously.
constexpr double kRoundingAllowance = 1e-12;

constexpr int kModeRespirationSlot0 = 0x01;
constexpr int kModeRespirationSlot1 = 0x02;
constexpr int kModeRateFactor = 0x04;
constexpr int kModeExternalRespiration = 0x80;

std::atomic<PFN_CATCH_UP_STEP> g_pfnCatchUpStep{nullptr};

// The channels a mode's packets carry: the ECG flag and up to three 0-based PPG channels.
struct ModeChannels {
    int ecg;
    int ppgCount;
    int ppg[3];
};

ModeChannels ChannelsOfMode(int mode) {
    switch (mode) {
        case 1:
            return {1, 0, {0, 0, 0}};
        case 2:
            return {0, 1, {0, 0, 0}};
        case 3:
            return {1, 1, {0, 0, 0}};
        case 4:
            return {0, 1, {1, 0, 0}};
        case 5:
            return {1, 1, {1, 0, 0}};
        case 6:
            return {0, 2, {0, 1, 0}};
        case 7:
            return {1, 2, {0, 1, 0}};
        case 9:
            return {1, 1, {2, 0, 0}};
        case 10:
            return {0, 2, {0, 2, 0}};
        case 11:
            return {1, 2, {0, 2, 0}};
        case 12:
            return {0, 2, {1, 2, 0}};
        case 13:
            return {1, 2, {1, 2, 0}};
        case 14:
            return {0, 3, {0, 1, 2}};
        case 15:
            return {1, 3, {0, 1, 2}};
        case 16:
            return {0, 1, {2, 0, 0}};
        case 17:
            return {1, 0, {0, 0, 0}};
        default:
            return {0, 0, {0, 0, 0}};
    }
}

bool IsPPGIndex(int channel) { return channel >= 0 && channel <= 2; }

// The PPG AC and DC sources are absent for a silent channel.
bool IsPPGSilent(int c) { return g_fPPGSrcSampleRate[c].load() == 0.0 || g_nPPGSrcSampleCount[c] == 0; }

// Value of one list element at n by the source rule.
double ElementAC(const RAW_DATA& r, unsigned long long n) {
    return DoCalculateVoltage(n, r.fSampleRate, r.nSampleCount, r.pACData);
}

double ClampAbove(double v, double hi) { return v > hi ? hi : v; }

double Clamp(double v, double lo, double hi) {
    if (v > hi) {
        return hi;
    }
    if (v < lo) {
        return lo;
    }
    return v;
}

// The AC of a channel: its source at n - offset; unless apnea, respiration slots 0 and 1
// by the mode bits and then the append list, the lists at the absolute index.
double ChannelAC(double base, std::vector<RAW_DATA>* slots, std::vector<RAW_DATA>& append, unsigned long long n,
                 int apnea) {
    if (apnea != 0) {
        return base;
    }
    const int mode = g_nRespirationMode.load();
    double v = base;
    if ((mode & kModeRespirationSlot0) != 0) {
        v += CalculateACAccumulatedVoltage(slots[0], n);
    }
    if ((mode & kModeRespirationSlot1) != 0) {
        v *= CalculateACScaledVoltage(slots[1], n);
    }
    return v + CalculateACAccumulatedVoltage(append, n);
}

// The producer's catch-up wait: until the reporter has reached g_nCurrent, or the
// installed step gives way.
void WaitForReporter() {
    const PFN_CATCH_UP_STEP step = g_pfnCatchUpStep.load();
    if (step == nullptr) {
        return;
    }
    while (g_nOutputCurrent.load() < g_nCurrent.load()) {
        if (!step()) {
            return;
        }
    }
}

// The live rate of a new cycle: the loaded rate times the factor, unless that gives a
// rate that is not finite or not positive, or a cycle under one output sample.
double RatedSourceRate(double loaded, int count, double factor) {
    const double rate = loaded * factor;
    if (!std::isfinite(rate) || rate <= 0.0 || CycleLength(count, rate) == 0) {
        return loaded;
    }
    return rate;
}

// Cycle length at an output rate: the quotient first, then the product, truncated. A
// product that falls short of a whole number only by rounding (10000 x (3 / 10000) is
// 2.9999999999999996) counts as that number: otherwise the cycle would end one sample
// early.
unsigned long long CycleLengthAt(int count, double srcRate, int outputRate) {
    if (count <= 0 || outputRate <= 0 || !std::isfinite(srcRate) || srcRate == 0.0) {
        return 0;
    }
    const double length = static_cast<double>(outputRate) * (static_cast<double>(count) / srcRate);
    if (!(length >= 1.0 - kRoundingAllowance)) {
        return 0;  // negative, NaN, or under one output sample: no cycle
    }
    if (length >= kTwoTo64) {
        return ~0ULL;
    }
    const double whole = std::floor(length);
    if (whole + 1.0 - length <= kRoundingAllowance * length) {
        return static_cast<unsigned long long>(whole) + 1;
    }
    return static_cast<unsigned long long>(whole);
}

}  // namespace

double DoCalculateVoltage(unsigned long long n, double srcRate, int count, double* data) {
    const int outputRate = g_nSampleRate.load();
    if (count <= 0 || data == nullptr || outputRate <= 0) {
        return 0.0;
    }
    const double x = static_cast<double>(n) / static_cast<double>(outputRate) * srcRate;
    if (!(x >= 0.0) || !(x < kTwoTo64)) {
        return 0.0;
    }
    const unsigned long long xi = static_cast<unsigned long long>(x);
    const unsigned long long k = xi % static_cast<unsigned long long>(count);
    double slope = 0.0;
    if (k + 1 < static_cast<unsigned long long>(count)) {
        slope = data[k + 1] - data[k];
    } else if (k > 0) {
        // Past the last sample the curve goes on along its last segment.
        slope = data[k] - data[k - 1];
    }
    return data[k] + (x - static_cast<double>(xi)) * slope;
}

double CalculateACAccumulatedVoltage(std::vector<RAW_DATA>& list, unsigned long long n) {
    double sum = 0.0;
    for (const RAW_DATA& r : list) {
        sum += ElementAC(r, n);
    }
    return sum;
}

double CalculateDCAccumulatedVoltage(std::vector<RAW_DATA>& list, unsigned long long n) {
    double sum = 0.0;
    for (const RAW_DATA& r : list) {
        sum += DoCalculateVoltage(n, r.fSampleRate, r.nSampleCount, r.pDCData);
    }
    return sum;
}

double CalculateACScaledVoltage(std::vector<RAW_DATA>& list, unsigned long long n) {
    double product = 1.0;
    for (const RAW_DATA& r : list) {
        product *= 1.0 + ElementAC(r, n);
    }
    return product;
}

double CalculateECGACVoltage(unsigned long long n, unsigned long long offset, int apnea) {
    const double base =
        DoCalculateVoltage(n - offset, g_fECGSrcSampleRate.load(), g_nECGSrcSampleCount, g_pECGACSrcData);
    const double v = ChannelAC(base, g_vecECGRespirationExtraData, g_vecECGAppendData, n, apnea);
    return Clamp(v, -kECGACLimitMv, kECGACLimitMv);
}

double CalculateECGDCVoltage(unsigned long long i) {
    const double v = DoCalculateVoltage(i, g_fECGSrcSampleRate.load(), g_nECGSrcSampleCount, g_pECGDCSrcData) +
                     CalculateDCAccumulatedVoltage(g_vecECGAppendData, i);
    return Clamp(v, -kECGDCLimitMv, kECGDCLimitMv);
}

double CalculateECGExtRespiration(unsigned long long n) {
    return DoCalculateVoltage(n, kExtRespirationRate, g_nECGExtRespirationSampleCount, g_pECGExtRespirationData);
}

double CalculatePPGACVoltage(int channel, unsigned long long n, unsigned long long offset, int apnea) {
    if (!IsPPGIndex(channel) || IsPPGSilent(channel) || g_pPPGACSrcData[channel] == nullptr) {
        return 0.0;
    }
    const double base = DoCalculateVoltage(n - offset, g_fPPGSrcSampleRate[channel].load(),
                                           g_nPPGSrcSampleCount[channel], g_pPPGACSrcData[channel]);
    const double v = ChannelAC(base, g_vecPPGRespirationExtraData[channel], g_vecPPGAppendData[channel], n, apnea);
    // Above the maximum first, then below 0: a maximum under 0 gives 0.
    const double capped = ClampAbove(v, g_DeviceFeature.fACMaximum);
    return capped < 0.0 ? 0.0 : capped;
}

double CalculatePPGDCVoltage(int channel, unsigned long long i) {
    if (!IsPPGIndex(channel) || IsPPGSilent(channel) || g_pPPGDCSrcData[channel] == nullptr) {
        return 0.0;
    }
    const double v = DoCalculateVoltage(i, g_fPPGSrcSampleRate[channel].load(), g_nPPGSrcSampleCount[channel],
                                        g_pPPGDCSrcData[channel]) +
                     CalculateDCAccumulatedVoltage(g_vecPPGAppendData[channel], i);
    return Clamp(v, 0.0, kPPGDCMaximumMv);
}

uint16_t ECG_AC_VoltageToDAC_Ex(double mv) {
    const double ratio = (std::isfinite(g_fACRatio) && g_fACRatio != 0.0) ? g_fACRatio : 1.0;
    return ECG_AC_VoltageToDAC(mv / ratio);
}

unsigned long long CycleLength(int count, double srcRate) {
    return CycleLengthAt(count, srcRate, g_nSampleRate.load());
}

bool IsPlayableCycle(int count, double srcRate, int outputRate) {
    return srcRate > 0.0 && CycleLengthAt(count, srcRate, outputRate) != 0;
}

int CheckEndOfCycle(int count, double srcRate, unsigned long long index) {
    if (index == ~0ULL) {
        index = g_nCurrent.load();
    }
    const unsigned long long length = CycleLength(count, srcRate);
    if (length == 0) {
        return 0;
    }
    return index % length == 0 ? 1 : 0;
}

int CheckECGEndOfCycle() {
    const unsigned long long index = g_nCurrent.load() - g_nCurrentOffset[kECGOffsetIndex].load();
    return CheckEndOfCycle(g_nECGSrcSampleCount, g_fECGSrcSampleRate.load(), index);
}

int CheckPPGEndOfCycle(int channel) {
    if (!IsPPGIndex(channel)) {
        return 0;
    }
    const double rate = g_fPPGSrcSampleRate[channel].load();
    if (rate == 0.0) {
        return 0;
    }
    const unsigned long long index = g_nCurrent.load() - g_nCurrentOffset[channel].load();
    return CheckEndOfCycle(g_nPPGSrcSampleCount[channel], rate, index);
}

void CheckOutputChannelByOperatorMode(int& ecg, std::vector<int>& ppgChannels) {
    ecg = 0;
    ppgChannels.clear();
    const ModeChannels m = ChannelsOfMode(g_nOperatorMode.load());
    ecg = m.ecg;
    ppgChannels.assign(m.ppg, m.ppg + m.ppgCount);
}

int IsEndOfCycle() {
    const ModeChannels m = ChannelsOfMode(g_nOperatorMode.load());
    if (m.ecg == 0 && m.ppgCount == 0) {
        return 1;
    }
    const unsigned long long n = g_nCurrent.load();
    if (m.ecg != 0 && CheckEndOfCycle(g_nECGSrcSampleCount, g_fECGSrcSampleRate.load(), n) != 0) {
        return 1;
    }
    for (int i = 0; i < m.ppgCount; ++i) {
        const int c = m.ppg[i];
        const double rate = g_fPPGSrcSampleRate[c].load();
        if (rate != 0.0 && CheckEndOfCycle(g_nPPGSrcSampleCount[c], rate, n) != 0) {
            return 1;
        }
    }
    return 0;
}

int DoReloadIfNeeded() {
    const ModeChannels m = ChannelsOfMode(g_nOperatorMode.load());
    if (m.ecg != 0 && DoReloadECGIfNeeded() == 0) {
        return 0;
    }
    if (m.ppgCount > 0) {
        int channels[3] = {m.ppg[0], m.ppg[1], m.ppg[2]};
        return DoReloadPPGIfNeeded(channels, m.ppgCount);
    }
    return 1;
}

int DoReloadECGIfNeeded() {
    if (CheckECGEndOfCycle() == 0) {
        return 1;
    }
    if (g_bPlayLoop.load() == 0) {
        return 0;
    }
    if ((g_nRespirationMode.load() & kModeRateFactor) != 0) {
        WaitForReporter();
        ReloadECGDataForRespiration();
    }
    return 1;
}

int DoReloadPPGIfNeeded(int* channels, int count) {
    bool waited = false;
    for (int i = 0; channels != nullptr && i < count; ++i) {
        const int c = channels[i];
        if (CheckPPGEndOfCycle(c) == 0) {
            continue;
        }
        if (g_bPlayLoop.load() == 0) {
            return 0;
        }
        if ((g_nRespirationMode.load() & kModeRateFactor) != 0) {
            if (!waited) {
                WaitForReporter();
                waited = true;
            }
            ReloadPPGDataForRespiration(c);
        }
    }
    return 1;
}

void ReloadECGDataForRespiration() {
    const unsigned long long n = g_nCurrent.load();
    g_nCurrentOffset[kECGOffsetIndex] = n;
    const double factor = CalculateACScaledVoltage(g_vecECGRespirationExtraData[2], n);
    g_fECGSrcSampleRate = RatedSourceRate(g_fECGSrcSampleRateBackup, g_nECGSrcSampleCount, factor);
}

void ReloadPPGDataForRespiration(int channel) {
    if (!IsPPGIndex(channel)) {
        return;
    }
    const unsigned long long n = g_nCurrent.load();
    g_nCurrentOffset[channel] = n;
    const double factor = CalculateACScaledVoltage(g_vecPPGRespirationExtraData[channel][2], n);
    g_fPPGSrcSampleRate[channel] =
        RatedSourceRate(g_fPPGSrcSampleRateBackup[channel], g_nPPGSrcSampleCount[channel], factor);
}

void SetCatchUpStep(PFN_CATCH_UP_STEP step) { g_pfnCatchUpStep = step; }

void CheckApnea(unsigned long long n, int& apnea) {
    const int mode = g_nRespirationMode.load();
    const int duration = g_nRespirationApneaDuration.load();
    if (mode == 0 || mode == kModeExternalRespiration || duration == 0) {
        apnea = 0;
        return;
    }
    const long long rate = g_nSampleRate.load();
    const long long cycleSeconds = static_cast<long long>(g_nRespirationApneaCycle.load()) * 60;
    const long long onset = rate * cycleSeconds;
    const long long period = rate * (cycleSeconds + duration);
    if (period <= 0) {
        apnea = 0;
        return;
    }
    const unsigned long long r = n % static_cast<unsigned long long>(period);
    if (r == 0) {
        apnea = 0;
    } else if (onset >= 0 && r == static_cast<unsigned long long>(onset)) {
        apnea = 1;
    }
}

void FineTunePlayCounter() {
    const int rate = g_nSampleRate.load();
    if (rate <= 0) {
        return;
    }
    const double step = 1.0 / rate;
    g_fDelayAccumulated += DELAY_PER_SECOND / rate;
    if (g_fDelayAccumulated >= step) {
        g_fDelayAccumulated -= step;
        g_nCurrent.fetch_sub(1);
    }
}

int Resample(double* src, unsigned long count, double srcRate, double*& out, unsigned long& outCount, int newRate) {
    out = nullptr;
    outCount = 0;
    if (static_cast<double>(newRate) == srcRate) {
        return 1;
    }
    if (src == nullptr || count == 0 || newRate <= 0 || !std::isfinite(srcRate) || srcRate <= 0.0) {
        return 0;
    }
    const double length = static_cast<double>(newRate) * (static_cast<double>(count) / srcRate);
    if (!(length >= 1.0) || length > 2147483647.0) {
        return 0;
    }
    const unsigned long n = static_cast<unsigned long>(static_cast<int>(length));
    double* buffer = nullptr;
    if (ReAllocateBuffer(buffer, n) == 0) {
        return 0;
    }
    for (unsigned long i = 0; i < n; ++i) {
        const double x = static_cast<double>(i) / newRate * srcRate;
        const unsigned long long xi = static_cast<unsigned long long>(x);
        const unsigned long long k = xi % count;
        double v = src[k];
        if (k + 1 < count) {
            v += (x - static_cast<double>(xi)) * (src[k + 1] - src[k]);
        }
        buffer[i] = v;
    }
    out = buffer;
    outCount = n;
    return 1;
}
