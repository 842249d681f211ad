// ECG-PPG alignment: start points from the stated cases, the pulse transit time as an
// invariant of generated periods, rotation, and PPG playback streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "WaveformRecords.h"
#include "waveform/Alignment.h"
#include "waveform/Waveform.h"

namespace {

// The beat of exactly rate x RR samples.
ECG_WAVEFORM EcgBeat(int rr, int pr, double rateKHz) {
    ECG_WAVEFORM w = records::EcgBeat(rr, rateKHz);
    w.nPRInterval = pr;
    return w;
}

// A PPG record of the type (the pulse's times and amplitudes for every type).
PPG_WAVEFORM PpgOfPeriod(int type, int period, double rateKHz) {
    PPG_WAVEFORM w = records::PpgPulse(type, rateKHz, period);
    w.nSyncPulse = 2;
    return w;
}

template <typename T>
int ArgMax(const T* s, int n) {
    return static_cast<int>(std::max_element(s, s + n) - s);
}

}  // namespace

TEST(CalcPPGStartPoint, StatedCases) {
    ECG_WAVEFORM beat = EcgBeat(800, 160, 1.0);  // E = 160 + 87 / 2 = 203
    ECG_WAVEFORM sine{};
    sine.nWaveformType = 0;
    sine.nRRInterval = 1000;  // E = 250
    sine.fSampleRateKHz = 1.0;
    ECG_WAVEFORM square = sine;
    square.nWaveformType = 2;  // E = 0
    ECG_WAVEFORM pulse = sine;
    pulse.nWaveformType = 4;
    pulse.nPulseWidth = 40;  // E = 20
    struct Case {
        const char* name;
        ECG_WAVEFORM* ecg;
        int ppgType, period, delay, start;
    } cases[] = {
        {"beat, PPG pulse", &beat, 3, 800, 0, 747},  // (800 - 853 mod 800) mod 800
        {"beat, PPG lines", &beat, 16, 800, 0, 747},
        {"beat, PPG sine", &beat, 0, 800, 0, 797},    // (1600 - 803) mod 800
        {"beat, PPG square", &beat, 2, 800, 0, 597},  // (1600 - 1003) mod 800
        {"sine, PPG square", &sine, 2, 1000, 0, 750},
        {"square, PPG square", &square, 2, 1000, 0, 0},
        {"square, PPG square, delay", &square, 2, 1000, 100, 900},
        {"pulse, PPG square", &pulse, 2, 1000, 0, 980},
        {"beat, pulse, long delay", &beat, 3, 800, 5000, 747 - 200},  // 5000 = 6 x 800 + 200
        {"beat, pulse, negative delay", &beat, 3, 800, -300, 247},
        {"no period", &beat, 3, 0, 0, 0},
        {"negative period", &beat, 3, -800, 0, 0},
    };
    for (const Case& c : cases) {
        PPG_WAVEFORM ppg = PpgOfPeriod(c.ppgType, c.period, 1.0);
        EXPECT_EQ(CalcPPGStartPoint(c.ecg, &ppg, c.delay), c.start) << c.name;
    }
    PPG_WAVEFORM ppg = PpgOfPeriod(3, 800, 1.0);
    ECG_WAVEFORM noRR = beat;
    noRR.nRRInterval = 0;
    EXPECT_EQ(CalcPPGStartPoint(&noRR, &ppg, 0), 0);
    EXPECT_EQ(CalcPPGStartPoint(nullptr, &ppg, 0), 0);
    EXPECT_EQ(CalcPPGStartPoint(&beat, nullptr, 0), 0);
    // Timing cases of the beat: E = 43 (case 1), 143 (2 and 3), RR - 280 + 43 (4).
    for (auto [rr, e] : {std::pair<int, int>{200, 43}, {300, 143}, {379, 143}, {420, 183}}) {
        ECG_WAVEFORM w = EcgBeat(rr, 160, 1.0);
        PPG_WAVEFORM p = PpgOfPeriod(2, 1000, 1.0);
        EXPECT_EQ(CalcPPGStartPoint(&w, &p, 0), 1000 - e) << "RR " << rr;
    }
}

TEST(CalcPPGStartPoint, RotatedPulsePeakFollowsTheRPeakByTheDelay) {
    for (double rate : {1.0, 2.0, 10.0}) {
        for (int delay : {0, 50, 200, 650, 1500, -120}) {
            ECG_WAVEFORM ecg = EcgBeat(800, 160, rate);
            PPG_WAVEFORM ppg = PpgOfPeriod(3, 800, rate);
            int n = 0;
            double* ecgAc = nullptr;
            double* ecgDc = nullptr;
            GenECGWaveform(&ecg, &n, &ecgAc, &ecgDc, false);
            int m = 0;
            double* ppgAc = nullptr;
            double* ppgDc = nullptr;
            GenPPGWaveform(&ppg, &m, &ppgAc, &ppgDc, 0.0);
            ASSERT_EQ(n, static_cast<int>(800 * rate));
            ASSERT_EQ(m, n);
            ShiftPPGWaveformData(ppgAc, m, CalcPPGStartPoint(&ecg, &ppg, delay));
            const int rPeak = ArgMax(ecgAc, n);
            const int pulsePeak = ArgMax(ppgAc, m);
            const int transit = ((static_cast<int>(delay * rate) % n) + n) % n;
            EXPECT_EQ(((pulsePeak - rPeak) % n + n) % n, transit) << rate << " kHz, delay " << delay << " ms";
            delete[] ecgAc;
            delete[] ecgDc;
            delete[] ppgAc;
            delete[] ppgDc;
        }
    }
}

