// The photodiode sampling against the emulated instrument: start requests, delivery,
// skip and gap reports, the exit, restarts, stops from every side, and faults.
#include <climits>
#include <cstdint>

#include "SamplingFixture.h"
#include "api/Connection.h"
#include "platform/Device.h"
#include "platform/StaticObjects.h"
#include "sampling/Sampling.h"
#include "sampling/SamplingState.h"

namespace {

using nvsemu::Profile;
using nvsemu::SampleSource;
using nvsemu::StreamFaults;

const Bytes kStop = {0xAD, 0xFF, 0x00, 0x00, 0x00, 0x00};

void EnableKinds(unsigned kinds) {
    for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(
            ORVEnableSampling(static_cast<PPGSampling>(k), (kinds >> k) & 1 ? SamplingRecorder::Data(k) : nullptr));
    }
}

bool Idle() { return !CSampling::IsRunning(); }

TEST_F(SamplingTest, EnableRefusesKindsOutsideTheTable) {
    for (int kind : {-1, 4, INT_MIN, INT_MAX}) {
        EXPECT_FALSE(ORVEnableSampling(static_cast<PPGSampling>(kind), SamplingRecorder::Data(0)));
    }
    for (PFN_SAMPLING_CALLBACK cb : g_SamplingDataCallback) {
        EXPECT_EQ(cb, nullptr);
    }
    EXPECT_TRUE(ORVEnableSampling(PPG_SAMPLING_SW2, nullptr));
}

TEST_F(SamplingTest, WithoutAnInstrumentNothingStarts) {
    EnableKinds(0x1);
    const int threads = ThreadCount();
    for (int skip : {0, -5, INT_MAX}) {
        EXPECT_FALSE(ORVStartSamplingEx(skip, SamplingRecorder::Error));
    }
    EXPECT_FALSE(ORVStartSampling(nullptr));
    EXPECT_TRUE(Idle());
    ExpectThreadCountBackTo(threads);
    ORVDisableSampling();  // idle: at once
}

TEST_F(SamplingTest, StartOnOlderHardwarePreparesTheControlBlockAndTheExitRestoresIt) {
    PlugAndConnect(Profile::WithPpgYB2001());  // main hardware 1
    const uint8_t before = Fw().ControlBlock()[0];
    EnableKinds(0x1);
    ASSERT_TRUE(ORVStartSampling(nullptr));
    EXPECT_EQ(Fw().ControlBlock()[0], before | 0x02);  // PD1 input switched on
    EXPECT_EQ(Fw().CalibrationSetting(6), 0x10);
    EXPECT_EQ(Fw().StreamMask(), 0x01);
    ASSERT_EQ(SentWith({0xAD, 0xFF, 0x00, 0x00, 0x01, 0x00}).size(), 1u);
    ASSERT_TRUE(WaitUntil([] { return Rec().Samples(0) >= 40; }, 5000));

    ORVDisableSampling();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(SentWith(kStop).size(), 1u);
    EXPECT_FALSE(Fw().StreamOn());
    EXPECT_EQ(Fw().ControlBlock()[0], before);  // the block as it was before the start
    for (PFN_SAMPLING_CALLBACK cb : g_SamplingDataCallback) {
        EXPECT_EQ(cb, nullptr);
    }
    EXPECT_NE(g_hSamplingEvent.WaitTimeout(0), 0u);
}

TEST_F(SamplingTest, HardwareFiveSendsNoControlBlock) {
    PlugAndConnect(Hardware5());
    EnableKinds(0x4);
    ASSERT_TRUE(ORVStartSampling(nullptr));
    ORVDisableSampling();
    EXPECT_TRUE(SentWith({0xEA, 0x00}).empty());
    EXPECT_TRUE(SentWith({0xEA, 0xFF}).empty());
    EXPECT_EQ(SentWith({0xAD, 0xFF, 0x00, 0x00, 0x04, 0x00}).size(), 1u);
}

