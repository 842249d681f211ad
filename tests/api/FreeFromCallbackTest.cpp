// ORVFree called from a host callback, which runs on a library thread: from the listener
// (the connection thread) and from a sample callback (the output thread, and a
// playback's reporter thread). It returns at
// once; the teardown follows once the callback has returned (the listener hears false
// once, the output sends its end marker), and the next ORVConnect connects again.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "Watchdog.h"
#include "api/Connection.h"
#include "api/PostConnection.h"
#include "output/Output.h"
#include "platform/Device.h"
#include "playback/PlayControl.h"
#include "WaveformRecords.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEnd = static_cast<int>(0x80000000u);

long MsSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// What the freeing callback saw and did.
struct Seen {
    std::atomic<int> samples{0};
    std::atomic<int> markers{0};
    std::atomic<int> samplesAfterMarker{0};
    std::atomic<long> freeMs{-1};  // how long ORVFree took in the callback
    std::atomic<int> connectInCallback{-1};
    std::atomic<int> initInCallback{-1};
};
Seen* s_seen = nullptr;

void FreeOnTheFiftiethSample(double, int ac, int dc) {
    if (ac == kEnd && dc == kEnd) {
        s_seen->markers.fetch_add(1);
        return;
    }
    if (s_seen->markers.load() != 0) {
        s_seen->samplesAfterMarker.fetch_add(1);
    }
    if (s_seen->samples.fetch_add(1) + 1 == 50) {
        const auto start = Clock::now();
        ORVFree();
        s_seen->freeMs.store(MsSince(start));
    }
}

void FreeingListener(bool connected) {
    ListenerLog::Listener(connected);
    if (!connected) {
        return;
    }
    const auto start = Clock::now();
    ORVFree();
    s_seen->connectInCallback.store(ORVConnect(0, 50) ? 1 : 0);
    s_seen->initInCallback.store(ORVInit(ListenerLog::Listener) ? 1 : 0);  // the connection is ending
    s_seen->freeMs.store(MsSince(start));
}

class FreeFromCallback : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        s_seen = &seen_;
        Plug(nvsemu::Profile::MainUnit4031(), 0);
    }

    // The connection thread has torn down and ended; the next lifecycle call joins it and
    // starts a fresh one that connects again.
    void ExpectFreedOnceThenConnectsAgain() {
        ASSERT_TRUE(ListenerLog::Instance().WaitFor(2, 20000));
        EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{true, false}));
        EXPECT_GE(seen_.freeMs.load(), 0);
        EXPECT_LT(seen_.freeMs.load(), 1000);
        EXPECT_TRUE(WaitUntil([] { return DeviceIsConnected() == 0; }, 10000));
        ASSERT_TRUE(ORVConnect(0, 20000));
        EXPECT_TRUE(ConnectionIsUp());
        ORVFree();
        EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{true, false}));  // ORVConnect's own listener
    }

    Seen seen_;
};

TEST_F(FreeFromCallback, ListenerFreesReturnsAtOnceAndLaterConnectWorks) {
    RunWithWatchdog(
        [&] {
            ASSERT_TRUE(ORVInit(FreeingListener));
            ExpectFreedOnceThenConnectsAgain();
            EXPECT_EQ(seen_.connectInCallback.load(), 0);
            EXPECT_EQ(seen_.initInCallback.load(), 0);
        },
        90, "ORVFree from the listener");
}

TEST_F(FreeFromCallback, SampleCallbackFreesReturnsAtOnceTheOutputEndsAndLaterConnectWorks) {
    RunWithWatchdog(
        [&] {
            const unsigned loaded = ConnectionLoadCount();
            ASSERT_TRUE(ORVInit(ListenerLog::Listener));
            ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() != loaded; }, 30000));
            ECG_WAVEFORM ecg = records::EcgSine(1.0, 1.0);
            ASSERT_TRUE(ORVOutputECG(&ecg, FreeOnTheFiftiethSample));
            ASSERT_TRUE(WaitUntil([&] { return seen_.markers.load() != 0; }, 20000));
            EXPECT_TRUE(WaitUntil([] { return g_hOutputWaveformThread.load() == 0; }, 10000));
            EXPECT_EQ(seen_.markers.load(), 1);
            EXPECT_EQ(seen_.samplesAfterMarker.load(), 0);
            ExpectFreedOnceThenConnectsAgain();
        },
        90, "ORVFree from a sample callback");
}

TEST_F(FreeFromCallback, PlaybackSampleCallbackFreesReturnsAtOnceTheRunEndsAndLaterConnectWorks) {
    InstallPlaybackEngineHooks();  // the state reset leaves the common stop without the engine
    RunWithWatchdog(
        [&] {
            const unsigned loaded = ConnectionLoadCount();
            ASSERT_TRUE(ORVInit(ListenerLog::Listener));
            ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() != loaded; }, 30000));
            ECG_WAVEFORM ecg = records::EcgSine(1.0, 1.0);
            ASSERT_TRUE(ORVPlayECG(&ecg, FreeOnTheFiftiethSample));  // on the reporter thread
            ASSERT_TRUE(WaitUntil([&] { return seen_.markers.load() != 0; }, 20000))
                << seen_.samples.load() << " samples, ORVFree took " << seen_.freeMs.load() << " ms, listener heard "
                << ListenerLog::Instance().Events().size();
            EXPECT_EQ(seen_.markers.load(), 1);
            EXPECT_EQ(seen_.samplesAfterMarker.load(), 0);
            ExpectFreedOnceThenConnectsAgain();
        },
        90, "ORVFree from a playback sample callback");
}

}  // namespace
