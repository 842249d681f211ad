// The reporter: every 10 ms it replays the indices the producer has passed for the
// host's callbacks (at most 20 ms of stream a step, every fourth sample at 40000 per
// second), with the same sources, offsets and lists as the packets. At a plain stop it
// reports what is left up to the production index; at a force stop it does not. Either
// way each set callback gets one end marker and is cleared.
#include <cmath>
#include <cstdint>

#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "playback/PlayThreads.h"
#include "playback/PlayRaw.h"
#include "waveform/Conversion.h"
#include "waveform/Numeric.h"

TIMER_HANDLE g_hOutputDataTimer = nullptr;

namespace {

constexpr int kMarker = static_cast<int>(0x80000000u);
constexpr unsigned kDrainGraceMs = 1000;  // beyond the stream time left to report

// The channels reported per operator mode: ECG, PPG 1, 2, 3.
struct Reported {
    bool ecg, ppg[3];
};

Reported ChannelsOf(int mode) {
    switch (mode) {
        case 1:
            return {true, {false, false, false}};
        case 2:
            return {false, {true, false, false}};
        case 3:
            return {true, {true, false, false}};
        case 4:
            return {false, {false, true, false}};
        case 5:
            return {true, {false, true, false}};
        case 6:
            return {false, {true, true, false}};
        case 7:
            return {true, {true, true, false}};
        case 9:
            return {true, {false, false, true}};
        case 10:
            return {false, {true, false, true}};
        case 11:
            return {true, {true, false, true}};
        case 12:
            return {false, {false, true, true}};
        case 13:
            return {true, {false, true, true}};
        case 14:
            return {false, {true, true, true}};
        case 15:
            return {true, {true, true, true}};
        case 16:
            return {false, {false, false, true}};
        case 17:
            return {true, {false, false, false}};  // the ECG of the respiration stream
        default:
            return {false, {false, false, false}};
    }
}

int Microvolts(double mv) { return nvs::SatInt(mv * 1000.0); }

// The pacing pulse the instrument adds to the ECG DC at index n, in microvolts.
int PacingMicrovolts(uint64_t n, int rate) {
    if (!g_bPacingEnable) {
        return 0;
    }
    const int period = nvs::SatInt(rate / g_fPacingRate);
    if (period <= 0) {
        return 0;
    }
    const double widthSamples = g_fPacingDuraton * rate / 1000.0;
    const uint64_t width = widthSamples > 0.0 ? static_cast<uint64_t>(nvs::SatInt(widthSamples)) : 0;
    return n % static_cast<uint64_t>(period) < width ? Microvolts(g_fPacingAmplitude) : 0;
}

void EndMarkers(int rate) {
    // One index past the last produced one; the production index itself is not moved.
    const double t = static_cast<double>(g_nCurrent.load() + 1) / rate;
    PFN_SAMPLE_CALLBACK* slots[5] = {&g_ECGCallback, &g_FrequencyScanCallback, &g_PPGCallback[0], &g_PPGCallback[1],
                                     &g_PPGCallback[2]};
    for (PFN_SAMPLE_CALLBACK* slot : slots) {
        if (PFN_SAMPLE_CALLBACK cb = *slot) {
            cb(t, kMarker, kMarker);
            *slot = nullptr;
        }
    }
}

}  // namespace

