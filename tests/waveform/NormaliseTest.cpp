// Normalisation of ECG and PPG records: the rate choice, clamps, respiration modes,
// finger conversion, and the common AC range of two model-0x2112 channels.
#include <gtest/gtest.h>

#include <cmath>

#include "CalibrationStateFixture.h"
#include "waveform/Normalise.h"

using NormaliseTest = CalibrationStateTest;

TEST(MakeInRange, LowerBoundFirst) {
    struct Case {
        int v, lo, hi, expected;
    } cases[] = {
        {5, 1, 10, 5}, {0, 1, 10, 1},   {11, 1, 10, 10},
        {1, 1, 10, 1}, {10, 1, 10, 10}, {7, 5, 3, 3},  // bounds out of order: lo tested first, then hi
        {2, 5, 3, 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MakeInRange(c.v, c.lo, c.hi), c.expected) << c.v << " in " << c.lo << ".." << c.hi;
    }
}

TEST_F(NormaliseTest, RateChoiceByPeriodLimit) {
    struct Case {
        bool ecg, channel3;
        double frequency, rate;
        int fraction;
    } cases[] = {
        {true, true, 1.0, 1.0, 0},   // 2 kHz gives 2000 samples > 1500
        {true, false, 1.0, 2.0, 0},  // without channel 3 up to 2000 samples
        {true, true, 0.5, 0.5, 0},     {true, false, 0.5, 1.0, 0},   {true, true, 1.2, 1.0, 333},  // 833.33 samples
        {false, true, 0.6, 0.5, 333},                                                              // 833.33 samples
        {false, true, 1.0, 1.0, 0},    {true, true, 100.0, 40.0, 0},  // 400 samples at the highest rate
        {true, true, 0.01, -7.0, -7},                                 // even 0.05 kHz gives 5000: fields kept
        {false, true, 0.05, -7.0, -7},                                // PPG stops at 0.1 kHz: 2000 samples
        {true, true, 0.0, -7.0, -7},                                  // no period at all
        {false, true, -1.0, -7.0, -7}, {true, true, NAN, -7.0, -7},
    };
    for (const Case& c : cases) {
        SetPPGChannel3(c.channel3);
        SCOPED_TRACE(testing::Message() << (c.ecg ? "ECG " : "PPG ") << c.frequency << " Hz, "
                                        << (c.channel3 ? "with" : "without") << " channel 3");
        if (c.ecg) {
            ECG_WAVEFORM w{};
            w.fFrequency = c.frequency;
            w.fSampleRateKHz = -7.0;
            w.nSampleFraction = -7;
            AdjustECGWaveformScale(&w);
            EXPECT_EQ(w.fSampleRateKHz, c.rate);
            EXPECT_EQ(w.nSampleFraction, c.fraction);
        } else {
            PPG_WAVEFORM w{};
            w.fFrequency = c.frequency;
            w.fSampleRateKHz = -7.0;
            w.nSampleFraction = -7;
            AdjustPPGWaveformScale(&w);
            EXPECT_EQ(w.fSampleRateKHz, c.rate);
            EXPECT_EQ(w.nSampleFraction, c.fraction);
        }
    }
}

TEST_F(NormaliseTest, EcgPacingRate) {
    struct Case {
        int type, rate;
        double frequency;
        int expected;
    } cases[] = {
        {6, 5, 1.2, 72},  // the heart rate
        {6, 5, 0.1, 60},  // heart rate 6 is out of range too
        {0, 5, 1.2, 60},   {6, 10, 1.2, 10},   {6, 300, 1.2, 300}, {0, 9, 1.0, 60},
        {0, 301, 1.0, 60}, {6, 400, 2.0, 120}, {6, 0, NAN, 60},
    };
    for (const Case& c : cases) {
        ECG_WAVEFORM w{};
        w.nWaveformType = c.type;
        w.nPacingRate = c.rate;
        w.fFrequency = c.frequency;
        AdjustECGWaveform(&w);
        EXPECT_EQ(w.nPacingRate, c.expected) << "type " << c.type << ", rate " << c.rate;
    }
}

