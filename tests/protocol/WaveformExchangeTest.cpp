// Waveform settings and raw uploads, end to end.
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "platform/Device.h"
#include "protocol/Identity.h"
#include "protocol/WaveformSetting.h"
#include "waveform/Waveform.h"
#include "ExchangeFixture.h"

namespace {

class ProtocolWaveformExchange : public ProtocolExchange {
protected:
    void SetUp() override {
        ProtocolExchange::SetUp();
        OpenPort();
    }
};

ECG_WAVEFORM SineECG() {
    ECG_WAVEFORM w = {};
    w.nWaveformType = 0;
    w.fFrequency = 10.0;
    w.fAmplitude = 1.0;
    w.nRespirationRatioOrBaseline = 1000;
    w.nRespirationDepthOrRatio = 3;
    w.nRespirationAmplitude = 2000;
    w.fSampleRateKHz = 1.0;
    return w;
}

TEST_F(ProtocolWaveformExchange, ECGSettingWrittenAndReadBack) {
    const ECG_WAVEFORM w = SineECG();
    ASSERT_TRUE(WriteWaveformInfo(w, 200, 0x0102, -1));
    const Bytes sent = Sent().front();
    ASSERT_EQ(sent.size(), 58u);
    EXPECT_EQ(sent[0], 0xEA);
    EXPECT_EQ(sent[1], 0xFF);
    EXPECT_EQ(sent[2], 0x01);
    EXPECT_EQ(sent[3], 0x00);
    const Bytes timing = {0x00, 0xC8, 0x01, 0x02, 0xFF, 0xFF};
    EXPECT_EQ(Bytes(sent.begin() + 48, sent.begin() + 54), timing);

    ECG_WAVEFORM back = {};
    int transit = 0;
    ASSERT_TRUE(ReadWaveformInfo(&back, &transit));
    EXPECT_EQ(Sent().back(), Bytes({0xEA, 0x00, 0x01}));
    EXPECT_EQ(transit, 200);
    EXPECT_DOUBLE_EQ(back.fFrequency, 10.0);
    EXPECT_DOUBLE_EQ(back.fAmplitude, 1.0);
    EXPECT_EQ(back.nRespirationRatioOrBaseline, 1000);
    EXPECT_EQ(back.nRespirationDepthOrRatio, 3);
}

TEST_F(ProtocolWaveformExchange, SettingWritesRequireTheExactEcho) {
    emu_.FaultOnHeader({0xEA, 0xFF, 0x01}, nvsemu::Fault::Alter({{20, 0x99}}));
    EXPECT_FALSE(WriteWaveformInfo(SineECG(), 0, 0, 0));
    emu_.FaultOnHeader({0xEA, 0xFF, 0x08}, nvsemu::Fault::Refuse());
    PPG_WAVEFORM ppg = {};
    ppg.fFrequency = 1;
    ppg.fSampleRateKHz = 1;
    EXPECT_FALSE(WriteWaveformInfo(PPG_CHANNEL_3, ppg));
    EXPECT_EQ(Sent().back()[2], 0x08);
    EXPECT_TRUE(WriteWaveformInfo(PPG_CHANNEL_3, ppg));
}

TEST_F(ProtocolWaveformExchange, PPGSettingReadBackAndRefusal) {
    PPG_WAVEFORM w = {};
    w.nWaveformType = 3;
    w.fFrequency = 1.25;
    w.fDCLevel = 1500;
    w.fAmplitude1 = 10;
    w.fSampleRateKHz = 1;
    ASSERT_TRUE(WriteWaveformInfo(PPG_CHANNEL_2, w));
    EXPECT_EQ(Sent().back().size(), 64u);
    PPG_WAVEFORM back = {};
    ASSERT_TRUE(ReadWaveformInfo(PPG_CHANNEL_2, &back));
    EXPECT_EQ(Sent().back(), Bytes({0xEA, 0x00, 0x03}));
    EXPECT_EQ(back.nPeriod, 800);
    EXPECT_DOUBLE_EQ(back.fDCLevel, 1500.0);
    EXPECT_DOUBLE_EQ(back.fAmplitude1, 10.0);

    emu_.FaultOnHeader({0xEA, 0x00, 0x03}, nvsemu::Fault::Refuse());
    PPG_WAVEFORM untouched = {};
    untouched.nPeriod = 5;
    EXPECT_FALSE(ReadWaveformInfo(PPG_CHANNEL_2, &untouched));
    EXPECT_EQ(untouched.nPeriod, 5);
}

TEST_F(ProtocolWaveformExchange, RawUploadIn14PointPackets) {
    // Exactly 15 points: the upload must not read past the caller's 60 bytes.
    std::unique_ptr<unsigned char[]> points(new unsigned char[60]);
    for (int i = 0; i < 60; ++i) {
        points[i] = static_cast<unsigned char>(i + 1);
    }
    ASSERT_TRUE(WriteWaveformRawData(points.get(), 60, 0x05));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 8), Bytes({0xEA, 0xFF, 0x05, 0, 0, 0, 0x00, 0x00}));
    EXPECT_EQ(sent[0][8], 1);
    EXPECT_EQ(sent[0][63], 56);
    EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 8), Bytes({0xEA, 0xFF, 0x05, 0, 0, 0, 0x00, 0x0E}));
    EXPECT_EQ(Bytes(sent[1].begin() + 8, sent[1].begin() + 12), Bytes({57, 58, 59, 60}));
    EXPECT_EQ(Bytes(sent[1].begin() + 12, sent[1].end()), Bytes(52, 0));

    ClearSent();
    EXPECT_TRUE(WriteWaveformRawData(points.get(), 3, 0x05));  // no whole point: nothing to send
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ProtocolWaveformExchange, RawUploadStopsAtAnEchoThatDiffers) {
    unsigned char points[29 * 4] = {};
    emu_.FaultOnRequest(1, nvsemu::Fault::Alter({{40, 0x01}}));
    EXPECT_FALSE(WriteWaveformRawData(points, sizeof points, 0x04));
    EXPECT_EQ(Sent().size(), 2u);  // the third packet is never sent
}

