// PPG-module, calibration-setting and register commands, end to end.
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/Device.h"
#include "protocol/Identity.h"
#include "protocol/PPGModule.h"
#include "protocol/StoredRecords.h"
#include "protocol/SubsystemHooks.h"
#include "ExchangeFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

class ProtocolPPGModule : public ProtocolExchange {
protected:
    void SetUp() override {
        ProtocolExchange::SetUp();
        OpenPort();
        g_nFWVersion = 0x110;
    }
    static void SetPPGModel(uint16_t model) {
        g_PPGModelInfo.ucGeneration = static_cast<uint8_t>(model >> 8);
        g_PPGModelInfo.ucModel = static_cast<uint8_t>(model);
    }
    // The calibration-setting writes among the requests sent: (id, first data bytes).
    std::vector<std::pair<int, int>> SettingWrites() const {
        std::vector<std::pair<int, int>> out;
        for (const Bytes& r : Sent()) {
            if (r.size() == 64 && r[0] == 0xCC && r[1] == 0xFF) {
                out.push_back({r[2], r[4] | (r[5] << 8)});
            }
        }
        return out;
    }
};

Bytes Reply(std::initializer_list<uint8_t> head) {
    Bytes b(head);
    b.resize(64, 0);
    return b;
}

TEST_F(ProtocolPPGModule, TransmissionRateSendsOnlyWhatChanged) {
    SetPPGModel(0x2112);
    ASSERT_TRUE(UpdateMCUTransmissionRate(800, 1023, 800, 1023));
    const std::vector<std::pair<int, int>> first = {{1, 800}, {2, 800}, {25, 1023}, {26, 1023}};
    EXPECT_EQ(SettingWrites(), first);
    ClearSent();
    ASSERT_TRUE(UpdateMCUTransmissionRate(800, 1023, 800, 1023));
    EXPECT_TRUE(Sent().empty());
    ASSERT_TRUE(UpdateMCUTransmissionRate(800, 1023, 700, 1023));
    EXPECT_EQ(SettingWrites(), (std::vector<std::pair<int, int>>{{2, 700}}));

    // Another model sends nothing and forgets: the next 0x2112 gets all four again.
    ClearSent();
    SetPPGModel(0x2001);
    EXPECT_TRUE(UpdateMCUTransmissionRate(800, 1023, 800, 1023));
    EXPECT_TRUE(Sent().empty());
    SetPPGModel(0x2112);
    ASSERT_TRUE(UpdateMCUTransmissionRate(800, 1023, 800, 1023));
    EXPECT_EQ(SettingWrites(), first);
}

TEST_F(ProtocolPPGModule, TransmissionRateStopsAtAFailedWrite) {
    SetPPGModel(0x2112);
    emu_.FaultOnHeader({0xCC, 0xFF, 0x02}, nvsemu::Fault::Refuse());
    EXPECT_FALSE(UpdateMCUTransmissionRate(800, 1023, 800, 1023));
    EXPECT_EQ(SettingWrites(), (std::vector<std::pair<int, int>>{{1, 800}, {2, 800}}));
    ClearSent();
    ASSERT_TRUE(UpdateMCUTransmissionRate(800, 1023, 800, 1023));
    EXPECT_EQ(SettingWrites(), (std::vector<std::pair<int, int>>{{2, 800}, {25, 1023}, {26, 1023}}));
}

TEST_F(ProtocolPPGModule, SixteenBitSettingsByFirmware) {
    g_nFWVersion = 0x10E;
    ASSERT_TRUE(WriteCalibrationSetting(PPG_CAL_TRIGGER_LEVEL_CH1, static_cast<unsigned short>(0x1234)));
    EXPECT_EQ(SettingWrites().back(), std::make_pair(3, 0x0034));  // low byte only
    g_nFWVersion = 0x10F;
    ASSERT_TRUE(WriteCalibrationSetting(PPG_CAL_TRIGGER_LEVEL_CH1, static_cast<unsigned short>(0x1234)));
    EXPECT_EQ(SettingWrites().back(), std::make_pair(3, 0x1234));  // 34 12

    Fw().SetCalibrationSetting(18, 0xBEEF);
    unsigned short value = 0;
    ASSERT_TRUE(ReadCalibrationSetting(PPG_CAL_LED_LEVEL_CH3, &value));
    EXPECT_EQ(value, 0xBEEF);
    unsigned char byte = 0;
    ASSERT_TRUE(ReadCalibrationSetting(PPG_CAL_LED_LEVEL_CH3, &byte));
    EXPECT_EQ(byte, 0xEF);
}

