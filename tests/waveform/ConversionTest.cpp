// DAC code words, the ECG DC table's default line, finger-PPG curves and the
// automatic-DC conversion, from the values the instrument's documentation states.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "CalibrationStateFixture.h"
#include "waveform/Conversion.h"

namespace {

// The two bytes as they go into a packet: the word stored in host (little-endian) order.
struct Bytes {
    int high, low;
    bool operator==(const Bytes& o) const { return high == o.high && low == o.low; }
};

Bytes Wire(uint16_t word) {
    unsigned char b[2];
    std::memcpy(b, &word, 2);
    return {b[0], b[1]};
}

Bytes Code(int code) { return {(code >> 8) & 0xFF, code & 0xFF}; }

std::ostream& operator<<(std::ostream& os, const Bytes& b) {
    return os << std::hex << b.high << " " << b.low << std::dec;
}

}  // namespace

using ConversionTest = CalibrationStateTest;

TEST_F(ConversionTest, EcgAcStepsOf2_5MicrovoltsClampedToSixteenBits) {
    struct Case {
        double mv;
        Bytes wire;
    } cases[] = {
        {1.0, {0x01, 0x90}},                               // 400 steps
        {-0.0049, {0xFF, 0xFF}},                           // -1
        {0.0, {0x00, 0x00}},     {81.9175, {0x7F, 0xFF}},  // 32767, the last step
        {100.0, {0x7F, 0xFF}},   {-100.0, {0x80, 0x00}},  {NAN, {0x00, 0x00}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Wire(ECG_AC_VoltageToDAC(c.mv)), c.wire) << c.mv << " mV";
    }
}

TEST_F(ConversionTest, EcgDcRoundsHalfAwayAndClampsTheIndex) {
    for (int i = 0; i <= 2000; ++i) {
        g_ECGDCVariableCalibrationData[i] = static_cast<uint16_t>(i + 0x100);  // code = index + 256
    }
    struct Case {
        double mv;
        int index;
    } cases[] = {
        {0.49, 1000},   {-0.5, 999},  {0.5, 1001}, {-0.49, 1000},    {999.6, 2000},
        {2500.0, 2000}, {-2500.0, 0}, {NAN, 2000}, {INFINITY, 2000}, {-INFINITY, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Wire(ECG_DC_VoltageToDAC(c.mv)), Code(c.index + 0x100)) << c.mv << " mV";
    }
}

TEST_F(ConversionTest, EcgDcDefaultLine) {
    auto expected = [](int mv) {
        return static_cast<uint16_t>(static_cast<int>(0.5 + (1000 + mv / 1.02) / 2000 * 4095));
    };
    // The table holds the default line from load on, and the reset writes the same line.
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(g_ECGDCVariableCalibrationData[0], 40);
        EXPECT_EQ(g_ECGDCVariableCalibrationData[700], 1445);
        EXPECT_EQ(g_ECGDCVariableCalibrationData[1000], 2048);
        EXPECT_EQ(g_ECGDCVariableCalibrationData[1300], 2650);
        EXPECT_EQ(g_ECGDCVariableCalibrationData[2000], 4055);
        for (int mv = -1000; mv <= 1000; ++mv) {
            ASSERT_EQ(g_ECGDCVariableCalibrationData[mv + 1000], expected(mv)) << mv;
        }
        std::memset(g_ECGDCVariableCalibrationData, 0, sizeof g_ECGDCVariableCalibrationData);
        SetDefaultECGDCVariableCalibrationData();
    }
    EXPECT_EQ(Wire(ECG_DC_VoltageToDAC(0.0)), Code(2048));
}

TEST_F(ConversionTest, PpgDcOntoTheDacLevel) {
    struct Case {
        double level, mv;
        int code;
    } cases[] = {
        {4095, 1500, 2047},   {4095, 3500, 4095}, {4095, 3000, 4095},
        {4095, 0, 0},         {4095, -10, 0},  // no negative codes
        {65535, 1500, 32767}, {4095, NAN, 0},
    };
    for (const Case& c : cases) {
        g_nPPGDCDacLevel = c.level;
        EXPECT_EQ(Wire(PPG_DC_VoltageToDAC(c.mv)), Code(c.code)) << c.level << ", " << c.mv << " mV";
    }
}

