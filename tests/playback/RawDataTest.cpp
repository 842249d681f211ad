// Loading the channel sources, the extra-curve lists and the sweep seam.
#include <cmath>
#include <limits>
#include <vector>

#include "PlaybackFixture.h"
#include "protocol/Protocol.h"
#include "waveform/Calibration.h"
#include "waveform/Numeric.h"

namespace {

using RawDataTest = PlaybackCoreTest;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

size_t ListsInUse() {
    size_t n = g_vecECGAppendData.size();
    for (int s = 0; s < 3; ++s) {
        n += g_vecECGRespirationExtraData[s].size();
    }
    for (int c = 0; c < 3; ++c) {
        n += g_vecPPGAppendData[c].size();
        for (int s = 0; s < 3; ++s) {
            n += g_vecPPGRespirationExtraData[c][s].size();
        }
    }
    return n;
}

}  // namespace

TEST_F(RawDataTest, LoadsCopyTheRecordsArraysAndRates) {
    std::vector<double> ac = {1.0, 2.0}, dc = {3.0, 4.0};
    PLAY_RAW_DATA r = {};
    r.fSampleRate = 500.0;
    r.nSampleCount = 2;
    r.pACData = ac.data();
    r.pDCData = dc.data();
    ASSERT_EQ(1, LoadRawECG(r));
    ASSERT_EQ(1, LoadRawPPG(3, r));
    ac[0] = dc[0] = 99.0;  // the host's arrays are its own
    EXPECT_EQ(2, g_nECGSrcSampleCount);
    EXPECT_DOUBLE_EQ(500.0, g_fECGSrcSampleRate.load());
    EXPECT_DOUBLE_EQ(500.0, g_fECGSrcSampleRateBackup);
    EXPECT_DOUBLE_EQ(1.0, g_pECGACSrcData[0]);
    EXPECT_DOUBLE_EQ(3.0, g_pECGDCSrcData[0]);
    EXPECT_EQ(2, g_nPPGSrcSampleCount[2]);
    EXPECT_DOUBLE_EQ(500.0, g_fPPGSrcSampleRate[2].load());
    EXPECT_DOUBLE_EQ(500.0, g_fPPGSrcSampleRateBackup[2]);
    EXPECT_DOUBLE_EQ(2.0, g_pPPGACSrcData[2][1]);
    EXPECT_DOUBLE_EQ(4.0, g_pPPGDCSrcData[2][1]);

    FreeRawPPG(3);
    EXPECT_EQ(nullptr, g_pPPGACSrcData[2]);
    EXPECT_EQ(0, g_nPPGSrcSampleCount[2]);
    EXPECT_DOUBLE_EQ(0.0, g_fPPGSrcSampleRate[2].load());
    EXPECT_DOUBLE_EQ(0.0, g_fPPGSrcSampleRateBackup[2]);
}

TEST_F(RawDataTest, LoadsRefuseRecordsThatCannotPlayAndKeepTheSource) {
    LoadECG({1.0, 2.0}, {3.0, 4.0}, 1000.0);
    LoadPPG(1, {1.0, 2.0}, {3.0, 4.0}, 1000.0);
    double* ecgBefore = g_pECGACSrcData;
    double* ppgBefore = g_pPPGACSrcData[0];
    std::vector<double> a = {5.0, 6.0};
    struct Case {
        const char* what;
        double rate;
        int count;
        double* ac;
        double* dc;
    } cases[] = {
        {"negative count", 1000.0, -1, a.data(), a.data()},
        {"rate 0", 0.0, 2, a.data(), a.data()},
        {"negative rate", -1000.0, 2, a.data(), a.data()},
        {"NaN rate", kNaN, 2, a.data(), a.data()},
        {"infinite rate", kInf, 2, a.data(), a.data()},
        {"no AC", 1000.0, 2, nullptr, a.data()},
        {"no DC", 1000.0, 2, a.data(), nullptr},
    };
    for (const Case& c : cases) {
        PLAY_RAW_DATA r = {};
        r.fSampleRate = c.rate;
        r.nSampleCount = c.count;
        r.pACData = c.ac;
        r.pDCData = c.dc;
        EXPECT_EQ(0, LoadRawECG(r)) << c.what;
        EXPECT_EQ(0, LoadRawPPG(1, r)) << c.what;
    }
    EXPECT_EQ(0, LoadRawPPG(0, Constant(1.0, 1.0, 1000.0)));
    EXPECT_EQ(0, LoadRawPPG(4, Constant(1.0, 1.0, 1000.0)));
    EXPECT_EQ(ecgBefore, g_pECGACSrcData);
    EXPECT_EQ(2, g_nECGSrcSampleCount);
    EXPECT_DOUBLE_EQ(1000.0, g_fECGSrcSampleRate.load());
    EXPECT_EQ(ppgBefore, g_pPPGACSrcData[0]);
    EXPECT_EQ(2, g_nPPGSrcSampleCount[0]);
}