TEST_F(SamplingTest, CallbackSetsChooseTheInputSettingAndTheMask) {
    PlugAndConnect(Hardware5());
    struct Case {
        unsigned kinds;  // bit k: kind k set
        uint16_t setting;
        uint8_t mask;
    } cases[] = {
        {0x1, 0x10, 1},  {0x2, 0x20, 2},  {0x3, 0x30, 3},  {0x4, 0x10, 4},  {0x5, 0x10, 5},  {0x8, 0x20, 8},
        {0xA, 0x20, 10}, {0xC, 0x30, 12}, {0x9, 0x30, 15}, {0x6, 0x30, 15}, {0xF, 0x30, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kinds);
        ClearSent();
        EnableKinds(c.kinds);
        ASSERT_TRUE(ORVStartSampling(nullptr));
        EXPECT_EQ(Fw().CalibrationSetting(6), c.setting);
        EXPECT_EQ(SentWith({0xAD, 0xFF, 0x00, 0x00, c.mask, 0x00}).size(), 1u);
        ORVDisableSampling();
    }
    // No callback: mask 0, and the start still succeeds.
    ClearSent();
    EnableKinds(0);
    EXPECT_TRUE(ORVStartSampling(nullptr));
    EXPECT_EQ(SentWith(kStop).size(), 1u);
    ORVDisableSampling();
}

TEST_F(SamplingTest, MaskFifteenDeliversOnlyTheInputsThatWereSet) {
    PlugAndConnect(Hardware5());
    Fw().SetSampleSource(3, SampleSource::Constant(77));
    EnableKinds(0x9);  // PD1 and SW2
    ASSERT_TRUE(ORVStartSampling(SamplingRecorder::Error));
    ASSERT_TRUE(WaitUntil([] { return Rec().Samples(3) >= 100 && Rec().Samples(0) >= 100; }, 5000));
    ORVDisableSampling();
    EXPECT_EQ(Rec().CallCount(1), 0u);
    EXPECT_EQ(Rec().CallCount(2), 0u);
    for (const Call& c : Rec().Calls(3)) {
        ASSERT_EQ(c.first, 77);  // a switch value of a plain model arrives as sent
    }
    EXPECT_TRUE(Rec().Errors().empty());  // a clean stream has no gap
}

TEST_F(SamplingTest, SkipCountDropsTheFirstNumbersAgainAfterTheWrap) {
    PlugAndConnect(Hardware5());
    std::vector<uint16_t> script(400);
    for (size_t i = 0; i < script.size(); ++i) {
        script[i] = static_cast<uint16_t>(i);  // every sample its own record: 18 a packet
    }
    Fw().SetSampleSource(2, SampleSource::Script(script));
    Fw().SetStreamFirstNumber(65533);
    EnableKinds(0x4);
    ASSERT_TRUE(ORVStartSamplingEx(5, nullptr));
    ASSERT_TRUE(WaitUntil(
        [] {
            const auto calls = Rec().Calls(2);
            return !calls.empty() && calls.back().first >= 200;
        },
        5000));
    ORVDisableSampling();
    // Packets 65533..65535 carry samples 0..53; those numbered 0..4 (samples 54..143)
    // are dropped; number 5 on is delivered.
    std::vector<int> values;
    for (const Call& c : Rec().Calls(2)) {
        values.push_back(c.first);
    }
    ASSERT_GE(values.size(), 60u);
    for (int v = 0; v < 54; ++v) {
        EXPECT_EQ(values[static_cast<size_t>(v)], v);
    }
    EXPECT_EQ(values[54], 144);
}

TEST_F(SamplingTest, AFirstPacketNumberedSevenIsOneGap) {
    PlugAndConnect(Hardware5());
    Fw().SetStreamFirstNumber(7);
    EnableKinds(0x1);
    ASSERT_TRUE(ORVStartSampling(SamplingRecorder::Error));
    ASSERT_TRUE(WaitUntil([this] { return Fw().StreamPackets() >= 5 && Rec().CallCount(0) >= 5; }, 5000));
    ORVDisableSampling();
    EXPECT_EQ(Rec().Errors(), (std::vector<int>{18}));
}

TEST_F(SamplingTest, AGapInTheStreamIsToldAndSamplingGoesOn) {
    PlugAndConnect(Hardware5());
    StreamFaults f;
    f.gapAt = 2;
    Fw().SetStreamFaults(f);
    EnableKinds(0x1);
    ASSERT_TRUE(ORVStartSampling(SamplingRecorder::Error));
    ASSERT_TRUE(WaitUntil([] { return Rec().CallCount(0) >= 6; }, 5000));
    EXPECT_TRUE(CSampling::IsRunning());
    ORVDisableSampling();
    EXPECT_EQ(Rec().Errors(), (std::vector<int>{18}));
}

