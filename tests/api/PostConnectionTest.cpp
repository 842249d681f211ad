// The loading after each connection, from the firmware model's memory image: stored
// tables and records, the erased and default rules, the factory backup, and what a
// failed read leaves behind.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "api/Connection.h"
#include "api/PostConnection.h"
#include "platform/StaticObjects.h"
#include "protocol/Memory.h"
#include "protocol/RespirationTables.h"
#include "waveform/Calibration.h"

namespace {

using nvsemu::Fault;
using nvsemu::Profile;

constexpr uint8_t kPPG = 0x13;
constexpr uint8_t kECG = 0x12;

// The memory command's request header up to the target byte (read: direction 0x00).
Bytes MemoryReadOf(uint8_t target) { return {0x12, 0x55, 0xAA, 0x00, 0x00, target}; }
Bytes MemoryWriteOf(uint8_t target) { return {0x12, 0x55, 0xAA, 0xFF, 0x00, target}; }
uint32_t AddressOf(const Bytes& request) {
    return uint32_t{request[8]} << 24 | uint32_t{request[9]} << 16 | uint32_t{request[10]} << 8 | request[11];
}

int DefaultECGCode(int mv) { return static_cast<int>(0.5 + (1000 + mv / 1.02) / 2000 * 4095); }

class ApiPostConnection : public ApiTest {
protected:
    bool WroteAt(uint8_t target, uint32_t address) const {
        for (const Bytes& w : SentWith(MemoryWriteOf(target))) {
            if (AddressOf(w) == address)
                return true;
        }
        return false;
    }
    bool ReadAt(uint8_t target, uint32_t from, uint32_t to) const {
        for (const Bytes& r : SentWith(MemoryReadOf(target))) {
            if (AddressOf(r) >= from && AddressOf(r) < to)
                return true;
        }
        return false;
    }
};

TEST_F(ApiPostConnection, Model2112LoadsEveryStoredTableAndRecord) {
    Plug(Profile::WithPpg2112());
    ASSERT_TRUE(Connect(true));
    // PPG DC tables of channels 1 and 2 (400 + 20 c + mV x 64000 / 3000); channel 3 is never loaded.
    for (int mv : {0, 1, 1500, 3000}) {
        EXPECT_EQ(g_PPGDCTable[0][mv], 420 + mv * 64000 / 3000) << mv;
        EXPECT_EQ(g_PPGDCTable[1][mv], 440 + mv * 64000 / 3000) << mv;
        EXPECT_EQ(g_PPGDCTable[2][mv], 0) << mv;
    }
    // Photodiode tables of module 0.
    for (int i : {0, 1, 511, 1023}) {
        EXPECT_EQ(PPGPDSamplingTable(0, 0)[i], i * 1000 / 1023) << i;
        EXPECT_EQ(PPGPDSamplingTable(0, 1)[i], 5 + i * 990 / 1023) << i;
    }
    // ECG DC table: the stored codes are the defaults + 3, at most 4095.
    for (int mv : {-1000, 0, 300, 1000}) {
        EXPECT_EQ(g_ECGDCVariableCalibrationData[mv + 1000], std::min(DefaultECGCode(mv) + 3, 4095)) << mv;
    }
    // The MCU factory record and the ratios taken from it.
    EXPECT_EQ(g_FactorySettingMCU.usRateLEDSetting[0], 801);
    EXPECT_EQ(g_FactorySettingMCU.usRateLEDSetting[6 + 5], 800 - 200 + 2);
    EXPECT_EQ(g_FactorySettingMCU.usRateParamSetting[5], 1023 - 500);
    EXPECT_FLOAT_EQ(g_FPGA_PDRatio[0][0], 0.97f);
    EXPECT_FLOAT_EQ(g_FPGA_PDRatio[2][7], 0.97f + 0.005f * 23);
    // The stored factory backup is valid: no backup is written.
    EXPECT_FALSE(WroteAt(kPPG, 0x1400));
    // The transmission-rate values went out (the cache was forgotten at the last
    // disconnection), and dynamic LED strength was switched off.
    EXPECT_FALSE(SentWith({0xCC, 0xFF, 25}).empty());
    EXPECT_FALSE(SentWith({0xB0, 0xFF, 0x03, 0x00, 0x00}).empty());
}

TEST_F(ApiPostConnection, ErasedTablesGiveIdentitiesAndDefaults) {
    Profile p = Profile::WithPpg2112();
    Plug(p);
    Fw().Erase(kPPG, 0x0400, 2048);                   // channel 1 photodiode table
    Fw().SetMemory(kPPG, 0x0C00, Bytes{0xFF, 0xFF});  // channel 2: only its first word erased
    Fw().Erase(kPPG, 0x1600, 8192);                   // PPG DC table of channel 1
    Fw().Erase(kECG, 0x10000, 2 * 2001);              // ECG DC table
    Fw().Erase(kPPG, 0x1480 + 108, 96);               // photodiode ratios: NaN
    g_PPGDCTable[2][7] = 99;                          // row 3 is never loaded
    ASSERT_TRUE(Connect());
    for (int i : {0, 1, 700, 1023}) {
        EXPECT_EQ(PPGPDSamplingTable(0, 0)[i], i) << i;
    }
    // The channel-2 test looks at the second word: this table is taken as stored.
    EXPECT_EQ(PPGPDSamplingTable(0, 1)[0], 0xFFFF);
    EXPECT_EQ(PPGPDSamplingTable(0, 1)[1], 5 + 990 / 1023);
    EXPECT_EQ(PPGPDSamplingTable(0, 1)[1023], 5 + 990);
    for (int mv : {0, 2999, 3000}) {
        EXPECT_EQ(g_PPGDCTable[0][mv], mv);
    }
    EXPECT_EQ(g_PPGDCTable[1][3000], 440 + 64000);
    EXPECT_EQ(g_PPGDCTable[2][7], 99);
    // Examples of the default line: -1000 40, -300 1445, 0 2048, 300 2650, 1000 4055.
    const int expected[][2] = {{-1000, 40}, {-300, 1445}, {0, 2048}, {300, 2650}, {1000, 4055}};
    for (const auto& e : expected) {
        EXPECT_EQ(g_ECGDCVariableCalibrationData[e[0] + 1000], e[1]) << e[0];
    }
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 8; ++col)
            EXPECT_EQ(g_FPGA_PDRatio[row][col], 1.0f);
}

