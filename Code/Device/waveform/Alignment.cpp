// ECG-PPG alignment and PPG playback streams.
#include <algorithm>
#include <cstdint>

#include "waveform/Alignment.h"
#include "waveform/Numeric.h"
#include "waveform/Waveform.h"

using nvs::SatInt;

namespace {

// ECG peak time in ms from the start of the ECG period (without the beat's pacing lead-in).
int64_t ECGPeakTime(const ECG_WAVEFORM& ecg) {
    switch (ecg.nWaveformType) {
        case 0:
        case 1:
            return ecg.nRRInterval >> 2;  // a quarter period (arithmetic shift)
        case 2:
            return 0;
        case 4:
            return ecg.nPulseWidth >> 1;
        default: {
            // The R peak: a little under half of 7/8 of the QRS after the QRS start of the
            // beat's timing case.
            const int64_t q = SatInt(7.0 * ecg.nQRSWidth / 8.0);
            const int64_t h = q / 2;
            const int64_t rr = ecg.nRRInterval;
            const int64_t qrs = ecg.nQRSWidth;
            if (rr <= qrs + 100) {
                return h;
            }
            if (rr <= qrs + 279) {
                return h + 100;
            }
            if (rr <= qrs + 379) {
                return (rr - qrs - 180) + h;
            }
            return ecg.nPRInterval + h;
        }
    }
}

}  // namespace

int CalcPPGStartPoint(ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, int delay) {
    if (ecg == nullptr || ecg->nRRInterval == 0 || ppg == nullptr || ppg->nPeriod <= 0) {
        return 0;
    }
    const int64_t e = ECGPeakTime(*ecg);
    const int64_t p = ppg->nPeriod;
    const int64_t d = delay;
    int64_t r;  // remainders take the sign of the dividend
    if (ppg->nWaveformType == 3 || ppg->nWaveformType == 16) {
        r = (p - (p + (e + d - ppg->nTime1)) % p) % p;
    } else if (ppg->nWaveformType == 2) {
        r = (2 * p - (p + e + d)) % p;
    } else {
        // Sine and triangle peak a quarter period after their start.
        r = (2 * p - SatInt(0.75 * static_cast<double>(p) + static_cast<double>(e + d))) % p;
    }
    if (r < 0) {
        r += p;
    }
    return SatInt(ecg->fSampleRateKHz * static_cast<double>(r));
}

int ORVCalcPPGStartPoint(ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, int delay) {
    if (ecg == nullptr) {
        return 0;
    }
    // Rate 1 sample per ms: the start point comes out in milliseconds.
    ecg->fSampleRateKHz = 1.0;
    ecg->nSampleFraction = 0;
    return CalcPPGStartPoint(ecg, ppg, delay);
}

void ShiftPPGWaveformData(double* samples, int n, int start) {
    if (samples == nullptr || n <= 0) {
        return;
    }
    // A start computed for another rate or period may lie outside the array.
    int s = start % n;
    if (s < 0) {
        s += n;
    }
    std::rotate(samples, samples + s, samples + n);
}

void PPGWaveformToRawData(int count, PPG_WAVEFORM** records, PFN_SAMPLE_CALLBACK* callbacks, PLAY_RAW_DATA* out,
                          int rate, int start) {
    if (records == nullptr || out == nullptr) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        PPG_WAVEFORM* w = records[i];
        if (w == nullptr) {
            continue;
        }
        PLAY_RAW_DATA& raw = out[i];
        raw.fSampleRate = 10000.0;
        raw.nSampleCount = 0;
        raw.nSyncPulse = w->nSyncPulse;
        raw.pACData = nullptr;
        raw.pDCData = nullptr;
        raw.pCallback = callbacks != nullptr ? callbacks[i] : nullptr;
        w->fSampleRateKHz = rate;
        w->nSampleFraction = 0;
        int n = 0;
        GenPPGWaveform(w, &n, &raw.pACData, &raw.pDCData, 0.0);
        raw.nSampleCount = n;
        if (start != 0) {
            ShiftPPGWaveformData(raw.pACData, n, start);
            ShiftPPGWaveformData(raw.pDCData, n, start);
        }
    }
}