TEST_F(ProtocolPPGModule, SlowSettingReadsAreWaitedForThreeTimes) {
    Fw().SetCalibrationSetting(2, 321);
    emu_.FaultOnHeader({0xCC, 0x00, 0x02}, nvsemu::Fault::Delay(450));
    unsigned short value = 0;
    EXPECT_TRUE(ReadCalibrationSetting(PPG_CAL_LED_LEVEL_CH2, &value));
    EXPECT_EQ(value, 321);

    emu_.FaultOnHeader({0xCC, 0x00, 0x02}, nvsemu::Fault::Drop());
    const auto start = Clock::now();
    EXPECT_FALSE(ReadCalibrationSetting(PPG_CAL_LED_LEVEL_CH2, &value));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(seconds, 0.5);
    EXPECT_LT(seconds, 5.0);
}

TEST_F(ProtocolPPGModule, SettingRepliesThatAreRefusedOrForeign) {
    unsigned char byte = 0x77;
    emu_.FaultOnHeader({0xCC, 0x00, 0x05}, nvsemu::Fault::Refuse());
    EXPECT_FALSE(ReadCalibrationSetting(PPG_CAL_LED_TRIGGER_STATUS, &byte));
    emu_.FaultOnHeader({0xCC, 0x00, 0x05}, nvsemu::Fault::Replace(Reply({0xB0, 0x00, 0x05, 0xFF, 0x01})));
    EXPECT_FALSE(ReadCalibrationSetting(PPG_CAL_LED_TRIGGER_STATUS, &byte));
    EXPECT_EQ(byte, 0x77);
    emu_.FaultOnHeader({0xCC, 0xFF, 0x07}, nvsemu::Fault::Refuse());
    EXPECT_FALSE(SwitchDeviceWorkingMode(1));
}

TEST_F(ProtocolPPGModule, CalibrationWritesGoThroughTheCommandWindowWhilePlaybackRuns) {
    static int s_calls;
    static unsigned char s_id, s_first;
    static int s_length;
    s_calls = 0;
    PlaybackHooks playing = {};
    playing.isRunning = [] { return 1; };
    playing.write0xCC = [](unsigned char id, unsigned char* data, int length) {
        ++s_calls;
        s_id = id;
        s_first = data[0];
        s_length = length;
        return true;
    };
    InstallPlaybackHooks(&playing);
    EXPECT_TRUE(WriteCalibrationSetting(PPG_CAL_PD_INPUT, static_cast<unsigned char>(0x30)));
    EXPECT_TRUE(WriteCalibrationSetting(PPG_CAL_RATE_PARAM_CH2, static_cast<unsigned short>(0x0201)));
    EXPECT_EQ(s_calls, 2);
    EXPECT_EQ(s_id, 26);
    EXPECT_EQ(s_first, 0x01);
    EXPECT_EQ(s_length, 2);
    EXPECT_TRUE(Sent().empty());

    PlaybackHooks idle = {};
    idle.isRunning = [] { return 0; };
    InstallPlaybackHooks(&idle);
    EXPECT_TRUE(WriteCalibrationSetting(PPG_CAL_PD_INPUT, static_cast<unsigned char>(0x30)));
    EXPECT_EQ(SettingWrites().size(), 1u);
}

