// Setting blocks and raw packing: encoders against the documented bytes, and round
// trips through the readers.
#include <cstring>

#include <gtest/gtest.h>

#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/WaveformSetting.h"
#include "waveform/Calibration.h"
#include "ExchangeFixture.h"

namespace {

class ProtocolSettingCodec : public ::testing::Test {
protected:
    void SetUp() override { ResetProtocolState(); }
    void TearDown() override { ResetProtocolState(); }
    static void SetPPGModel(uint16_t model) {
        g_PPGModelInfo.ucGeneration = static_cast<uint8_t>(model >> 8);
        g_PPGModelInfo.ucModel = static_cast<uint8_t>(model);
    }
};

ECG_WAVEFORM BaseECG() {
    ECG_WAVEFORM w = {};
    w.nWaveformType = 6;
    w.fFrequency = 1.25;
    w.fAmplitude = 1.25;
    w.fTAmplitude = 0.3;
    w.fPAmplitude = 0.15;
    w.fSTLevel = -0.1;
    w.nQRSWidth = 100;
    w.nTWidth = 180;
    w.nPRInterval = 160;
    w.nQTInterval = 400;
    w.nDCOffset = -300;
    w.nPulseWidth = 40;
    w.nRespirationRate = 20;
    w.nRespirationAmplitude = 2500;
    w.nRespirationDepthOrRatio = 8;
    w.nRespirationRatioOrBaseline = 2;
    w.nApneaDuration = 12;
    w.nApneaCycle = 0x0102;
    w.nNoiseType = 2;
    w.fNoiseAmplitude = 0.125;
    w.fPacingAmplitude = -12.5;
    w.fPacingWidth = 1.25;
    w.fSampleRateKHz = 10.0;
    return w;
}

TEST_F(ProtocolSettingCodec, RoundHalfAwayFromZero) {
    struct Case {
        double in;
        int out;
    } cases[] = {{112.5, 113}, {-112.5, -113}, {0.5, 1},     {-0.5, -1},
                 {2.4999, 2},  {-2.4999, -2},  {100.6, 101}, {0.0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(RoundHalfAway(c.in), c.out) << c.in;
    }
    // 100 x 1.005 is 100.49999999999999 in binary floating point: it rounds to 100.
    EXPECT_EQ(RoundHalfAway(100.0 * 1.005), 100);
    EXPECT_EQ(RoundHalfAway(100.0 * 1.125), 113);
}

TEST_F(ProtocolSettingCodec, ECGBlockBytes) {
    ECG_WAVEFORM w = BaseECG();
    w.fPacingWidth = 0.999;
    _READ_WRITE_ECG_WAVEFORM_SETTING block;
    memset(&block, 0xEE, sizeof block);
    ToECGWaveformSetting(w, block);
    const uint8_t* b = block.ucData;
    EXPECT_EQ(b[0], 0xEA);
    EXPECT_EQ(b[4], 0);
    EXPECT_EQ((b[5] << 16) | (b[6] << 8) | b[7], 8000);  // 800 ms at 10 samples per ms
    EXPECT_EQ((b[8] << 8) | b[9], 75);                   // beats per minute
    EXPECT_EQ(b[10], 6);
    EXPECT_EQ(b[13], 25);
    EXPECT_EQ(b[14], 8);
    EXPECT_EQ(b[15], 0x82);
    EXPECT_EQ((b[16] << 8) | b[17], 125);
    EXPECT_EQ(static_cast<int16_t>((b[22] << 8) | b[23]), -10);
    EXPECT_EQ(static_cast<int16_t>((b[32] << 8) | b[33]), -300);
    EXPECT_EQ((b[38] << 8) | b[39], 125);
    EXPECT_EQ(static_cast<int16_t>((b[40] << 8) | b[41]), -125);
    EXPECT_EQ((b[42] << 8) | b[43], 99);  // 0.999 ms truncates to 99, not 100
    for (int i = 44; i < 56; ++i) {
        EXPECT_EQ(b[i], 0) << i;
    }
    EXPECT_EQ(b[56], 0x02);  // the apnea cycle goes low byte first
    EXPECT_EQ(b[57], 0x01);
}

TEST_F(ProtocolSettingCodec, ECGRespirationBytes) {
    struct Case {
        int depthOrRatio, ratioOrBaseline;
        uint8_t a, b;
        int backDepth, backRatio;
    } cases[] = {
        {1, 500, 0, 0, 1, 500},   {2, 1000, 1, 1, 2, 1000}, {-5, 3, 0xFB, 0x83, -5, 3},
        {3, 1500, 2, 2, 3, 1500}, {5, 2000, 4, 3, 5, 2000}, {9, 1500, 0, 2, 1, 1500},
        {1, 700, 0, 1, 1, 1000},  {16, 5, 16, 0x85, 16, 5}, {-16, 1, 0xF0, 0x81, -16, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.depthOrRatio << " " << c.ratioOrBaseline);
        ECG_WAVEFORM w = BaseECG();
        w.nRespirationDepthOrRatio = c.depthOrRatio;
        w.nRespirationRatioOrBaseline = c.ratioOrBaseline;
        _READ_WRITE_ECG_WAVEFORM_SETTING block = {};
        ToECGWaveformSetting(w, block);
        EXPECT_EQ(block.ucData[14], c.a);
        EXPECT_EQ(block.ucData[15], c.b);
        ECG_WAVEFORM back = {};
        DecodeECGWaveformSetting(block.ucData, &back, nullptr);
        EXPECT_EQ(back.nRespirationDepthOrRatio, c.backDepth);
        EXPECT_EQ(back.nRespirationRatioOrBaseline, c.backRatio);
    }
}

TEST_F(ProtocolSettingCodec, ECGRoundTrip) {
    const ECG_WAVEFORM w = BaseECG();
    _READ_WRITE_ECG_WAVEFORM_SETTING block = {};
    ToECGWaveformSetting(w, block);
    block.ucData[48] = 0x00;  // transit time, as the writer adds it
    block.ucData[49] = 0xC8;
    ECG_WAVEFORM back = {};
    back.nImpedance = 3;  // not carried: stays
    int transit = 0;
    DecodeECGWaveformSetting(block.ucData, &back, &transit);
    EXPECT_EQ(transit, 200);
    EXPECT_EQ(back.nImpedance, 3);
    EXPECT_EQ(back.nRRInterval, 800);
    EXPECT_DOUBLE_EQ(back.fFrequency, w.fFrequency);
    EXPECT_EQ(back.nWaveformType, w.nWaveformType);
    EXPECT_EQ(back.nPulseWidth, w.nPulseWidth);
    EXPECT_EQ(back.nRespirationRate, w.nRespirationRate);
    EXPECT_EQ(back.nRespirationAmplitude, w.nRespirationAmplitude);
    EXPECT_DOUBLE_EQ(back.fAmplitude, w.fAmplitude);
    EXPECT_DOUBLE_EQ(back.fTAmplitude, w.fTAmplitude);
    EXPECT_DOUBLE_EQ(back.fPAmplitude, w.fPAmplitude);
    EXPECT_DOUBLE_EQ(back.fSTLevel, w.fSTLevel);
    EXPECT_EQ(back.nQRSWidth, w.nQRSWidth);
    EXPECT_EQ(back.nTWidth, w.nTWidth);
    EXPECT_EQ(back.nPRInterval, w.nPRInterval);
    EXPECT_EQ(back.nQTInterval, w.nQTInterval);
    EXPECT_EQ(back.nDCOffset, w.nDCOffset);
    EXPECT_EQ(back.nApneaDuration, w.nApneaDuration);
    EXPECT_EQ(back.nApneaCycle, 0x0102);
    EXPECT_EQ(back.nNoiseType, w.nNoiseType);
    EXPECT_DOUBLE_EQ(back.fNoiseAmplitude, w.fNoiseAmplitude);
    EXPECT_DOUBLE_EQ(back.fPacingAmplitude, w.fPacingAmplitude);
    EXPECT_DOUBLE_EQ(back.fPacingWidth, w.fPacingWidth);

    // A stored rate of 0 reads back as no period; the amplitude is held to 1000..5000.
    block.ucData[8] = block.ucData[9] = 0;
    block.ucData[13] = 2;
    DecodeECGWaveformSetting(block.ucData, &back, nullptr);
    EXPECT_EQ(back.nRRInterval, 0);
    EXPECT_EQ(back.fFrequency, 0.0);
    EXPECT_EQ(back.nRespirationAmplitude, 1000);
}

PPG_WAVEFORM BasePPG() {
    PPG_WAVEFORM w = {};
    w.nWaveformType = 3;
    w.fFrequency = 1.25;
    w.fDCLevel = 1500;
    w.fAmplitude1 = 10;
    w.fAmplitude2 = 4.5;
    w.fAmplitude3 = 6;
    w.fACOffset = 0.5;
    w.nTime1 = 150;
    w.nTime2 = 300;
    w.nTime3 = 420;
    w.nSyncPulse = 2;
    w.bInverted = 1;
    w.fNoiseAmplitude = 0.5;
    w.nNoiseType = 4;
    w.nRespirationRate = 15;
    w.nRespirationDepth = -12;
    w.nRespirationRatio = 2;
    w.fSampleRateKHz = 1.0;
    return w;
}

TEST_F(ProtocolSettingCodec, PPGLevelCodes) {
    struct Case {
        double dc;
        int code;
    } cases[] = {{3000, 4095}, {1500, 2048}, {0, 0}, {2999.9, 4095}};
    for (const Case& c : cases) {
        PPG_WAVEFORM w = BasePPG();
        w.fDCLevel = c.dc;
        _READ_WRITE_PPG_WAVEFORM_SETTING block = {};
        ToPPGWaveformSetting(PPG_CHANNEL_1, w, block);
        EXPECT_EQ((block.ucData[14] << 8) | block.ucData[15], c.code) << c.dc;
    }
}

TEST_F(ProtocolSettingCodec, PPGBlockOnModel2112UsesTheAmplitudesRange) {
    SetPPGModel(0x2112);
    PPG_WAVEFORM w = BasePPG();  // 10 mV: AC range 1, 15 mV full scale
    _READ_WRITE_PPG_WAVEFORM_SETTING block = {};
    ToPPGWaveformSetting(PPG_CHANNEL_2, w, block);
    EXPECT_EQ((block.ucData[16] << 8) | block.ucData[17], 2730);  // 10 / 15 x 4095
    EXPECT_EQ(block.ucData[42], 1);
    SetPPGModel(0x2001);
    ToPPGWaveformSetting(PPG_CHANNEL_2, w, block);
    EXPECT_EQ((block.ucData[16] << 8) | block.ucData[17], 1365);  // 10 / 30 x 4095
    EXPECT_EQ(block.ucData[42], 0);
}

TEST_F(ProtocolSettingCodec, PPGRoundTrip) {
    struct Case {
        uint16_t model;
        double amplitude1;
        uint16_t fullScale;  // channel 2's AC full-scale code for the amplitude's range
        double dcLevel;
    } cases[] = {
        {0x2001, 10, 0, 4095},       {0x2112, 10, 0, 65535}, {0x2112, 20, 50000, 65535},  // range 0
        {0x2112, 1.2, 61000, 65535},                                                      // range 2
        {0x2112, 10, 60000, 65535},  // the noise code uses 60000, the amplitudes 65535
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.model << std::dec << " " << c.amplitude1);
        ResetProtocolState();
        SetPPGModel(c.model);
        g_nPPGDCDacLevel = g_nPPGACDacLevel = c.dcLevel;
        PPG_WAVEFORM w = BasePPG();
        w.fAmplitude1 = c.amplitude1;
        w.fAmplitude2 = c.amplitude1 / 2;
        w.fAmplitude3 = c.amplitude1 / 4;
        const int range = GetACCalMode(&w);
        g_FactorySettingMCU.usACFullScaleDAC[3 + range] = c.fullScale;
        _READ_WRITE_PPG_WAVEFORM_SETTING block = {};
        ToPPGWaveformSetting(PPG_CHANNEL_2, w, block);
        PPG_WAVEFORM back = {};
        back.nApneaCycle = 9;  // not carried: stays
        DecodePPGWaveformSetting(PPG_CHANNEL_2, block.ucData, &back);
        EXPECT_EQ(back.nApneaCycle, 9);
        EXPECT_EQ(back.nPeriod, 800);
        EXPECT_DOUBLE_EQ(back.fFrequency, w.fFrequency);
        EXPECT_EQ(back.nWaveformType, w.nWaveformType);
        EXPECT_EQ(back.nSyncPulse, w.nSyncPulse);
        EXPECT_DOUBLE_EQ(back.fDCLevel, w.fDCLevel);
        EXPECT_NEAR(back.fAmplitude1, w.fAmplitude1, 0.01);
        EXPECT_NEAR(back.fAmplitude2, w.fAmplitude2, 0.01);
        EXPECT_NEAR(back.fAmplitude3, w.fAmplitude3, 0.01);
        EXPECT_NEAR(back.fNoiseAmplitude, w.fNoiseAmplitude, 0.005);  // read with the scale it was written with
        EXPECT_EQ(back.nTime1, w.nTime1);
        EXPECT_EQ(back.nTime2, w.nTime2);
        EXPECT_EQ(back.nTime3, w.nTime3);
        EXPECT_EQ(back.nNoiseType, w.nNoiseType);
        EXPECT_EQ(back.nRespirationDepth, w.nRespirationDepth);
        EXPECT_EQ(back.nRespirationRate, w.nRespirationRate);
        EXPECT_EQ(back.bInverted, w.bInverted);
        EXPECT_DOUBLE_EQ(back.fACOffset, w.fACOffset);
        EXPECT_EQ(back.nRespirationRatio, w.nRespirationRatio);
    }
}

TEST_F(ProtocolSettingCodec, PPGBlockOfTheEarlierLayout) {
    PPG_WAVEFORM w = BasePPG();
    w.nWaveformType = 2;
    _READ_WRITE_PPG_WAVEFORM_SETTING block = {};
    ToPPGWaveformSetting(PPG_CHANNEL_1, w, block);
    PPG_WAVEFORM back = {};
    DecodePPGWaveformSetting(PPG_CHANNEL_1, block.ucData, &back);
    EXPECT_EQ(back.nWaveformType, 2);
    block.ucData[4] = 0;  // the earlier layout numbered the PPG pulse 2
    DecodePPGWaveformSetting(PPG_CHANNEL_1, block.ucData, &back);
    EXPECT_EQ(back.nWaveformType, 3);
}

TEST_F(ProtocolSettingCodec, SubCommandsByChannel) {
    EXPECT_EQ(GetWaveformInfoSubCommandByPPGChannel(1), 0x02);
    EXPECT_EQ(GetWaveformInfoSubCommandByPPGChannel(2), 0x03);
    EXPECT_EQ(GetWaveformInfoSubCommandByPPGChannel(3), 0x08);
    EXPECT_EQ(GetWaveformInfoSubCommandByPPGChannel(7), 0x02);
    EXPECT_EQ(GetWriteWaveformRawDataSubCommandByPPGChannel(PPG_CHANNEL_1), 0x05);
    EXPECT_EQ(GetWriteWaveformRawDataSubCommandByPPGChannel(PPG_CHANNEL_2), 0x06);
    EXPECT_EQ(GetWriteWaveformRawDataSubCommandByPPGChannel(PPG_CHANNEL_3), 0x09);
    EXPECT_EQ(GetWriteWaveformRawDataSubCommandByPPGChannel(static_cast<PPGChannel>(0)), 0x05);
    EXPECT_DOUBLE_EQ(RoundTo(1.005, 2), 1.0);
    EXPECT_DOUBLE_EQ(RoundTo(2.456, 2), 2.46);
    EXPECT_DOUBLE_EQ(RoundTo(1499.6, 0), 1500.0);
}

TEST_F(ProtocolSettingCodec, RawPacketsAndBuffers) {
    EXPECT_EQ(RawBufferBytes(0), 0u);
    EXPECT_EQ(RawBufferBytes(14), 56u);
    EXPECT_EQ(RawBufferBytes(15), 112u);
    const uint8_t data[4] = {1, 2, 3, 4};
    uint8_t packet[64];
    memset(packet, 0xEE, sizeof packet);
    BuildRawPacket(packet, 0x06, 14, data, sizeof data);
    const uint8_t head[12] = {0xEA, 0xFF, 0x06, 0x00, 0x00, 0x00, 0x00, 0x0E, 1, 2, 3, 4};
    EXPECT_EQ(0, memcmp(packet, head, sizeof head));
    for (int i = 12; i < 64; ++i) {
        EXPECT_EQ(packet[i], 0) << i;  // one point and 52 zero bytes
    }
}

TEST_F(ProtocolSettingCodec, PPGPacking) {
    const int ac[2] = {1000, -1000};  // uV, a PPG pulse
    const int dc[2] = {1500000, 0};
    PPG_WAVEFORM w = BasePPG();
    uint8_t out[8] = {};
    PackPPGRawData(PPG_CHANNEL_1, w, ac, dc, 2, out);
    EXPECT_EQ((out[0] << 8) | out[1], 2047);  // 4095 x 1500 mV / 3000 mV, truncated
    EXPECT_EQ((out[2] << 8) | out[3], 136);   // 1 mV of 30 mV at 4095
    EXPECT_EQ(static_cast<int16_t>((out[6] << 8) | out[7]), -136);

    w.nWaveformType = 0;  // the sine is generated in 1/2000 mV
    const int sine[1] = {2000};
    PackPPGRawData(PPG_CHANNEL_1, w, sine, dc, 1, out);
    EXPECT_EQ((out[2] << 8) | out[3], 136);

    // Main units serving PPG report no AC maximum, and a disconnection zeroes it: no
    // full scale, so the AC words are 0 (not a division by zero); DC is unaffected.
    w.nWaveformType = 3;
    g_DeviceFeature.fACMaximum = 0.0;
    memset(out, 0xEE, sizeof out);
    PackPPGRawData(PPG_CHANNEL_1, w, ac, dc, 2, out);
    EXPECT_EQ((out[0] << 8) | out[1], 2047);
    EXPECT_EQ((out[2] << 8) | out[3], 0);
    EXPECT_EQ((out[6] << 8) | out[7], 0);
}

TEST_F(ProtocolSettingCodec, ECGPacking) {
    SetDefaultECGDCVariableCalibrationData();
    ECG_WAVEFORM w = BaseECG();
    w.bVariableDCOffset = 0;
    const int ac[2] = {2500, -250};
    uint8_t out[8] = {};
    PackECGRawData(w, ac, 2, out);
    EXPECT_EQ((out[0] << 8) | out[1], g_ECGDCVariableCalibrationData[1000]);  // 0 mV
    EXPECT_EQ((out[2] << 8) | out[3], 1000);                                  // 2.5 uV per step
    EXPECT_EQ(static_cast<int16_t>((out[6] << 8) | out[7]), -100);
    w.bVariableDCOffset = 1;
    w.nDCOffset = 300;
    PackECGRawData(w, ac, 2, out);
    EXPECT_EQ((out[0] << 8) | out[1], g_ECGDCVariableCalibrationData[1300]);
}

}  // namespace
