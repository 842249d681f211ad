// The output functions without an instrument: nothing is sent, the thread simulates
// all the same and only the callbacks are produced.
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "OutputFixture.h"
#include "output/LockedExchange.h"
#include "output/Output.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"

TEST_F(OutputWithoutInstrument, ECGSamplesComeInBurstsAndEndWithOneMarker) {
    ECG_WAVEFORM ecg = EcgSine();
    const uint64_t started = GetMonotonicMs();
    ASSERT_TRUE(ORVOutputECG(&ecg, Cb<0>));
    // The first burst comes one tick after the thread starts; allow for a slow machine.
    ASSERT_TRUE(g_recorder.WaitForSamples(0, 20, 2000));
    EXPECT_LT(GetMonotonicMs() - started, 2000u);
    ASSERT_TRUE(g_recorder.WaitForSamples(0, 200, 5000));
    ORVStopOutputWaveform();

    const std::vector<Call> calls = g_recorder.Calls(0);
    ASSERT_GE(calls.size(), 201u);
    EXPECT_EQ(g_recorder.Markers(0), 1u);
    EXPECT_TRUE(calls.back().Marker()) << "delivered before the stop returned";
    EXPECT_EQ((calls.size() - 1) % 20, 0u) << "whole bursts of 20";
    for (size_t m = 0; m + 1 < calls.size(); ++m) {
        ASSERT_NEAR(calls[m].t, 0.001 * m, 1e-9);
    }
    EXPECT_NEAR(calls.back().t, 0.001 * (calls.size() - 1), 1e-9);
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
}

TEST_F(OutputWithoutInstrument, EveryStartSimulatesItsChannels) {
    ECG_WAVEFORM ecg = EcgSine();
    PPG_WAVEFORM p1 = PpgSine(), p2 = PpgSine(), p3 = PpgSine();
    struct Case {
        const char* what;
        std::function<bool()> start;
        std::vector<int> simulated;  // recorder slots with samples and one marker
        std::vector<int> silent;     // slots that hear nothing at all
    } cases[] = {
        {"ECG", [&] { return ORVOutputECG(&ecg, Cb<0>); }, {0}, {}},
        {"ECG+PPG", [&] { return ORVOutputECGAndPPG(200, &ecg, &p1, Cb<0>, Cb<1>); }, {0, 1}, {}},
        {"ECG+PPG Ex", [&] { return ORVOutputECGAndPPGEx(200, &ecg, &p1, &p2, Cb<0>, Cb<1>, Cb<2>); }, {0, 1, 2}, {}},
        // Without an instrument the pulse group reads empty: no PPG channel is lit, so
        // only the ECG is simulated.
        {"ECG+PPG3",
         [&] { return ORVOutputECGAndPPG3(200, &ecg, &p1, &p2, &p3, Cb<0>, Cb<1>, Cb<2>, Cb<3>); },
         {0},
         {1, 2, 3}},
        // Channel 2 alone: the other slots are not in use and their callbacks are null.
        {"PPG ch 2", [&] { return ORVOutputPPG(2, &p2, Cb<2>); }, {2}, {}},
        {"PPG Ex", [&] { return ORVOutputPPGEx(&p1, &p2, Cb<1>, Cb<2>); }, {1, 2}, {}},
        {"PPG3", [&] { return ORVOutputPPG3(&p1, &p2, &p3, Cb<1>, Cb<2>, Cb<3>); }, {1, 2, 3}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_recorder.Clear();
        ASSERT_TRUE(c.start());
        for (int slot : c.simulated) {
            EXPECT_TRUE(g_recorder.WaitForSamples(slot, 40, 5000)) << "slot " << slot;
        }
        ORVStopOutputWaveform();
        for (int slot : c.simulated) {
            EXPECT_EQ(g_recorder.Markers(slot), 1u) << "slot " << slot;
            EXPECT_EQ(g_recorder.Samples(slot) % 20, 0u) << "slot " << slot;
        }
        for (int slot : c.silent) {
            EXPECT_TRUE(g_recorder.Calls(slot).empty()) << "slot " << slot;
        }
        for (int slot = 4; slot < Recorder::kSlots; ++slot) {
            EXPECT_TRUE(g_recorder.Calls(slot).empty());
        }
    }
}

TEST_F(OutputWithoutInstrument, ECGAndPPGWithoutECGCallbackStillSimulatesThePPG) {
    ECG_WAVEFORM ecg = EcgSine();
    PPG_WAVEFORM ppg = PpgSine();
    ASSERT_TRUE(ORVOutputECGAndPPG(100, &ecg, &ppg, nullptr, Cb<1>));
    ASSERT_TRUE(g_recorder.WaitForSamples(1, 60, 5000));
    ORVStopOutputWaveform();
    EXPECT_EQ(g_recorder.Markers(1), 1u);
    EXPECT_EQ(g_recorder.Samples(1) % 20, 0u);
}

TEST_F(OutputWithoutInstrument, ASwitchOnGivenUpOnHasEndedWhenTheStopOrORVFreeReturns) {
    struct Case {
        const char* name;
        void (*finish)();
    };
    const Case cases[] = {{"common stop", [] { ORVStopOutputWaveform(); }}, {"ORVFree", [] { ORVFree(); }}};
    ECG_WAVEFORM ecg = EcgSine();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            // Held across the start: the thread's switch-on helper waits for the lock.
            CAutoCriticalSection lock(g_CriticalSection);
            ASSERT_TRUE(ORVOutputECG(&ecg, nullptr));
            ASSERT_TRUE(WaitUntil([] { return output::LockedExchangeHelpers() == 1; }, 10000));
            StopOutputWaveform();  // gives up on the helper in its lock wait
            EXPECT_EQ(output::LockedExchangeHelpers(), 1u) << "still waiting for the lock";
        }
        c.finish();
        EXPECT_EQ(output::LockedExchangeHelpers(), 0u) << "joined before the return";
    }
}

TEST_F(OutputWithoutInstrument, ConcurrentStartsAndStopsFromHostThreadsAlwaysComplete) {
    RunConcurrentStartsAndStops(3, 30);
}
