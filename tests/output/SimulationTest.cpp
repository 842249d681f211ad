// The host-side simulation of an output, tick by tick, without threads or an instrument.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "WaveformRecords.h"
#include "output/OutputEnable.h"
#include "output/OutputSimulation.h"
#include "waveform/Alignment.h"
#include "waveform/Numeric.h"
#include "waveform/Waveform.h"

using namespace output;

namespace {

using nvs::kPi;
constexpr int kTick = 20;

// A 1 Hz ECG sine of 1 mV at 1 sample per ms: n = 1000, P = 1 s.
ECG_WAVEFORM EcgSine() { return records::EcgSine(1.0, 1.0); }

// A PPG sine of `ms` ms at 1 sample per ms: n = ms.
PPG_WAVEFORM PpgSine(int ms) {
    PPG_WAVEFORM p = records::PpgSine(1000.0 / ms, 500.0, 10.0);
    p.nPeriod = ms;
    return p;
}

PPG_WAVEFORM NotInUse() {
    PPG_WAVEFORM p = {};
    p.nWaveformType = -1;
    return p;
}

struct Period {
    std::vector<int> ac, dc;
};

Period EcgPeriod(const ECG_WAVEFORM& e) {
    int n = 0;
    int* ac = nullptr;
    int* dc = nullptr;
    GenECGWaveform(&e, &n, &ac, &dc, false);
    Period p{std::vector<int>(ac, ac + n), std::vector<int>(dc, dc + n)};
    delete[] ac;
    delete[] dc;
    return p;
}

struct PpgPeriod {
    std::vector<double> ac, dc;
};

PpgPeriod PpgPeriodOf(const PPG_WAVEFORM& w) {
    int n = 0;
    double* ac = nullptr;
    double* dc = nullptr;
    GenPPGWaveform(&w, &n, &ac, &dc, 0.0);
    PpgPeriod p{std::vector<double>(ac, ac + n), std::vector<double>(dc, dc + n)};
    delete[] ac;
    delete[] dc;
    return p;
}

// Runs `ticks` ticks and returns every sample in order.
std::vector<Sample> RunTicks(Simulation& s, int ticks) {
    std::vector<Sample> all;
    std::vector<Sample> buffer(MaxSamplesPerTick(kTick));
    for (int i = 0; i < ticks; ++i) {
        const size_t n = Tick(s, kTick, buffer.data());
        EXPECT_LE(n, buffer.size());
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return all;
}

std::vector<Sample> Markers(const Simulation& s) {
    std::vector<Sample> out(kChannels);
    out.resize(EndMarkers(s, out.data()));
    return out;
}

}  // namespace

TEST(OutputSimulation, ECGSamplesFollowTheIntegerClockOverALongRun) {
    const ECG_WAVEFORM e = EcgSine();
    const Period p = EcgPeriod(e);
    ASSERT_EQ(p.ac.size(), 1000u);
    Simulation s = BuildECG(e, true);
    std::vector<Sample> buffer(MaxSamplesPerTick(kTick));
    // 100 s: a clock accumulated in 0.001 s steps and truncated would have repeated and
    // skipped samples long before the end.
    for (uint64_t tick = 0, m = 0; tick < 5000; ++tick) {
        ASSERT_EQ(Tick(s, kTick, buffer.data()), 20u);  // one burst of 20 per tick
        for (int k = 0; k < kTick; ++k, ++m) {
            const Sample& x = buffer[k];
            ASSERT_EQ(x.channel, kECGChannel);
            ASSERT_NEAR(x.t, 0.001 * m, 1e-9);
            ASSERT_EQ(x.ac, p.ac[m % 1000]) << "m = " << m;
            ASSERT_EQ(x.dc, p.dc[m % 1000]);
        }
    }
    const std::vector<Sample> end = Markers(s);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].ac, kEndMarker);
    EXPECT_EQ(end[0].dc, kEndMarker);
    EXPECT_NEAR(end[0].t, 100.0, 1e-6);  // one millisecond past the last sample (99.999 s)
}

TEST(OutputSimulation, ECGNoiseIsAHalfAmplitudeSineTruncatedOnItsOwn) {
    ECG_WAVEFORM e = EcgSine();
    e.nNoiseType = 1;  // 50 Hz
    e.fNoiseAmplitude = 1.0;
    const Period p = EcgPeriod(e);
    Simulation s = BuildECG(e, true);
    const std::vector<Sample> all = RunTicks(s, 50);  // 1 s
    int lo = 0, hi = 0;
    for (size_t m = 0; m < all.size(); ++m) {
        const int noise = all[m].ac - p.ac[m % 1000];
        EXPECT_EQ(noise, static_cast<int>(1000.0 * (1.0 * std::sin(2 * kPi * all[m].t * 50.0) * 0.5)));
        lo = std::min(lo, noise);
        hi = std::max(hi, noise);
    }
    EXPECT_EQ(hi, 500);  // 50 Hz sampled every ms peaks at 5 ms
    EXPECT_GE(lo, -500);
    EXPECT_LE(lo, -499);  // -500 up to the sine's rounding at 15 ms
}

