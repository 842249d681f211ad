// Waveform settings and raw uploads against the firmware model: what the model recorded
// (its setting blocks and raw periods) equals what the library meant to send, checked
// with the library's own decoder and byte by byte against the block layouts.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "CrossCheck.h"
#include "protocol/Memory.h"
#include "protocol/StoredRecords.h"
#include "protocol/WaveformSetting.h"
#include "waveform/Waveform.h"

namespace {

using nvsemu::RawPoint;

ECG_WAVEFORM SineECG() {
    ECG_WAVEFORM w = {};
    w.nWaveformType = 0;
    w.fFrequency = 10.0;
    w.fAmplitude = 1.0;
    w.nRespirationRate = 20;
    w.nRespirationAmplitude = 2000;
    w.nRespirationDepthOrRatio = -5;  // internal respiration: depth -5 %, ratio 3
    w.nRespirationRatioOrBaseline = 3;
    w.nApneaCycle = 0x0102;
    w.fSampleRateKHz = 1.0;
    return w;
}

ECG_WAVEFORM PacedBeat() {
    ECG_WAVEFORM w = {};
    w.nWaveformType = 6;
    w.fFrequency = 1.0;    // 60 per minute
    w.fAmplitude = 1.125;  // 112.5 rounds half away from zero: 113
    w.fTAmplitude = -0.25;
    w.fPAmplitude = 0.1;
    w.nQRSWidth = 80;
    w.nTWidth = 180;
    w.nPRInterval = 160;
    w.nQTInterval = 360;
    w.bPacingEnable = 1;
    w.fPacingAmplitude = -2.5;
    w.fPacingWidth = 0.999;  // 99.9 truncated: 99
    w.nPacingRate = 70;
    w.fNoiseAmplitude = 0.05;
    w.nNoiseType = 1;
    w.nRespirationMode = 0x80;  // external respiration: ratio 3, baseline 1500 ohms
    w.nRespirationDepthOrRatio = 3;
    w.nRespirationRatioOrBaseline = 1500;
    w.nRespirationAmplitude = 3000;
    w.fSampleRateKHz = 0.5;
    return w;
}

class CrossWaveform : public CrossCheck {
protected:
    void SetUp() override {
        CrossCheck::SetUp();
        Connect(ProfileNamed("yb-2112"));
        // The host copy of the MCU record, as the loading after a connection keeps it:
        // the AC full scales of model 0x2112 come from there.
        ASSERT_TRUE(ReadFactorySettingMCU(&g_FactorySettingMCU));
    }
};

TEST_F(CrossWaveform, ECGSettingRecordedAsMeantAndReadBack) {
    struct Case {
        ECG_WAVEFORM w;
        uint8_t respA, respB;
        uint16_t amplitude, pacingWidth;
    };
    const Case cases[] = {{SineECG(), 0xFB, 0x83, 100, 0}, {PacedBeat(), 2, 2, 113, 99}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.w.nWaveformType);
        ASSERT_TRUE(WriteWaveformInfo(c.w, 200, 0x0102, -1));
        const Bytes s = fw_->Setting(0);
        ASSERT_EQ(s.size(), 58u);

        _READ_WRITE_ECG_WAVEFORM_SETTING meant = {};
        ToECGWaveformSetting(c.w, meant);
        meant.ucData[1] = 0xFF;
        meant.ucData[2] = 0x01;
        meant.ucData[48] = 0x00, meant.ucData[49] = 0xC8;
        meant.ucData[50] = 0x01, meant.ucData[51] = 0x02;
        meant.ucData[52] = 0xFF, meant.ucData[53] = 0xFF;
        EXPECT_EQ(s, Bytes(meant.ucData, meant.ucData + 58));

        // Key bytes by the layout.
        EXPECT_EQ(Bytes(s.begin(), s.begin() + 5), Bytes({0xEA, 0xFF, 0x01, 0x00, 0x00}));
        const uint32_t points = static_cast<uint32_t>(c.w.fSampleRateKHz * (1000.0 / c.w.fFrequency));
        EXPECT_EQ(uint32_t{s[5]} << 16 | uint32_t{s[6]} << 8 | s[7], points);
        EXPECT_EQ(BE16(s, 8), static_cast<uint16_t>(60 * c.w.fFrequency));
        EXPECT_EQ(s[10], c.w.nWaveformType);
        EXPECT_EQ(s[13], c.w.nRespirationAmplitude / 100);
        EXPECT_EQ(s[14], c.respA);
        EXPECT_EQ(s[15], c.respB);
        EXPECT_EQ(BE16(s, 16), c.amplitude);
        EXPECT_EQ(static_cast<int16_t>(BE16(s, 18)), static_cast<int16_t>(std::lround(100 * c.w.fTAmplitude)));
        EXPECT_EQ(static_cast<int16_t>(BE16(s, 40)), static_cast<int16_t>(std::lround(10 * c.w.fPacingAmplitude)));
        EXPECT_EQ(BE16(s, 42), c.pacingWidth);
        EXPECT_EQ(s[56], c.w.nApneaCycle & 0xFF) << "apnea cycle low byte first";
        EXPECT_EQ(s[57], c.w.nApneaCycle >> 8);

        // The library's reader gives the carried fields back from the model's copy.
        ECG_WAVEFORM back = {};
        int transit = 0;
        ASSERT_TRUE(ReadWaveformInfo(&back, &transit));
        EXPECT_EQ(transit, 200);
        EXPECT_DOUBLE_EQ(back.fFrequency, c.w.fFrequency);
        EXPECT_DOUBLE_EQ(back.fAmplitude, c.amplitude / 100.0);
        EXPECT_EQ(back.nWaveformType, c.w.nWaveformType);
        EXPECT_EQ(back.nRespirationDepthOrRatio, c.w.nRespirationDepthOrRatio);
        EXPECT_EQ(back.nRespirationRatioOrBaseline, c.w.nRespirationRatioOrBaseline);
        EXPECT_EQ(back.nApneaCycle, c.w.nApneaCycle);
        EXPECT_EQ(back.nQRSWidth, c.w.nQRSWidth);
        EXPECT_DOUBLE_EQ(back.fPacingWidth, c.pacingWidth / 100.0);
        EXPECT_DOUBLE_EQ(back.fPacingAmplitude, c.w.fPacingAmplitude);
    }
}

