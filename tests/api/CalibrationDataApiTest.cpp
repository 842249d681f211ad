// The factory's calibration-data functions against the firmware model: host and stored
// copies in step, the photodiode tables of the selected module only, and the refusals.
#include <vector>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "api/LedApi.h"
#include "api/PostConnection.h"
#include "protocol/Memory.h"
#include "waveform/Calibration.h"

namespace {

using nvsemu::Profile;

Bytes BigEndianWords(const std::vector<int>& words) {
    Bytes out;
    for (int w : words) {
        out.push_back(static_cast<uint8_t>(w >> 8));
        out.push_back(static_cast<uint8_t>(w));
    }
    return out;
}

class ApiCalibrationData : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        Plug(Profile::WithPpg2112());
        ASSERT_TRUE(Connect());
    }
};

TEST(ApiCalibrationDataRefused, BadCountsAndNoTables) {
    std::vector<int> values(4096, 7);
    const uint16_t before = g_ECGDCVariableCalibrationData[0];
    EXPECT_FALSE(ORVWriteECGDCVariableCalibrationData(values.data(), 2000));
    EXPECT_FALSE(ORVWriteECGDCVariableCalibrationData(nullptr, 2001));
    EXPECT_EQ(g_ECGDCVariableCalibrationData[0], before);
    // No connection under way: no photodiode tables to act on.
    EXPECT_FALSE(ORVReadPPGCalibrationDataPDSampling(PPG_CHANNEL_1, values.data(), 1024));
    EXPECT_FALSE(ORVWritePPGCalibrationDataPDSampling(PPG_CHANNEL_1, values.data(), 1024));
    EXPECT_FALSE(ORVClearPPGCalibrationDataPDSampling());
    EXPECT_FALSE(ORVClearPPGCalibrationDataPDSamplingEx(PPG_CHANNEL_2));
    const uint16_t dc = g_PPGDCTable[0][0];
    EXPECT_FALSE(ORVWritePPGCalibrationDataDC(PPG_CHANNEL_1, values.data(), 3002));
    EXPECT_FALSE(ORVWritePPGCalibrationDataDC(static_cast<PPGChannel>(4), values.data(), 2));
    EXPECT_FALSE(ORVWritePPGCalibrationDataDC(PPG_CHANNEL_1, nullptr, 2));
    EXPECT_FALSE(ORVClearPPGCalibrationDataDC(static_cast<PPGChannel>(0)));
    EXPECT_EQ(g_PPGDCTable[0][0], dc);
}

