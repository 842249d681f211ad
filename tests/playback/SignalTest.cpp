// Evaluation of the channels at a sample index, the cycle rules, apnea, the drift trim
// and the general routines, on the engine state directly.
#include <cmath>
#include <limits>
#include <vector>

#include "PlaybackFixture.h"
#include "protocol/Protocol.h"
#include "waveform/Conversion.h"

namespace {

using SignalTest = PlaybackCoreTest;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Produces one sample the way the builders do: advance, then ask the reload rules.
int Produce() {
    g_nCurrent.fetch_add(1);
    return DoReloadIfNeeded();
}

// The production index at which the stream ends (at most limit samples).
unsigned long long EndIndex(unsigned long long limit) {
    for (unsigned long long i = 0; i < limit; ++i) {
        if (Produce() == 0) {
            return g_nCurrent.load();
        }
    }
    return 0;
}

RAW_DATA Curve(std::vector<double>& ac, double rate) {
    return RAW_DATA{static_cast<int32_t>(ac.size()), rate, ac.data(), nullptr};
}

}  // namespace

TEST_F(SignalTest, SourceInterpolationWrapsAndExtendsAlongTheLastSegment) {
    g_nSampleRate = 10000;
    std::vector<double> data = {0.0, 1.0, 2.0};
    struct Case {
        unsigned long long n;
        double expected;
    } cases[] = {
        {0, 0.0}, {1, 0.5}, {2, 1.0},
        {4, 2.0}, {5, 2.5},  // past the last sample along its last segment, not towards data[0]
        {7, 0.5},            // the wrap
        {8, 1.0},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(c.expected, DoCalculateVoltage(c.n, 5000.0, 3, data.data()), 1e-12) << "n " << c.n;
    }
}

TEST_F(SignalTest, DegenerateSourcesGiveDefinedValues) {
    g_nSampleRate = 10000;
    double one = 4.25;
    std::vector<double> data = {1.0, 3.0};
    // A one-sample source yields its sample at every index (no earlier segment to read).
    EXPECT_DOUBLE_EQ(4.25, DoCalculateVoltage(0, 5000.0, 1, &one));
    EXPECT_DOUBLE_EQ(4.25, DoCalculateVoltage(7, 5000.0, 1, &one));
    EXPECT_DOUBLE_EQ(0.0, DoCalculateVoltage(3, 5000.0, 0, data.data()));
    EXPECT_DOUBLE_EQ(0.0, DoCalculateVoltage(3, 5000.0, 2, nullptr));
    for (double rate : {-5000.0, kNaN, kInf}) {
        EXPECT_DOUBLE_EQ(0.0, DoCalculateVoltage(3, rate, 2, data.data())) << rate;
    }
    // An index far beyond 2^64 source samples (a wrapped n - offset) is not converted.
    EXPECT_DOUBLE_EQ(0.0, DoCalculateVoltage(~0ULL, 1e9, 2, data.data()));
    g_nSampleRate = 0;
    EXPECT_DOUBLE_EQ(0.0, DoCalculateVoltage(1, 5000.0, 2, data.data()));
}

TEST_F(SignalTest, ListsAddOrMultiplyEachCurveWithItsOwnRate) {
    g_nSampleRate = 10000;
    std::vector<double> a = {1.0, 2.0}, b = {0.5, 0.5, 0.5, 0.5};
    std::vector<RAW_DATA> list = {Curve(a, 10000.0), Curve(b, 20000.0)};
    std::vector<RAW_DATA> empty;
    EXPECT_DOUBLE_EQ(2.5, CalculateACAccumulatedVoltage(list, 1));
    EXPECT_DOUBLE_EQ(3.0 * 1.5, CalculateACScaledVoltage(list, 1));
    EXPECT_DOUBLE_EQ(0.0, CalculateACAccumulatedVoltage(empty, 1));
    EXPECT_DOUBLE_EQ(1.0, CalculateACScaledVoltage(empty, 1));
    EXPECT_DOUBLE_EQ(0.0, CalculateDCAccumulatedVoltage(empty, 1));
}