TEST_F(ProtocolWaveformExchange, GeneratedPeriodsUploadWhole) {
    const ECG_WAVEFORM ecg = SineECG();  // 100 ms at 1 sample per ms
    ASSERT_TRUE(WriteECGRawData(ecg));
    std::vector<Bytes> sent = Sent();
    ASSERT_EQ(static_cast<int>(sent.size()), (GetPointNumber(ecg) + 13) / 14);
    EXPECT_EQ(sent.back()[2], 0x04);
    EXPECT_EQ(sent.back()[7], 98);  // the last packet starts at point 98

    // A main unit that serves PPG has no AC maximum; the upload still goes out.
    ClearSent();
    g_DeviceFeature.fACMaximum = 0.0;
    PPG_WAVEFORM ppg = {};
    ppg.nWaveformType = 3;
    ppg.fFrequency = 1.0;
    ppg.fDCLevel = 1000;
    ppg.fAmplitude1 = 10;
    ppg.fAmplitude2 = 5;
    ppg.fAmplitude3 = 6;
    ppg.nTime1 = 150;
    ppg.nTime2 = 300;
    ppg.nTime3 = 400;
    ppg.fSampleRateKHz = 0.1;
    ASSERT_TRUE(WritePPGRawData(PPG_CHANNEL_2, ppg));
    sent = Sent();
    ASSERT_EQ(static_cast<int>(sent.size()), (GetPointNumber(ppg) + 13) / 14);
    EXPECT_EQ(sent.front()[2], 0x06);
}

TEST_F(ProtocolWaveformExchange, NothingWithoutAnInstrument) {
    DeviceClose();
    unsigned char points[56] = {};
    ECG_WAVEFORM back = {};
    EXPECT_FALSE(WriteWaveformInfo(SineECG(), 0, 0, 0));
    EXPECT_FALSE(ReadWaveformInfo(&back, nullptr));
    EXPECT_FALSE(WriteWaveformRawData(points, sizeof points, 4));
    EXPECT_FALSE(WriteECGRawData(SineECG()));
    EXPECT_TRUE(Sent().empty());
}

}  // namespace
