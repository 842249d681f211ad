// ROM bytes and standalone slots against the firmware model: the library's ROM reader
// delivers what the model's ROM holds despite the one-late answer, the ROM writer lands
// the byte, and a slot store leaves in the model exactly the blocks it sent, with the type
// byte written last.
#include <array>
#include <vector>

#include "CrossCheck.h"
#include "WaveformRecords.h"
#include "protocol/StandaloneMode.h"

namespace {

class CrossStandalone : public CrossCheck {
protected:
    void SetUp() override {
        CrossCheck::SetUp();
        Connect(ProfileNamed("yb-2112"));
    }
};

TEST_F(CrossStandalone, RomBytesReadAndWritten) {
    const std::vector<std::pair<int, uint8_t>> bytes = {{0, 0x11}, {1, 0x07}, {3, 0x00}, {128, 0x80}, {255, 0xFE}};
    for (const auto& [address, value] : bytes) {
        fw_->SetRom(static_cast<uint8_t>(address), value);
    }
    for (const auto& [address, value] : bytes) {
        SCOPED_TRACE(address);
        unsigned char got = 0;
        ASSERT_TRUE(ReadFromROM(address, &got));
        EXPECT_EQ(got, value);
    }
    ClearSent();
    ASSERT_TRUE(WriteToROM(200, 0x3C));
    EXPECT_EQ(fw_->RomAt(200), 0x3C);
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], Bytes({0xEA, 0xFF, 0x07, 0x00, 200, 0x3C}));
    EXPECT_EQ(sent[1], Bytes({0xEA, 0x00, 0x07, 0x00, 200, 0x00}));
    EXPECT_EQ(sent[2], Bytes({0xEA, 0x00, 0x07, 0x00, 0x00, 0x00}));
    EXPECT_EQ(ReadStandaloneModeType(1), 0x07);
    EXPECT_EQ(ReadStandaloneModeType(2), 0xFF);  // never written
}

// A type-6 store: ECG and two PPG channels. What the model kept with the slot is what
// went over the wire; the ROM write is the last request; the read-back brings the same
// blocks back from the model.
TEST_F(CrossStandalone, SlotStoreAndReadBack) {
    ECG_WAVEFORM ecg = records::EcgBeat(800);
    PPG_WAVEFORM ppg1 = records::PpgPulse(3, 1.0, 800);
    PPG_WAVEFORM ppg2 = records::PpgSine(1.25, 500.0, 100.0);
    ClearSent();
    ASSERT_EQ(WriteWaveformToStandaloneMode(3, 6, 120, &ecg, &ppg1, &ppg2, nullptr), 0);
    const std::vector<Bytes> sent = Sent();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[sent.size() - 3], Bytes({0xEA, 0xFF, 0x07, 0x00, 0x03, 0x06}));
    EXPECT_EQ(fw_->RomAt(3), 6);
    for (const Bytes& b : sent) {
        if (b.size() == 58 && b[0] == 0xEA && b[1] == 0xFF && b[2] == 0x01) {
            EXPECT_EQ(fw_->Setting(0), b);
            EXPECT_EQ(b[48] << 8 | b[49], 120);  // the transit time
            EXPECT_LT(b[50] << 8 | b[51], 800);  // the delay, within one RR
        }
        if (b.size() == 61 && b[0] == 0xEA && b[1] == 0xFF && b[2] == 0x00) {
            const std::array<uint8_t, 57> kept = fw_->ControlBlock();
            for (size_t i = 0; i < kept.size(); ++i) {
                EXPECT_EQ(b[4 + i], kept[i]) << "block byte " << i;
            }
        }
    }

    // Another store elsewhere replaces the model's current blocks; the read-back of slot 3
    // brings its own back.
    PPG_WAVEFORM other = records::PpgSine(2.0, 300.0, 50.0);
    ASSERT_EQ(WriteWaveformToStandaloneMode(1, 4, 0, nullptr, &other, nullptr, nullptr), 0);
    ECG_WAVEFORM ecgBack = {};
    PPG_WAVEFORM back1 = {}, back2 = {};
    int transit = 0;
    ASSERT_EQ(ReadWaveformFromStandaloneMode(3, 6, &transit, &ecgBack, &back1, &back2, nullptr), 0);
    EXPECT_EQ(transit, 120);
    EXPECT_EQ(ecgBack.nWaveformType, ecg.nWaveformType);
    EXPECT_EQ(back1.nWaveformType, 3);
    EXPECT_EQ(back2.nWaveformType, 0);
    EXPECT_EQ(ReadStandaloneModeType(1), 4);
}

// A kind outside 1..9 names no record: refused before any request, records or not.
TEST_F(CrossStandalone, UnknownKindsAreRefusedWithoutTraffic) {
    PPG_WAVEFORM ppg = records::PpgSine(1.0, 500.0, 100.0);
    for (int type : {0, 10, 255}) {
        SCOPED_TRACE(type);
        ClearSent();
        EXPECT_EQ(
            WriteWaveformToStandaloneMode(1, static_cast<unsigned char>(type), 0, nullptr, nullptr, nullptr, nullptr),
            3);
        EXPECT_EQ(WriteWaveformToStandaloneMode(1, static_cast<unsigned char>(type), 0, nullptr, &ppg, &ppg, &ppg), 3);
        EXPECT_EQ(ReadWaveformFromStandaloneMode(1, static_cast<unsigned char>(type), nullptr, nullptr, nullptr,
                                                 nullptr, nullptr),
                  3);
        EXPECT_TRUE(Sent().empty());
    }
    EXPECT_EQ(fw_->RomAt(1), 0xFF);
}

}  // namespace