TEST_F(RawDataTest, ZeroSamplesLeaveNoArrays) {
    LoadECG({1.0, 2.0}, {3.0, 4.0}, 1000.0);
    LoadPPG(2, {1.0, 2.0}, {3.0, 4.0}, 1000.0);
    PLAY_RAW_DATA none = {};
    none.fSampleRate = 1000.0;
    EXPECT_EQ(1, LoadRawECG(none));
    EXPECT_EQ(nullptr, g_pECGACSrcData);
    EXPECT_EQ(nullptr, g_pECGDCSrcData);
    EXPECT_EQ(0, g_nECGSrcSampleCount);
    // A PPG channel keeps its previous count and rates, without arrays (so it is silent).
    EXPECT_EQ(1, LoadRawPPG(2, none));
    EXPECT_EQ(nullptr, g_pPPGACSrcData[1]);
    EXPECT_EQ(nullptr, g_pPPGDCSrcData[1]);
    EXPECT_EQ(2, g_nPPGSrcSampleCount[1]);
    g_nSampleRate = 10000;
    EXPECT_DOUBLE_EQ(0.0, CalculatePPGDCVoltage(1, 3));
}

TEST_F(RawDataTest, ConvertedPeakPicksTheACRangeOnModel2112) {
    g_PPGModelInfo.ucGeneration = 0x21;
    g_PPGModelInfo.ucModel = 0x12;
    g_bPPGAmplitudeConversion = 1;
    struct Case {
        double peak;
        int range;
    } cases[] = {{14.996, 0}, {20.0, 0}, {1.496, 1}, {1.494, 2}, {-3.0, 2}};
    for (const Case& c : cases) {
        g_ACCalMode[1] = 7;
        LoadPPG(2, {0.1, c.peak, 0.2}, {100.0, 100.0, 100.0}, 1000.0);
        EXPECT_EQ(c.range, g_ACCalMode[1]) << c.peak;
        EXPECT_DOUBLE_EQ(c.peak, g_pPPGACSrcData[1][1]) << c.peak;  // 0x2112 keeps the AC
    }
    // Without the conversion the range stays as it was.
    g_bPPGAmplitudeConversion = 0;
    g_ACCalMode[1] = 7;
    LoadPPG(2, {0.1, 20.0}, {100.0, 100.0}, 1000.0);
    EXPECT_EQ(7, g_ACCalMode[1]);
}

TEST_F(RawDataTest, CloneFillsMissingArraysWithZeros) {
    std::vector<double> ac = {1.0, 2.0};
    PLAY_RAW_DATA r = {};
    r.fSampleRate = 250.0;
    r.nSampleCount = 2;
    r.pACData = ac.data();
    RAW_DATA clone = CloneRawData(r);
    ASSERT_EQ(2, clone.nSampleCount);
    EXPECT_DOUBLE_EQ(250.0, clone.fSampleRate);
    EXPECT_NE(ac.data(), clone.pACData);
    EXPECT_DOUBLE_EQ(2.0, clone.pACData[1]);
    EXPECT_DOUBLE_EQ(0.0, clone.pDCData[1]);
    std::vector<RAW_DATA> list = {clone};
    ClearAppendData(list);
    EXPECT_TRUE(list.empty());

    r.nSampleCount = -3;
    RAW_DATA empty = CloneRawData(r);
    EXPECT_EQ(0, empty.nSampleCount);
    EXPECT_EQ(nullptr, empty.pACData);
    EXPECT_EQ(nullptr, empty.pDCData);
}

TEST_F(RawDataTest, AppendsGoToTheirListsAndTheResetEmptiesAll) {
    const PLAY_RAW_DATA r = Constant(0.5, 1.0, 1000.0);
    PlayRawAppendECG(r);
    for (int s = 0; s < 3; ++s) {
        PlayRawAppendScaledECG(r, s);
    }
    for (int c = 1; c <= 3; ++c) {
        PlayRawAppendPPG(static_cast<PPGChannel>(c), r);
        for (int s = 0; s < 3; ++s) {
            PlayRawAppendScalePPG(static_cast<PPGChannel>(c), r, s);
        }
    }
    ASSERT_EQ(16u, ListsInUse());
    EXPECT_EQ(1u, g_vecPPGRespirationExtraData[2][1].size());
    // Out-of-range slots and channels, and records without samples, add nothing.
    PlayRawAppendScaledECG(r, 3);
    PlayRawAppendScaledECG(r, -1);
    PlayRawAppendPPG(static_cast<PPGChannel>(0), r);
    PlayRawAppendScalePPG(static_cast<PPGChannel>(4), r, 0);
    PlayRawAppendScalePPG(PPG_CHANNEL_1, r, 3);
    PlayRawAppendECG(Record({}, {}, 1000.0));
    EXPECT_EQ(16u, ListsInUse());

    PlayRawResetAccumulation();
    EXPECT_EQ(0u, ListsInUse());
}