TEST_F(SignalTest, ChannelsAreClampedToTheirRanges) {
    Run(15, 10000, true);
    g_DeviceFeature.fACMaximum = 30.0;
    struct Case {
        double ac, dc;
        double ecgAC, ecgDC, ppgAC, ppgDC;
    } cases[] = {
        {7.3, 1200.0, 5.0, 1000.0, 7.3, 1200.0},
        {-7.3, -1200.0, -5.0, -1000.0, 0.0, 0.0},
        {40.0, 3500.0, 5.0, 1000.0, 30.0, 3000.0},
        {1.5, 250.0, 1.5, 250.0, 1.5, 250.0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(1, LoadRawECG(Constant(c.ac, c.dc, 1000.0)));
        ASSERT_EQ(1, LoadRawPPG(2, Constant(c.ac, c.dc, 1000.0)));
        EXPECT_DOUBLE_EQ(c.ecgAC, CalculateECGACVoltage(3, 0, 0)) << c.ac;
        EXPECT_DOUBLE_EQ(c.ecgDC, CalculateECGDCVoltage(3)) << c.dc;
        EXPECT_DOUBLE_EQ(c.ppgAC, CalculatePPGACVoltage(1, 3, 0, 0)) << c.ac;
        EXPECT_DOUBLE_EQ(c.ppgDC, CalculatePPGDCVoltage(1, 3)) << c.dc;
    }
}

TEST_F(SignalTest, SilentPPGChannelStreamsZeroAndNeverEndsACycle) {
    Run(2, 10000, false);
    g_DeviceFeature.fACMaximum = 30.0;
    LoadPPG(1, {1.0, 1.0}, {100.0, 100.0}, 1000.0);
    g_fPPGSrcSampleRate[0] = 0.0;
    EXPECT_DOUBLE_EQ(0.0, CalculatePPGACVoltage(0, 20, 0, 0));
    EXPECT_DOUBLE_EQ(0.0, CalculatePPGDCVoltage(0, 20));
    EXPECT_EQ(0ULL, EndIndex(100));
    // A channel outside 0..2 is silent too.
    EXPECT_DOUBLE_EQ(0.0, CalculatePPGACVoltage(3, 20, 0, 0));
    EXPECT_EQ(0, CheckPPGEndOfCycle(-1));
}

TEST_F(SignalTest, RespirationSlotsAndAppendedCurvesAndApnea) {
    Run(3, 10000, true);
    g_DeviceFeature.fACMaximum = 30.0;
    LoadECG({1.0, 1.0}, {10.0, 10.0}, 1000.0);
    LoadPPG(1, {1.0, 1.0}, {100.0, 100.0}, 1000.0);
    PLAY_RAW_DATA slot0 = Constant(0.5, 0.0, 1000.0);
    PLAY_RAW_DATA slot1 = Constant(1.0, 0.0, 1000.0);  // factor 2
    PLAY_RAW_DATA append = Constant(0.25, 7.0, 1000.0);
    PlayRawAppendScaledECG(slot0, 0);
    PlayRawAppendScaledECG(slot1, 1);
    PlayRawAppendECG(append);
    PlayRawAppendScalePPG(PPG_CHANNEL_1, slot0, 0);
    PlayRawAppendScalePPG(PPG_CHANNEL_1, slot1, 1);
    PlayRawAppendPPG(PPG_CHANNEL_1, append);

    struct Case {
        int mode;
        double breathing;  // AC outside apnea
    } cases[] = {{0, 1.25}, {1, 1.75}, {2, 2.25}, {3, 3.25}};
    for (const Case& c : cases) {
        g_nRespirationMode = c.mode;
        EXPECT_DOUBLE_EQ(c.breathing, CalculateECGACVoltage(5, 0, 0)) << c.mode;
        EXPECT_DOUBLE_EQ(c.breathing, CalculatePPGACVoltage(0, 5, 0, 0)) << c.mode;
        // During apnea the AC is the bare source; the DC keeps its appended curves.
        EXPECT_DOUBLE_EQ(1.0, CalculateECGACVoltage(5, 0, 1)) << c.mode;
        EXPECT_DOUBLE_EQ(1.0, CalculatePPGACVoltage(0, 5, 0, 1)) << c.mode;
        EXPECT_DOUBLE_EQ(17.0, CalculateECGDCVoltage(5));
        EXPECT_DOUBLE_EQ(107.0, CalculatePPGDCVoltage(0, 5));
    }
}

TEST_F(SignalTest, SourceIsEvaluatedRelativeToItsCycleAndListsAtTheAbsoluteIndex) {
    Run(1, 10000, true);
    LoadECG({0.0, 1.0, 2.0, 3.0}, {0.0, 10.0, 20.0, 30.0}, 10000.0);
    g_vecECGAppendData.push_back(RAW_DATA{5, 10000.0, new double[5]{0.0, 0.1, 0.2, 0.3, 0.4}, nullptr});
    // Source at 6 - 4 = 2, the appended curve at 6 (wrapped to 1).
    EXPECT_DOUBLE_EQ(2.0 + 0.1, CalculateECGACVoltage(6, 4, 0));
}

TEST_F(SignalTest, ExternalRespirationCurveAtTenThousandPerSecond) {
    g_nSampleRate = 40000;
    g_pECGExtRespirationData = new double[2]{50.0, 54.0};
    g_nECGExtRespirationSampleCount = 2;
    EXPECT_DOUBLE_EQ(51.0, CalculateECGExtRespiration(1));
    EXPECT_DOUBLE_EQ(54.0, CalculateECGExtRespiration(4));
}

TEST_F(SignalTest, StreamedECGACIsDividedByTheRatio) {
    g_fACRatio = 2.0;
    EXPECT_EQ(ECG_AC_VoltageToDAC(1.5), ECG_AC_VoltageToDAC_Ex(3.0));
    for (double bad : {0.0, kNaN, kInf}) {
        g_fACRatio = bad;
        EXPECT_EQ(ECG_AC_VoltageToDAC(3.0), ECG_AC_VoltageToDAC_Ex(3.0)) << bad;
    }
}

TEST_F(SignalTest, CycleLengthAndEndOfCycle) {
    g_nSampleRate = 10000;
    EXPECT_EQ(1000ULL, CycleLength(100, 1000.0));
    // 10000 x (3 / 10000) is 2.9999999999999996 in doubles: still a cycle of 3.
    EXPECT_EQ(3ULL, CycleLength(3, 10000.0));
    EXPECT_EQ(40040ULL, CycleLength(1001, 250.0));
    EXPECT_EQ(1, CheckEndOfCycle(100, 1000.0, 2000));
    EXPECT_EQ(0, CheckEndOfCycle(100, 1000.0, 1999));
    g_nCurrent = 3000;
    EXPECT_EQ(1, CheckEndOfCycle(100, 1000.0, ~0ULL));  // all-ones: g_nCurrent
    // No cycle: never an end, and a start refuses such a channel.
    struct Bad {
        int count;
        double rate;
    } bad[] = {{0, 1000.0}, {-5, 1000.0}, {100, 0.0}, {100, -1000.0}, {100, kNaN}, {100, kInf}, {1, 20000.0}};
    for (const Bad& b : bad) {
        EXPECT_EQ(0ULL, CycleLength(b.count, b.rate)) << b.count << " " << b.rate;
        EXPECT_EQ(0, CheckEndOfCycle(b.count, b.rate, 0)) << b.count << " " << b.rate;
        EXPECT_FALSE(IsPlayableCycle(b.count, b.rate, 10000)) << b.count << " " << b.rate;
    }
    EXPECT_TRUE(IsPlayableCycle(1, 10000.0, 10000));
    EXPECT_TRUE(IsPlayableCycle(100, 1000.0, 10000));
}

TEST_F(SignalTest, ChannelsFollowThePacketTable) {
    struct Case {
        int mode;
        int ecg;
        std::vector<int> ppg;
    } cases[] = {
        {0, 0, {}},         {1, 1, {}},      {2, 0, {0}},     {3, 1, {0}},     {4, 0, {1}},
        {5, 1, {1}},        {6, 0, {0, 1}},  {7, 1, {0, 1}},  {8, 0, {}},      {9, 1, {2}},
        {10, 0, {0, 2}},    {11, 1, {0, 2}}, {12, 0, {1, 2}}, {13, 1, {1, 2}}, {14, 0, {0, 1, 2}},
        {15, 1, {0, 1, 2}}, {16, 0, {2}},    {17, 1, {}},     {18, 0, {}},
    };
    for (const Case& c : cases) {
        g_nOperatorMode = c.mode;
        int ecg = 7;
        std::vector<int> ppg = {9, 9, 9, 9};
        CheckOutputChannelByOperatorMode(ecg, ppg);
        EXPECT_EQ(c.ecg, ecg) << "mode " << c.mode;
        EXPECT_EQ(c.ppg, ppg) << "mode " << c.mode;
    }
}

TEST_F(SignalTest, NonLoopingStreamEndsAtTheCycleEndOfItsModesChannels) {
    // 100 samples at 1000 per second played at 10000: a cycle of 1000 output samples.
    struct Case {
        int mode;
        int ppgChannel;  // 1..3 loaded with the long source, or 0 for the ECG
    } cases[] = {{1, 0}, {2, 1}, {4, 2}, {9, 3}, {10, 3}, {12, 3}, {13, 3}, {16, 3}, {17, 0}, {14, 3}, {15, 0}};
    for (const Case& c : cases) {
        ResetPlaybackState();
        Run(c.mode, 10000, false);
        std::vector<double> ac(100, 1.0), dc(100, 100.0);
        if (c.ppgChannel == 0) {
            LoadECG(ac, dc, 1000.0);
        } else {
            LoadPPG(c.ppgChannel, ac, dc, 1000.0);
        }
        EXPECT_EQ(1000ULL, EndIndex(5000)) << "mode " << c.mode;
        // The simulation thread's end test, counted from index 0, agrees.
        EXPECT_EQ(1, IsEndOfCycle()) << "mode " << c.mode;
        g_nCurrent = 999;
        EXPECT_EQ(0, IsEndOfCycle()) << "mode " << c.mode;
    }
    Run(8, 10000, false);
    EXPECT_EQ(1, IsEndOfCycle());  // a mode without a stream has ended
    EXPECT_EQ(1, DoReloadIfNeeded());
}

TEST_F(SignalTest, LoopingStreamWrapsWithoutTheRateFactor) {
    Run(1, 10000, true);
    LoadECG(std::vector<double>(100, 1.0), std::vector<double>(100, 1.0), 1000.0);
    EXPECT_EQ(0ULL, EndIndex(2500));
    EXPECT_EQ(0ULL, g_nCurrentOffset[kECGOffsetIndex].load());
    EXPECT_DOUBLE_EQ(1000.0, g_fECGSrcSampleRate.load());
}

TEST_F(SignalTest, RateFactorRestartsTheCycleAtTheLoadedRateTimesTheProduct) {
    Run(3, 10000, true);
    g_nRespirationMode = 0x04;
    LoadECG(std::vector<double>(100, 1.0), std::vector<double>(100, 1.0), 1000.0);
    LoadPPG(1, std::vector<double>(100, 1.0), std::vector<double>(100, 1.0), 1000.0);
    // Factor 1.25 on the ECG, 0.5 on PPG channel 1.
    PlayRawAppendScaledECG(Constant(0.25, 0.0, 1000.0), 2);
    PlayRawAppendScalePPG(PPG_CHANNEL_1, Constant(-0.5, 0.0, 1000.0), 2);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(1, Produce());
    }
    EXPECT_EQ(1000ULL, g_nCurrentOffset[kECGOffsetIndex].load());
    EXPECT_DOUBLE_EQ(1250.0, g_fECGSrcSampleRate.load());
    EXPECT_EQ(1000ULL, g_nCurrentOffset[0].load());
    EXPECT_DOUBLE_EQ(500.0, g_fPPGSrcSampleRate[0].load());
    // The next ECG cycle lasts 10000 x 100 / 1250 = 800 samples; each cycle's rate comes
    // from the loaded rate, never from the one before.
    for (int i = 0; i < 800; ++i) {
        ASSERT_EQ(1, Produce());
    }
    EXPECT_EQ(1800ULL, g_nCurrentOffset[kECGOffsetIndex].load());
    EXPECT_DOUBLE_EQ(1250.0, g_fECGSrcSampleRate.load());
    EXPECT_EQ(1000ULL, g_nCurrentOffset[0].load());  // PPG 1's cycle lasts 2000
}