TEST_F(CrossWaveform, ECGRawPeriodRecordedAsMeant) {
    const ECG_WAVEFORM w = SineECG();
    ASSERT_TRUE(WriteECGRawData(w));
    const std::vector<RawPoint> got = fw_->RawPoints(0);
    const int n = GetPointNumber(w);
    ASSERT_EQ(n, 100);
    ASSERT_EQ(got.size(), 112u) << "8 packets of 14 points";

    int count = 0;
    int* ac = nullptr;
    int* dc = nullptr;
    GenECGWaveform(&w, &count, &ac, &dc, false);
    ASSERT_EQ(count, n);
    std::vector<uint8_t> packed(RawBufferBytes(n), 0);
    PackECGRawData(w, ac, n, packed.data());
    delete[] ac;
    delete[] dc;
    int16_t lo = 0, hi = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        const RawPoint meant{BE16(packed, 4 * i), BE16(packed, 4 * i + 2)};
        ASSERT_EQ(got[i], meant) << "point " << i;
        if (i < 100) {
            EXPECT_EQ(got[i].dc, 2048) << "0 mV through the default DC table";
            lo = std::min<int16_t>(lo, static_cast<int16_t>(got[i].ac));
            hi = std::max<int16_t>(hi, static_cast<int16_t>(got[i].ac));
        } else {
            EXPECT_EQ(got[i], RawPoint{}) << "padding";
        }
    }
    // 1 mV peak to peak at 2.5 uV per step: +-200 steps.
    EXPECT_GE(hi, 195);
    EXPECT_LE(hi, 200);
    EXPECT_LE(lo, -195);
    EXPECT_GE(lo, -200);
}

PPG_WAVEFORM Pulse(double amplitudeMv) {
    PPG_WAVEFORM w = {};
    w.nWaveformType = 3;
    w.fFrequency = 1.25;
    w.fDCLevel = 1500;
    w.fAmplitude1 = amplitudeMv;
    w.fAmplitude2 = amplitudeMv * 0.5;
    w.fAmplitude3 = amplitudeMv * 0.7;
    w.nTime1 = 120;
    w.nTime2 = 300;
    w.nTime3 = 400;
    w.nSyncPulse = 1;
    w.fNoiseAmplitude = 0.3;
    w.nNoiseType = 2;
    w.nRespirationRate = 12;
    w.nRespirationDepth = 5;
    w.nRespirationRatio = 2;
    w.fSampleRateKHz = 1.0;
    return w;
}

