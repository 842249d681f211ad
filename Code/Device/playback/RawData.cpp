// Loading the channel sources and the extra-curve lists.
#include "playback/RawData.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>

#include "playback/Signal.h"
#include "protocol/Protocol.h"
#include "waveform/Conversion.h"
#include "waveform/Numeric.h"

namespace {

constexpr uint16_t kModelFingerCurves = 0x2012;
constexpr uint16_t kModelCalibrated = 0x2112;
// The converted AC peak picks the AC calibration range on model 0x2112; the allowance
// absorbs rounding in amplitudes the host computed.
constexpr double kPeakAllowance = 0.005;
constexpr double kRange0FromMv = 15.0;
constexpr double kRange1FromMv = 1.5;

// The external-respiration breath: samples per minute of breathing at 10000 per second,
// the resistance it varies around, and the respiration mode of a flat curve.
constexpr long long kBreathSamplesPerMinute = 600000;
constexpr double kRespirationBaseOhms = 50.0;
constexpr int kFlatRespirationMode = 0x40;

std::atomic<PFN_ECG_SCAN_GENERATOR> g_pfnECGScanGenerator{nullptr};
std::atomic<PFN_PPG_SCAN_GENERATOR> g_pfnPPGScanGenerator{nullptr};

// A record whose count and rate can be played: a count that is not negative, and for a
// count above 0 a finite positive rate and both arrays.
bool IsLoadable(const PLAY_RAW_DATA& record) {
    if (record.nSampleCount < 0) {
        return false;
    }
    if (record.nSampleCount == 0) {
        return true;
    }
    return std::isfinite(record.fSampleRate) && record.fSampleRate > 0.0 && record.pACData != nullptr &&
           record.pDCData != nullptr;
}

// Two new arrays holding copies of the record's arrays; both null for count 0. False
// (nothing made) when an allocation fails.
bool CopyArrays(const PLAY_RAW_DATA& record, double*& ac, double*& dc) {
    ac = nullptr;
    dc = nullptr;
    const unsigned long count = static_cast<unsigned long>(record.nSampleCount);
    if (count == 0) {
        return true;
    }
    if (!ReAllocateBuffer(ac, count) || !ReAllocateBuffer(dc, count)) {
        delete[] ac;
        ac = nullptr;
        return false;
    }
    std::memcpy(ac, record.pACData, count * sizeof(double));
    std::memcpy(dc, record.pDCData, count * sizeof(double));
    return true;
}

bool IsPPGChannel(int channel) { return channel >= 1 && channel <= 3; }
bool IsSlot(int slot) { return slot >= 0 && slot <= 2; }

void AppendClone(std::vector<RAW_DATA>& list, const PLAY_RAW_DATA& record) {
    RAW_DATA clone = CloneRawData(record);
    if (clone.nSampleCount <= 0) {
        return;
    }
    try {
        list.push_back(clone);
    } catch (const std::bad_alloc&) {
        delete[] clone.pACData;
        delete[] clone.pDCData;
    }
}

}  // namespace

int LoadRawECG(const PLAY_RAW_DATA& record) {
    double* ac = nullptr;
    double* dc = nullptr;
    if (!IsLoadable(record) || !CopyArrays(record, ac, dc)) {
        return 0;
    }
    delete[] g_pECGACSrcData;
    delete[] g_pECGDCSrcData;
    g_pECGACSrcData = ac;
    g_pECGDCSrcData = dc;
    g_nECGSrcSampleCount = record.nSampleCount;
    g_fECGSrcSampleRate = record.fSampleRate;
    g_fECGSrcSampleRateBackup = record.fSampleRate;
    return 1;
}

int LoadRawPPG(int channel, const PLAY_RAW_DATA& record) {
    double* ac = nullptr;
    double* dc = nullptr;
    if (!IsPPGChannel(channel) || !IsLoadable(record) || !CopyArrays(record, ac, dc)) {
        return 0;
    }
    const int c = channel - 1;
    delete[] g_pPPGACSrcData[c];
    delete[] g_pPPGDCSrcData[c];
    g_pPPGACSrcData[c] = ac;
    g_pPPGDCSrcData[c] = dc;
    if (record.nSampleCount == 0) {
        // No samples: the arrays are gone, the count and rates stay as they were.
        return 1;
    }
    const int count = record.nSampleCount;
    g_nPPGSrcSampleCount[c] = count;
    g_fPPGSrcSampleRate[c] = record.fSampleRate;
    g_fPPGSrcSampleRateBackup[c] = record.fSampleRate;

    const uint16_t model = GetPPGFullModelNumber();
    if (g_bPPGAmplitudeConversion == 0 || (model != kModelFingerCurves && model != kModelCalibrated)) {
        return 1;
    }
    double largest = 0.0;
    for (int i = 0; i < count; ++i) {
        ac[i] = FingerACValueConvert(ac[i]);
        dc[i] = FingerDCValueConvert(static_cast<PPGChannel>(channel), dc[i]);
        if (ac[i] > largest) {
            largest = ac[i];
        }
    }
    if (model == kModelCalibrated) {
        const double peak = largest + kPeakAllowance;
        g_ACCalMode[c] = peak >= kRange0FromMv ? 0 : (peak >= kRange1FromMv ? 1 : 2);
    }
    return 1;
}