TEST_F(NormaliseTest, EcgRespirationModesAndClamps) {
    struct Case {
        int mode, expectedMode;
        int baseline, expectedBaseline;  // field 27
        int depth, expectedDepth;        // field 26
    } cases[] = {
        {0x8F, 0x0F, 9, 5, 40, 16},  // internal: ratio 1..5, depth -16..16
        {0x41, 0x01, 0, 1, -40, -16},
        {0x80, 0x80, 1200, 1000, 9, 5},  // external: baseline from the list, ratio 1..5
        {0x80, 0x80, 1500, 1500, 0, 1},
        {0x00, 0x00, 1200, 1200, 99, 99},  // off: respiration fields untouched
        {0x10, 0x00, 1200, 1200, 99, 99},  // only high bits: off
    };
    for (const Case& c : cases) {
        ECG_WAVEFORM w{};
        w.fFrequency = 1.0;
        w.nRespirationMode = c.mode;
        w.nRespirationRatioOrBaseline = c.baseline;
        w.nRespirationDepthOrRatio = c.depth;
        w.nRespirationRate = 500;
        w.nRespirationAmplitude = 100;
        w.nApneaDuration = 99;
        w.nApneaCycle = 0;
        w.bVariableDCOffset = 1;
        w.bPacingEnable = 1;
        w.nTWidth = 33;
        AdjustECGWaveform(&w);
        SCOPED_TRACE(testing::Message() << "mode 0x" << std::hex << c.mode);
        EXPECT_EQ(w.nRespirationMode, c.expectedMode);
        EXPECT_EQ(w.nRespirationRatioOrBaseline, c.expectedBaseline);
        EXPECT_EQ(w.nRespirationDepthOrRatio, c.expectedDepth);
        EXPECT_EQ(w.nTWidth, 180);
        const bool external = c.mode == 0x80;
        EXPECT_EQ(w.nRespirationRate, external ? 200 : 500);
        EXPECT_EQ(w.nRespirationAmplitude, external ? 1000 : 100);
        EXPECT_EQ(w.nApneaDuration, external ? 60 : 99);
        EXPECT_EQ(w.nApneaCycle, external ? 1 : 0);
        // Respiration (any mode given) excludes the variable DC offset and pacing.
        EXPECT_EQ(w.bVariableDCOffset, c.mode != 0 ? 0 : 1);
        EXPECT_EQ(w.bPacingEnable, c.mode != 0 ? 0 : 1);
    }
}

TEST_F(NormaliseTest, EcgNoiseAndPacingClamps) {
    ECG_WAVEFORM w{};
    w.fFrequency = 1.0;
    w.fNoiseAmplitude = 5.0;
    w.nNoiseType = 9;
    w.fPacingAmplitude = -2000.0;
    w.fPacingWidth = 3.0;
    AdjustECGWaveform(&w);
    EXPECT_EQ(w.fNoiseAmplitude, 2.0);
    EXPECT_EQ(w.nNoiseType, 4);
    EXPECT_EQ(w.fPacingAmplitude, -1000.0);
    EXPECT_EQ(w.fPacingWidth, 2.0);

    w.fNoiseAmplitude = -1.0;
    w.nNoiseType = -3;
    w.fPacingWidth = NAN;  // a NaN passes the clamp
    AdjustECGWaveform(&w);
    EXPECT_EQ(w.fNoiseAmplitude, 0.0);
    EXPECT_EQ(w.nNoiseType, 0);
    EXPECT_TRUE(std::isnan(w.fPacingWidth));
}

namespace {

PPG_WAVEFORM PpgRecord(double dc, double a1) {
    PPG_WAVEFORM w{};
    w.nWaveformType = 3;
    w.fFrequency = 1.0;
    w.fDCLevel = dc;
    w.fAmplitude1 = a1;
    w.fAmplitude2 = a1 / 2;
    w.fAmplitude3 = a1 / 2;
    w.nRespirationRatio = 3;
    return w;
}

}  // namespace