// Model 0x2112 (16-bit DACs): 10 mV is AC range 1 (15 mV full scale); the noise uses the
// channel's factory AC full scale for that range.
TEST_F(CrossWaveform, PPGSettingAndRawPeriodOn2112) {
    const PPG_WAVEFORM w = Pulse(10.0);
    ASSERT_TRUE(WriteWaveformInfo(PPG_CHANNEL_1, w));
    const Bytes s = fw_->Setting(1);
    ASSERT_EQ(s.size(), 64u);
    _READ_WRITE_PPG_WAVEFORM_SETTING meant = {};
    ToPPGWaveformSetting(PPG_CHANNEL_1, w, meant);
    meant.ucData[1] = 0xFF;
    meant.ucData[2] = 0x02;
    EXPECT_EQ(s, Bytes(meant.ucData, meant.ucData + 64));

    const uint16_t fullScale = LE16(fw_->MemoryAt(0x13, 0x1480, 256), 18 + 2 * 1);  // channel 1, range 1
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 5), Bytes({0xEA, 0xFF, 0x02, 0x00, 0x01}));
    EXPECT_EQ(BE16(s, 8), 75);      // 1.25 Hz: 75 per minute
    EXPECT_EQ(BE16(s, 14), 32768);  // 1500 / 3000 x 65535, rounded
    EXPECT_EQ(BE16(s, 16), 43690);  // 10 / 15 x 65535, rounded
    EXPECT_EQ(BE16(s, 30), static_cast<uint16_t>(0.5 + 0.3 / 15 * fullScale));
    EXPECT_EQ(BE16(s, 32), 500);
    EXPECT_EQ(BE16(s, 34), 1200);
    EXPECT_EQ(s[42], 1) << "AC range";

    PPG_WAVEFORM back = {};
    ASSERT_TRUE(ReadWaveformInfo(PPG_CHANNEL_1, &back));
    EXPECT_DOUBLE_EQ(back.fDCLevel, 1500);
    EXPECT_DOUBLE_EQ(back.fAmplitude1, 10.0);
    EXPECT_DOUBLE_EQ(back.fFrequency, 1.25);
    EXPECT_EQ(back.nTime2, 300);
    EXPECT_EQ(back.nRespirationDepth, 5);

    ASSERT_TRUE(WritePPGRawData(PPG_CHANNEL_1, w));
    const std::vector<RawPoint> got = fw_->RawPoints(1);
    const int n = GetPointNumber(w);
    ASSERT_EQ(n, 800);
    ASSERT_EQ(got.size(), 58u * 14);
    uint16_t peak = 0;
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(got[static_cast<size_t>(i)].dc, 32767) << "65535 x 1.5 V / 3 V, truncated";
        peak = std::max(peak, got[static_cast<size_t>(i)].ac);
    }
    // The systolic peak, 10 mV of a 15 mV range, on the channel's full-scale code.
    const double top = 10.0 / 15.0 * fullScale;
    EXPECT_LE(peak, top + 1);
    EXPECT_GE(peak, top * 0.97);
}

// A 12-bit module: channel 3's sub-commands (08 setting, 09 raw) and the 30 mV range.
TEST_F(CrossCheck, PPGChannel3On12BitModule) {
    Connect(ProfileNamed("yb-2001"));
    PPG_WAVEFORM w = Pulse(3.0);
    w.nWaveformType = 0;  // sine, generated in 1/2000 mV
    ASSERT_TRUE(WriteWaveformInfo(PPG_CHANNEL_3, w));
    const Bytes s = fw_->Setting(3);
    ASSERT_EQ(s.size(), 64u);
    EXPECT_EQ(s[2], 0x08);
    EXPECT_EQ(BE16(s, 14), 2048);  // 1500 / 3000 x 4095, rounded
    EXPECT_EQ(BE16(s, 16), 410);   // 3 / 30 x 4095, rounded
    EXPECT_EQ(s[42], 0);
    EXPECT_TRUE(fw_->Setting(1).empty());

    ASSERT_TRUE(WritePPGRawData(PPG_CHANNEL_3, w));
    const std::vector<RawPoint> got = fw_->RawPoints(3);
    ASSERT_EQ(got.size(), 58u * 14);
    uint16_t peak = 0, low = 0xFFFF;
    for (int i = 0; i < 800; ++i) {
        EXPECT_EQ(got[static_cast<size_t>(i)].dc, 2047);
        peak = std::max(peak, got[static_cast<size_t>(i)].ac);
        low = std::min(low, got[static_cast<size_t>(i)].ac);
    }
    // A sine spanning 3 mV from 0 on the 30 mV range: 0 to 3 / 30 x 4095 steps.
    EXPECT_LE(peak, 410);
    EXPECT_GE(peak, 400);
    EXPECT_LE(low, 5);
}

}  // namespace
