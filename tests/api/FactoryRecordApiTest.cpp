// The factory-record functions against the firmware model: where each model keeps its
// photodiode ratios and rate words, the cached MCU record read before the connection's
// backup writes it back, and the refusals (unknown models, rows outside the record, the
// backup during a playback). The module's long pauses sleep through the sleep seam,
// scaled down here while the durations asked for are recorded.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "Faults.h"
#include "api/PostConnection.h"
#include "platform/SleepSeam.h"
#include "protocol/Memory.h"

namespace {

using nvsemu::Profile;

std::mutex s_sleepMu;
std::vector<unsigned> s_sleeps;

// Records what was asked for and sleeps a twentieth of it.
void ScaledSleep(unsigned ms) {
    {
        std::lock_guard<std::mutex> lock(s_sleepMu);
        s_sleeps.push_back(ms);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50ull * ms));
}

void ClearSleeps() {
    std::lock_guard<std::mutex> lock(s_sleepMu);
    s_sleeps.clear();
}

size_t SleepsOf(unsigned ms) {
    std::lock_guard<std::mutex> lock(s_sleepMu);
    return static_cast<size_t>(std::count(s_sleeps.begin(), s_sleeps.end(), ms));
}

// The first packet's address of each memory write at target 0x13, and its byte count.
struct Write {
    uint32_t address;
    int count;
    bool operator==(const Write& o) const { return address == o.address && count == o.count; }
};

const Bytes kMemoryWrite = {0x12, 0x55, 0xAA, 0xFF, 0x00, 0x13, 0x00};
const Bytes kMCURead = {0x12, 0x55, 0xAA, 0x00, 0x00, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x80};

uint32_t AddressOf(const Bytes& r) { return static_cast<uint32_t>(r[8] << 24 | r[9] << 16 | r[10] << 8 | r[11]); }

Bytes LE16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

Bytes FloatBytes(const float* f, size_t n) {
    Bytes out(4 * n);
    memcpy(out.data(), f, out.size());
    return out;
}

class ApiFactoryRecord : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ClearSleeps();
        SetSleepSeam(ScaledSleep);
    }
    void TearDown() override {
        ApiTest::TearDown();
        SetSleepSeam(nullptr);
    }
    // The memory writes at target 0x13 since the last ClearSent, as (first address,
    // total bytes) per run of consecutive packets.
    std::vector<Write> MemoryWrites() const {
        std::vector<Write> out;
        uint32_t next = 0;
        for (const Bytes& r : SentWith(kMemoryWrite)) {
            const uint32_t a = AddressOf(r);
            if (!out.empty() && a == next) {
                out.back().count += r[7];
            } else {
                out.push_back({a, r[7]});
            }
            next = a + r[7];
        }
        return out;
    }
    // The calibration settings written since the last ClearSent, in order.
    std::vector<int> SettingsWritten() const {
        std::vector<int> ids;
        for (const Bytes& r : SentWith({0xCC, 0xFF})) {
            if (r[2] != 0x10) {
                ids.push_back(r[2]);
            }
        }
        return ids;
    }
};

