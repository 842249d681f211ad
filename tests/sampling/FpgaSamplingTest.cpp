// The FPGA report poller against the emulated instrument, and the photodiode ratio
// table's exchange with the FPGA module's memory.
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

#include "SamplingFixture.h"
#include "api/PostConnection.h"
#include "platform/StaticObjects.h"
#include "sampling/Fpga.h"
#include "sampling/Sampling.h"
#include "sampling/SamplingState.h"

namespace {

using nvsemu::Profile;
using Report = std::array<uint8_t, 10>;

std::mutex s_mu;
std::vector<int> s_locations;
std::vector<FPGA_PD_REPORT> s_reports;

void OnLocation(int location) {
    std::lock_guard<std::mutex> lock(s_mu);
    s_locations.push_back(location);
}

void OnReport(void* report) {
    std::lock_guard<std::mutex> lock(s_mu);
    s_reports.push_back(*static_cast<FPGA_PD_REPORT*>(report));
}

size_t Locations() {
    std::lock_guard<std::mutex> lock(s_mu);
    return s_locations.size();
}

size_t Reports() {
    std::lock_guard<std::mutex> lock(s_mu);
    return s_reports.size();
}

bool Idle() { return !CSampling::IsRunning(); }

class FpgaTest : public SamplingTest {
protected:
    void SetUp() override {
        SamplingTest::SetUp();
        std::lock_guard<std::mutex> lock(s_mu);
        s_locations.clear();
        s_reports.clear();
    }
};

TEST_F(FpgaTest, DetectionHearsTheLocationOfEachMeanOfFivePolls) {
    PlugAndConnect(Profile::WithPpg2012Fpga());
    // Bits 5 and 4 in two of five polls, nothing else: group a alone, location -2.
    Report ab{}, none{};
    ab[0] = 0x30;
    Fw().SetFpgaReports({ab, ab, none, none, none});
    ASSERT_TRUE(ORVEnableDUTSignalDetection(true, OnLocation));
    EXPECT_TRUE(SentWith({0xB0, 0xFF, 0x01}).empty());  // nothing sent to start
    ASSERT_TRUE(WaitUntil([] { return Locations() >= 2; }, 5000));
    ORVDisableSampling();
    EXPECT_TRUE(Idle());
    std::lock_guard<std::mutex> lock(s_mu);
    EXPECT_EQ(s_locations[0], -2);
    EXPECT_EQ(s_locations[1], -2);
    EXPECT_GE(Fw().FpgaPolls(), 10u);
}

TEST_F(FpgaTest, FpgaSamplingHandsOverMeanReportsWithScaledLevels) {
    PlugAndConnect(Profile::WithPpg2012Fpga());
    Report r{};
    r[0] = 0x01;
    r[1] = 0xAB;
    r[2] = 0xCD;
    r[3] = 0xEF;
    Report q = r;
    q[0] = 0x00;
    Fw().SetFpgaReports({r, q, q, q, q});
    ASSERT_TRUE(ORVEnableFPGASampling(true, 1, OnReport));
    EXPECT_TRUE(Fw().SignalStrengthDetection());
    ASSERT_TRUE(WaitUntil([] { return Reports() >= 1; }, 5000));
    ORVDisableSampling();
    std::lock_guard<std::mutex> lock(s_mu);
    const FPGA_PD_REPORT& m = s_reports[0];
    EXPECT_DOUBLE_EQ(m.fSignal[5], 0.2);
    EXPECT_DOUBLE_EQ(m.fLevel1[0], 2748.0);
    EXPECT_DOUBLE_EQ(m.fLevel2[0], 3567.0);
    EXPECT_DOUBLE_EQ(m.fScaled1[0], static_cast<double>(g_FPGA_PDRatio[0][0]) * 2748.0);
    EXPECT_DOUBLE_EQ(m.fScaled2[0], static_cast<double>(g_FPGA_PDRatio[1][0]) * 3567.0);
}

void OnPd1(int, int) {}

// The poller's end clears its own callbacks only: the photodiode kinds enabled before it
// ran are still enabled after it.
TEST_F(FpgaTest, ThePollersEndLeavesThePhotodiodeKindsEnabled) {
    PlugAndConnect(Profile::WithPpg2012Fpga());
    ASSERT_TRUE(ORVEnableSampling(PPG_SAMPLING_PD1, OnPd1));
    ASSERT_TRUE(ORVEnableDUTSignalDetection(true, OnLocation));
    ASSERT_TRUE(WaitUntil([] { return Locations() >= 1; }, 5000));
    ORVDisableSampling();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(g_SamplingDataCallback[PPG_SAMPLING_PD1], OnPd1);
    EXPECT_EQ(g_DUTSignalDetectionCallback.load(), nullptr);
}

TEST_F(FpgaTest, RefusedStartsSendNothingAndStopWhatRuns) {
    PlugAndConnect(Profile::WithPpg2012Fpga());
    ASSERT_TRUE(ORVEnableDUTSignalDetection(true, OnLocation));
    EXPECT_TRUE(CSampling::IsRunning());
    EXPECT_FALSE(ORVEnableDUTSignalDetection(false, OnLocation));
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(ORVEnableDUTSignalDetection(true, nullptr));
    ClearSent();
    EXPECT_FALSE(ORVEnableFPGASampling(true, 1, nullptr));
    EXPECT_FALSE(ORVEnableFPGASampling(false, 1, OnReport));
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(SentWith({0xB0}).empty());
    // The instrument refuses the detection mode: false, no thread.
    Fw().RefuseRequests({0xB0, 0xFF, 0x01}, 1);
    EXPECT_FALSE(ORVEnableFPGASampling(true, 1, OnReport));
    EXPECT_TRUE(Idle());
}

TEST_F(FpgaTest, AMissingReplyTakesTheNormalExit) {
    PlugAndConnect(Profile::WithPpg2012Fpga());
    ASSERT_TRUE(ORVEnableDUTSignalDetection(true, OnLocation));
    ASSERT_TRUE(WaitUntil([this] { return Fw().FpgaPolls() >= 1; }, 5000));
    emu_.SetSilent(true);
    ASSERT_TRUE(WaitUntil(Idle, 5000));
    EXPECT_NE(g_hSamplingEvent.WaitTimeout(0), 0u);
    EXPECT_EQ(g_DUTSignalDetectionCallback.load(), nullptr);
    ORVDisableSampling();
}

TEST_F(FpgaTest, UnpluggedPollerStopsPromptly) {
    PlugAndConnect(Profile::WithPpg2012Fpga());
    ASSERT_TRUE(ORVEnableDUTSignalDetection(true, OnLocation));
    ASSERT_TRUE(WaitUntil([this] { return Fw().FpgaPolls() >= 1; }, 5000));
    emu_.Unplug();  // the port stays open on the host's side: writes fail, or replies stay away
    const uint64_t t0 = GetMonotonicMs();
    ORVDisableSampling();
    EXPECT_LT(GetMonotonicMs() - t0, 1500u);
    EXPECT_TRUE(Idle());
}

// Ratio rows of target 19 at 0x1480 + 32 x row, eight little-endian floats.
std::vector<uint8_t> RowBytes(const std::array<float, 8>& row) {
    std::vector<uint8_t> out;
    for (float f : row) {
        uint32_t bits;
        memcpy(&bits, &f, sizeof bits);
        for (int k = 0; k < 4; ++k) {
            out.push_back(static_cast<uint8_t>(bits >> (8 * k)));
        }
    }
    return out;
}

TEST_F(FpgaTest, RatiosFromTheModuleMemory) {
    PlugAndConnect(Profile::WithPpg2012Fpga());
    ASSERT_TRUE(Fw().SetMemory(19, 0x1480, RowBytes({0.0f, 2.5f, 1, 1, 1, 1, 1, 0.0f})));
    ASSERT_TRUE(Fw().SetMemory(19, 0x14A0, std::vector<uint8_t>(32, 0xFF)));  // erased
    ASSERT_TRUE(Fw().SetMemory(19, 0x14C0, RowBytes({3, 3, 3, 3, 3, 3, 3, 0.25f})));
    EXPECT_TRUE(FPGASyncFromEEPROM());
    EXPECT_EQ(g_FPGA_PDRatio[0][0], 1.0f);
    EXPECT_EQ(g_FPGA_PDRatio[0][1], 2.5f);
    EXPECT_EQ(g_FPGA_PDRatio[0][7], 1.0f);
    EXPECT_TRUE(std::isnan(g_FPGA_PDRatio[1][3]));
    EXPECT_EQ(g_FPGA_PDRatio[2][7], 0.25f);

    // A failed read of row 1 stops there: row 2 keeps what it had.
    g_FPGA_PDRatio[2][0] = 9.0f;
    Fw().RefuseRequests({0x12, 0x55, 0xAA, 0x00}, 1, 1);
    EXPECT_FALSE(FPGASyncFromEEPROM());
    EXPECT_EQ(g_FPGA_PDRatio[2][0], 9.0f);
    Fw().ClearRefusals();

    ClearSent();
    for (int channel : {0, 4, -1}) {
        EXPECT_FALSE(FPGASyncToEEPROM(static_cast<PPGChannel>(channel)));
    }
    EXPECT_TRUE(SentWith({0x12}).empty());
    for (int c = 0; c < 8; ++c) {
        g_FPGA_PDRatio[1][c] = 0.5f + static_cast<float>(c);
    }
    EXPECT_TRUE(FPGASyncToEEPROM(PPG_CHANNEL_2));
    EXPECT_EQ(Fw().MemoryAt(19, 0x14A0, 32), RowBytes({0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f}));
}

}  // namespace
