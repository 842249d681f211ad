// The factory's calibration-setting, module-command and manufacturing-information
// functions against the firmware model: which setting each channel reaches, the bytes of
// the module commands, the trigger test's inversion and the refused arguments.
#include <climits>
#include <cstring>

#include <gtest/gtest.h>

#include "ApiFixture.h"

namespace {

using nvsemu::Fault;
using nvsemu::Profile;

class ApiSettings : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        Plug(Profile::WithPpg2112());
        ASSERT_TRUE(Connect());
    }
    // The 0xCC writes of a setting that were sent.
    std::vector<Bytes> Writes(uint8_t id) const { return SentWith({0xCC, 0xFF, id}); }
};

TEST_F(ApiSettings, LedAndTriggerLevelsByChannel) {
    Fw().SetCalibrationSetting(1, 0x0321);
    Fw().SetCalibrationSetting(18, 0x0456);
    for (int c : {0, 1, 7}) {
        unsigned short v = 0;
        ASSERT_TRUE(ORVReadPPGLedCalibrationSetting(static_cast<PPGChannel>(c), &v)) << c;
        EXPECT_EQ(v, 0x0321) << c;
    }
    unsigned short v = 0;
    ASSERT_TRUE(ORVReadPPGLedCalibrationSetting(PPG_CHANNEL_3, &v));
    EXPECT_EQ(v, 0x0456);
    EXPECT_FALSE(ORVReadPPGLedCalibrationSetting(PPG_CHANNEL_1, nullptr));

    ASSERT_TRUE(ORVWritePPGLedCalibrationSetting(PPG_CHANNEL_2, 0x0222));
    EXPECT_EQ(Fw().CalibrationSetting(2), 0x0222);

    // The trigger level keeps only its low byte; a failed read leaves the word alone.
    Fw().SetCalibrationSetting(4, 0x1234);
    v = 0xBEEF;
    ASSERT_TRUE(ORVReadPPGTriggerLevelCalibrationSetting(PPG_CHANNEL_2, &v));
    EXPECT_EQ(v, 0x0034);
    emu_.FaultOnHeader({0xCC, 0x00, 0x13}, Fault::Drop());
    v = 0xBEEF;
    EXPECT_FALSE(ORVReadPPGTriggerLevelCalibrationSetting(PPG_CHANNEL_3, &v));
    EXPECT_EQ(v, 0xBEEF);
    emu_.ClearFaults();
    ASSERT_TRUE(ORVWritePPGTriggerLevelCalibrationSetting(static_cast<PPGChannel>(9), 0x0055));
    EXPECT_EQ(Fw().CalibrationSetting(3), 0x0055);

    ASSERT_TRUE(ORVWritePPGCalibrationSetting(26, 0x0A0B));
    ASSERT_TRUE(ORVReadPPGCalibrationSetting(26, &v));
    EXPECT_EQ(v, 0x0A0B);
}

TEST_F(ApiSettings, ModuleCommandBytes) {
    const struct {
        const char* name;
        bool (*call)();
        uint8_t id;
        Bytes data;
    } cases[] = {
        {"full range", [] { return ORVSwitchPDSamplingFullRange(true); }, 8, {0xFF, 0xFF}},
        {"other range", [] { return ORVSwitchPDSamplingFullRange(false); }, 8, {0xFF, 0xFC}},
        {"working mode", [] { return ORVSwitchDeviceWorkingMode(3); }, 7, {3}},
        {"GPIO on", [] { return ORVSwitchToGPIOMode(true); }, 5, {0}},
        {"GPIO off", [] { return ORVSwitchToGPIOMode(false); }, 5, {1}},
    };
    for (const auto& c : cases) {
        ClearSent();
        ASSERT_TRUE(c.call()) << c.name;
        const std::vector<Bytes> w = Writes(c.id);
        ASSERT_EQ(w.size(), 1u) << c.name;
        EXPECT_EQ(Bytes(w[0].begin() + 4, w[0].begin() + 4 + static_cast<long>(c.data.size())), c.data) << c.name;
    }

    unsigned char data[61] = {0x11, 0x22};
    ClearSent();
    EXPECT_FALSE(ORVWrite0xCCCommand(9, data, 0));
    EXPECT_FALSE(ORVWrite0xCCCommand(9, data, 61));
    EXPECT_FALSE(ORVWrite0xCCCommand(9, data, -1));
    EXPECT_FALSE(ORVWrite0xCCCommand(9, nullptr, 2));
    EXPECT_TRUE(Sent().empty());
    ASSERT_TRUE(ORVWrite0xCCCommand(9, data, 2));
    unsigned char byte = 0;
    ASSERT_TRUE(ORVRead0xCCCommand(9, &byte));
    EXPECT_EQ(byte, 0x11);
    EXPECT_FALSE(ORVRead0xCCCommand(9, nullptr));

    ClearSent();
    ASSERT_TRUE(ORVFingerEnableDebugMode(true));
    const std::vector<Bytes> debug = SentWith({0xCC, 0xFF, 0x0A});
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0], (Bytes{0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x70, 0x01, 0x01}));
}

TEST_F(ApiSettings, TriggerTestIsInvertedOnThisModel) {
    const struct {
        int channel;
        uint8_t status;
        uint8_t input;
        bool triggered;
    } cases[] = {
        {2, 0x02, 32, false},  // bit 1 set, inverted
        {2, 0x00, 32, true},
        {1, 0x01, 16, false},
        {3, 0x03, 32, true},  // no bit for channel 3: 0, inverted
    };
    for (const auto& c : cases) {
        Fw().SetLedTriggerStatus(c.status);
        ClearSent();
        EXPECT_EQ(ORVIsLEDTriggered(static_cast<PPGChannel>(c.channel)), c.triggered) << c.channel;
        const std::vector<Bytes> w = Writes(6);
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(w[0][4], c.input) << c.channel;
    }
}

TEST_F(ApiSettings, ManufacturingBlocksAreAtMost64Bytes) {
    unsigned char block[100];
    for (int i = 0; i < 100; ++i)
        block[i] = static_cast<unsigned char>(i + 1);
    ASSERT_TRUE(ORVWriteMfgInfo(block, 100));
    EXPECT_EQ(Fw().MemoryAt(0x12, 0x12000, 64), Bytes(block, block + 64));
    EXPECT_NE(Fw().MemoryAt(0x12, 0x12040, 1), Bytes{65});
    ASSERT_TRUE(ORVWritePPGMfgInfo(block + 10, 4));
    EXPECT_EQ(Fw().MemoryAt(0x13, 0x1440, 4), Bytes(block + 10, block + 14));

    unsigned char read[100];
    memset(read, 0xEE, sizeof read);
    ASSERT_TRUE(ORVReadMfgInfo(read, 100));
    EXPECT_EQ(Bytes(read, read + 64), Bytes(block, block + 64));
    EXPECT_EQ(read[64], 0xEE);
    memset(read, 0xEE, sizeof read);
    // A length past 32 bits is not narrowed to 0 (where unsigned long holds one).
    const unsigned long huge = sizeof(unsigned long) > 4 ? static_cast<unsigned long>(0x100000000ULL) : ULONG_MAX;
    ASSERT_TRUE(ORVReadPPGMfgInfo(read, huge));
    EXPECT_EQ(Bytes(read, read + 4), Bytes(block + 10, block + 14));
    EXPECT_EQ(read[64], 0xEE);

    EXPECT_FALSE(ORVReadMfgInfo(nullptr, 4));
    EXPECT_FALSE(ORVWritePPGMfgInfo(nullptr, 4));
}

}  // namespace