TEST_F(ApiPostConnection, MainUnitWithoutSeparateModuleKeepsTheECGDefaultsAndLoadsNoPhotodiodeTable) {
    Plug(Profile::MainUnit4031());
    ASSERT_TRUE(Connect(true));
    EXPECT_FALSE(ReadAt(kECG, 0x10000, 0x12000));
    EXPECT_FALSE(ReadAt(kPPG, 0x0400, 0x1400));  // letters NV: no photodiode tables
    EXPECT_EQ(g_ECGDCVariableCalibrationData[1000], 2048);
    EXPECT_EQ(PPGPDSamplingTable(0, 0)[5], 5);
    EXPECT_EQ(PPGPDSamplingTable(5, 1)[1023], 1023);
}

TEST_F(ApiPostConnection, ErasedFactoryRecordIsBackedUpOnce) {
    Plug(Profile::WithPpgYB2001());
    Fw().Erase(kPPG, 0x1400, 64);
    ASSERT_TRUE(Connect(true));
    EXPECT_TRUE(WroteAt(kPPG, 0x1400));
    const Bytes stored = Fw().MemoryAt(kPPG, 0x1400, 5);
    EXPECT_EQ(stored[0], 1);           // valid now
    EXPECT_EQ(stored[1], 800 & 0xFF);  // low byte of LED level 1
    EXPECT_EQ(stored[3], 0x00);        // low byte of trigger level 1 (0x0200)
    ORVFree();
    ClearSent();
    ASSERT_TRUE(Connect(true));
    EXPECT_FALSE(WroteAt(kPPG, 0x1400));
}

TEST_F(ApiPostConnection, FailedReadsKeepWhatTheHostHeld) {
    Plug(Profile::WithPpgYB2001());
    // Every read of the ECG memory and of the factory record goes unanswered.
    emu_.FaultOnHeader(MemoryReadOf(kECG), Fault::Drop(), 0);
    emu_.FaultOnHeader({0x12, 0x55, 0xAA, 0x00, 0x00, kPPG, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00}, Fault::Drop(), 0);
    ASSERT_TRUE(Connect(true));
    EXPECT_TRUE(ReadAt(kECG, 0x10000, 0x12000));
    EXPECT_EQ(g_ECGDCVariableCalibrationData[1000], 2048);  // the defaults, not zeros
    EXPECT_EQ(g_ECGDCVariableCalibrationData[0], 40);
    // A factory record that could not be read is not overwritten by a backup.
    EXPECT_FALSE(WroteAt(kPPG, 0x1400));
    EXPECT_EQ(Fw().MemoryAt(kPPG, 0x1400, 1)[0], 1);
}