TEST_F(ProtocolPPGModule, WorkingModeByFirmware) {
    g_ECGModuleHWInfo.nFWMajor = 1;
    g_ECGModuleHWInfo.nFWMinor = 10;
    g_PPGModelInfo.nLEDType[2] = 0;  // a third LED
    ASSERT_TRUE(SwitchDeviceWorkingMode());
    EXPECT_EQ(SettingWrites(), (std::vector<std::pair<int, int>>{{7, 1}}));
    ClearSent();
    g_ECGModuleHWInfo.nFWMinor = 11;
    EXPECT_TRUE(SwitchDeviceWorkingMode());
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ProtocolPPGModule, AmbientLightAndModuleSelection) {
    ASSERT_TRUE(SetAmbientLightMode(static_cast<PPGAmbientLightMode>(20)));
    EXPECT_EQ(Sent().back(), Bytes({0xB0, 0xFF, 0x10, 0x00, 14}));
    ASSERT_TRUE(SetAmbientLightMode(static_cast<PPGAmbientLightMode>(-1)));
    EXPECT_EQ(Sent().back(), Bytes({0xB0, 0xFF, 0x10, 0x00, 0}));
    emu_.FaultOnHeader({0xB0, 0x00, 0x10}, nvsemu::Fault::Replace(Reply({0xB0, 0x00, 0x10, 0xFF, 20})));
    EXPECT_EQ(GetAmbientLightMode(), 14);
    emu_.FaultOnHeader({0xB0, 0x00, 0x11}, nvsemu::Fault::Replace(Reply({0xB0, 0x00, 0x11, 0x00, 0x01, 0x02})));
    EXPECT_EQ(ReadAmbientLightDC(), 0x0102);
    ASSERT_TRUE(WriteAmbientLightDC(0x0304));
    EXPECT_EQ(Sent().back(), Bytes({0xB0, 0xFF, 0x11, 0x00, 0x03, 0x04}));

    emu_.FaultOnHeader({0xCC, 0x00, 0x10}, nvsemu::Fault::Replace(Reply({0xCC, 0x00, 0x10, 0xFF, 2})));
    EXPECT_EQ(PPGModuleGetSelected(), 2);
    ASSERT_TRUE(PPGModuleSetSelected(5));
    EXPECT_EQ(Sent().back(), Bytes({0xCC, 0xFF, 0x10, 0x00, 5}));
    emu_.FaultOnHeader({0xCC, 0x00, 0x10}, nvsemu::Fault::Refuse());
    EXPECT_EQ(PPGModuleGetSelected(), 0);
}