TEST_F(SignalTest, RateFactorThatBreaksTheRateKeepsTheLoadedRate) {
    // Products 0 (1 + -1), negative, NaN, infinite, and one giving a cycle under a sample.
    for (double v : {-1.0, -3.0, kNaN, kInf, 1e9}) {
        ResetPlaybackState();
        Run(1, 10000, true);
        g_nRespirationMode = 0x04;
        LoadECG(std::vector<double>(100, 1.0), std::vector<double>(100, 1.0), 1000.0);
        PlayRawAppendScaledECG(Constant(v, 0.0, 1000.0), 2);
        EXPECT_EQ(0ULL, EndIndex(1000)) << v;
        EXPECT_EQ(1000ULL, g_nCurrentOffset[kECGOffsetIndex].load()) << v;
        EXPECT_DOUBLE_EQ(1000.0, g_fECGSrcSampleRate.load()) << v;
    }
}

namespace {
int g_steps = 0;
bool CountingStep() {
    ++g_steps;
    g_nOutputCurrent.fetch_add(1);  // the reporter catching up, one sample per step
    return true;
}
bool GiveWay() {
    ++g_steps;
    return false;
}
}  // namespace

TEST_F(SignalTest, ReRateWaitsForTheReporterThroughTheInstalledStep) {
    Run(7, 10000, true);
    g_nRespirationMode = 0x04;
    LoadECG(std::vector<double>(10, 1.0), std::vector<double>(10, 1.0), 1000.0);
    LoadPPG(1, std::vector<double>(10, 1.0), std::vector<double>(10, 1.0), 1000.0);
    LoadPPG(2, std::vector<double>(10, 1.0), std::vector<double>(10, 1.0), 1000.0);
    g_steps = 0;
    SetCatchUpStep(CountingStep);
    g_nCurrent = 99;
    g_nOutputCurrent = 90;
    ASSERT_EQ(1, Produce());  // all three channels end their cycle at 100
    EXPECT_EQ(10, g_steps);   // one wait, until the reporter reached 100
    EXPECT_EQ(100ULL, g_nOutputCurrent.load());

    // A step that gives way (a stop under way) ends the wait; the re-rate goes ahead.
    g_steps = 0;
    SetCatchUpStep(GiveWay);
    g_nCurrent = 199;
    ASSERT_EQ(1, Produce());
    EXPECT_EQ(2, g_steps);  // the ECG's wait and the PPG channels' one wait
    EXPECT_EQ(200ULL, g_nCurrentOffset[kECGOffsetIndex].load());
    EXPECT_EQ(200ULL, g_nCurrentOffset[1].load());
}

