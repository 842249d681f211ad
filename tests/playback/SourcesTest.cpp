// Generated and derived sources: sweeps, the loaded PPG range, inversion, and the
// respiration and noise curves of the extras builders.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "PlaybackFixture.h"
#include "playback/Sources.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTwoPi = 6.283185307179586;

class SourcesTest : public PlaybackCoreTest {
protected:
    void SetUp() override {
        PlaybackCoreTest::SetUp();
        InstallFrequencyScanGenerators(GenerateECGFrequencyScan, GeneratePPGFrequencyScan);
    }
};

std::vector<double> Curve(const RAW_DATA& r) { return std::vector<double>(r.pACData, r.pACData + r.nSampleCount); }

TEST_F(SourcesTest, EcgSweepOfOneFrequencyIsAPlainSine) {
    FREQUENCY_SCAN scan = {4.0, 100.0, 100.0, 1};
    ASSERT_EQ(1, LoadECGFrequencyScanWaveform(&scan, 40000));
    ASSERT_EQ(g_nECGSrcSampleCount, 40000);
    EXPECT_EQ(g_fECGSrcSampleRate.load(), 40000.0);
    for (int i = 0; i < 40000; ++i) {
        ASSERT_NEAR(g_pECGACSrcData[i], 2.0 * std::sin(kTwoPi * 100.0 * i / 40000.0), 1e-6) << i;
        ASSERT_EQ(g_pECGDCSrcData[i], 0.0);
    }
}

TEST_F(SourcesTest, SweepsRiseAndHoldAt500Hz) {
    FREQUENCY_SCAN scan = {2.0, 10.0, 1000.0, 2};
    ASSERT_EQ(1, LoadECGFrequencyScanWaveform(&scan, 40000));
    ASSERT_EQ(g_nECGSrcSampleCount, 80000);
    const double* ac = g_pECGACSrcData;
    for (int i = 0; i < 80000; ++i) {
        ASSERT_LE(std::fabs(ac[i]), 1.0 + 1e-12);
    }
    // Early on a cycle lasts thousands of samples; from about 1 s on, 80 (500 Hz).
    EXPECT_GT(std::fabs(ac[2000] - ac[2080]), 0.05);
    for (int i = 60000; i < 80000; ++i) {
        ASSERT_NEAR(ac[i], ac[i - 80], 0.01) << i;
    }

    FREQUENCY_SCAN2 ppg = {3.0, 100.0, 1, 20.0, 40.0, 1};
    ASSERT_EQ(1, LoadPPGFrequencyScanWaveform(2, &ppg, 40000));
    ASSERT_EQ(g_nPPGSrcSampleCount[1], 40000);
    EXPECT_EQ(g_fPPGSrcSampleRate[1].load(), 40000.0);
    EXPECT_DOUBLE_EQ(g_pPPGACSrcData[1][0], 1.5);
    double lo = 10, hi = -10;
    for (int i = 0; i < 40000; ++i) {
        lo = std::min(lo, g_pPPGACSrcData[1][i]);
        hi = std::max(hi, g_pPPGACSrcData[1][i]);
        ASSERT_EQ(g_pPPGDCSrcData[1][i], 100.0);
    }
    EXPECT_GE(lo, 0.0);
    EXPECT_LE(hi, 3.0);
    EXPECT_LT(lo, 0.01);
    EXPECT_GT(hi, 2.99);
}