TEST_F(ApiFactoryRecord, RatiosAndRateWordsGoWhereEachModelKeepsThem) {
    struct Case {
        const char* what;
        Profile profile;
        bool ratiosStored;
        std::vector<Write> ratioWrites;
        std::vector<Write> rateWrites;
    } cases[] = {
        // 0x2112: the whole cached MCU record at 0x1480, for either.
        {"0x2112", Profile::WithPpg2112(), true, {{0x1480, 256}}, {{0x1480, 256}}},
        // 0x2012: the channel's own row of 32 bytes; it has no MCU record, so no rate words.
        {"0x2012", Profile::WithPpg2012Fpga(true), true, {{0x14A0, 32}}, {}},
        // The respiration module keeps its coefficients at 0x1480: nothing is written.
        {"XJ", Profile::WithExtRespXJ(), false, {}, {}},
    };
    const float ratios[3] = {0.5f, 0.25f, 2.0f};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ORVFree();
        emu_.Stop();
        ResetApiState();
        Plug(c.profile);
        ASSERT_TRUE(Connect());
        const Bytes before = Fw().MemoryAt(0x13, 0x1480, 256);
        float row[8];
        std::copy(g_FPGA_PDRatio[1], g_FPGA_PDRatio[1] + 8, row);

        EXPECT_EQ(ORVWriteFPGACalibrationData(PPG_CHANNEL_2, const_cast<float*>(ratios), 3), c.ratiosStored);
        EXPECT_EQ(MemoryWrites(), c.ratioWrites);
        if (c.ratiosStored) {
            EXPECT_TRUE(std::equal(ratios, ratios + 3, g_FPGA_PDRatio[1]));
            EXPECT_TRUE(std::equal(row + 3, row + 8, g_FPGA_PDRatio[1] + 3)) << "entries 3..7 keep their values";
            const uint32_t at = c.ratioWrites[0].count == 256 ? 0x1480 + 108 + 32 : 0x14A0;
            EXPECT_EQ(Fw().MemoryAt(0x13, at, 12), FloatBytes(ratios, 3));
        } else {
            EXPECT_TRUE(std::equal(row, row + 8, g_FPGA_PDRatio[1])) << "nothing changed";
            EXPECT_EQ(Fw().MemoryAt(0x13, 0x1480, 256), before);
        }

        ClearSent();
        ORVCalibrationSetTransmissionRate(PPG_CHANNEL_2, 5, 0x1234, 0x0567);
        EXPECT_EQ(MemoryWrites(), c.rateWrites);
        // Index 6 x (2 - 1) + 5 = 11 of the LED words (from byte 36) and parameter words (72).
        EXPECT_EQ(g_FactorySettingMCU.usRateLEDSetting[11], 0x1234);
        EXPECT_EQ(g_FactorySettingMCU.usRateParamSetting[11], 0x0567);
        if (!c.rateWrites.empty()) {
            EXPECT_EQ(Fw().MemoryAt(0x13, 0x1480 + 36 + 22, 2), LE16(0x1234));
            EXPECT_EQ(Fw().MemoryAt(0x13, 0x1480 + 72 + 22, 2), LE16(0x0567));
        }
        ClearSent();
        ORVCalibrationSetTransmissionRate(static_cast<PPGChannel>(4), 0, 1, 1);
        ORVCalibrationSetTransmissionRate(PPG_CHANNEL_1, 6, 1, 1);
        ORVCalibrationSetTransmissionRate(PPG_CHANNEL_1, -1, 1, 1);
        EXPECT_TRUE(Sent().empty()) << "rows outside the record";
    }
}

