// The stream decoder and the value mapping, fed packets directly.
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "SamplingRecorder.h"
#include "api/LedApi.h"
#include "api/PostConnection.h"
#include "sampling/Sampling.h"

namespace {

SamplingMap PlainMap() { return SamplingMap{}; }  // identity tables, no FPGA

// n records of `fields` 16-bit values and a count of 1; value j of record k is 10k + j.
std::vector<uint8_t> Records(int fields, int n) {
    std::vector<uint8_t> out;
    for (int k = 0; k < n; ++k) {
        for (int j = 0; j < fields; ++j) {
            const int v = 10 * k + j;
            out.push_back(static_cast<uint8_t>(v >> 8));
            out.push_back(static_cast<uint8_t>(v));
        }
        out.push_back(1);
    }
    return out;
}

struct Targets {
    PFN_SAMPLING_CALLBACK cb[4];
};

Targets All() {
    return {
        {SamplingRecorder::Data(0), SamplingRecorder::Data(1), SamplingRecorder::Data(2), SamplingRecorder::Data(3)}};
}

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override { rec().Clear(); }
    static SamplingRecorder& rec() { return SamplingRecorder::Instance(); }
    std::vector<size_t> Counts() const {
        return {rec().CallCount(0), rec().CallCount(1), rec().CallCount(2), rec().CallCount(3)};
    }
    // Decodes a packet of this mode and length whose records all differ.
    bool Decode(uint8_t mode, int fields, int length, const Targets& t = All()) {
        const std::vector<uint8_t> p = SamplingPacket(mode, static_cast<uint8_t>(length), 0, Records(fields, 18));
        return CSampling::DecodePacketPayload(mode, t.cb, p.data() + 8, length, map_);
    }
    SamplingMap map_ = PlainMap();
};

TEST_F(DecodeTest, EachModeCallsTheCallbacksOfItsInputsOncePerRecord) {
    struct Case {
        uint8_t mode;
        int fields, length;
        std::vector<size_t> calls;  // PD1, PD2, SW1, SW2
    };
    const Case cases[] = {
        {1, 1, 54, {18, 0, 0, 0}},
        {2, 1, 54, {0, 18, 0, 0}},
        {3, 2, 55, {11, 11, 0, 0}},
        {4, 1, 54, {0, 0, 18, 0}},
        {5, 2, 55, {11, 0, 11, 0}},
        {8, 1, 54, {0, 0, 0, 18}},
        {10, 2, 55, {0, 11, 0, 11}},
        {12, 2, 55, {0, 0, 11, 11}},
        {15, 4, 54, {6, 6, 6, 6}},
        // Odd tails stay unread; a length beyond the packet reads its 56 payload bytes.
        {3, 2, 7, {1, 1, 0, 0}},
        {1, 1, 7, {2, 0, 0, 0}},
        {15, 4, 17, {1, 1, 1, 1}},
        {1, 1, 200, {18, 0, 0, 0}},
        {15, 4, 200, {6, 6, 6, 6}},
        {12, 2, 255, {0, 0, 11, 11}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " length " + std::to_string(c.length));
        rec().Clear();
        EXPECT_TRUE(Decode(c.mode, c.fields, c.length));
        EXPECT_EQ(Counts(), c.calls);
    }
}

TEST_F(DecodeTest, ModesWithoutRecordsDecodeNothing) {
    for (int mode : {0, 6, 7, 9, 11, 13, 14, 16, 128, 255}) {
        SCOPED_TRACE(mode);
        EXPECT_FALSE(Decode(static_cast<uint8_t>(mode), 4, 54));
        EXPECT_EQ(Counts(), (std::vector<size_t>{0, 0, 0, 0}));
    }
}

TEST_F(DecodeTest, MergedModesJoinRunsOfEqualValuesWithinAPacket) {
    const std::vector<uint8_t> p = SamplingPacket(1, 9, 0, Runs({{100, 5}, {100, 7}, {101, 1}}));
    CSampling::DoSamplingPD(0, SamplingRecorder::Data(0), p.data() + 8, 9, map_);
    EXPECT_EQ(rec().Calls(0), (std::vector<Call>{{100, 12}, {101, 1}}));

    // Length 0 still delivers the first record.
    rec().Clear();
    const std::vector<uint8_t> q = SamplingPacket(8, 0, 0, Runs({{300, 4}, {300, 4}}));
    CSampling::DoSamplingSwitch(SamplingRecorder::Data(3), q.data() + 8, 0, map_);
    EXPECT_EQ(rec().Calls(3), (std::vector<Call>{{300, 4}}));

    // Counts add up beyond one byte: 18 records of 255.
    rec().Clear();
    const std::vector<uint8_t> r =
        SamplingPacket(2, 54, 0, Runs(std::vector<std::pair<uint16_t, uint8_t>>(18, {7, 255})));
    CSampling::DoSamplingPD(1, SamplingRecorder::Data(1), r.data() + 8, 54, map_);
    EXPECT_EQ(rec().Calls(1), (std::vector<Call>{{7, 18 * 255}}));
}