TEST(OutputSimulation, PacingReplacesTheDCForItsWidthEveryPacingPeriod) {
    ECG_WAVEFORM e = EcgSine();
    e.bPacingEnable = 1;
    e.nPacingRate = 60;
    e.fPacingWidth = 2.0;
    e.fPacingAmplitude = 2.5;
    e.bVariableDCOffset = 1;
    e.nDCOffset = 100;
    const Period p = EcgPeriod(e);
    Simulation s = BuildECG(e, true);
    const std::vector<Sample> all = RunTicks(s, 150);  // 3 s
    for (size_t m = 0; m < all.size(); ++m) {
        const bool pulse = m % 1000 < 2;  // ms 0, 1, 1000, 1001, 2000, 2001
        EXPECT_EQ(all[m].dc, pulse ? 2500 : p.dc[m % 1000]) << "m = " << m;
    }
}

TEST(OutputSimulation, ECGAndPPGInterleaveByMillisecondAndWrapEachChannelOnItsOwn) {
    ECG_WAVEFORM e = EcgSine();
    e.nNoiseType = 1;  // neither noise nor pacing shows in this kind
    e.fNoiseAmplitude = 1.0;
    e.bPacingEnable = 1;
    e.fPacingWidth = 2.0;
    e.fPacingAmplitude = 1.0;
    PPG_WAVEFORM ppg[3] = {PpgSine(1000), PpgSine(1500), NotInUse()};
    const bool callbacks[3] = {true, true, true};
    const int ptt = 200;
    Simulation s = BuildECGAndPPG(e, true, ppg, callbacks, 3, ptt);
    const Period pe = EcgPeriod(e);
    const PpgPeriod p1 = PpgPeriodOf(ppg[0]);
    const PpgPeriod p2 = PpgPeriodOf(ppg[1]);
    ASSERT_EQ(p2.ac.size(), 1500u);
    ECG_WAVEFORM ec = e;
    const int start1 = CalcPPGStartPoint(&ec, &ppg[0], ptt);
    const int start2 = CalcPPGStartPoint(&ec, &ppg[1], ptt);

    const std::vector<Sample> all = RunTicks(s, 200);  // 4 s: channel 1 wraps 4 times, channel 2 twice and more
    ASSERT_EQ(all.size(), 3u * 4000);
    for (size_t m = 0; m < 4000; ++m) {
        const Sample* x = &all[3 * m];
        EXPECT_EQ(x[0].channel, 0);
        EXPECT_EQ(x[1].channel, 1);
        EXPECT_EQ(x[2].channel, 2);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(x[c].t, 0.001 * m, 1e-9);
        }
        EXPECT_EQ(x[0].ac, pe.ac[m % 1000]);
        EXPECT_EQ(x[0].dc, pe.dc[m % 1000]);
        const size_t k1 = (start1 + m % 1000) % 1000;
        const size_t k2 = (start2 + m % 1500) % 1500;
        EXPECT_EQ(x[1].ac, static_cast<int>(1000.0 * p1.ac[k1]));
        EXPECT_EQ(x[1].dc, static_cast<int>(1000.0 * p1.dc[k1]));
        EXPECT_EQ(x[2].ac, static_cast<int>(1000.0 * p2.ac[k2])) << "m = " << m;
    }
    // Markers: ECG, then every PPG slot with a callback; the unused slot 2 with clock 0.
    const std::vector<Sample> end = Markers(s);
    ASSERT_EQ(end.size(), 4u);
    const double clocks[4] = {4.0, 4.0, 4.0, 0.0};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(end[c].channel, c);
        EXPECT_NEAR(end[c].t, clocks[c], 1e-6);
        EXPECT_EQ(end[c].ac, kEndMarker);
    }
}

TEST(OutputSimulation, ECGAndPPGWithoutECGCallbackKeepsTheECGClockAtZero) {
    PPG_WAVEFORM ppg[1] = {PpgSine(1000)};
    const bool callbacks[1] = {true};
    Simulation s = BuildECGAndPPG(EcgSine(), false, ppg, callbacks, 1, 0);
    const std::vector<Sample> all = RunTicks(s, 3);
    ASSERT_EQ(all.size(), 60u);  // 20 per tick, PPG only
    for (const Sample& x : all) {
        EXPECT_EQ(x.channel, 1);
    }
    EXPECT_EQ(s.channel[kECGChannel].t, 0.0);
    const std::vector<Sample> end = Markers(s);
    ASSERT_EQ(end.size(), 1u);  // no ECG marker without its callback
    EXPECT_EQ(end[0].channel, 1);
}

