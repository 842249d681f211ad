// The PPG side's commands (families 0xCC, 0xB0, 0xAD) against the firmware model: each
// library call's bytes, its result and the model's state afterwards.
#include <chrono>

#include "CrossCheck.h"
#include "platform/Device.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/PPGModule.h"
#include "protocol/StoredRecords.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST_F(CrossCheck, CalibrationSettingsByFirmwareVersion) {
    // Main firmware 1.16 takes both bytes (low first); 1.14 only the low byte, and the
    // library then sends only that.
    struct Case {
        const char* profile;
        uint16_t stored;
        size_t dataBytes;
    } cases[] = {{"yb-2112", 0x1234, 2}, {"yb-2012-fpga", 0x0034, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        Connect(ProfileNamed(c.profile));
        ASSERT_TRUE(WriteCalibrationSetting(PPG_CAL_TRIGGER_LEVEL_CH2, static_cast<unsigned short>(0x1234)));
        EXPECT_EQ(fw_->CalibrationSetting(4), c.stored);
        const Bytes w = Sent().back();
        ASSERT_EQ(w.size(), 64u);
        EXPECT_EQ(Bytes(w.begin(), w.begin() + 4), Bytes({0xCC, 0xFF, 0x04, 0x00}));
        EXPECT_EQ(w[4], 0x34);
        EXPECT_EQ(w[5], c.dataBytes == 2 ? 0x12 : 0x00);

        unsigned short word = 0;
        ASSERT_TRUE(ReadCalibrationSetting(PPG_CAL_TRIGGER_LEVEL_CH2, &word));
        EXPECT_EQ(word, c.stored);
        ASSERT_TRUE(ReadCalibrationSetting(PPG_CAL_LED_LEVEL_CH1, &word));
        EXPECT_EQ(word, fw_->CalibrationSetting(1));
        unsigned char byte = 0;
        ASSERT_TRUE(WriteCalibrationSetting(PPG_CAL_PD_INPUT, static_cast<unsigned char>(0x30)));
        EXPECT_EQ(fw_->CalibrationSetting(6), 0x30);
        ASSERT_TRUE(ReadCalibrationSetting(PPG_CAL_PD_INPUT, &byte));
        EXPECT_EQ(byte, 0x30);
        // Setting 5 reads the LED trigger status: a bit per channel with an LED.
        ASSERT_TRUE(ReadCalibrationSetting(PPG_CAL_LED_TRIGGER_STATUS, &byte));
        EXPECT_EQ(byte, 0x03);
        // A refusal is a failure, and the model keeps its value.
        fw_->RefuseRequests({0xCC, 0xFF, 0x04});
        EXPECT_FALSE(WriteCalibrationSetting(PPG_CAL_TRIGGER_LEVEL_CH2, static_cast<unsigned short>(0x0101)));
        EXPECT_EQ(fw_->CalibrationSetting(4), c.stored);
    }
}

TEST_F(CrossCheck, WorkingModeAndLEDMatrixByModel) {
    // Firmware 1.05 needs the working mode: 0 without a third PPG channel.
    Connect(ProfileNamed("main-4031"));
    fw_->SetCalibrationSetting(7, 5);
    ASSERT_TRUE(SwitchDeviceWorkingMode());
    EXPECT_EQ(fw_->CalibrationSetting(7), 0);
    ASSERT_TRUE(WriteLEDMatrixEnableStatus(0));
    EXPECT_EQ(fw_->CalibrationSetting(17), 1) << "only model 0x2001 has the LED matrix switch";

    Connect(ProfileNamed("yb-2001"));
    ASSERT_TRUE(SwitchDeviceWorkingMode());
    EXPECT_TRUE(Sent().empty()) << "firmware 1.16 needs no working mode";
    ASSERT_TRUE(WriteLEDMatrixEnableStatus(0));
    EXPECT_EQ(fw_->CalibrationSetting(17), 0);
    unsigned char matrix = 9;
    ASSERT_TRUE(ReadLEDMatrixEnableStatus(&matrix));
    EXPECT_EQ(matrix, 0);
}

TEST_F(CrossCheck, TransmissionRateUpdateOn2112) {
    Connect(ProfileNamed("yb-2112"));
    ASSERT_TRUE(UpdateMCUTransmissionRate(700, 900, 650, 950));
    EXPECT_EQ(fw_->CalibrationSetting(1), 700);
    EXPECT_EQ(fw_->CalibrationSetting(2), 650);
    EXPECT_EQ(fw_->CalibrationSetting(25), 900);
    EXPECT_EQ(fw_->CalibrationSetting(26), 950);
    ClearSent();
    ASSERT_TRUE(UpdateMCUTransmissionRate(700, 900, 650, 950));
    EXPECT_TRUE(Sent().empty());
    ASSERT_TRUE(UpdateMCUTransmissionRate(700, 900, 640, 950));
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0][2], 2) << "only setting 2 changed";
    EXPECT_EQ(fw_->CalibrationSetting(2), 640);
}

