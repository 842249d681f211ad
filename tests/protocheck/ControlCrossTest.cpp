// The device control block and the operator mode against the firmware model: each
// read-modify-write of the library changes exactly the bytes it owns in the model's
// block (every other byte travels back as the model holds it), and the operator-mode
// commands land in the model's operator block.
#include <array>
#include <functional>

#include "CrossCheck.h"
#include "protocol/ControlBlock.h"
#include "waveform/Calibration.h"

namespace {

using Block = std::array<uint8_t, 57>;

// A block whose every byte is distinct, so a byte written where it should not be shows.
Block Patterned() {
    Block b;
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<uint8_t>(0x40 + i);
    }
    b[3] = 0x03;  // electrode
    b[5] = 0xFF;  // respiration on: travels back unchanged
    return b;
}

class CrossControl : public CrossCheck {
protected:
    void SetUp() override {
        CrossCheck::SetUp();
        Connect(ProfileNamed("yb-2112"));
    }
};

TEST_F(CrossControl, ReadModifyWriteChangesOnlyTheOwnedBytes) {
    struct Case {
        const char* name;
        std::function<bool()> change;
        std::vector<std::pair<size_t, uint8_t>> bytes;  // the bytes that must change, and to what
        bool written;                                   // a block write follows the read
        uint8_t byte5 = 0xFF;                           // byte 5 of the model's block before the change
    };
    const Case cases[] = {
        {"impedance", [] { return SetOutputImpedance(0x1234); }, {{1, 0x34}}, true},
        {"electrode", [] { return SetOutputElectrode(7); }, {{3, 7}}, true},
        {"electrode unchanged", [] { return SetOutputElectrode(3); }, {}, false},
        {"DC offset -300", [] { return SetOutputDCOffset(-300); }, {{2, 2}, {4, 0}}, true},
        {"DC offset +300", [] { return SetOutputDCOffset(300); }, {{2, 1}, {4, 0}}, true},
        {"DC offset 150", [] { return SetOutputDCOffset(150); }, {{2, 0}, {4, 0}}, true},
        {"pacing on", [] { return SetOutputPacing(1); }, {{4, 0xFF}}, true},
        {"pacing off", [] { return SetOutputPacing(0); }, {{4, 0}}, true},
        {"respiration off", [] { return SetOutputRespiration(0); }, {{5, 0}}, true},
        {"respiration on", [] { return SetOutputRespiration(1); }, {{5, 0xFF}}, true, 0x00},
        {"apnea", [] { return DeviceEnableRespiration(true, true); }, {{5, 0}}, true},
        // A respiration byte that is neither 0 nor 0xFF goes back as 0.
        {"impedance, byte 5 = 1", [] { return SetOutputImpedance(9); }, {{1, 9}, {5, 0}}, true, 0x01},
        {"stop outputs", [] { return NotifyDeviceStopOutputWaveform(); }, {{0, 0}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Block before = Patterned();
        before[5] = c.byte5;
        fw_->SetControlBlock(before);
        ClearSent();
        ASSERT_TRUE(c.change());
        Block expected = before;
        for (const auto& [at, value] : c.bytes) {
            expected[at] = value;
        }
        EXPECT_EQ(fw_->ControlBlock(), expected);
        const std::vector<Bytes> sent = Sent();
        ASSERT_EQ(sent.size(), c.written ? 2u : 1u);
        EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 4), Bytes({0xEA, 0x00, 0x00, 0x00}));
        if (c.written) {
            // The apply flag only when outputs are switched.
            const bool apply = std::string(c.name) == "stop outputs";
            EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 4), Bytes({0xEA, 0xFF, 0x00, uint8_t(apply)}));
        }
    }
    EXPECT_EQ(fw_->AppliedOutputs(), 0);
}