TEST_F(ProtocolPPGModule, DynamicLEDStrength) {
    SetPPGModel(0x2001);
    EXPECT_TRUE(EnableDynamicLEDStrength(1));
    EXPECT_TRUE(Sent().empty());

    SetPPGModel(0x2002);
    EXPECT_TRUE(EnableDynamicLEDStrength(1));
    EXPECT_TRUE(EnableDynamicLEDStrength(1));
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent().back(), Bytes({0xB0, 0xFF, 0x03, 0x00, 1}));
    EXPECT_EQ(g_PPGDynamicLEDEnabled, 1);

    // A refused switch leaves the state as the instrument had it, and the next
    // request goes out again.
    ClearSent();
    emu_.FaultOnHeader({0xB0, 0xFF, 0x03}, nvsemu::Fault::Refuse());
    EXPECT_FALSE(EnableDynamicLEDStrength(0));
    EXPECT_EQ(g_PPGDynamicLEDEnabled, 1);
    EXPECT_TRUE(EnableDynamicLEDStrength(0));
    EXPECT_EQ(Sent().size(), 2u);
    EXPECT_EQ(g_PPGDynamicLEDEnabled, 0);

    // Forgotten (as at each connection): even the state believed current is sent.
    ForgetDynamicLEDState();
    ClearSent();
    EXPECT_TRUE(EnableDynamicLEDStrength(0));
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(ProtocolPPGModule, TransmissionRatePollIsBounded) {
    Fw().SetTransmissionBusyPolls(2);
    ASSERT_TRUE(SetTransmissionRate(3));
    const std::vector<Bytes> expected = {{0xB0, 0xFF, 0x20, 0x00, 3},
                                         {0xB0, 0x00, 0x20, 0x00, 3},
                                         {0xB0, 0x00, 0x20, 0x00, 3},
                                         {0xB0, 0x00, 0x20, 0x00, 3}};
    EXPECT_EQ(Sent(), expected);

    Fw().SetTransmissionBusyPolls(nvsemu::Firmware::kNeverDone);
    const auto start = Clock::now();
    EXPECT_FALSE(SetTransmissionRate(3));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(seconds, 4.0);
    EXPECT_LT(seconds, 15.0);

    emu_.FaultOnHeader({0xB0, 0xFF, 0x20}, nvsemu::Fault::Refuse());
    ClearSent();
    EXPECT_FALSE(SetTransmissionRate(3));
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(ProtocolPPGModule, ReferenceVoltages) {
    unsigned int value = 0;
    EXPECT_FALSE(ReadPPGVRef(PPG_CHANNEL_3, &value));  // register 0x51 holds channels 1 and 2 only
    EXPECT_FALSE(WritePPGVRef(static_cast<PPGChannel>(0), 1));
    EXPECT_TRUE(Sent().empty());

    emu_.FaultOnHeader(
        {0xCC, 0x00, 0x0A},
        nvsemu::Fault::Replace(Reply({0xCC, 0x00, 0x0A, 0xFF, 0xD0, 0x51, 0x04, 0x11, 0x22, 0x33, 0x44})), 0);
    ASSERT_TRUE(ReadPPGVRef(PPG_CHANNEL_2, &value));
    EXPECT_EQ(value, 0x3344u);
    ASSERT_TRUE(WritePPGVRef(PPG_CHANNEL_1, 0x0ABC));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1], Bytes({0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04, 0, 0, 0, 0}));
    const Bytes written = Reply({0xCC, 0xFF, 0x0A, 0xFF, 0xD0, 0x51, 0x04, 0x0A, 0xBC, 0x33, 0x44});
    EXPECT_EQ(sent[2], written);

    // Only the register block itself is written back.
    ClearSent();
    emu_.ClearFaults();
    emu_.FaultOnHeader({0xCC, 0x00, 0x0A}, nvsemu::Fault::Replace(Reply({0xEA, 0x00, 0x00, 0xFF})));
    EXPECT_FALSE(WritePPGVRef(PPG_CHANNEL_2, 1));
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(ProtocolPPGModule, RegistersAndMeasurements) {
    emu_.FaultOnHeader({0xCC, 0x00, 0x0A},
                       nvsemu::Fault::Replace(Reply({0xCC, 0x00, 0x0A, 0xFF, 0xD0, 0x70, 0x02, 0x12, 0x34})));
    unsigned short reg = 0;
    ASSERT_TRUE(FingerReadConfig(0x70, &reg));
    EXPECT_EQ(Sent().back(), Bytes({0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x70, 0x02}));
    EXPECT_EQ(reg, 0x1234);
    ASSERT_TRUE(FingerWriteConfig(0x70, 0xABCD));
    EXPECT_EQ(Sent().back(), Bytes({0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x70, 0x02, 0xAB, 0xCD}));

    emu_.FaultOnHeader({0xCC, 0x00, 0x41}, nvsemu::Fault::Replace(Reply({0xCC, 0x00, 0x41, 0xFF, 0x9A})));
    EXPECT_EQ(GetLEDOutputFeedbackVoltageADCData(), 0x9A);
    emu_.FaultOnHeader({0xCC, 0x00, 0x42}, nvsemu::Fault::Drop());
    EXPECT_EQ(GetUSBBusVoltage(), 0);

    Fw().SetRld(0x03FF, 0x01FF);
    double l1 = 0, l2 = 0;
    ASSERT_TRUE(ReadRLDData(&l1, &l2));
    EXPECT_EQ(Sent().back(), Bytes({0xAD, 0x00, 0x01, 0x00, 0x10, 0x00}));
    EXPECT_DOUBLE_EQ(l1, 2.5);
    EXPECT_DOUBLE_EQ(l2, 0x01FF * 2.5 / 1023);
    ASSERT_TRUE(EnableADCControl(1));
    EXPECT_EQ(Sent().back(), Bytes({0xAD, 0xFF, 0x00, 0x00, 1, 0x00}));

    emu_.FaultOnHeader(
        {0xB0, 0x00, 0x30},
        nvsemu::Fault::Replace(Reply({0xB0, 0x00, 0x30, 0x00, 1, 2, 0x01, 0, 0, 0, 0x01, 0xF4, 0x00, 0x0A})));
    AUTO_TRIGGER_STATUS status = {};
    ASSERT_TRUE(GetAutoTriggerLevelStatus(&status));
    EXPECT_EQ(status.usLevel1, 500);
    EXPECT_EQ(status.usLevel2, 10);
    ASSERT_TRUE(EnableAutoTriggerLevel(1));
    EXPECT_EQ(Sent().back(), Bytes({0xB0, 0xFF, 0x30, 0x00, 1}));
    ASSERT_TRUE(EnableSignalStrengthDetection(7));
    EXPECT_EQ(Sent().back(), Bytes({0xB0, 0xFF, 0x01, 0x00, 1}));

    // The respiratory module's values go to an instrument that carries that module.
    UseFirmware(BenchUnitWithModule(Identity('X', 'J', 0x2001, 0x0203)));
    unsigned short values[4] = {1, 0x0203, 3, 0xFFFF};
    ASSERT_TRUE(WriteRespiratoryModuleSetting(values));
    const Bytes moduleWrite = Sent().back();
    EXPECT_EQ(Bytes(moduleWrite.begin(), moduleWrite.begin() + 12),
              Bytes({0xCC, 0xFF, 0x0D, 0x00, 0, 1, 2, 3, 0, 3, 0xFF, 0xFF}));
    emu_.FaultOnHeader({0xCC, 0x00, 0x0E}, nvsemu::Fault::Replace(Reply({0xCC, 0x00, 0x0E, 0x00, 4, 9})));
    int a = 0, b = 0;
    ASSERT_TRUE(ReadRespiratoryBaselineSetting(&a, &b));  // its status byte is not looked at
    EXPECT_EQ(a, 4);
    EXPECT_EQ(b, 9);
}