TEST_F(NormaliseTest, PpgLevelsOnAModelWithoutFingerCurves) {
    // Default capability row: AC 0.75..30 mV, DC from 100 mV.
    struct Case {
        int type, acAboveDC;
        double dc, a1;
        double expectedDC, expectedA1;
    } cases[] = {
        {3, 0, 1000, 20, 980, 20},                                 // the host's level is the top of the signal
        {3, 1, 1000, 20, 1000, 20},   {3, 0, 5000, 50, 2970, 30},  // both clamped first
        {3, 0, 50, 0.1, 100, 0.75},                                // clamped again after the subtraction
        {3, 0, NAN, 10, 2990, 10},                                 // a NaN level becomes 3000
        {255, 0, 5000, 50, 3000, 50},                              // constant: no clamp of the amplitude
    };
    for (const Case& c : cases) {
        g_bACAboveDC = c.acAboveDC;
        PPG_WAVEFORM w = PpgRecord(c.dc, c.a1);
        w.nWaveformType = c.type;
        AdjustPPGWaveform(PPG_CHANNEL_1, &w, 0);
        EXPECT_DOUBLE_EQ(w.fDCLevel, c.expectedDC) << "type " << c.type << ", DC " << c.dc;
        EXPECT_DOUBLE_EQ(w.fAmplitude1, c.expectedA1) << "type " << c.type << ", DC " << c.dc;
    }
}

TEST_F(NormaliseTest, PpgFingerConversion) {
    Use2012();
    g_bACAboveDC = 1;
    PPG_WAVEFORM w = PpgRecord(1000, 10);
    AdjustPPGWaveform(PPG_CHANNEL_1, &w, 0);
    EXPECT_NEAR(w.fDCLevel, 2000 * 0.111148 / 0.113, 1e-9);
    EXPECT_NEAR(w.fAmplitude1, 8.4, 1e-12);

    PPG_WAVEFORM suppressed = PpgRecord(1000, 10);
    AdjustPPGWaveform(PPG_CHANNEL_1, &suppressed, 1);
    EXPECT_EQ(suppressed.fDCLevel, 1000);
    EXPECT_EQ(suppressed.fAmplitude1, 10);

    g_bPPGAmplitudeConversion = 0;
    PPG_WAVEFORM off = PpgRecord(1000, 10);
    AdjustPPGWaveform(PPG_CHANNEL_1, &off, 0);
    EXPECT_EQ(off.fDCLevel, 1000);

    // Model 0x2112: the channel's DC table, and no second clamp of the level.
    Use2112();
    g_bPPGAmplitudeConversion = 1;
    for (int i = 0; i <= 3000; ++i) {
        g_PPGDCTable[1][i] = static_cast<uint16_t>(i / 10);
    }
    PPG_WAVEFORM table = PpgRecord(1000, 10);
    AdjustPPGWaveform(PPG_CHANNEL_2, &table, 0);
    EXPECT_EQ(table.fDCLevel, 100);  // below the 300 mV minimum, kept
}

TEST_F(NormaliseTest, PpgOptionFields) {
    struct Case {
        int sync, expectedSync, inverted, expectedInverted;
        int noiseType, expectedNoiseType;
        double noise, expectedNoise;
        double offset, expectedOffset;  // bound: 30 - a1 (20) - noise
    } cases[] = {
        {2, 2, 5, 1, 0, 0, 1.5, 0.0, 15, 10},  // noise type 0 zeroes the amplitude
        {0, 1, 0, 0, 1, 1, 1.0, 1.0, 15, 9},  {3, 1, -1, 1, 20, 14, 5.0, 2.0, 15, 8},
        {1, 1, 1, 1, -1, 0, 5.0, 2.0, 1, 1},  // clamped, then the type becomes 0
        {1, 1, 0, 0, 1, 1, 1.0, 1.0, -3, 0},
    };
    for (const Case& c : cases) {
        PPG_WAVEFORM w = PpgRecord(1000, 20);
        w.nSyncPulse = c.sync;
        w.bInverted = c.inverted;
        w.nNoiseType = c.noiseType;
        w.fNoiseAmplitude = c.noise;
        w.fACOffset = c.offset;
        AdjustPPGWaveform(PPG_CHANNEL_1, &w, 0);
        SCOPED_TRACE(testing::Message() << "sync " << c.sync << ", noise type " << c.noiseType);
        EXPECT_EQ(w.nSyncPulse, c.expectedSync);
        EXPECT_EQ(w.bInverted, c.expectedInverted);
        EXPECT_EQ(w.nNoiseType, c.expectedNoiseType);
        EXPECT_EQ(w.fNoiseAmplitude, c.expectedNoise);
        EXPECT_EQ(w.fACOffset, c.expectedOffset);
    }
    // An amplitude at the maximum leaves no room for an offset.
    PPG_WAVEFORM full = PpgRecord(1000, 30);
    full.fACOffset = 2;
    full.nNoiseType = 1;
    full.fNoiseAmplitude = 1;
    AdjustPPGWaveform(PPG_CHANNEL_1, &full, 0);
    EXPECT_EQ(full.fACOffset, 0.0);
}