TEST_F(SamplingTest, ARestartAtOnceKeepsDelivering) {
    PlugAndConnect(Hardware5());
    EnableKinds(0x1);
    ASSERT_TRUE(ORVStartSampling(nullptr));
    EnableKinds(0x1);  // the restart's disable ends the first thread, whose exit clears them
    ASSERT_TRUE(ORVStartSampling(nullptr));
    EnableKinds(0x1);
    ASSERT_TRUE(ORVStartSampling(nullptr));
    const size_t before = Rec().CallCount(0);
    ASSERT_TRUE(WaitUntil([&] { return Rec().CallCount(0) >= before + 5; }, 5000));
    EXPECT_TRUE(CSampling::IsRunning());
    EXPECT_TRUE(Fw().StreamOn());
    EXPECT_EQ(g_SamplingDataCallback[0], SamplingRecorder::Data(0));
}

TEST_F(SamplingTest, NoCallbackAfterDisableReturns) {
    PlugAndConnect(Hardware5());
    EnableKinds(0x3);
    ASSERT_TRUE(ORVStartSampling(nullptr));
    ASSERT_TRUE(WaitUntil([] { return Rec().CallCount(0) >= 3; }, 5000));
    ORVDisableSampling();
    const size_t calls = Rec().CallCount(0) + Rec().CallCount(1);
    EXPECT_TRUE(Idle());
    ORVGetVersion();  // exchanges after the stop
    MODEL_INFORMATION info;
    ORVGetDeviceInformation(&info);
    EXPECT_EQ(Rec().CallCount(0) + Rec().CallCount(1), calls);
    EXPECT_FALSE(Fw().StreamOn());
}

std::atomic<int> s_disableCalls{0};
void DisablingCallback(int, int) {
    ORVDisableSampling();
    s_disableCalls.fetch_add(1);
}

TEST_F(SamplingTest, DisableFromACallbackEndsTheSampling) {
    PlugAndConnect(Hardware5());
    s_disableCalls = 0;
    ASSERT_TRUE(ORVEnableSampling(PPG_SAMPLING_PD1, DisablingCallback));
    ASSERT_TRUE(ORVStartSampling(nullptr));
    ASSERT_TRUE(WaitUntil([] { return s_disableCalls.load() >= 1 && Idle(); }, 5000));
    ORVDisableSampling();  // joins the thread that ended by itself
    EXPECT_FALSE(Fw().StreamOn());
}

TEST_F(SamplingTest, UnplugMidStreamEndsTheThreadByItself) {
    PlugAndConnect(Hardware5());
    const int threads = ThreadCount();
    EnableKinds(0x1);
    ASSERT_TRUE(ORVStartSampling(nullptr));
    ASSERT_TRUE(WaitUntil([] { return Rec().CallCount(0) >= 3; }, 5000));
    emu_.Unplug();
    ASSERT_TRUE(WaitUntil(Idle, 5000));  // three failed reads end it by itself
    EXPECT_NE(g_hSamplingEvent.WaitTimeout(0), 0u);
    ORVDisableSampling();  // joins it
    ExpectThreadCountBackTo(threads);
}

TEST_F(SamplingTest, FreeMidStreamEndsTheSampling) {
    PlugAndConnect(Hardware5());
    EnableKinds(0x1);
    ASSERT_TRUE(ORVStartSampling(nullptr));
    ASSERT_TRUE(WaitUntil([] { return Rec().CallCount(0) >= 3; }, 5000));
    ORVFree();
    EXPECT_TRUE(Idle());
    // The stop request went out; the drain that follows it ends at a failed read too,
    // so on a loaded machine the free can return before the instrument has read it.
    EXPECT_TRUE(WaitUntil([this] { return !Fw().StreamOn(); }, 10000));
}

// A free while the sampling thread is held in a callback: the connection thread's
// teardown, which closes the port, must not run before the stream's stop has gone out.
std::atomic<int> s_holdCalls{0};
std::atomic<bool> s_hold{false};
void HoldingCallback(int, int) {
    s_holdCalls.fetch_add(1);
    if (!s_hold.exchange(false)) {
        return;
    }
    // Held until the port has closed, or for 2 s when nothing closes it meanwhile.
    WaitUntil([] { return DeviceIsConnected() == 0; }, 2000);
}