TEST_F(ProtocolPPGModule, LEDMatrixSwitchOnlyOn2001) {
    SetPPGModel(0x2002);
    EXPECT_TRUE(WriteLEDMatrixEnableStatus(1));
    EXPECT_TRUE(Sent().empty());
    SetPPGModel(0x2001);
    EXPECT_TRUE(WriteLEDMatrixEnableStatus(1));
    EXPECT_EQ(SettingWrites(), (std::vector<std::pair<int, int>>{{17, 1}}));
}

TEST_F(ProtocolPPGModule, FactoryBackupOnATwoChannelModel) {
    SetPPGModel(0x2001);
    g_DeviceFeature.nPPGChannelNumber = 2;
    ASSERT_TRUE(Fw().Erase(0x13, 0x1400, 64));  // no backup made yet
    Fw().SetCalibrationSetting(1, 0x0A01);
    Fw().SetCalibrationSetting(2, 0x0B02);
    Fw().SetCalibrationSetting(3, 0x0C03);
    Fw().SetCalibrationSetting(4, 0x0D04);
    ASSERT_TRUE(BackupFactorySetting());
    const Bytes stored = MemoryRange(0x13, 0x1400, 16);
    const Bytes expected = {1,    0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0x0A,
                            0x0B, 0xFF, 0x0C, 0x0D, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(stored, expected);

    emu_.FaultOnHeader({0xCC, 0x00, 0x03}, nvsemu::Fault::Refuse(), 0);
    EXPECT_FALSE(BackupFactorySetting());
}

TEST_F(ProtocolPPGModule, ACModeLoad) {
    const auto start = Clock::now();
    ASSERT_TRUE(LoadACMode(2));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 2.9);  // the module settles
    EXPECT_EQ(Sent().back(), Bytes({0x00, 0xFF, 8, 0x10, 0x27, 0, 0, 0, 2, 2, 2}));
}

TEST_F(ProtocolPPGModule, NothingWithoutAnInstrument) {
    DeviceClose();
    SetPPGModel(0x2112);
    unsigned short value = 0;
    unsigned int vref = 0;
    AUTO_TRIGGER_STATUS status = {};
    EXPECT_FALSE(ReadCalibrationSetting(PPG_CAL_LED_LEVEL_CH1, &value));
    EXPECT_FALSE(WriteCalibrationSetting(PPG_CAL_LED_LEVEL_CH1, static_cast<unsigned short>(1)));
    EXPECT_FALSE(UpdateMCUTransmissionRate(800, 1023, 800, 1023));
    EXPECT_FALSE(EnableDynamicLEDStrength(1));
    EXPECT_FALSE(SetTransmissionRate(1));
    EXPECT_FALSE(ReadPPGVRef(PPG_CHANNEL_1, &vref));
    EXPECT_FALSE(GetAutoTriggerLevelStatus(&status));
    EXPECT_EQ(GetAmbientLightMode(), 0);
    EXPECT_EQ(ReadAmbientLightDC(), 0);
    EXPECT_TRUE(Sent().empty());
}

}  // namespace
