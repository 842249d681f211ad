// Waveform records for the tests and the benchmarks.
#include "WaveformRecords.h"

namespace records {

double FrequencyOfPeriod(double periodMs) { return 1000.0 / periodMs * (1.0 - 1e-12); }

ECG_WAVEFORM Ecg(int type, double rateKHz, double periodMs, double amplitudeMv) {
    ECG_WAVEFORM w{};
    w.nWaveformType = type;
    w.fFrequency = FrequencyOfPeriod(periodMs);
    w.fSampleRateKHz = rateKHz;
    w.fAmplitude = amplitudeMv;
    return w;
}

ECG_WAVEFORM EcgBeat(int rrMs, double rateKHz) {
    ECG_WAVEFORM w = Ecg(6, rateKHz, rrMs, 1.0);
    w.fTAmplitude = 0.3;
    w.fPAmplitude = 0.2;
    w.nRRInterval = rrMs;
    w.nPRInterval = 160;
    w.nQRSWidth = 100;
    w.nTWidth = 180;
    w.nQTInterval = 400;
    return w;
}

ECG_WAVEFORM EcgSine(double hz, double amplitudeMv) {
    ECG_WAVEFORM w{};
    w.nWaveformType = 0;
    w.fFrequency = hz;
    w.fAmplitude = amplitudeMv;
    w.nRRInterval = static_cast<int32_t>(1000.0 / hz);
    w.nPacingRate = 60;
    w.fSampleRateKHz = 1.0;
    return w;
}

PPG_WAVEFORM Ppg(int type, double rateKHz, double periodMs, double a1Mv) {
    PPG_WAVEFORM w{};
    w.nWaveformType = type;
    w.fFrequency = FrequencyOfPeriod(periodMs);
    w.fSampleRateKHz = rateKHz;
    w.fAmplitude1 = a1Mv;
    return w;
}

PPG_WAVEFORM PpgPulse(int type, double rateKHz, double periodMs, double a1Mv) {
    PPG_WAVEFORM w = Ppg(type, rateKHz, periodMs, a1Mv);
    w.fAmplitude2 = 0.4 * a1Mv;
    w.fAmplitude3 = 0.6 * a1Mv;
    w.nTime1 = 150;
    w.nTime2 = 300;
    w.nTime3 = 400;
    w.nPeriod = static_cast<int32_t>(periodMs);
    return w;
}

PPG_WAVEFORM PpgSine(double hz, double dcMv, double a1Mv) {
    PPG_WAVEFORM w{};
    w.nWaveformType = 0;
    w.fFrequency = hz;
    w.fDCLevel = dcMv;
    w.fAmplitude1 = a1Mv;
    w.nPeriod = static_cast<int32_t>(1000.0 / hz);
    w.fSampleRateKHz = 1.0;
    return w;
}

}  // namespace records