TEST_F(ApiPostConnection, FailedMCURecordReadLeavesNoEarlierRecord) {
    Plug(Profile::WithPpg2112());
    // What an earlier connection left in the cache.
    g_FactorySettingMCU.usRateLEDSetting[0] = 555;
    g_FactorySettingMCU.fPDRatio[1][2] = 0.5f;
    emu_.FaultOnHeader({0x12, 0x55, 0xAA, 0x00, 0x00, kPPG, 0x00, 0x20, 0x00, 0x00, 0x14, 0x80}, Fault::Drop(), 0);
    ASSERT_TRUE(Connect());
    EXPECT_EQ(g_FactorySettingMCU.usRateLEDSetting[0], 0);
    EXPECT_FLOAT_EQ(g_FPGA_PDRatio[1][2], 1.0f);  // zero became 1.0
    EXPECT_FLOAT_EQ(g_FPGA_PDRatio[0][0], 1.0f);
}

TEST_F(ApiPostConnection, ModuleWithoutChannelOneLEDLoadsNoTableAndRestoresTheSelection) {
    Profile p = Profile::WithPpgYB2001();
    p.ppg.model = 0x0100;  // a YB variant of base model 0: no LED fitted (types 3, 3, 3)
    Plug(p);
    ASSERT_TRUE(Connect(true));
    EXPECT_FALSE(ReadAt(kPPG, 0x0400, 0x1400));
    const std::vector<Bytes> selections = SentWith({0xCC, 0xFF, 0x10});
    ASSERT_EQ(selections.size(), 2u);  // module 0, then the one selected before
    EXPECT_EQ(selections[0][4], 0);
    EXPECT_EQ(selections[1][4], Fw().SelectedPpgModule());
    EXPECT_EQ(PPGPDSamplingTable(0, 0)[1023], 1023);
}

TEST_F(ApiPostConnection, ExternalRespirationModuleLoadsItsThreeTables) {
    Plug(Profile::WithExtRespXJ());
    ASSERT_TRUE(Connect());
    const double coefficients[4] = {1.25, -0.5, 0.03, 0.0007};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(g_fECGExtRespirationCoef[i], coefficients[i]);
    EXPECT_EQ(g_ECGExtRespirationBaselineDACTable[0], 1000);
    EXPECT_EQ(g_ECGExtRespirationBaselineDACTable[11], 1000 + 250 * 11);
    EXPECT_DOUBLE_EQ(g_fECGExtRespiratationRDAC3[95], 0.5 + 0.01 * 95);
}

TEST_F(ApiPostConnection, RespirationRecordWithoutItsMarkerLoadsNothing) {
    Plug(Profile::WithExtRespXJ());
    Fw().SetMemory(kPPG, 0x1480, Bytes(8, 0));
    ASSERT_TRUE(Connect());
    EXPECT_EQ(g_fECGExtRespirationCoef[0], 110.0);
    EXPECT_EQ(g_ECGExtRespirationBaselineDACTable[11], 0);
    EXPECT_EQ(g_fECGExtRespiratationRDAC3[95], 0.0);
}

// The next instrument gets nothing of the last one's tables: what its own loading does
// not replace is back at its state at load.
TEST_F(ApiPostConnection, NothingLoadedFromOneInstrumentOutlivesItsConnection) {
    fw_ = std::make_shared<nvsemu::Firmware>(Profile::WithExtRespXJ());
    ASSERT_TRUE(emu_.Start());
    emu_.SetResponder(fw_);
    ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(0)));
    ASSERT_TRUE(Connect());
    {
        // Read under the lock the connection thread writes them under.
        CAutoCriticalSection lock(g_CriticalSection);
        ASSERT_EQ(g_fECGExtRespirationCoef[0], 1.25);
        ASSERT_EQ(g_ECGExtRespirationBaselineDACTable[11], 1000 + 250 * 11);
        ASSERT_EQ(g_ECGDCVariableCalibrationData[1000], DefaultECGCode(0) + 3);
    }

    // Another instrument, without a respiration module, whose ECG table cannot be read.
    const unsigned loaded = ConnectionLoadCount();
    emu_.Unplug();
    fw_ = std::make_shared<nvsemu::Firmware>(Profile::WithPpg2112());
    emu_.SetResponder(fw_);
    emu_.FaultOnHeader(MemoryReadOf(kECG), Fault::Drop(), 0);
    ASSERT_TRUE(emu_.Replug());
    ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() != loaded; }, 30000));
    CAutoCriticalSection lock(g_CriticalSection);
    EXPECT_EQ(g_fECGExtRespirationCoef[0], 110.0);
    EXPECT_EQ(g_ECGExtRespirationBaselineDACTable[11], 0);
    EXPECT_EQ(g_fECGExtRespiratationRDAC3[95], 0.0);
    EXPECT_EQ(g_ECGDCVariableCalibrationData[1000], DefaultECGCode(0)) << "the default, not the last instrument's";
}

}  // namespace