TEST_F(SignalTest, ApneaRisesAfterTheCycleAndFallsAtThePeriodEnd) {
    g_nSampleRate = 10000;
    g_nRespirationMode = 1;
    g_nRespirationApneaCycle = 1;      // minute
    g_nRespirationApneaDuration = 10;  // seconds
    struct Step {
        unsigned long long n;
        int flag;
    } steps[] = {{0, 0}, {599999, 0}, {600000, 1}, {600001, 1}, {699999, 1}, {700000, 0}, {1299999, 0}, {1300000, 1}};
    int flag = 0;
    for (const Step& s : steps) {
        CheckApnea(s.n, flag);
        EXPECT_EQ(s.flag, flag) << "n " << s.n;
    }
    // Onset and period beyond 32 bits: 40000 per second, 1000 minutes.
    g_nSampleRate = 40000;
    g_nRespirationApneaCycle = 1000;
    flag = 0;
    CheckApnea(2400000000ULL, flag);
    EXPECT_EQ(1, flag);
    CheckApnea(2400000000ULL + 400000ULL, flag);
    EXPECT_EQ(0, flag);
}

TEST_F(SignalTest, NoApneaWithoutAModeADurationOrAPositivePeriod) {
    g_nSampleRate = 10000;
    struct Case {
        int mode, cycle, duration;
    } cases[] = {{0, 1, 10}, {0x80, 1, 10}, {1, 1, 0}, {1, -1, 10}, {1, -2, 10}};
    for (const Case& c : cases) {
        g_nRespirationMode = c.mode;
        g_nRespirationApneaCycle = c.cycle;
        g_nRespirationApneaDuration = c.duration;
        int flag = 1;
        CheckApnea(600000, flag);
        EXPECT_EQ(0, flag) << c.mode << " " << c.cycle << " " << c.duration;
    }
}