TEST_F(ApiCalibrationData, PhotodiodeTablesOfTheSelectedModule) {
    std::vector<int> table(1024);
    for (int i = 0; i < 1024; ++i)
        table[i] = (i * 3) & 0x0FFF;
    ASSERT_TRUE(ORVWritePPGCalibrationDataPDSampling(PPG_CHANNEL_2, table.data(), 1024));
    EXPECT_EQ(Fw().MemoryAt(0x13, 0x0C00, 2048), BigEndianWords(table));
    std::vector<int> read(1024, -1);
    ASSERT_TRUE(ORVReadPPGCalibrationDataPDSampling(PPG_CHANNEL_2, read.data(), 1024));
    EXPECT_EQ(read, table);
    // Channel 5 reads photodiode channel 1.
    ASSERT_TRUE(ORVReadPPGCalibrationDataPDSampling(static_cast<PPGChannel>(5), read.data(), 1024));
    const int* first = PPGPDSamplingTable(g_nCurrentSelectPPGModule.load(), 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(read, std::vector<int>(first, first + 1024));
    EXPECT_FALSE(ORVReadPPGCalibrationDataPDSampling(PPG_CHANNEL_1, read.data(), 1023));

    ASSERT_TRUE(ORVClearPPGCalibrationDataPDSamplingEx(PPG_CHANNEL_2));
    ASSERT_TRUE(ORVReadPPGCalibrationDataPDSampling(PPG_CHANNEL_2, read.data(), 1024));
    EXPECT_EQ(read[5], 5);
    EXPECT_EQ(Fw().MemoryAt(0x13, 0x0C00, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_FALSE(ORVClearPPGCalibrationDataPDSamplingEx(PPG_CHANNEL_3));

    // Module 6 has no tables: nothing sent.
    const int selected = g_nCurrentSelectPPGModule.exchange(6);
    ClearSent();
    EXPECT_FALSE(ORVWritePPGCalibrationDataPDSampling(PPG_CHANNEL_1, table.data(), 1024));
    EXPECT_FALSE(ORVReadPPGCalibrationDataPDSampling(PPG_CHANNEL_1, read.data(), 1024));
    EXPECT_FALSE(ORVClearPPGCalibrationDataPDSampling());
    EXPECT_TRUE(Sent().empty());
    g_nCurrentSelectPPGModule.store(selected);
}

TEST_F(ApiCalibrationData, ECGAndPPGDCTables) {
    std::vector<int> ecg(2001);
    for (int i = 0; i < 2001; ++i)
        ecg[i] = 0x10000 + 30 + i;  // the low 16 bits are kept
    ASSERT_TRUE(ORVWriteECGDCVariableCalibrationData(ecg.data(), 2001));
    EXPECT_EQ(g_ECGDCVariableCalibrationData[0], 30);
    EXPECT_EQ(Fw().MemoryAt(0x12, 0x10000, 4), (Bytes{0x00, 30, 0x00, 31}));

    const uint16_t kept = g_PPGDCTable[2][2];
    int two[2] = {0x1234, 0x0555};
    ASSERT_TRUE(ORVWritePPGCalibrationDataDC(PPG_CHANNEL_3, two, 2));
    EXPECT_EQ(g_PPGDCTable[2][0], 0x1234);
    EXPECT_EQ(g_PPGDCTable[2][2], kept);
    // The PPG DC table is stored byte for byte in the host's little-endian layout.
    EXPECT_EQ(Fw().MemoryAt(0x13, 0x1600 + 2 * 0x2000, 6),
              (Bytes{0x34, 0x12, 0x55, 0x05, static_cast<uint8_t>(kept), static_cast<uint8_t>(kept >> 8)}));
}

TEST_F(ApiCalibrationData, ACFullScaleAndLEDLevelRestore) {
    int three[3] = {0x10123, 0x0456, 0x0789};
    ClearSent();
    EXPECT_FALSE(ORVWritePPGCalibrationDataACFullDAC(PPG_CHANNEL_2, three, 2));
    EXPECT_FALSE(ORVWritePPGCalibrationDataACFullDAC(static_cast<PPGChannel>(4), three, 3));
    ASSERT_TRUE(ORVWritePPGCalibrationDataACFullDAC(PPG_CHANNEL_2, three, 3));
    EXPECT_EQ(g_FactorySettingMCU.usACFullScaleDAC[3], 0x0123);
    EXPECT_EQ(g_FactorySettingMCU.usACFullScaleDAC[5], 0x0789);
    EXPECT_TRUE(Sent().empty());

    // A valid backup: settings 1 and 2 from their split bytes (low at 1, 2; high at 7, 8).
    Bytes record(64, 0);
    record[0] = 1;
    record[1] = 0x21, record[7] = 0x03;
    record[2] = 0x42, record[8] = 0x01;
    ASSERT_TRUE(Fw().SetMemory(0x13, 0x1400, record));
    ASSERT_TRUE(ORVRestoreLEDLevelFactorySetting());
    EXPECT_EQ(Fw().CalibrationSetting(1), 0x0321);
    EXPECT_EQ(Fw().CalibrationSetting(2), 0x0142);

    // An erased backup: nothing written.
    ASSERT_TRUE(Fw().SetMemory(0x13, 0x1400, Bytes(64, 0xFF)));
    ClearSent();
    EXPECT_FALSE(ORVRestoreLEDLevelFactorySetting());
    EXPECT_TRUE(SentWith({0xCC, 0xFF}).empty());
}

}  // namespace