TEST(ORVCalcPPGStartPoint, InMillisecondsAndWritesTheRate) {
    ECG_WAVEFORM ecg = EcgBeat(800, 160, 10.0);
    ecg.nSampleFraction = 55;
    PPG_WAVEFORM ppg = PpgOfPeriod(3, 800, 10.0);
    EXPECT_EQ(ORVCalcPPGStartPoint(&ecg, &ppg, 0), 747);
    EXPECT_EQ(ecg.fSampleRateKHz, 1.0);
    EXPECT_EQ(ecg.nSampleFraction, 0);
    EXPECT_EQ(ORVCalcPPGStartPoint(nullptr, &ppg, 0), 0);
    EXPECT_EQ(ORVCalcPPGStartPoint(&ecg, nullptr, 0), 0);
}

TEST(ShiftPPGWaveformData, RotatesByAnyStart) {
    struct Case {
        int start;
        std::vector<double> expected;
    } cases[] = {
        {0, {1, 2, 3}},  {1, {2, 3, 1}}, {2, {3, 1, 2}},
        {3, {1, 2, 3}},  {4, {2, 3, 1}},  // a start for a longer period wraps
        {-1, {3, 1, 2}},                  // never before the array
    };
    for (const Case& c : cases) {
        std::vector<double> s{1, 2, 3};
        ShiftPPGWaveformData(s.data(), 3, c.start);
        EXPECT_EQ(s, c.expected) << "start " << c.start;
    }
    ShiftPPGWaveformData(nullptr, 3, 1);
    double one = 5;
    ShiftPPGWaveformData(&one, 0, 1);
    EXPECT_EQ(one, 5);
}

namespace {
void Callback1(double, int, int) {}
void Callback3(double, int, int) {}
}  // namespace

TEST(PPGWaveformToRawData, OneStreamPerRecord) {
    PPG_WAVEFORM first = PpgOfPeriod(3, 800, 0.5);
    PPG_WAVEFORM third = PpgOfPeriod(0, 500, 0.5);
    third.nSyncPulse = 1;
    third.nSampleFraction = 77;
    PPG_WAVEFORM* records[3] = {&first, nullptr, &third};
    PFN_SAMPLE_CALLBACK callbacks[3] = {Callback1, Callback1, Callback3};
    PLAY_RAW_DATA out[3];
    double marker = 0;
    for (PLAY_RAW_DATA& r : out) {
        r = {-1.0, -1, -1, &marker, &marker, nullptr};
    }
    PPGWaveformToRawData(3, records, callbacks, out, 10, 100);

    EXPECT_EQ(out[1].fSampleRate, -1.0) << "no record: untouched";
    EXPECT_EQ(out[1].pACData, &marker);
    const struct {
        PLAY_RAW_DATA& raw;
        PPG_WAVEFORM& record;
        int samples, sync;
        PFN_SAMPLE_CALLBACK callback;
    } filled[] = {{out[0], first, 8000, 2, Callback1}, {out[2], third, 5000, 1, Callback3}};
    for (const auto& f : filled) {
        EXPECT_EQ(f.raw.fSampleRate, 10000.0);
        ASSERT_EQ(f.raw.nSampleCount, f.samples);
        EXPECT_EQ(f.raw.nSyncPulse, f.sync);
        EXPECT_EQ(f.raw.pCallback, f.callback);
        EXPECT_EQ(f.record.fSampleRateKHz, 10.0) << "rate written into the record";
        EXPECT_EQ(f.record.nSampleFraction, 0);
        // The same period, generated unrotated, shifted by 100 samples.
        int n = 0;
        double* ac = nullptr;
        double* dc = nullptr;
        GenPPGWaveform(&f.record, &n, &ac, &dc, 0.0);
        ASSERT_EQ(n, f.samples);
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(f.raw.pACData[i], ac[(i + 100) % n]) << i;
            ASSERT_EQ(f.raw.pDCData[i], dc[(i + 100) % n]) << i;
        }
        delete[] ac;
        delete[] dc;
        delete[] f.raw.pACData;
        delete[] f.raw.pDCData;
    }
    PPGWaveformToRawData(3, nullptr, callbacks, out, 10, 0);  // ignored
}