TEST_F(SignalTest, DriftTrimRepeatsOneIndexEvery142857Samples) {
    for (int rate : {10000, 40000, 5000}) {
        Run(1, rate, true);
        std::vector<unsigned long long> repeats;
        for (unsigned long long produced = 1; produced <= 3 * 142858ULL; ++produced) {
            const unsigned long long before = g_nCurrent.fetch_add(1) + 1;
            FineTunePlayCounter();
            if (g_nCurrent.load() != before) {
                repeats.push_back(produced);
            }
        }
        ASSERT_EQ(3u, repeats.size()) << rate;
        EXPECT_EQ(142858ULL, repeats[0]) << rate;
        EXPECT_EQ(142857ULL, repeats[1] - repeats[0]) << rate;
        EXPECT_EQ(142857ULL, repeats[2] - repeats[1]) << rate;
    }
}

TEST_F(SignalTest, ResampleInterpolatesAndHoldsTheLastSample) {
    std::vector<double> src = {0.0, 1.0, 2.0};
    double* out = nullptr;
    unsigned long n = 0;
    ASSERT_EQ(1, Resample(src.data(), 3, 1000.0, out, n, 2000));
    ASSERT_EQ(6ul, n);
    const double expected[] = {0.0, 0.5, 1.0, 1.5, 2.0, 2.0};
    for (unsigned long i = 0; i < n; ++i) {
        EXPECT_DOUBLE_EQ(expected[i], out[i]) << i;
    }
    delete[] out;

    double one = 4.0;  // a one-sample source holds its sample
    ASSERT_EQ(1, Resample(&one, 1, 1000.0, out, n, 3000));
    ASSERT_EQ(3ul, n);
    EXPECT_DOUBLE_EQ(4.0, out[2]);
    delete[] out;

    out = src.data();
    n = 9;
    EXPECT_EQ(1, Resample(src.data(), 3, 2000.0, out, n, 2000));  // equal rates
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0ul, n);
}