// The rate poll: accepted at once, then "busy" (byte 3 = 0) for the model's busy polls.
TEST_F(CrossCheck, TransmissionRateWaitsOutTheBusyPolls) {
    Connect(ProfileNamed("yb-2112"));
    fw_->SetTransmissionBusyPolls(3);
    ASSERT_TRUE(SetTransmissionRate(4));
    EXPECT_EQ(fw_->TransmissionRate(), 4);
    EXPECT_EQ(CountSent({0xB0, 0xFF, 0x20, 0x00, 0x04}), 1u);
    EXPECT_EQ(CountSent({0xB0, 0x00, 0x20, 0x00, 0x04}), 4u) << "three busy answers, then done";

    // An instrument that never reports completion: the library gives up (bounded) and
    // reports failure, holding nothing for ever.
    fw_->SetTransmissionBusyPolls(nvsemu::Firmware::kNeverDone);
    const auto start = Clock::now();
    EXPECT_FALSE(SetTransmissionRate(5));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(seconds, 1.0);
    EXPECT_LE(seconds, 60.0);
    EXPECT_EQ(fw_->TransmissionRate(), 4);
}

TEST_F(CrossCheck, AmbientLightDynamicLEDAndTriggerLevel) {
    Connect(ProfileNamed("yb-2112"));
    ASSERT_TRUE(SetAmbientLightMode(static_cast<PPGAmbientLightMode>(20)));
    EXPECT_EQ(fw_->AmbientLightMode(), 14) << "limited to 14 before sending";
    ASSERT_TRUE(SetAmbientLightMode(static_cast<PPGAmbientLightMode>(6)));
    EXPECT_EQ(GetAmbientLightMode(), 6);
    EXPECT_EQ(ReadAmbientLightDC(), fw_->AmbientLightDc());
    ASSERT_TRUE(WriteAmbientLightDC(0x0345));
    EXPECT_EQ(fw_->AmbientLightDc(), 0x0345);
    EXPECT_EQ(ReadAmbientLightDC(), 0x0345);

    ASSERT_TRUE(EnableDynamicLEDStrength(1));
    EXPECT_TRUE(fw_->DynamicLed());
    ClearSent();
    ASSERT_TRUE(EnableDynamicLEDStrength(1));
    EXPECT_TRUE(Sent().empty()) << "unchanged: not sent again";
    ASSERT_TRUE(EnableDynamicLEDStrength(0));
    EXPECT_FALSE(fw_->DynamicLed());

    ASSERT_TRUE(EnableSignalStrengthDetection(1));
    EXPECT_TRUE(fw_->SignalStrengthDetection());
    AUTO_TRIGGER_STATUS status = {};
    ASSERT_TRUE(GetAutoTriggerLevelStatus(&status));
    EXPECT_EQ(status.ucFlags & 0x03, 0x03) << "not enabled: no levels found";
    EXPECT_EQ(status.usLevel1, 0);
    EXPECT_EQ(status.usLevel2, 0);
    ASSERT_TRUE(EnableAutoTriggerLevel(1));
    EXPECT_TRUE(fw_->AutoTrigger());
    ASSERT_TRUE(GetAutoTriggerLevelStatus(&status));
    EXPECT_EQ(status.ucStatus[1], 0x01);
    EXPECT_EQ(status.usLevel1, 500);
    EXPECT_EQ(status.usLevel2, 600);

    // Model 0x2001 has no dynamic LED: nothing is sent.
    Connect(ProfileNamed("yb-2001"));
    ASSERT_TRUE(EnableDynamicLEDStrength(1));
    EXPECT_TRUE(Sent().empty());
    EXPECT_FALSE(fw_->DynamicLed());
}

