// Runs without an instrument: the simulation thread paces the stream, the reporter feeds
// the callbacks, the stop ends and joins everything.
#include <atomic>
#include <cmath>
#include <thread>

#include "PlayRunFixture.h"
#include "Watchdog.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlayRaw.h"
#include "playback/PlayThreads.h"

using namespace playtest;

namespace {

constexpr unsigned kLong = 10000;  // ms: generous deadlines for conditions

uint64_t CurrentUnderLock() {
    CAutoCriticalSection lock(g_InterruptCriticalSection);
    return g_nCurrent.load();
}

TEST_F(PlayRunTest, SimulationAdvances200SamplesPerTickAt10kHz) {
    Source ecg(10000, 10000.0, Cb<0>);
    int started = 0;
    Locked([&] { started = PlayRawECG(ecg.record); });
    ASSERT_EQ(started, 1);
    uint64_t seen = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            seen = CurrentUnderLock();
            EXPECT_EQ(seen % 200, 0u) << seen;  // a tick is served whole under the lock
            return seen >= 2000;
        },
        kLong));
    ASSERT_TRUE(g_recorder.WaitForSamples(0, 1000, kLong));
    const std::vector<Call> calls = g_recorder.Calls(0);
    for (size_t i = 0; i < 1000; ++i) {
        ASSERT_DOUBLE_EQ(calls[i].t, i / 10000.0);
        ASSERT_NEAR(calls[i].ac, static_cast<double>(i), 1.0) << i;  // i x 1 uV, truncated
    }
}

// The simulation's ticks are its own: it marks no process-wide timer event, so no other
// waiter can take them.
TEST_F(PlayRunTest, SimulationTicksOnATimerOfItsOwn) {
    g_hSigTimer1Event.ResetEvent();
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    std::thread thief([&] {
        while (!done.load()) {
            if (g_hSigTimer1Event.WaitTimeout(5) == 0)
                taken.fetch_add(1);
        }
    });
    Source ecg(10000, 10000.0, Cb<0>);
    int started = 0;
    Locked([&] { started = PlayRawECG(ecg.record); });
    ASSERT_EQ(started, 1);
    EXPECT_TRUE(WaitFor([] { return CurrentUnderLock() >= 4000; }, kLong));  // 20 ticks
    Stop();
    done = true;
    thief.join();
    EXPECT_EQ(taken.load(), 0);
}

TEST_F(PlayRunTest, NonLoopingPPGChannel3RunEndsByItselfAndStaysRunningUntilTheStop) {
    // 100 samples at 1000 per second: a cycle of 1000 output samples, in mode 16.
    Source ppg(100, 1000.0, Cb<3>, 0.0, 0.01, 500.0);
    PlayRawEnableLoop(false);
    int started = 0;
    Locked([&] { started = PlayRawPPG(PPG_CHANNEL_3, ppg.record); });
    ASSERT_EQ(started, 1);
    EXPECT_EQ(g_nOperatorMode.load(), 16);
    ASSERT_TRUE(g_recorder.WaitForMarker(3, kLong));
    EXPECT_EQ(g_recorder.Samples(3), 1000u);  // the tail is reported whole
    EXPECT_EQ(g_recorder.Markers(3), 1u);
    EXPECT_DOUBLE_EQ(g_recorder.Calls(3).back().t, 1001 / 10000.0);
    EXPECT_EQ(PlayRawIsRunning(), 1);
    Stop();
    EXPECT_EQ(PlayRawIsRunning(), 0);
    EXPECT_EQ(g_recorder.Markers(3), 1u);
}

TEST_F(PlayRunTest, At40kHzEveryFourthSampleIsReportedToTheEndOfTheStream) {
    // 400 samples at 1000 per second played at 40000: 16000 output samples, 4000 reported.
    Source ecg(400, 1000.0, Cb<0>, 0.0, 0.01);
    ECG_WAVEFORM w = {};
    PlayRawEnableLoop(false);
    int started = 0;
    Locked([&] { started = PlayRawECGEx(ecg.record, w); });
    ASSERT_EQ(started, 1);
    EXPECT_EQ(g_nSampleRate.load(), 40000);
    ASSERT_TRUE(g_recorder.WaitForMarker(0, kLong));
    const std::vector<Call> calls = g_recorder.Calls(0);
    ASSERT_EQ(calls.size(), 4001u);
    for (size_t i = 0; i < 4000; ++i) {
        ASSERT_NEAR(calls[i].t, i * 0.0001, 1e-12) << i;
    }
    EXPECT_TRUE(calls.back().Marker());
}