TEST_F(ApiFactoryRecord, TheConnectionReadsTheMCURecordBeforeItsBackupWritesIt) {
    struct Case {
        const char* what;
        bool readFails;
    } cases[] = {{"read", false}, {"read refused", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ORVFree();
        emu_.Stop();
        ResetApiState();
        ClearSleeps();
        // The previous instrument's cache: never written to this one.
        memset(&g_FactorySettingMCU, 0x5A, sizeof g_FactorySettingMCU);
        Plug(Profile::WithPpg2112());
        ASSERT_TRUE(Fw().SetMemory(0x13, 0x1400, Bytes(64, 0xFF)));  // no backup: the loading makes one
        if (c.readFails) {
            emu_.FaultOnHeader(kMCURead, nvsemu::Fault::Alter({{4, 0x00}}));  // byte 4 not 0xFF: refused
        }
        const Bytes stored = Fw().MemoryAt(0x13, 0x1480, 256);
        ASSERT_TRUE(Connect(true));
        EXPECT_EQ(Fw().MemoryAt(0x13, 0x1400, 1), Bytes{1}) << "the backup of the levels is made";
        EXPECT_EQ(Fw().MemoryAt(0x13, 0x1480, 256), stored)
            << "DAC codes, rate words and ratios stay the instrument's (the AC-range words read equal)";
        if (!c.readFails) {
            EXPECT_EQ(SleepsOf(3000), 3u) << "three AC-range loads";
            EXPECT_EQ(MemoryWrites(), (std::vector<Write>{{0x1400, 64}, {0x1480, 256}}));
            continue;
        }
        EXPECT_EQ(SleepsOf(3000), 0u);
        EXPECT_EQ(MemoryWrites(), (std::vector<Write>{{0x1400, 64}})) << "nothing of the cache is sent";
        // The previous instrument's values reach no function that sends them.
        const FACTORY_SETTING_MCU zeros = {};
        EXPECT_EQ(0, memcmp(&g_FactorySettingMCU, &zeros, sizeof zeros));
        EXPECT_TRUE(ORVConfigureTransmissionRate(2));
        for (int setting : {1, 2, 25, 26})
            EXPECT_NE(Fw().CalibrationSetting(setting), 0x5A5A) << "setting " << setting;
        // Nor later: host-only changes stay on the host, the record writers are false.
        ClearSent();
        int three[3] = {1, 2, 3};
        EXPECT_TRUE(ORVWritePPGCalibrationDataACFullDAC(PPG_CHANNEL_1, three, 3));
        ORVCalibrationSetTransmissionRate(PPG_CHANNEL_1, 0, 700, 900);
        float one = 0.75f;
        EXPECT_FALSE(ORVWriteFPGACalibrationData(PPG_CHANNEL_1, &one, 1));
        EXPECT_FLOAT_EQ(g_FPGA_PDRatio[0][0], 0.75f);
        EXPECT_TRUE(MemoryWrites().empty());
        EXPECT_EQ(g_FactorySettingMCU.usRateLEDSetting[0], 700);
        // The restore writes the levels, then refuses the cached AC-range words.
        ClearSent();
        EXPECT_FALSE(ORVRestoreFactorySetting());
        EXPECT_EQ(SettingsWritten(), (std::vector<int>{1, 2, 3, 4}));
        ClearSent();
        EXPECT_FALSE(ORVBackupFactorySetting());
        EXPECT_EQ(MemoryWrites(), (std::vector<Write>{{0x1400, 64}}));
    }
}

TEST_F(ApiFactoryRecord, RestoreWritesTheLevelsThenTheACRangeWords) {
    struct Case {
        const char* what;
        Profile profile;
        std::vector<int> settings;
    } cases[] = {
        // Two channels on 0x2112: levels 1..4, then channels 1 and 2 in AC ranges 0, 1, 2.
        {"0x2112", Profile::WithPpg2112(), {1, 2, 3, 4, 21, 38, 41, 22, 39, 42}},
        // Three channels: the channel-3 levels too, and no AC-range words.
        {"0x3001", Profile::WithPpg3001(), {1, 2, 3, 4, 18, 19}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ORVFree();
        emu_.Stop();
        ResetApiState();
        Plug(c.profile);
        ASSERT_TRUE(Connect());
        Bytes record(64, 0);
        record[0] = 1;
        for (int i = 1; i <= 12; ++i) {
            record[static_cast<size_t>(i)] = static_cast<uint8_t>(0x10 + i);
        }
        ASSERT_TRUE(Fw().SetMemory(0x13, 0x1400, record));
        ClearSent();
        ASSERT_TRUE(ORVRestoreFactorySetting());
        EXPECT_EQ(SettingsWritten(), c.settings);
        // Setting 18 from bytes 9 (high) and 5 (low), 3 from bytes 10 and 3.
        EXPECT_EQ(Fw().CalibrationSetting(3), 0x1A13);
        if (c.settings.size() == 6) {
            EXPECT_EQ(Fw().CalibrationSetting(18), 0x1915);
        } else {
            EXPECT_EQ(Fw().CalibrationSetting(39), g_FactorySettingMCU.usACModeSetting[4]);
        }
        ASSERT_TRUE(Fw().SetMemory(0x13, 0x1400, Bytes(64, 0xFF)));
        ClearSent();
        EXPECT_FALSE(ORVRestoreFactorySetting()) << "an erased backup";
        EXPECT_TRUE(SettingsWritten().empty());
    }
}

TEST_F(ApiFactoryRecord, BackupOf2112IsRefusedDuringAPlayback) {
    Plug(Profile::WithPpg2112());
    ASSERT_TRUE(Connect());
    PPG_WAVEFORM p = {};
    p.fFrequency = 1.0;
    p.fAmplitude1 = 1.0;
    p.fDCLevel = 100.0;
    p.nSyncPulse = 1;
    ASSERT_TRUE(ORVPlayPPG(1, &p, nullptr));
    ClearSent();
    EXPECT_FALSE(ORVBackupFactorySetting());
    EXPECT_TRUE(SentWith({0xCC}).empty());
    EXPECT_TRUE(SentWith({0x12, 0x55, 0xAA}).empty());
    EXPECT_EQ(SleepsOf(3000), 0u);
    ORVStopPlayRawData();
    // Without the playback it runs: levels, then the three AC ranges and the record.
    ClearSent();
    ASSERT_TRUE(ORVBackupFactorySetting());
    EXPECT_EQ(SleepsOf(3000), 3u);
    EXPECT_EQ(MemoryWrites(), (std::vector<Write>{{0x1400, 64}, {0x1480, 256}}));
}

}  // namespace
