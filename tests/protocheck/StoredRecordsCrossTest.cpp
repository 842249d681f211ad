// Every stored record the library reads after a connection, read from the firmware
// model's factory image: the values the library ends up with must be the ones the image
// holds, decoded here from the stored layouts (big-endian word tables, little-endian
// byte-form records).
#include <cstring>
#include <vector>

#include "CrossCheck.h"
#include "protocol/Memory.h"
#include "protocol/MemoryCommand.h"
#include "protocol/RespirationTables.h"
#include "protocol/StoredRecords.h"

namespace {

class CrossStoredRecords : public CrossCheck, public ::testing::WithParamInterface<const char*> {};

// Records every PPG side and every main module keep: the factory backup, the ECG
// DC-variable table and the two manufacturing texts.
TEST_P(CrossStoredRecords, CommonRecords) {
    Connect(ProfileNamed(GetParam()));

    FACTORY_SETTING factory;
    memset(&factory, 0, sizeof factory);
    EXPECT_TRUE(ReadFactorySetting(&factory));
    const Bytes stored = fw_->MemoryAt(0x13, 0x1400, 64);
    EXPECT_EQ(stored[0], 1) << "the factory image holds a backup";
    EXPECT_EQ(memcmp(&factory, stored.data(), 64), 0);

    std::vector<int> ecg(2001, -1);
    ASSERT_TRUE(ReadDCVariableCalibrationData(ecg.data()));
    const Bytes table = fw_->MemoryAt(0x12, 0x10000, 4002);
    for (size_t i = 0; i < 2001; ++i) {
        ASSERT_EQ(ecg[i], BE16(table, 2 * i)) << "entry " << i;
    }

    unsigned char text[100];
    memset(text, 0xEE, sizeof text);
    ASSERT_TRUE(ReadECGMfgInfo(text, sizeof text));
    EXPECT_EQ(Bytes(text, text + 64), fw_->MemoryAt(0x12, 0x12000, 64));
    EXPECT_EQ(text[64], 0xEE) << "at most 64 bytes";
    ASSERT_TRUE(ReadPPGMfgInfo(text, 64));
    EXPECT_EQ(Bytes(text, text + 64), fw_->MemoryAt(0x13, 0x1440, 64));
}

INSTANTIATE_TEST_SUITE_P(Profiles, CrossStoredRecords,
                         ::testing::Values("main-4031", "yb-2001", "yb-2012-fpga", "yb-2112", "xj"));

// YB modules: the photodiode-sampling tables of channels 1 and 2 (1024 big-endian words).
TEST_F(CrossCheck, PhotodiodeSamplingTablesOfYBModules) {
    for (const char* name : {"yb-2001", "yb-2112"}) {
        SCOPED_TRACE(name);
        Connect(ProfileNamed(name));
        for (PPGChannel ch : {PPG_CHANNEL_1, PPG_CHANNEL_2}) {
            std::vector<int> values(1024, -1);
            int* table = values.data();
            ASSERT_TRUE(ReadPPGCalibrationDataPDSampling(ch, table));
            const Bytes stored = fw_->MemoryAt(0x13, ch == PPG_CHANNEL_1 ? 0x0400 : 0x0C00, 2048);
            for (size_t i = 0; i < 1024; ++i) {
                ASSERT_EQ(values[i], BE16(stored, 2 * i)) << "channel " << ch << " entry " << i;
            }
            EXPECT_NE(values[1023], 0xFFFF) << "a stored table, not an erased one";
        }
    }
}

// Model 0x2112: the MCU factory record and the DC tables of channels 1 and 2.
TEST_F(CrossCheck, MCURecordAndDCTablesOf2112) {
    Connect(ProfileNamed("yb-2112"));
    FACTORY_SETTING_MCU mcu;
    memset(&mcu, 0xEE, sizeof mcu);
    ASSERT_TRUE(ReadFactorySettingMCU(&mcu));
    const Bytes stored = fw_->MemoryAt(0x13, 0x1480, 256);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(mcu.usACModeSetting[i], LE16(stored, 2 * static_cast<size_t>(i)));
        EXPECT_EQ(mcu.usACFullScaleDAC[i], LE16(stored, 18 + 2 * static_cast<size_t>(i)));
    }
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(mcu.usRateLEDSetting[i], LE16(stored, 36 + 2 * static_cast<size_t>(i)));
        EXPECT_EQ(mcu.usRateParamSetting[i], LE16(stored, 72 + 2 * static_cast<size_t>(i)));
    }
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(mcu.fPDRatio[r][k], LEFloat(stored, 108 + 4 * static_cast<size_t>(8 * r + k)));
        }
    }
    // The AC-mode settings in the record are the instrument's calibration settings
    // 21.., 38.., 41.. (index 3 x (channel - 1) + AC range).
    EXPECT_EQ(mcu.usACModeSetting[0], fw_->CalibrationSetting(21));
    EXPECT_EQ(mcu.usACModeSetting[1], fw_->CalibrationSetting(38));
    EXPECT_EQ(mcu.usACModeSetting[5], fw_->CalibrationSetting(42));

    for (PPGChannel ch : {PPG_CHANNEL_1, PPG_CHANNEL_2}) {
        std::vector<unsigned short> dc(3001, 0xEEEE);
        ASSERT_TRUE(ReadPPGDCTable(ch, dc.data(), 3001));
        const Bytes table = fw_->MemoryAt(0x13, ch == PPG_CHANNEL_1 ? 0x1600 : 0x3600, 6002);
        for (size_t i = 0; i < 3001; ++i) {
            ASSERT_EQ(dc[i], LE16(table, 2 * i)) << "channel " << ch << " entry " << i;
        }
        EXPECT_NE(dc[3000], 0xFFFF) << "a stored table, not an erased one";
    }
}