TEST_F(DecodeTest, NullCallbacksSkipOnlyTheirInputs) {
    Targets onlySw2 = {{nullptr, nullptr, nullptr, SamplingRecorder::Data(3)}};
    EXPECT_TRUE(Decode(15, 4, 54, onlySw2));
    EXPECT_EQ(Counts(), (std::vector<size_t>{0, 0, 0, 6}));
    EXPECT_EQ(rec().Calls(3).front(), (Call{3, 1}));

    rec().Clear();
    Targets none = {{nullptr, nullptr, nullptr, nullptr}};
    for (uint8_t mode : {1, 2, 3, 4, 5, 8, 10, 12, 15}) {
        EXPECT_TRUE(Decode(mode, 4, 54, none));
    }
    EXPECT_EQ(Counts(), (std::vector<size_t>{0, 0, 0, 0}));
}

TEST_F(DecodeTest, PhotodiodeAndSwitchValuesOfModes5And10UseTheirChannel) {
    map_.hasTable[0] = map_.hasTable[1] = true;
    for (int i = 0; i < kSamplingTableEntries; ++i) {
        map_.table[0][i] = i + 1000;
        map_.table[1][i] = i + 2000;
    }
    const std::vector<uint8_t> p = SamplingPacket(10, 5, 0, {0x00, 0x05, 0x00, 0x09, 3});
    CSampling::DoSamplingPDSwitch(1, SamplingRecorder::Data(1), SamplingRecorder::Data(3), p.data() + 8, 5, map_);
    EXPECT_EQ(rec().Calls(1), (std::vector<Call>{{2005, 3}}));
    EXPECT_EQ(rec().Calls(3), (std::vector<Call>{{9, 3}}));
}

TEST(SamplingMapping, TableRatioAndInversion) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        bool fpga, table;
        float ratio;
        int raw, expected;
    };
    // With a table, entry 500 holds 700 and entry 1023 holds 555.
    const Case pd[] = {
        {"ratio 2.0 saturates", true, true, 2.0f, 500, 1023},
        {"ratio 0.5", true, true, 0.5f, 500, 350},
        {"NaN ratio counts as 1.0", true, true, nan, 500, 700},
        {"negative product gives 0", true, true, -1.0f, 500, 0},
        {"infinite ratio saturates", true, true, inf, 500, 1023},
        {"plain model ignores the ratio", false, true, 2.0f, 500, 700},
        {"raw above 1023 takes the last entry", false, true, 1.0f, 2000, 555},
        {"no table: min(raw, 1023)", false, false, 1.0f, 2000, 1023},
        {"no table, small raw", false, false, 1.0f, 5, 5},
        {"no table on an FPGA model", true, false, 2.0f, 5, 10},
    };
    for (const Case& c : pd) {
        SCOPED_TRACE(c.name);
        SamplingMap map;
        map.fpga = c.fpga;
        map.hasTable[0] = c.table;
        map.ratio[0] = c.ratio;
        for (int i = 0; i < kSamplingTableEntries; ++i) {
            map.table[0][i] = i;
        }
        map.table[0][500] = 700;
        map.table[0][1023] = 555;
        EXPECT_EQ(CSampling::GetSamplingPDData(0, c.raw, map), c.expected);
    }
    SamplingMap plain, fpga;
    fpga.fpga = true;
    EXPECT_EQ(CSampling::GetSamplingSwitchData(0, 1000, fpga), 23);
    EXPECT_EQ(CSampling::GetSamplingSwitchData(0, 1000, plain), 1000);
    EXPECT_EQ(CSampling::GetSamplingSwitchData(1, 0xFFFF, fpga), 0);  // limited before the inversion
    EXPECT_EQ(CSampling::GetSamplingSwitchData(1, 0xFFFF, plain), 0xFFFF);
    // Channel 1 uses ratio row 1.
    fpga.ratio[1] = 0.5f;
    EXPECT_EQ(CSampling::GetSamplingPDData(1, 600, fpga), 300);
}