TEST_F(CrossControl, LEDPulseGroupBothWays) {
    fw_->SetControlBlock(Patterned());
    PPG_LED_PULSE_GROUP_SETTING group = {{2, 4, 1, 0, 2, 4, 0, 0}, 500};
    ASSERT_TRUE(SetLEDPulseGroupSetting(&group));
    Block expected = Patterned();
    expected[31] = 0;
    expected[32] = 0x01;
    expected[33] = 0xF4;
    for (int i = 0; i < 8; ++i) {
        expected[36 + static_cast<size_t>(i)] = group.ucSlot[i];
    }
    EXPECT_EQ(fw_->ControlBlock(), expected);
    EXPECT_EQ(fw_->PulseGroupTakes(), 1u);

    PPG_LED_PULSE_GROUP_SETTING back = {};
    ASSERT_TRUE(GetLEDPulseGroupSetting(&back));
    EXPECT_EQ(back.usPeriod, 500);
    EXPECT_EQ(Bytes(back.ucSlot, back.ucSlot + 8), Bytes(group.ucSlot, group.ucSlot + 8));

    // No period: byte 31 = 1, the period bytes stay; read back, a group whose first
    // channel-2 slot is not the first is shifted to start there, and slot value 3 reads 0.
    group = {{0, 0, 4, 1, 2, 3, 0, 0}, 0};
    ASSERT_TRUE(SetLEDPulseGroupSetting(&group));
    const Block held = fw_->ControlBlock();
    EXPECT_EQ(held[31], 1);
    EXPECT_EQ(held[32], 0x01);
    EXPECT_EQ(held[33], 0xF4);
    ASSERT_TRUE(GetLEDPulseGroupSetting(&back));
    EXPECT_EQ(back.usPeriod, 0);
    EXPECT_EQ(Bytes(back.ucSlot, back.ucSlot + 8), Bytes({4, 1, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fw_->PulseGroupTakes(), 2u);
}

// An ECG record's path settings and pacing fields, written with the apply flag.
TEST_F(CrossControl, ECGRecordIntoTheBlock) {
    fw_->SetControlBlock(Patterned());
    ECG_WAVEFORM w = {};
    w.nImpedance = 2;
    w.nElectrode = 5;
    w.bPacingEnable = 1;
    w.nPacingRate = 60;
    w.fPacingWidth = 2.0;
    w.fPacingAmplitude = 100.0;
    w.nRespirationMode = 0x80;
    w.fSampleRateKHz = 2.0;
    w.nSampleFraction = 0x0102;
    ASSERT_EQ(UpdateDeviceControlSetting(&w), 1);
    const Block b = fw_->ControlBlock();
    EXPECT_EQ(b[1], 2);
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(b[3], 5);
    EXPECT_EQ(b[4], 0xFF);
    EXPECT_EQ(b[5], 0xFF);
    EXPECT_EQ(Bytes(b.begin() + 6, b.begin() + 20), Bytes({0x07, 0xD0, 0x01, 0x02,  // 2000 samples/s, fraction
                                                           0x00, 0x50,              // 2 ms in steps of 25 us
                                                           0x00, 0x00,              // 2400000 mod 60
                                                           0x00, 0xC8,  // default DC table: 2248 - 2048 at +100 mV
                                                           0x00, 0x00, 0x9C, 0x40}));  // 2400000 / 60
    EXPECT_EQ(b[0], Patterned()[0]) << "the output mask is the output thread's";
    EXPECT_EQ(fw_->AppliedOutputs(), b[0]);
    for (size_t i = 20; i < 57; ++i) {
        EXPECT_EQ(b[i], Patterned()[i]) << "byte " << i;
    }
}

TEST_F(CrossControl, OperatorModeLandsInTheOperatorBlock) {
    const uint8_t ac[3] = {0, 1, 2};
    memcpy(g_ACCalMode, ac, 3);
    ASSERT_TRUE(SetDeviceOperatorMode(8, 1, 1, 2, 1000));
    using Op = std::array<uint8_t, 14>;
    EXPECT_EQ(fw_->OperatorBlock(), (Op{0x00, 0xFF, 0x08, 0x03, 0xE8, 1, 1, 2, 0, 1, 2, 0, 0, 0}));

    ASSERT_TRUE(SetPPGSyncPulse(PPG_CHANNEL_2, SYNC_PULSE_2));
    EXPECT_EQ(fw_->OperatorBlock(), (Op{0x00, 0xFF, 0x08, 0x03, 0xE8, 1, 2, 2, 0, 1, 2, 0, 0, 0}));
    ASSERT_TRUE(SetPPGSyncPulse(PPG_CHANNEL_1, SYNC_PULSE_2));
    EXPECT_EQ(fw_->OperatorBlock()[5], 2);

    // The short form carries 10000 low byte first; the instrument holds it as a rate.
    _OPERATOR_MODE_IN in = {};
    in.ucMode = 6;
    in.ucSyncPulse[0] = 2;
    in.ucSyncPulse[1] = 1;
    in.ucSyncPulse[2] = 1;
    in.ucACCalMode[0] = in.ucACCalMode[1] = in.ucACCalMode[2] = 1;
    ASSERT_TRUE(SetDeviceOperatorMode(&in));
    EXPECT_EQ(fw_->OperatorBlock(), (Op{0x00, 0xFF, 0x06, 0x27, 0x10, 2, 1, 1, 1, 1, 1, 0, 0, 0}));
    const Bytes sent = Sent().back();
    ASSERT_EQ(sent.size(), 11u);
    EXPECT_EQ(sent[3], 0x10);
    EXPECT_EQ(sent[4], 0x27);
}

}  // namespace