TEST_F(CrossCheck, RegistersVRefAndMeasurements) {
    Connect(ProfileNamed("yb-2112"));
    const Bytes vref = fw_->Register(0x51);
    unsigned int v1 = 0, v2 = 0;
    ASSERT_TRUE(ReadPPGVRef(PPG_CHANNEL_1, &v1));
    ASSERT_TRUE(ReadPPGVRef(PPG_CHANNEL_2, &v2));
    EXPECT_EQ(v1, BE16(vref, 0));
    EXPECT_EQ(v2, BE16(vref, 2));
    ASSERT_TRUE(WritePPGVRef(PPG_CHANNEL_2, 0x0ABC));
    EXPECT_EQ(fw_->Register(0x51), Bytes({vref[0], vref[1], 0x0A, 0xBC})) << "channel 1's word kept";
    ASSERT_TRUE(WritePPGVRef(PPG_CHANNEL_1, 0x0123));
    EXPECT_EQ(fw_->Register(0x51), Bytes({0x01, 0x23, 0x0A, 0xBC}));

    ASSERT_TRUE(FingerWriteConfig(0x70, 0x1234));
    EXPECT_EQ(fw_->Register(0x70), Bytes({0x12, 0x34}));
    unsigned short config = 0;
    ASSERT_TRUE(FingerReadConfig(0x70, &config));
    EXPECT_EQ(config, 0x1234);

    EXPECT_EQ(GetLEDOutputFeedbackVoltageADCData(), 0x9A);
    EXPECT_EQ(GetUSBBusVoltage(), 0xC8);

    fw_->SetRld(0x03FF, 0x0200);
    double l1 = 0, l2 = 0;
    ASSERT_TRUE(ReadRLDData(&l1, &l2));
    EXPECT_DOUBLE_EQ(l1, 2.5);
    EXPECT_DOUBLE_EQ(l2, 0x200 * 2.5 / 1023);

    ASSERT_TRUE(EnableADCControl(0x06));
    EXPECT_TRUE(fw_->StreamOn());
    EXPECT_EQ(fw_->StreamMask(), 0x06);
    ASSERT_TRUE(EnableADCControl(0));
    EXPECT_FALSE(fw_->StreamOn());
}

TEST_F(CrossCheck, ModuleSelectionAndRespirationModule) {
    Connect(ProfileNamed("xj"));
    unsigned short words[4] = {};
    ASSERT_TRUE(ReadRespiratoryModuleSetting(words));
    const auto held = fw_->RespirationWords();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(words[i], held[static_cast<size_t>(i)]);
    }
    unsigned short next[4] = {0x0102, 0x0304, 0x8000, 0xFFFF};
    ASSERT_TRUE(WriteRespiratoryModuleSetting(next));
    EXPECT_EQ(fw_->RespirationWords(), (std::array<uint16_t, 4>{0x0102, 0x0304, 0x8000, 0xFFFF}));
    int a = -1, b = -1;
    ASSERT_TRUE(ReadRespiratoryBaselineSetting(&a, &b));
    EXPECT_EQ(a, fw_->RespirationBaseline()[0]);
    EXPECT_EQ(b, fw_->RespirationBaseline()[1]);
    ASSERT_TRUE(WriteRespiratoryBaselineSetting(3, 7));
    EXPECT_EQ(fw_->RespirationBaseline(), (std::array<uint8_t, 2>{3, 7}));

    // A main unit with six PPG modules.
    Connect(ProfileNamed("main-4031"));
    ASSERT_TRUE(PPGModuleSetSelected(5));
    EXPECT_EQ(fw_->SelectedPpgModule(), 5);
    EXPECT_EQ(PPGModuleGetSelected(), 5);
}

// The AC-range load: the short operator-mode command with mode 8, sync pulses 0 and one
// AC range for all channels, then the module's settle time.
TEST_F(CrossCheck, ACModeLoad) {
    Connect(ProfileNamed("yb-2112"));
    const auto start = Clock::now();
    ASSERT_TRUE(LoadACMode(2));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 2.9);
    EXPECT_EQ(fw_->OperatorBlock(), (std::array<uint8_t, 14>{0x00, 0xFF, 0x08, 0x27, 0x10, 0, 0, 0, 2, 2, 2, 0, 0, 0}));
}

// The factory backup on a two-channel module whose record was erased: settings 1 to 4
// into bytes 1-4 (low) and 7, 8, 10, 11 (high); bytes 5, 6, 9, 12 and 13 on as read.
TEST_F(CrossCheck, FactoryBackupIntoTheErasedRecord) {
    Connect(ProfileNamed("yb-2001"));
    fw_->Erase(0x13, 0x1400, 64);
    fw_->SetCalibrationSetting(1, 0x0321);
    fw_->SetCalibrationSetting(2, 0x0432);
    fw_->SetCalibrationSetting(3, 0x0543);
    fw_->SetCalibrationSetting(4, 0x0654);
    ASSERT_TRUE(BackupFactorySetting());
    Bytes expected(64, 0xFF);
    expected[0] = 1;
    expected[1] = 0x21, expected[2] = 0x32, expected[3] = 0x43, expected[4] = 0x54;
    expected[7] = 0x03, expected[8] = 0x04, expected[10] = 0x05, expected[11] = 0x06;
    EXPECT_EQ(fw_->MemoryAt(0x13, 0x1400, 64), expected);
    FACTORY_SETTING record;
    EXPECT_TRUE(ReadFactorySetting(&record));
}

}  // namespace