// The external-respiration module: the RWA record (marker, four coefficients), the
// baseline DAC table and the RDAC3 table, loaded in that order into the host copies.
TEST_F(CrossCheck, RespirationTablesOfXJ) {
    Connect(ProfileNamed("xj"));
    ASSERT_TRUE(LoadRespirationRWA());
    const Bytes rwa = fw_->MemoryAt(0x13, 0x1480, 64);
    EXPECT_EQ(LEDouble(rwa, 0), 0.60991);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(g_fECGExtRespirationCoef[i], LEDouble(rwa, 8 + 8 * static_cast<size_t>(i))) << "coefficient " << i;
    }
    ASSERT_TRUE(LoadRespirationBaselineDACTable());
    const Bytes baseline = fw_->MemoryAt(0x13, 0x14C0, 24);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(g_ECGExtRespirationBaselineDACTable[i], LE16(baseline, 2 * static_cast<size_t>(i)));
    }
    ASSERT_TRUE(LoadRespirationRDAC3());
    const Bytes rdac3 = fw_->MemoryAt(0x13, 0x1500, 768);
    for (int i = 0; i < 96; ++i) {
        EXPECT_EQ(g_fECGExtRespiratationRDAC3[i], LEDouble(rdac3, 8 * static_cast<size_t>(i)));
    }

    // An erased record is not taken for coefficients.
    for (double& c : g_fECGExtRespirationCoef) {
        c = 110.0;
    }
    fw_->Erase(0x13, 0x1480, 64);
    EXPECT_FALSE(LoadRespirationRWA());
    EXPECT_EQ(g_fECGExtRespirationCoef[0], 110.0);
}

// Writers of the same records: what the library stores is what the model then holds.
TEST_F(CrossCheck, StoredRecordWritersLandInTheImage) {
    Connect(ProfileNamed("yb-2112"));
    std::vector<unsigned short> dc(3001);
    for (size_t i = 0; i < dc.size(); ++i) {
        dc[i] = static_cast<unsigned short>(0x0102 + 3 * i);
    }
    ASSERT_TRUE(WritePPGDCTable(PPG_CHANNEL_2, dc.data(), 3001));
    const Bytes table = fw_->MemoryAt(0x13, 0x3600, 8192);
    for (size_t i = 0; i < 3001; ++i) {
        ASSERT_EQ(LE16(table, 2 * i), dc[i]);
    }
    EXPECT_EQ(Bytes(table.begin() + 6002, table.end()), Bytes(8192 - 6002, 0)) << "zeros after the values";

    ASSERT_TRUE(ClearFactorySetting());
    EXPECT_EQ(fw_->MemoryAt(0x13, 0x1400, 64), Bytes(64, 0xFF));
    FACTORY_SETTING erased;
    EXPECT_FALSE(ReadFactorySetting(&erased)) << "an erased record reads as none";
}

}  // namespace