TEST(OutputSimulation, PPGKindSharesOneClockAndAddsNoise) {
    PPG_WAVEFORM ppg[3] = {NotInUse(), PpgSine(1000), NotInUse()};
    ppg[1].nNoiseType = 8;  // 0.5 Hz
    ppg[1].fNoiseAmplitude = 2.0;
    const bool callbacks[3] = {true, true, false};
    int last = -2;
    Simulation s = BuildPPG(ppg, callbacks, 3, &last);
    EXPECT_EQ(last, 1);
    const PpgPeriod p = PpgPeriodOf(ppg[1]);
    const std::vector<Sample> all = RunTicks(s, 100);
    ASSERT_EQ(all.size(), 2000u);  // only slot 1 is in use
    for (size_t m = 0; m < all.size(); ++m) {
        EXPECT_EQ(all[m].channel, 2);
        const double a = p.ac[m % 1000] + 0.5 * 2.0 * std::sin(2 * kPi * all[m].t * 0.5);
        EXPECT_EQ(all[m].ac, static_cast<int>(1000.0 * a));
    }
    // Markers for every set callback below count, with the shared clock.
    const std::vector<Sample> end = Markers(s);
    ASSERT_EQ(end.size(), 2u);
    EXPECT_EQ(end[0].channel, 1);
    EXPECT_EQ(end[1].channel, 2);
    EXPECT_NEAR(end[0].t, 2.0, 1e-9);
    EXPECT_NEAR(end[1].t, 2.0, 1e-9);
}

TEST(OutputSimulation, PeriodsUnderOneMillisecondAreNotSimulated) {
    // 0.5 kHz ECG rate of 0.4 ms: no sample, no division by zero, its marker at 0.0.
    ECG_WAVEFORM e = EcgSine();
    e.fFrequency = 2500.0;
    Simulation ecg = BuildECG(e, true);
    EXPECT_TRUE(RunTicks(ecg, 3).empty());
    ASSERT_EQ(Markers(ecg).size(), 1u);
    EXPECT_EQ(Markers(ecg)[0].t, 0.0);

    // A PPG kind without any slot in use: the shared clock runs, nothing is produced.
    PPG_WAVEFORM none[3] = {NotInUse(), NotInUse(), NotInUse()};
    const bool callbacks[3] = {true, false, false};
    int last = 0;
    Simulation ppg = BuildPPG(none, callbacks, 3, &last);
    EXPECT_EQ(last, -1);
    EXPECT_TRUE(RunTicks(ppg, 3).empty());
    ASSERT_EQ(Markers(ppg).size(), 1u);

    // A zero rate in the ECG+PPG kind leaves every channel unsimulated.
    ECG_WAVEFORM zero = EcgSine();
    zero.fSampleRateKHz = 0.0;
    PPG_WAVEFORM one[1] = {PpgSine(1000)};
    Simulation mixed = BuildECGAndPPG(zero, true, one, callbacks, 1, 0);
    EXPECT_TRUE(RunTicks(mixed, 3).empty());
}