TEST_F(SignalTest, ResampleRefusesBadInputWithoutAnArray) {
    std::vector<double> src = {0.0, 1.0, 2.0};
    struct Case {
        double* src;
        unsigned long count;
        double rate;
        int newRate;
    } cases[] = {
        {nullptr, 3, 1000.0, 2000},     {src.data(), 0, 1000.0, 2000},  {src.data(), 3, 0.0, 2000},
        {src.data(), 3, -1000.0, 2000}, {src.data(), 3, kNaN, 2000},    {src.data(), 3, kInf, 2000},
        {src.data(), 3, 1000.0, 0},     {src.data(), 3, 1000.0, -2000}, {src.data(), 3, 1e9, 2000},
        {src.data(), 3, 1e-300, 2000},
    };
    for (const Case& c : cases) {
        double* out = src.data();
        unsigned long n = 5;
        EXPECT_EQ(0, Resample(c.src, c.count, c.rate, out, n, c.newRate))
            << c.count << " " << c.rate << " " << c.newRate;
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(0ul, n);
    }
}

TEST_F(SignalTest, ReAllocateBufferAndIsAllZeros) {
    double* buffer = new double[3];
    EXPECT_EQ(1, ReAllocateBuffer(buffer, 0));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(1, ReAllocateBuffer(buffer, 4));
    EXPECT_NE(nullptr, buffer);
    delete[] buffer;

    std::vector<double> zeros = {0.0, -0.0, 0.0}, nan = {0.0, kNaN}, one = {0.0, 1e-300};
    EXPECT_EQ(1, IsAllZeros(zeros.data(), 3));
    EXPECT_EQ(0, IsAllZeros(nan.data(), 2));
    EXPECT_EQ(0, IsAllZeros(one.data(), 2));
    EXPECT_EQ(1, IsAllZeros(one.data(), 0));
}