TEST_F(SamplingTest, FreeWhileACallbackRunsStopsTheStreamBeforeThePortCloses) {
    PlugAndConnect(Hardware5());
    s_holdCalls = 0;
    ASSERT_TRUE(ORVEnableSampling(PPG_SAMPLING_PD1, HoldingCallback));
    ASSERT_TRUE(ORVStartSampling(nullptr));
    ASSERT_TRUE(WaitUntil([] { return s_holdCalls.load() >= 3; }, 5000));
    const int before = s_holdCalls.load();
    s_hold = true;
    ASSERT_TRUE(WaitUntil([&] { return s_holdCalls.load() > before && !s_hold.load(); }, 5000));
    ORVFree();
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(WaitUntil([this] { return !Fw().StreamOn(); }, 10000)) << "the instrument streams on after the free";
}

TEST_F(SamplingTest, HundredStartStopCyclesKeepTheThreadCount) {
    PlugAndConnect(Hardware5());
    const int threads = ThreadCount();
    for (int i = 0; i < 100; ++i) {
        EnableKinds(0x1);
        ASSERT_TRUE(ORVStartSampling(nullptr)) << i;
        ORVDisableSampling();
    }
    EXPECT_TRUE(Idle());
    ExpectThreadCountBackTo(threads);
    EXPECT_FALSE(Fw().StreamOn());
}

TEST_F(SamplingTest, AStopNeverAnsweredStillEndsInBoundedTime) {
    PlugAndConnect(Hardware5());
    StreamFaults f;
    f.ignoreStop = true;
    Fw().SetStreamFaults(f);
    EnableKinds(0x1);
    ASSERT_TRUE(ORVStartSampling(nullptr));
    ASSERT_TRUE(WaitUntil([] { return Rec().CallCount(0) >= 2; }, 5000));
    const uint64_t t0 = GetMonotonicMs();
    ORVDisableSampling();
    const uint64_t took = GetMonotonicMs() - t0;
    EXPECT_TRUE(Idle());
    EXPECT_LT(took, 3000u);
    EXPECT_GE(took, 900u);  // the drain read the stream for its whole bound
}

TEST_F(SamplingTest, StreamFaultsEndTheThreadByItself) {
    PlugAndConnect(Hardware5());
    struct Case {
        const char* what;
        StreamFaults faults;
    };
    StreamFaults bad, mode, stall;
    bad.badStatusAt = 3;
    mode.forcedMode = 9;
    stall.stall = true;
    for (const Case& c : {Case{"status byte", bad}, Case{"mode outside the table", mode}, Case{"stall", stall}}) {
        SCOPED_TRACE(c.what);
        Fw().SetStreamFaults(c.faults);
        EnableKinds(0x1);
        ASSERT_TRUE(ORVStartSampling(nullptr));
        EXPECT_TRUE(WaitUntil(Idle, 5000));
        EXPECT_NE(g_hSamplingEvent.WaitTimeout(0), 0u);  // no stale run event
        ORVDisableSampling();
        Fw().SetStreamFaults(StreamFaults{});
    }
}

TEST_F(SamplingTest, AFailedStartRestoresTheBlockAndStopsTheStream) {
    PlugAndConnect(Profile::WithPpgYB2001());  // hardware 1: the block is prepared
    const uint8_t before = Fw().ControlBlock()[0];
    EnableKinds(0x1);
    Fw().RefuseRequests({0xCC, 0xFF, 0x06}, 1);
    EXPECT_FALSE(ORVStartSampling(nullptr));
    EXPECT_EQ(Fw().ControlBlock()[0], before);
    EXPECT_TRUE(Idle());

    ClearSent();
    Fw().ClearRefusals();
    // The instrument neither starts nor answers: the start fails after the mask went out.
    Fw().RefuseRequests({0xAD, 0xFF, 0x00, 0x00, 0x01}, 1);
    emu_.FaultOnHeader({0xAD, 0xFF, 0x00, 0x00, 0x01}, nvsemu::Fault::Drop());
    EXPECT_FALSE(ORVStartSampling(nullptr));
    EXPECT_EQ(SentWith(kStop).size(), 1u);  // the mask went out: the stream is stopped
    EXPECT_FALSE(Fw().StreamOn());
    EXPECT_EQ(Fw().ControlBlock()[0], before);
    EXPECT_TRUE(Idle());
}

}  // namespace
