// The control block's read-modify-writes and the operator mode, end to end.
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "platform/Device.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "waveform/Calibration.h"
#include "ExchangeFixture.h"

namespace {

const Bytes kBlockRead = [] {
    Bytes b(61, 0);
    b[0] = 0xEA;
    return b;
}();

// A block whose every byte is distinct, so any stray change shows.
Bytes Pattern() {
    Bytes b(57);
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<uint8_t>(7 * i + 3);
    }
    b[5] = 0x33;  // read back as neither 0 nor 0xFF
    return b;
}

class ProtocolControlBlock : public ProtocolExchange {
protected:
    void SetUp() override {
        ProtocolExchange::SetUp();
        SetControlBlock(Pattern());
        OpenPort();
    }
};

TEST_F(ProtocolControlBlock, ReadModifyWritesChangeOnlyTheirBytes) {
    struct Case {
        const char* what;
        std::function<bool()> change;
        std::vector<std::pair<int, uint8_t>> bytes;  // the block's expected changes
    } cases[] = {
        {"impedance", [] { return SetOutputImpedance(0x1234); }, {{1, 0x34}}},
        {"electrode", [] { return SetOutputElectrode(9); }, {{3, 9}}},
        {"DC -300", [] { return SetOutputDCOffset(-300); }, {{2, 2}, {4, 0}}},
        {"DC 300", [] { return SetOutputDCOffset(300); }, {{2, 1}, {4, 0}}},
        {"DC 150", [] { return SetOutputDCOffset(150); }, {{2, 0}, {4, 0}}},
        {"DC 0", [] { return SetOutputDCOffset(0); }, {{2, 0}, {4, 0}}},
        {"pacing on", [] { return SetOutputPacing(1); }, {{4, 0xFF}}},
        {"pacing off", [] { return SetOutputPacing(0); }, {{4, 0}}},
        {"respiration on", [] { return SetOutputRespiration(5); }, {{5, 0xFF}}},
        {"apnea", [] { return DeviceEnableRespiration(true, true); }, {{5, 0}}},
        {"breathing", [] { return DeviceEnableRespiration(true, false); }, {{5, 0xFF}}},
        {"stop", [] { return NotifyDeviceStopOutputWaveform(); }, {{0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetControlBlock(Pattern());
        ClearSent();
        ASSERT_TRUE(c.change());
        Bytes expected = Pattern();
        expected[5] = 0;  // anything but 0xFF goes back as 0
        for (const auto& b : c.bytes) {
            expected[b.first] = b.second;
        }
        EXPECT_EQ(ControlBlock(), expected);
        const std::vector<Bytes> sent = Sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0], kBlockRead);
        EXPECT_EQ(sent[1][3], std::string(c.what) == "stop" ? 1 : 0);  // the apply flag
    }
}

TEST_F(ProtocolControlBlock, UnchangedElectrodeIsNotWritten) {
    ASSERT_TRUE(SetOutputElectrode(Pattern()[3]));
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(ProtocolControlBlock, AReplyThatIsNotTheBlockIsNeverWrittenBack) {
    Bytes other = AcceptedEcho({0xCC, 0x00, 0x05});
    emu_.FaultOnHeader({0xEA, 0x00, 0x00}, nvsemu::Fault::Replace(other));
    EXPECT_FALSE(SetOutputImpedance(1));
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(ControlBlock(), Pattern());
}

TEST_F(ProtocolControlBlock, FailuresOfTheExchange) {
    struct Case {
        const char* what;
        Bytes header;
        nvsemu::Fault fault;
        size_t requests;
    } cases[] = {
        {"silent read", {0xEA, 0x00, 0x00}, nvsemu::Fault::Drop(), 1},
        {"short read", {0xEA, 0x00, 0x00}, nvsemu::Fault::Truncate(63), 1},
        {"refused write", {0xEA, 0xFF, 0x00}, nvsemu::Fault::Refuse(), 2},
        {"silent write", {0xEA, 0xFF, 0x00}, nvsemu::Fault::Drop(), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSent();
        emu_.ClearFaults();
        emu_.FaultOnHeader(c.header, c.fault);
        EXPECT_FALSE(SetOutputPacing(1));
        EXPECT_EQ(Sent().size(), c.requests);
    }
}

TEST_F(ProtocolControlBlock, LEDPulseGroup) {
    PPG_LED_PULSE_GROUP_SETTING group = {{0, 0, 4, 1, 2, 0, 0, 0}, 0};
    ASSERT_TRUE(SetLEDPulseGroupSetting(&group));
    const Bytes block = ControlBlock();
    EXPECT_EQ(block[31], 1);  // no period
    EXPECT_EQ(block[32], Pattern()[32]);
    EXPECT_EQ(Bytes(block.begin() + 36, block.begin() + 44), Bytes(group.ucSlot, group.ucSlot + 8));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    Bytes take(61, 0);
    take[0] = 0xEA;
    take[1] = 0xFF;
    take[2] = 0x0A;
    EXPECT_EQ(sent[2], take);

    PPG_LED_PULSE_GROUP_SETTING back = {};
    ASSERT_TRUE(GetLEDPulseGroupSetting(&back));
    EXPECT_EQ(back.usPeriod, 0);
    const uint8_t shifted[8] = {4, 1, 2, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(back.ucSlot, shifted, 8));

    emu_.FaultOnHeader({0xEA, 0xFF, 0x0A}, nvsemu::Fault::Refuse());
    EXPECT_FALSE(SetLEDPulseGroupSetting(&group));
}

TEST_F(ProtocolControlBlock, ECGRecordWrittenWithTheApplyFlag) {
    g_nFWVersion = 0x105;
    ECG_WAVEFORM ecg = {};
    ecg.nImpedance = 1;
    ecg.nElectrode = 4;
    ecg.fSampleRateKHz = 10;
    ASSERT_EQ(UpdateDeviceControlSetting(&ecg), 1);
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1][3], 1);
    const Bytes block = ControlBlock();
    EXPECT_EQ(block[0], Pattern()[0]);
    EXPECT_EQ(block[1], 1);
    EXPECT_EQ(block[3], 4);
    EXPECT_EQ(block[6], 0x27);
    EXPECT_EQ(block[7], 0x10);
    const Bytes pattern = Pattern();
    EXPECT_EQ(Bytes(block.begin() + 20, block.end()), Bytes(pattern.begin() + 20, pattern.end()));

    ClearSent();
    emu_.FaultOnHeader({0xEA, 0x00, 0x00}, nvsemu::Fault::Drop());
    EXPECT_EQ(UpdateDeviceControlSetting(&ecg), 0);
    EXPECT_EQ(Sent().size(), 1u);  // no write after a failed read
}

TEST_F(ProtocolControlBlock, OperatorMode) {
    g_ACCalMode[0] = 0;
    g_ACCalMode[1] = 1;
    g_ACCalMode[2] = 2;
    ASSERT_TRUE(SetDeviceOperatorMode(8, 1, 1, 1, 1000));
    const Bytes expected = {0x00, 0xFF, 8, 0x03, 0xE8, 1, 1, 1, 0, 1, 2, 0, 0, 0};
    EXPECT_EQ(Sent().back(), expected);

    _OPERATOR_MODE_IN block = {};
    block.ucMode = 8;
    block.ucACCalMode[0] = block.ucACCalMode[1] = block.ucACCalMode[2] = 2;
    ASSERT_TRUE(SetDeviceOperatorMode(&block));
    const Bytes shortForm = {0x00, 0xFF, 8, 0x10, 0x27, 0, 0, 0, 2, 2, 2};
    EXPECT_EQ(Sent().back(), shortForm);

    emu_.FaultOnHeader({0x00, 0xFF}, nvsemu::Fault::Truncate(10));
    EXPECT_FALSE(SetDeviceOperatorMode(0, 1, 1, 1, 1000));
}

TEST_F(ProtocolControlBlock, SyncPulseChangesOneByteOfTheOperatorBlock) {
    // The operator block as a mode-7 write at 10000 samples/s left it.
    ASSERT_TRUE(Tell({0x00, 0xFF, 7, 0x27, 0x10, 1, 1, 1, 0, 1, 2, 0, 0, 0}));
    ASSERT_TRUE(SetPPGSyncPulse(PPG_CHANNEL_2, SYNC_PULSE_2));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], Bytes(14, 0));
    const Bytes written = {0x00, 0xFF, 7, 0x27, 0x10, 1, 2, 1, 0, 1, 2, 0, 0, 0};
    EXPECT_EQ(sent[1], written);

    // A late reply of another family is not the operator block.
    ClearSent();
    emu_.FaultOnHeader({0x00, 0x00}, nvsemu::Fault::Replace(AcceptedEcho(kBlockRead)));
    EXPECT_FALSE(SetPPGSyncPulse(PPG_CHANNEL_3, SYNC_PULSE_1));
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(ProtocolControlBlock, NothingWithoutAnInstrument) {
    DeviceClose();
    _DEVICE_CONTROL_SETTING block = {};
    PPG_LED_PULSE_GROUP_SETTING group = {};
    ECG_WAVEFORM ecg = {};
    EXPECT_FALSE(ReadDeviceControlSetting(&block));
    EXPECT_FALSE(WriteDeviceControlSetting(&block, 1));
    EXPECT_FALSE(SetOutputElectrode(1));
    EXPECT_FALSE(GetLEDPulseGroupSetting(&group));
    EXPECT_FALSE(NotifyDeviceStopOutputWaveform());
    EXPECT_EQ(UpdateDeviceControlSetting(&ecg), 0);
    EXPECT_FALSE(SetDeviceOperatorMode(8, 1, 1, 1, 1000));
    EXPECT_FALSE(SetPPGSyncPulse(PPG_CHANNEL_1, SYNC_PULSE_1));
    EXPECT_TRUE(Sent().empty());
}

}  // namespace