TEST_F(SourcesTest, SweepsRefuseWhatTheyCannotGenerate) {
    LoadECG({1.0}, {2.0}, 100.0);
    LoadPPG(1, {1.0}, {2.0}, 100.0);
    const double* ecg = g_pECGACSrcData;
    const double* ppg = g_pPPGACSrcData[0];
    struct Case {
        const char* what;
        FREQUENCY_SCAN scan;
        int rate;
    } cases[] = {
        {"duration 0", {1, 10, 20, 0}, 40000},
        {"negative duration", {1, 10, 20, -1}, 40000},
        {"count past int", {1, 10, 20, 60000}, 40000},
        {"NaN amplitude", {kNaN, 10, 20, 1}, 40000},
        {"infinite start", {1, kInf, 20, 1}, 40000},
        {"both frequencies 0", {1, 0, 0, 1}, 40000},
        {"rate 0", {1, 10, 20, 1}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(0, LoadECGFrequencyScanWaveform(&c.scan, c.rate));
        FREQUENCY_SCAN2 p = {c.scan.fAmplitude, 0, 1, c.scan.fStartFrequency, c.scan.fEndFrequency, c.scan.nDuration};
        EXPECT_EQ(0, LoadPPGFrequencyScanWaveform(1, &p, c.rate));
    }
    FREQUENCY_SCAN2 good = {1, 0, 1, 10, 20, 1};
    EXPECT_EQ(0, LoadPPGFrequencyScanWaveform(0, &good, 40000));
    EXPECT_EQ(0, LoadPPGFrequencyScanWaveform(4, &good, 40000));
    EXPECT_EQ(0, LoadECGFrequencyScanWaveform(nullptr, 40000));
    EXPECT_EQ(g_pECGACSrcData, ecg);
    EXPECT_EQ(g_nECGSrcSampleCount, 1);
    EXPECT_EQ(g_pPPGACSrcData[0], ppg);
    EXPECT_EQ(g_nPPGSrcSampleCount[0], 1);
}

TEST_F(SourcesTest, LoadedPPGRange) {
    double lo = -7, hi = 7;
    for (int channel : {0, 2, 4}) {
        EXPECT_FALSE(GetLoadedPPGRange(channel, &lo, &hi)) << channel;
    }
    EXPECT_EQ(lo, -7);
    EXPECT_EQ(hi, 7);
    LoadPPG(2, {1.0, -3.0, 2.0}, {10.0, 10.0, 20.0}, 100.0);
    EXPECT_FALSE(GetLoadedPPGRange(2, nullptr, &hi));
    ASSERT_TRUE(GetLoadedPPGRange(2, &lo, &hi));
    EXPECT_EQ(lo, 7.0);
    EXPECT_EQ(hi, 22.0);
}

TEST_F(SourcesTest, InversionMirrorsTheSamples) {
    std::vector<double> ac = {0, 1, 2}, dc = {5, 5, 5};
    PLAY_RAW_DATA r = Record(ac, dc, 100.0);
    PlayRawDataPPGInvert(r);
    EXPECT_EQ(std::vector<double>(r.pACData, r.pACData + 3), (std::vector<double>{2, 1, 0}));
    EXPECT_EQ(std::vector<double>(r.pDCData, r.pDCData + 3), (std::vector<double>{5, 5, 5}));

    // Totals 10.5, 60, 120, 40: mirrored 120, 70.5, 10.5, 90.5 over a DC in 30 mV steps
    // from trunc(10.5) = 10, the AC at most 30.
    PLAY_RAW_DATA v = Record({10.5, 50, 100, 0}, {0, 10, 20, 40}, 100.0);
    PlayRawDataPPGInvert(v);
    const std::vector<double> wantDC = {100, 70, 10, 70}, wantAC = {20, 0.5, 0.5, 20.5};
    for (int i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(v.pDCData[i], wantDC[i]) << i;
        EXPECT_DOUBLE_EQ(v.pACData[i], wantAC[i]) << i;
    }
    PLAY_RAW_DATA none = {};
    none.nSampleCount = 3;  // no arrays: nothing to do
    PlayRawDataPPGInvert(none);
}

TEST_F(SourcesTest, EcgRespirationCurvesPerModeBit) {
    ECG_WAVEFORM w = {};
    w.fAmplitude = 2.0;
    w.nRespirationMode = 3;
    w.nRespirationRate = 20;  // 30000 samples a breath
    w.nRespirationDepthOrRatio = 50;
    w.nRespirationRatioOrBaseline = 2;  // rise 10000, fall 20000
    w.nApneaCycle = 4;
    w.nApneaDuration = 6;
    PlayRawAddECGExtra(&w);
    EXPECT_EQ(g_nRespirationMode.load(), 3);
    EXPECT_EQ(g_nRespirationApneaCycle.load(), 4);
    EXPECT_EQ(g_nRespirationApneaDuration.load(), 6);
    ASSERT_EQ(g_vecECGRespirationExtraData[0].size(), 1u);
    ASSERT_EQ(g_vecECGRespirationExtraData[1].size(), 1u);
    EXPECT_TRUE(g_vecECGRespirationExtraData[2].empty());
    const RAW_DATA& base = g_vecECGRespirationExtraData[0][0];
    EXPECT_EQ(base.nSampleCount, 30000);
    EXPECT_EQ(base.fSampleRate, 10000.0);
    EXPECT_DOUBLE_EQ(base.pACData[0], 0.0);
    EXPECT_DOUBLE_EQ(base.pACData[10000], 1.0);  // the peak: 50 % of 2 mV
    EXPECT_DOUBLE_EQ(base.pACData[5000], std::sin(kTwoPi / 8));
    EXPECT_DOUBLE_EQ(g_vecECGRespirationExtraData[1][0].pACData[10000], 0.5);
    EXPECT_EQ(base.pDCData[10000], 0.0);

    // External respiration, and the breaths that cannot be built (the state is still set).
    struct Case {
        int mode, rate, ratio;
    } none[] = {{0x80 | 7, 20, 2}, {1, 0, 2}, {1, -5, 2}, {1, 20, -1}, {1, 20, -9}, {1, 1000000, 2}, {0x40, 0, 0}};
    for (const Case& c : none) {
        SCOPED_TRACE(c.mode);
        PlayRawResetAccumulation();
        w.nRespirationMode = c.mode;
        w.nRespirationRate = c.rate;
        w.nRespirationRatioOrBaseline = c.ratio;
        PlayRawAddECGExtra(&w);
        EXPECT_EQ(g_nRespirationMode.load(), c.mode);
        for (int s = 0; s < 3; ++s) {
            EXPECT_TRUE(g_vecECGRespirationExtraData[s].empty());
        }
    }
}

TEST_F(SourcesTest, InterferenceFrequencyPerNoiseType) {
    ECG_WAVEFORM e = {};
    e.fNoiseAmplitude = 1.0;
    for (int type = 1; type <= 4; ++type) {
        const double hz[] = {0, 50, 60, 100, 120};
        PlayRawResetAccumulation();
        e.nNoiseType = type;
        PlayRawAddECGExtra(&e);
        ASSERT_EQ(g_vecECGAppendData.size(), 1u) << type;
        const std::vector<double> curve = Curve(g_vecECGAppendData[0]);
        ASSERT_EQ(curve.size(), 10000u);
        for (int i : {1, 17, 333, 9999}) {
            EXPECT_NEAR(curve[i], 0.5 * std::sin(hz[type] * kTwoPi * i / 10000.0), 1e-12) << type;
        }
    }
    struct {
        double amplitude;
        int type;
    } none[] = {{0.0, 1}, {kNaN, 1}, {1.0, 0}, {1.0, 5}};
    for (const auto& c : none) {
        PlayRawResetAccumulation();
        e.fNoiseAmplitude = c.amplitude;
        e.nNoiseType = c.type;
        PlayRawAddECGExtra(&e);
        EXPECT_TRUE(g_vecECGAppendData.empty()) << c.amplitude << " " << c.type;
    }

    PPG_WAVEFORM p = {};
    p.fNoiseAmplitude = 0.8;
    const double hz[15] = {0, 50, 60, 1000, 5000, 100, 120, 0, 0.5, 1, 2, 3, 5, 10, 25};
    for (int type = 1; type <= 15; ++type) {
        SCOPED_TRACE(type);
        PlayRawResetAccumulation();
        p.nNoiseType = type;
        PlayRawAddPPGExtra(PPG_CHANNEL_2, &p);
        if (type == 15) {
            EXPECT_TRUE(g_vecPPGAppendData[1].empty());
            continue;
        }
        ASSERT_EQ(g_vecPPGAppendData[1].size(), 1u);
        const std::vector<double> curve = Curve(g_vecPPGAppendData[1][0]);
        ASSERT_EQ(curve.size(), 20000u);
        if (type == 7) {
            continue;
        }
        for (int i : {1, 3, 777, 19999}) {
            EXPECT_NEAR(curve[i], 0.8 * std::sin(hz[type] * kTwoPi * i / 10000.0), 1e-9);
        }
    }
}

TEST_F(SourcesTest, RandomNoiseStaysInRangeOnItsOwnGenerator) {
    PPG_WAVEFORM p = {};
    p.nNoiseType = 7;
    p.fNoiseAmplitude = 0.25;
    std::srand(99);
    const int expected = std::rand();
    std::srand(99);
    PlayRawAddPPGExtra(PPG_CHANNEL_1, &p);
    EXPECT_EQ(std::rand(), expected);  // the host's sequence is untouched
    ASSERT_EQ(g_vecPPGAppendData[0].size(), 1u);
    int nonZero = 0;
    for (double v : Curve(g_vecPPGAppendData[0][0])) {
        ASSERT_LT(std::fabs(v), 0.25);
        ASSERT_NEAR(v * 1000.0, std::round(v * 1000.0), 1e-6);
        nonZero += v != 0.0;
    }
    EXPECT_GT(nonZero, 10000);
    for (double amplitude : {0.0004, -0.0009, 3e6, -3e6, kNaN, kInf}) {
        SCOPED_TRACE(amplitude);
        PlayRawResetAccumulation();
        p.fNoiseAmplitude = amplitude;
        PlayRawAddPPGExtra(PPG_CHANNEL_1, &p);
        EXPECT_TRUE(g_vecPPGAppendData[0].empty());
    }
}

TEST_F(SourcesTest, PpgRespirationAndPlaceholder) {
    PPG_WAVEFORM p = {};
    p.fAmplitude1 = 1.0;
    p.nRespirationMode = 4;
    p.nRespirationRate = 60;
    p.nRespirationDepth = 20;
    p.nRespirationRatio = 1;
    PlayRawAddPPGExtra(PPG_CHANNEL_3, &p);
    EXPECT_TRUE(g_vecPPGRespirationExtraData[2][0].empty());
    EXPECT_TRUE(g_vecPPGRespirationExtraData[2][1].empty());
    ASSERT_EQ(g_vecPPGRespirationExtraData[2][2].size(), 1u);
    const RAW_DATA& r = g_vecPPGRespirationExtraData[2][2][0];
    EXPECT_EQ(r.nSampleCount, 10000);
    EXPECT_DOUBLE_EQ(r.pACData[5000], 0.2);

    std::vector<double> out(3, 9.0);
    GenerateRespirationData(out, 2, 2, 1.0);  // too short: left alone
    EXPECT_EQ(out, std::vector<double>(3, 9.0));
    EXPECT_EQ(0, LoadMITECG(nullptr, 0, 0, 0));
}

}  // namespace