void FreeRawPPG(int channel) {
    if (!IsPPGChannel(channel)) {
        return;
    }
    const int c = channel - 1;
    delete[] g_pPPGACSrcData[c];
    delete[] g_pPPGDCSrcData[c];
    g_pPPGACSrcData[c] = nullptr;
    g_pPPGDCSrcData[c] = nullptr;
    g_nPPGSrcSampleCount[c] = 0;
    g_fPPGSrcSampleRate[c] = 0.0;
    g_fPPGSrcSampleRateBackup[c] = 0.0;
}

RAW_DATA CloneRawData(const PLAY_RAW_DATA& record) {
    RAW_DATA clone = {0, record.fSampleRate, nullptr, nullptr};
    if (record.nSampleCount <= 0) {
        return clone;
    }
    const unsigned long count = static_cast<unsigned long>(record.nSampleCount);
    if (!ReAllocateBuffer(clone.pACData, count) || !ReAllocateBuffer(clone.pDCData, count)) {
        delete[] clone.pACData;
        clone.pACData = nullptr;
        return clone;
    }
    for (unsigned long i = 0; i < count; ++i) {
        clone.pACData[i] = record.pACData != nullptr ? record.pACData[i] : 0.0;
        clone.pDCData[i] = record.pDCData != nullptr ? record.pDCData[i] : 0.0;
    }
    clone.nSampleCount = record.nSampleCount;
    return clone;
}

void ClearAppendData(std::vector<RAW_DATA>& list) {
    for (RAW_DATA& r : list) {
        delete[] r.pACData;
        delete[] r.pDCData;
    }
    list.clear();
}

void PlayRawResetAccumulation() {
    ClearAppendData(g_vecECGAppendData);
    for (std::vector<RAW_DATA>& slot : g_vecECGRespirationExtraData) {
        ClearAppendData(slot);
    }
    for (std::vector<RAW_DATA>& list : g_vecPPGAppendData) {
        ClearAppendData(list);
    }
    for (std::vector<RAW_DATA>(&slots)[3] : g_vecPPGRespirationExtraData) {
        for (std::vector<RAW_DATA>& slot : slots) {
            ClearAppendData(slot);
        }
    }
}

void PlayRawAppendECG(const PLAY_RAW_DATA& record) { AppendClone(g_vecECGAppendData, record); }

void PlayRawAppendScaledECG(const PLAY_RAW_DATA& record, int slot) {
    if (IsSlot(slot)) {
        AppendClone(g_vecECGRespirationExtraData[slot], record);
    }
}

void PlayRawAppendPPG(PPGChannel channel, const PLAY_RAW_DATA& record) {
    if (IsPPGChannel(channel)) {
        AppendClone(g_vecPPGAppendData[channel - 1], record);
    }
}

void PlayRawAppendScalePPG(PPGChannel channel, const PLAY_RAW_DATA& record, int slot) {
    if (IsPPGChannel(channel) && IsSlot(slot)) {
        AppendClone(g_vecPPGRespirationExtraData[channel - 1][slot], record);
    }
}

int LoadECGExtRespirationCurve(const ECG_WAVEFORM& waveform) {
    const int rate = waveform.nRespirationRate;
    const long long n = rate > 0 ? kBreathSamplesPerMinute / rate : 0;
    const long long ratio = waveform.nRespirationDepthOrRatio;
    const bool flat = waveform.nRespirationMode == kFlatRespirationMode;
    const bool shaped = n >= 1 && (flat || ratio > -1);
    const long long count = shaped ? n : 1;
    g_nECGExtRespirationSampleCount = 0;
    if (ReAllocateBuffer(g_pECGExtRespirationData, static_cast<unsigned long>(count)) == 0) {
        return 0;
    }
    double* curve = g_pECGExtRespirationData;
    const double a = waveform.nRespirationAmplitude / 1000.0;
    if (!shaped) {
        curve[0] = kRespirationBaseOhms;
    } else if (flat) {
        for (long long i = 0; i < count; ++i) {
            curve[i] = kRespirationBaseOhms + a;
        }
    } else {
        const long long rise = count / (ratio + 1);
        const long long fall = count - rise;
        for (long long i = 0; i < rise; ++i) {
            curve[i] = kRespirationBaseOhms + a * std::sin(nvs::kPi / 2 * static_cast<double>(i) / rise);
        }
        for (long long i = rise; i < count; ++i) {
            curve[i] = kRespirationBaseOhms + a * std::cos(nvs::kPi / 2 * static_cast<double>(i - rise) / fall);
        }
    }
    g_nECGExtRespirationSampleCount = static_cast<int>(count);
    return 1;
}

int LoadECGFrequencyScanWaveform(const FREQUENCY_SCAN* scan, int rate) {
    const PFN_ECG_SCAN_GENERATOR generate = g_pfnECGScanGenerator.load();
    return generate != nullptr ? generate(scan, rate) : 0;
}

int LoadPPGFrequencyScanWaveform(int channel, const FREQUENCY_SCAN2* scan, int rate) {
    const PFN_PPG_SCAN_GENERATOR generate = g_pfnPPGScanGenerator.load();
    return generate != nullptr ? generate(channel, scan, rate) : 0;
}

void InstallFrequencyScanGenerators(PFN_ECG_SCAN_GENERATOR ecg, PFN_PPG_SCAN_GENERATOR ppg) {
    g_pfnECGScanGenerator = ecg;
    g_pfnPPGScanGenerator = ppg;
}