TEST(OutputSimulation, PeriodIndexStaysInsideThePeriodAndNeverRepeatsOrSkips) {
    // n samples at R per second; (int)(1000 n / R) ms per period.
    struct Case {
        int n, rate;
        int64_t periodMs;
    } cases[] = {{1000, 1000, 1000}, {1500, 1000, 1500}, {7, 2000, 3},      {40000, 40000, 1000},
                 {3, 2500, 1},       {1499, 1000, 1499}, {2000, 2000, 1000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        for (uint64_t m = 0; m < 5000; ++m) {
            const int i = PeriodIndex(m, c.n, c.rate, c.periodMs);
            ASSERT_GE(i, 0);
            ASSERT_LT(i, c.n);
            // One ms advances the index by exactly R / 1000 samples within a period: the
            // n x (phase / P) of doubles truncates 1500 x (0.009 / 1.5) to 8.
            const uint64_t phase = m % static_cast<uint64_t>(c.periodMs);
            ASSERT_EQ(static_cast<uint64_t>(i), phase * static_cast<uint64_t>(c.rate) / 1000u);
        }
    }
    EXPECT_EQ(PeriodIndex(9, 1500, 1000, 1500), 9);
    EXPECT_EQ(PeriodIndex(1234, 40000, 40000, 1000), 9360);
    EXPECT_EQ(PeriodIndex(5, 0, 0, 0), 0);
}

TEST(OutputSimulation, ApneaSwitchesAtTheCycleAndAfterTheDuration) {
    ECG_WAVEFORM e = EcgSine();
    e.nRespirationMode = 0x80;
    e.nApneaCycle = 1;
    e.nApneaDuration = 10;
    Simulation s = BuildECG(e, false);
    std::vector<std::pair<uint64_t, ApneaSwitch>> switches;
    for (int tick = 0; tick < 200000 / kTick; ++tick) {
        const uint64_t before = s.tickMs;
        const ApneaSwitch w = ApneaStep(s, kTick);
        if (w != ApneaSwitch::None) {
            switches.emplace_back(before, w);
        }
    }
    const std::vector<std::pair<uint64_t, ApneaSwitch>> expected = {{60000, ApneaSwitch::RespirationOff},
                                                                    {70000, ApneaSwitch::RespirationOn},
                                                                    {130000, ApneaSwitch::RespirationOff},
                                                                    {140000, ApneaSwitch::RespirationOn}};
    EXPECT_EQ(switches, expected);

    // No schedule without the external module, or without a duration.
    for (int mode : {0, 1, 15}) {
        e.nRespirationMode = mode;
        Simulation off = BuildECG(e, false);
        for (int tick = 0; tick < 70000 / kTick + 1; ++tick) {
            ASSERT_EQ(ApneaStep(off, kTick), ApneaSwitch::None);
        }
    }
    e.nRespirationMode = 0x80;
    e.nApneaDuration = 0;
    Simulation noDuration = BuildECG(e, false);
    for (int tick = 0; tick < 70000 / kTick + 1; ++tick) {
        ASSERT_EQ(ApneaStep(noDuration, kTick), ApneaSwitch::None);
    }
}

TEST(OutputSimulation, ECGPeriodOffset) {
    ECG_WAVEFORM e = EcgSine();
    e.nRRInterval = 1000;
    PPG_WAVEFORM pulse = PpgSine(1000);
    pulse.nWaveformType = 3;
    pulse.nTime1 = 300;
    EXPECT_EQ(ECGPeriodOffset(e, pulse, 200), 900);
    EXPECT_EQ(ECGPeriodOffset(e, PpgSine(1000), 200), 700);
    EXPECT_EQ(ECGPeriodOffset(e, PpgSine(1000), -900), -400);  // the dividend's sign
    e.nRRInterval = 0;
    EXPECT_EQ(ECGPeriodOffset(e, pulse, 200), 0);
}

TEST(OutputSimulation, NoiseTables) {
    EXPECT_EQ(ECGNoiseHz(1), 50.0);
    EXPECT_EQ(ECGNoiseHz(4), 120.0);
    EXPECT_EQ(ECGNoiseHz(5), 0.0);
    EXPECT_EQ(ECGNoiseHz(-1), 0.0);
    EXPECT_EQ(PPGNoiseHz(3), 1000.0);
    EXPECT_EQ(PPGNoiseHz(8), 0.5);
    EXPECT_EQ(PPGNoiseHz(14), 25.0);
    EXPECT_EQ(PPGNoiseHz(15), 0.0);
}

TEST(OutputEnable, MaskForASimulatedChannel3) {
    struct Case {
        std::vector<uint8_t> slots;
        int channels;
        uint8_t mask;
    } cases[] = {
        {{2, 0, 0, 0, 0, 0, 0, 0}, 2, 0x0A},
        {{1}, 3, 0x0A},
        {{4}, 2, 0x04},
        {{2, 4}, 2, 0x0E},
        {{}, 2, 0x00},
        {{}, 1, 0x0E},
        {{4, 0}, 1, 0x0E},
        {{8, 3, 0xFF}, 2, 0x00},
    };
    for (const Case& c : cases) {
        PPG_LED_PULSE_GROUP_SETTING g = {};
        for (size_t i = 0; i < c.slots.size(); ++i) {
            g.ucSlot[i] = c.slots[i];
        }
        EXPECT_EQ(OutputEnableForPulseGroup(g, c.channels), c.mask);
    }
    PPG_LED_PULSE_GROUP_SETTING g = {{0, 0, 0, 0, 0, 0, 0, 1}, 0};
    EXPECT_FALSE(PulseGroupLightsChannel(g, 1));
    EXPECT_FALSE(PulseGroupLightsChannel(g, 2));
    EXPECT_TRUE(PulseGroupLightsChannel(g, 3));
    g.ucSlot[0] = 2;
    g.ucSlot[3] = 4;
    EXPECT_TRUE(PulseGroupLightsChannel(g, 1));
    EXPECT_TRUE(PulseGroupLightsChannel(g, 2));
}