TEST_F(NormaliseTest, PpgRespirationDepthAndRatio) {
    struct Case {
        int mode, depth, expectedDepth;
        double a1;
    } cases[] = {
        {4, 500, 500, 20},                                       // rate modulation only: depth untouched
        {5, 500, 50, 20},                                        // up to 100 x (30 - 20) / 20
        {1, -40, -16, 20}, {0, 500, 50, 20}, {1, 500, 16, 0.0},  // constant of no amplitude: the symmetric limit
    };
    for (const Case& c : cases) {
        PPG_WAVEFORM w = PpgRecord(1000, c.a1);
        w.nWaveformType = c.a1 == 0.0 ? 255 : 3;
        w.nRespirationMode = c.mode;
        w.nRespirationDepth = c.depth;
        w.nRespirationRatio = 9;
        AdjustPPGWaveform(PPG_CHANNEL_1, &w, 0);
        EXPECT_EQ(w.nRespirationDepth, c.expectedDepth) << "mode " << c.mode << ", a1 " << c.a1;
        EXPECT_EQ(w.nRespirationRatio, 5);
    }
    AdjustPPGWaveform(PPG_CHANNEL_1, nullptr, 0);  // ignored
}

TEST_F(NormaliseTest, CommonAcRangeOfTwo2112Channels) {
    Use2112();
    struct Case {
        double a1, a2, dc1, dc2;
        double k;  // the common factor; 1 = untouched
    } cases[] = {
        {10, 1, 2000, 1500, 1.5},                               // ranges 1 and 2: min(1.5 / 1, 15 / 10, 3000 / 2000)
        {100, 10, 1000, 1000, 1.5},                             // ranges 0 and 1: min(15 / 10, 300 / 100, 3)
        {100, 10, 2500, 1000, 1.2}, {10, 10, 1000, 1000, 1.0},  // same range: untouched
        {10, 0, 1000, 1000, 1.5},                               // no amplitude on one side: that bound is dropped
        {10, 1, 0, 0, 1.5},
    };
    for (const Case& c : cases) {
        PPG_WAVEFORM w1 = PpgRecord(c.dc1, c.a1);
        PPG_WAVEFORM w2 = PpgRecord(c.dc2, c.a2);
        AdjustPPGWaveform2112(&w1, &w2);
        SCOPED_TRACE(testing::Message() << c.a1 << " and " << c.a2 << " mV");
        EXPECT_DOUBLE_EQ(w1.fAmplitude1, c.a1 * c.k);
        EXPECT_DOUBLE_EQ(w2.fAmplitude1, c.a2 * c.k);
        EXPECT_DOUBLE_EQ(w1.fAmplitude2, c.a1 / 2 * c.k);
        EXPECT_DOUBLE_EQ(w1.fDCLevel, c.dc1 * c.k);
        EXPECT_DOUBLE_EQ(w2.fDCLevel, c.dc2 * c.k);
    }
    // Other models, or a missing record: nothing changes.
    SetPPGModel(0x2012);
    PPG_WAVEFORM w1 = PpgRecord(2000, 10);
    PPG_WAVEFORM w2 = PpgRecord(1500, 1);
    AdjustPPGWaveform2112(&w1, &w2);
    EXPECT_EQ(w1.fAmplitude1, 10);
    AdjustPPGWaveform2112(&w1, nullptr);
    EXPECT_EQ(PPGWaveformAmplitudeScale(2.0, nullptr), nullptr);
}