struct ReportCase {
    const char* name;
    int mode;
    bool reported[4];  // ECG, PPG 1..3
};

class ReportedChannels : public PlayRunTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(ReportedChannels, FollowTheOperatorMode) {
    const ReportCase& c = GetParam();
    Source ecg(1000, 10000.0, Cb<0>, 1.0);
    Source p1(1000, 10000.0, Cb<1>, 1.0, 0.001, 100.0);
    Source p2(1000, 10000.0, Cb<2>, 1.0, 0.001, 100.0);
    Source p3(1000, 10000.0, Cb<3>, 1.0, 0.001, 100.0);
    int started = 0;
    Locked([&] {
        if (c.mode == 14) {
            PLAY_RAW_DATA* ppg[3] = {&p1.record, &p2.record, &p3.record};
            started = PlayRawPPGEx(ppg);
        } else if (c.mode == 15) {
            PLAY_RAW_DATA* ppg[3] = {&p1.record, &p2.record, &p3.record};
            started = PlayRawECGAndPPGEx(&ecg.record, ppg);
        } else if (c.mode == 17) {
            ECG_WAVEFORM w = {};
            w.nRespirationMode = 0xF0;
            started = PlayRawECGEx(ecg.record, w);
        } else {
            started = PlayRawECGAndPPG(ecg.record, PPG_CHANNEL_2, p2.record);
        }
    });
    ASSERT_EQ(started, 1);
    EXPECT_EQ(g_nOperatorMode.load(), c.mode);
    for (int slot = 0; slot < 4; ++slot) {
        if (c.reported[slot]) {
            ASSERT_TRUE(g_recorder.WaitForSamples(slot, 200, kLong)) << slot;
        }
    }
    Stop();
    for (int slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(g_recorder.Samples(slot) > 0, c.reported[slot]) << slot;
        EXPECT_EQ(g_recorder.Markers(slot), c.reported[slot] ? 1u : 0u) << slot;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ReportedChannels,
                         ::testing::Values(ReportCase{"PPG123", 14, {false, true, true, true}},
                                           ReportCase{"All", 15, {true, true, true, true}},
                                           ReportCase{"ECGWithRespiration", 17, {true, false, false, false}},
                                           ReportCase{"ECGAndPPG2", 5, {true, false, true, false}}),
                         [](const ::testing::TestParamInfo<ReportCase>& i) { return std::string(i.param.name); });

// The reporter is held inside a callback while the producer runs on; a stop then ends the
// run without reporting what the reporter had not reached.
TEST_F(PlayRunTest, ForceStopGivesEndMarkersWithoutDrain) {
    Source ecg(10000, 10000.0, Cb<0>);
    std::atomic<bool> hold{true};
    g_recorder.SetGate([&](int) {
        while (hold.load()) {
            std::this_thread::yield();
        }
    });
    int started = 0;
    Locked([&] { started = PlayRawECG(ecg.record); });
    ASSERT_EQ(started, 1);
    ASSERT_TRUE(WaitFor([] { return g_nCurrent.load() >= 4000; }, kLong));
    std::thread stopper([] { Stop(); });
    ASSERT_TRUE(WaitFor([] { return g_hForceStopPlayEvent.WaitTimeout(0) == 0; }, kLong));
    hold.store(false);
    stopper.join();
    // One step at the most (20 ms of stream) was reported, then the marker.
    EXPECT_LE(g_recorder.Samples(0), 200u);
    EXPECT_EQ(g_recorder.Markers(0), 1u);
    EXPECT_TRUE(g_recorder.Calls(0).back().Marker());
}

// The rate factor makes the producer wait for the reporter at each cycle end; with the
// reporter held in a callback, a stop must still end the run.
TEST_F(PlayRunTest, StopDuringTheWaitForTheReporterEndsTheRun) {
    // A cycle of 1000 samples: the producer waits at index 1000, further than one
    // reporting step gets the held reporter once it is let go.
    Source ecg(1000, 10000.0, Cb<0>);
    Source factor(100, 10000.0, nullptr, 0.0, 0.0);
    std::atomic<bool> hold{true};
    g_recorder.SetGate([&](int) {
        while (hold.load()) {
            std::this_thread::yield();
        }
    });
    int started = 0;
    Locked([&] {
        PlayRawAppendScaledECG(factor.record, 2);
        g_nRespirationMode.store(0x04);
        started = PlayRawECG(ecg.record);
    });
    ASSERT_EQ(started, 1);
    ASSERT_TRUE(WaitFor([] { return g_nCurrent.load() >= 1000; }, kLong));
    std::thread stopper([] { Stop(); });
    ASSERT_TRUE(WaitFor([] { return g_hForceStopPlayEvent.WaitTimeout(0) == 0; }, kLong));
    hold.store(false);
    RunWithWatchdog([&] { stopper.join(); }, 30, "stop during the catch-up wait");
    EXPECT_EQ(PlayRawIsRunning(), 0);
    EXPECT_EQ(g_recorder.Markers(0), 1u);
}

// The send function on its own (no port, so nothing is written and it answers 0).
TEST_F(PlayRunTest, SendPacketBuildsAtMostFiftyAndNeverNumbersAnEmptyPacket) {
    Source looping(10000, 10000.0, nullptr);
    ASSERT_EQ(LoadRawECG(looping.record), 1);
    ASSERT_EQ(UpdateOperatorMode(1, 0, 0, 0, 10000), 1);
    g_bPlayLoop = 1;
    int seq = 65490;
    int more = 1;
    EXPECT_EQ(SendPacket(seq, 80, more), 0);
    EXPECT_EQ(seq, 40);  // 50 packets, across the wrap at 65500
    EXPECT_EQ(more, 1);
    EXPECT_EQ(g_nCurrent.load(), 50u * 14);

    // A cycle of 15 samples: one full packet, then one whose only sample ends the cycle.
    ResetPlaybackState();
    g_hStopPlayEvent.ResetEvent();
    Source ending(15, 10000.0, nullptr);
    ASSERT_EQ(LoadRawECG(ending.record), 1);
    ASSERT_EQ(UpdateOperatorMode(1, 0, 0, 0, 10000), 1);
    g_bPlayLoop = 0;
    seq = 7;
    EXPECT_EQ(SendPacket(seq, 50, more), 0);
    EXPECT_EQ(seq, 8);
    EXPECT_EQ(more, 0);
    EXPECT_EQ(g_hStopPlayEvent.WaitTimeout(0), 0u);
    g_hStopPlayEvent.ResetEvent();
}

struct BadStart {
    const char* name;
    std::function<int(Source&, Source&)> start;
};

void PrintTo(const BadStart& b, std::ostream* os) { *os << b.name; }
void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class RefusedStarts : public PlayRunTest, public ::testing::WithParamInterface<BadStart> {};

// A refused start answers 0 and leaves the current run alone.
TEST_P(RefusedStarts, LeaveTheRunningRunAlone) {
    Source running(10000, 10000.0, Cb<0>);
    int started = 0;
    Locked([&] { started = PlayRawECG(running.record); });
    ASSERT_EQ(started, 1);
    const THREAD_HANDLE before = g_hPlayThread.load();
    Source a(100, 1000.0, nullptr);
    Source b(100, 1000.0, nullptr);
    int result = -1;
    Locked([&] { result = GetParam().start(a, b); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(g_hPlayThread.load(), before);
    EXPECT_EQ(g_nOperatorMode.load(), 1);
    const size_t samples = g_recorder.Samples(0);
    ASSERT_TRUE(g_recorder.WaitForSamples(0, samples + 200, kLong));  // still playing
}

const double kNaN = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    BadInput, RefusedStarts,
    ::testing::Values(
        BadStart{"NullAC",
                 [](Source& a, Source&) {
                     a.record.pACData = nullptr;
                     return PlayRawECG(a.record);
                 }},
        BadStart{"NullDC",
                 [](Source& a, Source&) {
                     a.record.pDCData = nullptr;
                     return PlayRawPPG(PPG_CHANNEL_1, a.record);
                 }},
        BadStart{"CountZero",
                 [](Source& a, Source&) {
                     a.record.nSampleCount = 0;
                     return PlayRawECG(a.record);
                 }},
        BadStart{"CountNegative",
                 [](Source& a, Source&) {
                     a.record.nSampleCount = -5;
                     return PlayRawECG(a.record);
                 }},
        BadStart{"RateNaN",
                 [](Source& a, Source&) {
                     a.record.fSampleRate = kNaN;
                     return PlayRawECG(a.record);
                 }},
        BadStart{"RateInfinite",
                 [](Source& a, Source&) {
                     a.record.fSampleRate = HUGE_VAL;
                     return PlayRawECG(a.record);
                 }},
        BadStart{"RateNegative",
                 [](Source& a, Source&) {
                     a.record.fSampleRate = -1000.0;
                     return PlayRawECG(a.record);
                 }},
        BadStart{"CycleUnderOneSample",
                 [](Source& a, Source&) {
                     a.record.fSampleRate = 1e9;
                     return PlayRawECG(a.record);
                 }},
        BadStart{"ECGAndPPGChannel3",
                 [](Source& a, Source& b) { return PlayRawECGAndPPG(a.record, PPG_CHANNEL_3, b.record); }},
        BadStart{"PPGChannel0", [](Source& a, Source&) { return PlayRawPPG(static_cast<PPGChannel>(0), a.record); }},
        BadStart{"PPGChannel4", [](Source& a, Source&) { return PlayRawPPG(static_cast<PPGChannel>(4), a.record); }},
        BadStart{"ScanChannel4",
                 [](Source&, Source&) {
                     FREQUENCY_SCAN2 s = {};
                     return PlayRawFrequencyScanPPG(static_cast<PPGChannel>(4), &s, nullptr);
                 }},
        BadStart{"NullECGPointer",
                 [](Source&, Source& b) {
                     PLAY_RAW_DATA* p[3] = {&b.record, nullptr, nullptr};
                     return PlayRawECGAndPPGEx(nullptr, p);
                 }},
        BadStart{"NullPPGArray", [](Source& a, Source&) { return PlayRawECGAndPPGEx(&a.record, nullptr); }},
        BadStart{"AllPPGEntriesNull",
                 [](Source&, Source&) {
                     PLAY_RAW_DATA* p[3] = {nullptr, nullptr, nullptr};
                     return PlayRawPPGEx(p);
                 }},
        BadStart{"OneBadPPGEntry",
                 [](Source& a, Source& b) {
                     b.record.nSampleCount = 0;
                     PLAY_RAW_DATA* p[3] = {&a.record, &b.record, nullptr};
                     return PlayRawPPGEx(p);
                 }}),
    [](const ::testing::TestParamInfo<BadStart>& i) { return std::string(i.param.name); });

TEST_F(PlayRunTest, OperatorModeWithoutARateStoresNothing) {
    ASSERT_EQ(UpdateOperatorMode(3, 1, 2, 3, 10000), 1);  // no instrument: stored only
    EXPECT_EQ(UpdateOperatorMode(5, 0, 0, 0, 0), 0);
    EXPECT_EQ(UpdateOperatorMode(5, 0, 0, 0, -10000), 0);
    EXPECT_EQ(g_nOperatorMode.load(), 3);
    EXPECT_EQ(g_nSampleRate.load(), 10000);
    EXPECT_EQ(g_nPPGChSyncPulse[2], 3);
}

TEST_F(PlayRunTest, ValidationKeepsItsOwnRules) {
    Source a(10, 1000.0, nullptr);
    a.record.fSampleRate = kNaN;
    EXPECT_EQ(ValidateRawDataSetting(a.record), 1);
    a.record.nSampleCount = -1;
    EXPECT_EQ(ValidateRawDataSetting(a.record), 1);
    a.record.fSampleRate = 0.0;
    EXPECT_EQ(ValidateRawDataSetting(a.record), 0);
}

}  // namespace