TEST(SamplingMapping, SnapshotHasNoTableForAModuleWithoutOne) {
    AllocatePPGPDSamplingTables();
    g_nCurrentSelectPPGModule.store(1);
    SamplingMap map;
    TakeSamplingMap(&map);
    EXPECT_TRUE(map.hasTable[0] && map.hasTable[1]);
    EXPECT_EQ(map.table[1][321], 321);
    g_nCurrentSelectPPGModule.store(7);
    TakeSamplingMap(&map);
    EXPECT_FALSE(map.hasTable[0] || map.hasTable[1]);
    g_nCurrentSelectPPGModule.store(0);
    ReleasePPGPDSamplingTables();
    TakeSamplingMap(&map);
    EXPECT_FALSE(map.hasTable[0] || map.hasTable[1]);
    EXPECT_EQ(CSampling::GetSamplingPDData(0, 77, map), 77);
    ResetPostConnectionState();
    ResetLedApiState();
}

class PacketStepTest : public DecodeTest {
protected:
    SamplingStep Step(uint8_t mode, uint16_t seq) {
        const std::vector<uint8_t> p = SamplingPacket(mode, 3, seq, Runs({{42, 1}}));
        return CSampling::ProcessPacket(p.data(), targets_, &sequence_, map_);
    }
    SamplingTargets targets_;
    SamplingSequence sequence_;
};

TEST_F(PacketStepTest, SkipCountAppliesAgainAfterTheNumberWraps) {
    targets_.data[0] = SamplingRecorder::Data(0);
    targets_.skip = 5;
    std::vector<uint16_t> delivered;
    for (uint32_t n = 0; n < 65536 + 8; ++n) {
        const uint16_t seq = static_cast<uint16_t>(n);
        const size_t before = rec().CallCount(0);
        ASSERT_EQ(Step(1, seq), SamplingStep::Continue);
        if (rec().CallCount(0) != before && (seq < 8 || seq > 65533)) {
            delivered.push_back(seq);
        }
    }
    EXPECT_EQ(delivered, (std::vector<uint16_t>{5, 6, 7, 65534, 65535, 5, 6, 7}));
    EXPECT_EQ(rec().CallCount(0), (65536u - 5) + 3);
}

TEST_F(PacketStepTest, AGapIsToldOnceAndItsNumberBecomesTheExpectedOne) {
    targets_.error = SamplingRecorder::Error;
    EXPECT_EQ(Step(1, 7), SamplingStep::Continue);
    EXPECT_EQ(Step(1, 8), SamplingStep::Continue);
    EXPECT_EQ(rec().Errors(), (std::vector<int>{18}));
    // Each mode keeps its own number: mode 2 starts at 0.
    EXPECT_EQ(Step(2, 0), SamplingStep::Continue);
    EXPECT_EQ(rec().Errors().size(), 1u);
    // Wrap: 65535 then 0 is no gap.
    Step(2, 65535);
    Step(2, 0);
    EXPECT_EQ(rec().Errors().size(), 2u);
    // Without an error callback nothing is checked.
    targets_.error = nullptr;
    Step(1, 500);
    EXPECT_EQ(rec().Errors().size(), 2u);
}

TEST_F(PacketStepTest, HeaderAndModeDecideHowTheThreadGoesOn) {
    targets_.data[0] = SamplingRecorder::Data(0);
    std::vector<uint8_t> p = SamplingPacket(1, 3, 0, Runs({{1, 1}}));
    p[3] = 0x00;
    EXPECT_EQ(CSampling::ProcessPacket(p.data(), targets_, &sequence_, map_), SamplingStep::BadHeader);
    p[3] = 0xFF;
    p[0] = 0xAE;
    EXPECT_EQ(CSampling::ProcessPacket(p.data(), targets_, &sequence_, map_), SamplingStep::BadHeader);
    EXPECT_EQ(rec().CallCount(0), 0u);
    EXPECT_EQ(Step(9, 0), SamplingStep::EndMode);
    EXPECT_EQ(Step(0, 0), SamplingStep::EndMode);
    // A skipped packet is not decoded, so its mode does not end the thread.
    targets_.skip = 10;
    EXPECT_EQ(Step(9, 3), SamplingStep::Continue);
}

TEST(SamplingMask, IsModeEnabledWantsEveryBit) {
    EXPECT_TRUE(CSampling::IsModeEnabled(15, 9));
    EXPECT_FALSE(CSampling::IsModeEnabled(1, 9));
    EXPECT_TRUE(CSampling::IsModeEnabled(0, 0));
}

}  // namespace