TEST_F(ConversionTest, PpgAcOnTheCapabilityFullScale) {
    // Default capability row: 30 mV full scale.
    struct Case {
        double mv;
        int code;
    } cases[] = {{15.0, 2047}, {30.0, 4095}, {45.0, 4095}, {-1.0, 0}, {0.0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(Wire(PPG_AC_VoltageToDAC(0, c.mv)), Code(c.code)) << c.mv << " mV";
    }
    // After a disconnection the capability record is all zero: no full scale, code 0.
    g_DeviceFeature = DEVICE_FEATURE{};
    EXPECT_EQ(Wire(PPG_AC_VoltageToDAC(0, 1.0)), Code(0));
}

TEST_F(ConversionTest, PpgAcOnModel2112Ranges) {
    Use2112();
    struct Case {
        int channelIndex;
        uint8_t range;
        uint16_t factoryWord;
        double mv;
        int code;
    } cases[] = {
        {0, 2, 0, 1.0, 2730},      // 1 / 1.5 x 4095
        {0, 0, 0, 450.0, 4095},    // cut to 300 mV first
        {0, 1, 0, 7.5, 2047},      // 7.5 / 15 x 4095
        {1, 1, 3000, 7.5, 1500},   // the channel's factory full-scale word
        {2, 1, 3000, 20.0, 3000},  // never above the level in force
        {5, 0, 0, 150.0, 2047},    // no such channel: the capability full scale, no table
    };
    for (const Case& c : cases) {
        std::memset(&g_FactorySettingMCU, 0, sizeof g_FactorySettingMCU);
        if (c.channelIndex >= 0 && c.channelIndex <= 2) {
            g_ACCalMode[c.channelIndex] = c.range;
            g_FactorySettingMCU.usACFullScaleDAC[3 * c.channelIndex + c.range] = c.factoryWord;
        }
        EXPECT_EQ(Wire(PPG_AC_VoltageToDAC(c.channelIndex, c.mv)), Code(c.code))
            << "channel index " << c.channelIndex << ", range " << int(c.range) << ", " << c.mv;
    }
}

TEST_F(ConversionTest, FingerCurvesOfModel2012) {
    // The telling rows, and the curves' shape: non-decreasing, saturated at the top.
    const std::pair<int, int> dcRows[] = {{0, 0},       {1, 28},      {2, 51},      {10, 88},
                                          {50, 226},    {100, 356},   {200, 559},   {500, 1126},
                                          {1000, 2000}, {1500, 2841}, {1574, 2973}, {3000, 2973}};
    for (auto [i, v] : dcRows) {
        EXPECT_EQ(FingerDCCurve(i), v) << i;
    }
    const std::pair<int, int> acRows[] = {{0, 0},     {1, 1},     {10, 8},    {20, 17},   {50, 42},
                                          {100, 84},  {150, 128}, {200, 172}, {250, 217}, {280, 244},
                                          {290, 253}, {299, 261}, {300, 261}};
    for (auto [i, v] : acRows) {
        EXPECT_EQ(FingerACCurve(i), v) << i;
    }
    for (int i = 1; i <= 3000; ++i) {
        ASSERT_GE(FingerDCCurve(i), FingerDCCurve(i - 1)) << i;
        ASSERT_EQ(FingerDCCurve(i), std::floor(FingerDCCurve(i))) << "whole millivolts";
    }
    EXPECT_LT(FingerDCCurve(1573), 2973);
    for (int i = 1; i <= 300; ++i) {
        ASSERT_GE(FingerACCurve(i), FingerACCurve(i - 1)) << i;
    }
    EXPECT_LT(FingerACCurve(298), 261);
}

TEST_F(ConversionTest, FingerConversionsByModel) {
    Use2012();
    const double top = 2973 * 0.111163 / 0.113;
    struct Case {
        double mv, dc;
    } dcCases[] = {
        {1000, 2000 * 0.111148 / 0.113},  // 1967.22
        {100, 356 * 0.079937 / 0.113},    // 251.84
        {1574, top},
        {2500, top},
        {3000, top},
        {5000, top},
        {0, 0.0},
        {-20, 0.0},
        {NAN, 0.0},  // outside the table: its ends
    };
    for (const Case& c : dcCases) {
        EXPECT_NEAR(FingerDCValueConvert(PPG_CHANNEL_1, c.mv), c.dc, 1e-9) << c.mv << " mV";
    }
    EXPECT_NEAR(FingerDCValueConvert(PPG_CHANNEL_1, 1000), 1967.22, 0.005);
    EXPECT_NEAR(FingerDCValueConvert(PPG_CHANNEL_1, 100), 251.84, 0.005);
    struct AcCase {
        double mv, ac;
    } acCases[] = {{10, 8.4}, {30, 26.1}, {29.9, 26.1}, {45, 26.1}, {-3, 0.0}, {0.1, 0.1}};
    for (const AcCase& c : acCases) {
        EXPECT_NEAR(FingerACValueConvert(c.mv), c.ac, 1e-12) << c.mv << " mV";
    }
    EXPECT_EQ(FingerConvertedDCValueIndex(PPG_CHANNEL_1, 1234), 1234);

    // Models without finger curves: unchanged.
    SetPPGModel(0x2001);
    EXPECT_EQ(FingerDCValueConvert(PPG_CHANNEL_1, 1234.5), 1234.5);
    EXPECT_EQ(FingerACValueConvert(12.34), 12.34);
    EXPECT_EQ(FingerConvertedDCValueIndex(PPG_CHANNEL_2, 777), 777);
}

TEST_F(ConversionTest, FingerDcTablesOfModel2112) {
    Use2112();
    for (int i = 0; i <= 3000; ++i) {
        g_PPGDCTable[0][i] = static_cast<uint16_t>(i);          // identity
        g_PPGDCTable[1][i] = static_cast<uint16_t>(2 * i + 7);  // ascending, odd codes only
    }
    EXPECT_EQ(FingerDCValueConvert(PPG_CHANNEL_1, 1234.9), 1234.0);
    EXPECT_EQ(FingerDCValueConvert(PPG_CHANNEL_2, 100.0), 207.0);
    EXPECT_EQ(FingerDCValueConvert(PPG_CHANNEL_2, 3500.0), 6007.0);  // the table's last entry
    EXPECT_EQ(FingerDCValueConvert(PPG_CHANNEL_1, -5.0), 0.0);
    EXPECT_EQ(FingerDCValueConvert(static_cast<PPGChannel>(4), 50.0), 50.0);

    struct Case {
        PPGChannel channel;
        uint16_t value;
        int index;
    } cases[] = {
        {PPG_CHANNEL_1, 0, 0},       {PPG_CHANNEL_1, 1500, 1500},         {PPG_CHANNEL_1, 3000, 3000},
        {PPG_CHANNEL_1, 3001, -1},   {PPG_CHANNEL_2, 207, 100},           {PPG_CHANNEL_2, 208, -1},
        {PPG_CHANNEL_2, 6007, 3000}, {static_cast<PPGChannel>(0), 5, -1}, {static_cast<PPGChannel>(4), 5, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FingerConvertedDCValueIndex(c.channel, c.value), c.index)
            << "channel " << c.channel << ", value " << c.value;
    }
}

TEST_F(ConversionTest, RespirationRatios) {
    const std::pair<int, double> cases[] = {{500, 2.873038}, {1000, 7.827624}, {1500, 13.12254},
                                            {2000, 17.92},   {1200, 1.0},      {0, 1.0}};
    for (auto [ohms, ratio] : cases) {
        EXPECT_EQ(GetScaledRatioByRespiration(ohms), ratio) << ohms;
    }
}

TEST_F(ConversionTest, AutoDcToFixedDc) {
    for (int j = 0; j < 18; ++j) {
        g_FactorySettingMCU.usRateLEDSetting[j] = 1023;
        g_FactorySettingMCU.usRateParamSetting[j] = 1023;
    }
    struct Case {
        int channel, mode, dc, gain;
        double expected, tolerance;
    } cases[] = {
        {1, 0, 1000, 512, 1185.60, 0.005},                               // the gain stage saturates at v = 1.2
        {1, 0, 1000, 100, 227.87, 0.005},                                // v = 0.47284
        {3, 5, 1000, 512, 1185.60, 0.005},                               // last channel, last rate mode
        {0, 0, 1000, 512, 0.0, 0.0},                                     // no such channel
        {4, 0, 1000, 512, 0.0, 0.0},       {1, 6, 1000, 512, 0.0, 0.0},  // no such rate mode
        {1, -1, 1000, 512, 0.0, 0.0},
    };
    for (const Case& c : cases) {
        g_nTransmissionRateMode = c.mode;
        EXPECT_NEAR(ORVConvertAutoDCToFixedDC(static_cast<PPGChannel>(c.channel), c.dc, c.gain), c.expected,
                    c.tolerance)
            << "channel " << c.channel << ", mode " << c.mode << ", gain " << c.gain;
    }
    // The default rate word 800 on both sides and full gain leave the reading unchanged.
    g_nTransmissionRateMode = 2;
    g_FactorySettingMCU.usRateLEDSetting[6 + 2] = 800;
    EXPECT_NEAR(ORVConvertAutoDCToFixedDC(PPG_CHANNEL_2, 1000, 1023), 1000.0, 0.01);
}