namespace {
const FREQUENCY_SCAN* g_ecgScan = nullptr;
int g_scanRate = 0;
int g_scanChannel = 0;
int EcgGenerator(const FREQUENCY_SCAN* scan, int rate) {
    g_ecgScan = scan;
    g_scanRate = rate;
    return 1;
}
int PpgGenerator(int channel, const FREQUENCY_SCAN2*, int rate) {
    g_scanChannel = channel;
    g_scanRate = rate;
    return 1;
}
}  // namespace

TEST_F(RawDataTest, SweepsFailUntilAGeneratorIsInstalled) {
    FREQUENCY_SCAN ecg = {2.0, 10.0, 100.0, 1};
    FREQUENCY_SCAN2 ppg = {2.0, 100.0, 1, 10.0, 100.0, 1};
    EXPECT_EQ(0, LoadECGFrequencyScanWaveform(&ecg, 40000));
    EXPECT_EQ(0, LoadPPGFrequencyScanWaveform(2, &ppg, 40000));
    EXPECT_EQ(nullptr, g_pECGACSrcData);

    InstallFrequencyScanGenerators(EcgGenerator, PpgGenerator);
    EXPECT_EQ(1, LoadECGFrequencyScanWaveform(&ecg, 40000));
    EXPECT_EQ(&ecg, g_ecgScan);
    EXPECT_EQ(40000, g_scanRate);
    EXPECT_EQ(1, LoadPPGFrequencyScanWaveform(2, &ppg, 10000));
    EXPECT_EQ(2, g_scanChannel);
    EXPECT_EQ(10000, g_scanRate);
}

TEST_F(RawDataTest, ExternalRespirationBreathRisesAndFallsAround50Ohms) {
    ECG_WAVEFORM w = {};
    w.nRespirationRate = 12;  // 50000 samples a breath
    w.nRespirationAmplitude = 2000;
    w.nRespirationDepthOrRatio = 1;  // rise 25000, fall 25000
    w.nRespirationMode = 0xF1;
    ASSERT_EQ(1, LoadECGExtRespirationCurve(w));
    ASSERT_EQ(50000, g_nECGExtRespirationSampleCount);
    EXPECT_DOUBLE_EQ(50.0, g_pECGExtRespirationData[0]);
    EXPECT_NEAR(50.0 + 2.0 * std::sin(nvs::kPi / 4), g_pECGExtRespirationData[12500], 1e-12);
    EXPECT_DOUBLE_EQ(52.0, g_pECGExtRespirationData[25000]);
    EXPECT_NEAR(50.0 + 2.0 * std::cos(nvs::kPi / 2 * 24999 / 25000), g_pECGExtRespirationData[49999], 1e-12);

    w.nRespirationMode = 0x40;
    ASSERT_EQ(1, LoadECGExtRespirationCurve(w));
    EXPECT_DOUBLE_EQ(52.0, g_pECGExtRespirationData[0]);
    EXPECT_DOUBLE_EQ(52.0, g_pECGExtRespirationData[49999]);
}

TEST_F(RawDataTest, BreathWithoutARateOrAnInspirationIsAConstant50Ohms) {
    struct Case {
        int mode, rate, ratio;
    } cases[] = {{0xF1, 0, 1}, {0xF1, -12, 1}, {0xF1, 700000, 1}, {0xF1, 12, -1}, {0xF1, 12, -7}, {0x40, 0, 1}};
    for (const Case& c : cases) {
        ECG_WAVEFORM w = {};
        w.nRespirationMode = c.mode;
        w.nRespirationRate = c.rate;
        w.nRespirationDepthOrRatio = c.ratio;
        w.nRespirationAmplitude = 2000;
        ASSERT_EQ(1, LoadECGExtRespirationCurve(w)) << c.rate << " " << c.ratio;
        ASSERT_EQ(1, g_nECGExtRespirationSampleCount) << c.rate << " " << c.ratio;
        g_nSampleRate = 40000;
        EXPECT_DOUBLE_EQ(50.0, CalculateECGExtRespiration(12345)) << c.rate << " " << c.ratio;
    }
}