int DoOutputECGAndPPGExData(int ecg, int ppg1, int ppg2, int ppg3) {
    const int rate = PlayOutputRate();
    const uint64_t step = rate == 40000 ? 4 : 1;
    const bool ppg[3] = {ppg1 != 0, ppg2 != 0, ppg3 != 0};
    const bool respirationStream = g_nOperatorMode == 17;
    uint64_t n = g_nOutputCurrent.load();
    const double t0 = static_cast<double>(n) / rate;
    int reported = 0;
    while (n < g_nCurrent.load()) {
        int apnea = g_bOutputIsApnea;
        CheckApnea(n, apnea);
        g_bOutputIsApnea = apnea;
        const double t = static_cast<double>(n) / rate;
        if (std::fabs(t - t0) >= 0.02) {
            break;
        }
        if (ecg && g_nECGSrcSampleCount > 0) {
            const uint64_t offset = g_nCurrentOffset[kECGOffsetIndex].load();
            const int ac = Microvolts(CalculateECGACVoltage(n, offset, respirationStream ? 0 : apnea));
            int dc = Microvolts(CalculateECGDCVoltage(n - offset));
            if (PFN_SAMPLE_CALLBACK cb = g_ECGCallback) {
                dc = nvs::SatInt(static_cast<int64_t>(dc) + PacingMicrovolts(n, rate));
                cb(t, ac, dc);
            }
            if (PFN_SAMPLE_CALLBACK cb = g_FrequencyScanCallback) {
                cb(t, ac, dc);
            }
        }
        for (int c = 0; c < 3; ++c) {
            PFN_SAMPLE_CALLBACK cb = g_PPGCallback[c];
            if (!ppg[c] || cb == nullptr || g_nPPGSrcSampleCount[c] <= 0) {
                continue;
            }
            const uint64_t offset = g_nCurrentOffset[c].load();
            const int ac = Microvolts(CalculatePPGACVoltage(c, n, offset, apnea));
            const int mv = nvs::SatInt(CalculatePPGDCVoltage(c, n - offset));
            const int index = FingerConvertedDCValueIndex(static_cast<PPGChannel>(c + 1), static_cast<uint16_t>(mv));
            cb(t, ac, static_cast<int>(static_cast<int32_t>(static_cast<int64_t>(index) * 1000)));
        }
        n += step;
        g_nOutputCurrent.store(n);
        ++reported;
    }
    return reported;
}

int OutputData() {
    CAutoCriticalSection lock(g_DataCriticalSection);
    const Reported r = ChannelsOf(g_nOperatorMode);
    if (!r.ecg && !r.ppg[0] && !r.ppg[1] && !r.ppg[2]) {
        return 0;
    }
    return DoOutputECGAndPPGExData(r.ecg, r.ppg[0], r.ppg[1], r.ppg[2]);
}

void* OutputDataThread(void*) {
    unsigned int signal = TimerSignal2();
    g_hOutputDataTimer = CreateNewTimer(10, signal);
    CEvent* events[3] = {&g_hForceStopPlayEvent, &g_hStopPlayEvent, &g_hSigTimer2Event};
    bool drain = false;
    for (;;) {
        const unsigned int w = WaitForMultipleObjects(3, events, 0, NVS_INFINITE);
        if (w == 0) {
            break;
        }
        if (w == 1) {
            drain = true;
            break;
        }
        if (w == 2) {
            OutputData();
        }
    }
    if (drain) {
        // Everything produced up to the stop, paced by the timer, within the stream time
        // left plus a grace; a force stop cuts it short.
        const int rate = PlayOutputRate();
        const uint64_t current = g_nCurrent.load();
        const uint64_t reportedUpTo = g_nOutputCurrent.load();
        const uint64_t left = current > reportedUpTo ? current - reportedUpTo : 0;
        const uint64_t deadline = GetMonotonicMs() + left * 1000 / static_cast<uint64_t>(rate) + kDrainGraceMs;
        CEvent* paced[2] = {&g_hForceStopPlayEvent, &g_hSigTimer2Event};
        while (OutputData() > 0 && g_nOutputCurrent.load() < g_nCurrent.load() && GetMonotonicMs() < deadline) {
            if (WaitForMultipleObjects(2, paced, 0, 10) == 0) {
                break;
            }
        }
    }
    PlayReporterEnded();
    EndMarkers(PlayOutputRate());
    DeleteTimer(signal, g_hOutputDataTimer);
    return nullptr;
}
