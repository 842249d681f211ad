// Playback runs against the emulated instrument: the stream it paces, the operator modes
// the starts send, the command window between batches, and the faults of the link.
// Starts, stops and wrappers are called holding g_CriticalSection, as exported callers do.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "ApiFixture.h"
#include "Pace.h"
#include "Watchdog.h"
#include "api/Connection.h"
#include "output/LockedExchange.h"
#include "platform/Device.h"
#include "platform/Event.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlayRaw.h"
#include "playback/PlayThreads.h"
#include "waveform/Conversion.h"

using nvsemu::Profile;
using nvsemu::StreamChannel;
using nvsemu::StreamFault;
using nvsemu::StreamStatus;

namespace {

constexpr unsigned kLong = 20000;  // ms: generous deadlines for conditions
constexpr int kMarker = static_cast<int>(0x80000000u);

struct Call {
    double t;
    int ac, dc;
};

std::mutex s_mu;
std::vector<Call> s_calls[4];

template <int N>
void Record(double t, int ac, int dc) {
    std::lock_guard<std::mutex> lock(s_mu);
    s_calls[N].push_back(Call{t, ac, dc});
}

std::vector<Call> Calls(int slot) {
    std::lock_guard<std::mutex> lock(s_mu);
    return s_calls[slot];
}

size_t Markers(int slot) {
    size_t n = 0;
    for (const Call& c : Calls(slot)) {
        n += c.ac == kMarker && c.dc == kMarker ? 1 : 0;
    }
    return n;
}

// A record over arrays of its own: AC a slow ramp, DC constant.
struct Source {
    std::vector<double> ac, dc;
    PLAY_RAW_DATA record = {};
    Source(int count, double rate, PFN_SAMPLE_CALLBACK cb, double dcLevel = 100.0, int sync = 0)
        : ac(static_cast<size_t>(count)), dc(static_cast<size_t>(count), dcLevel) {
        for (int i = 0; i < count; ++i) {
            ac[static_cast<size_t>(i)] = 0.5 * i / count;
        }
        record = PLAY_RAW_DATA{rate, count, sync, ac.data(), dc.data(), cb};
    }
};

// The value a word had on the wire (the conversions give it in wire order).
int WireValue(uint16_t word) {
    uint8_t b[2];
    memcpy(b, &word, 2);
    return b[0] << 8 | b[1];
}

template <typename F>
auto Locked(F fn) -> decltype(fn()) {
    CAutoCriticalSection lock(g_CriticalSection);
    return fn();
}

class PlaybackRun : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ResetPlaybackState();
        InstallPlaybackEngineHooks();
        g_PlaySyncEvent.store(nullptr);
        std::lock_guard<std::mutex> lock(s_mu);
        for (std::vector<Call>& c : s_calls) {
            c.clear();
        }
    }
    void TearDown() override {
        Stop();
        g_PlaySyncEvent.store(nullptr);
        ApiTest::TearDown();
        ResetPlaybackState();
    }
    void Connected(const Profile& profile = Profile::WithPpgYB2001()) {
        Plug(profile);
        ASSERT_TRUE(Connect());
    }
    static void Stop() {
        Locked([] { PlayRawStop(0); });
        output::WaitForLockedExchanges();
    }
    StreamStatus Status() { return Fw().GetStreamStatus(); }
    // The operator-mode writes sent (14 bytes, 00 FF).
    std::vector<Bytes> ModeWrites() const {
        std::vector<Bytes> out;
        for (const Bytes& b : SentWith({0x00, 0xFF})) {
            if (b.size() == 14) {
                out.push_back(b);
            }
        }
        return out;
    }
};

// One ECG cycle of 10000 output samples, looping off: 9999 samples count (the one that
// ends the cycle does not), 714 full packets and one of 3 samples.
TEST_F(PlaybackRun, NonLoopingECGRunStreamsEveryBatchAndEndsCleanly) {
    Connected();
    std::vector<uint64_t> perRequest;
    std::mutex mu;
    Fw().SetStreamHook([&](const nvsemu::StreamEvent& e) {
        if (e.kind == nvsemu::StreamEvent::Kind::DataRequest) {
            std::lock_guard<std::mutex> lock(mu);
            perRequest.push_back(e.counters.packets);
        }
    });
    Source ecg(1000, 1000.0, Record<0>);
    PlayRawEnableLoop(false);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    ASSERT_TRUE(WaitUntil([] { return Markers(0) == 1; }, kLong));
    ASSERT_TRUE(WaitUntil([] { return !PlayProducerServes() && g_hOutputThread.load() == 0; }, kLong));
    // The end sequence's last step: the pacing flag cleared.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<Bytes> writes = SentWith({0xEA, 0xFF, 0x00});
            return writes.size() >= 2 && writes.back()[8] == 0x00;
        },
        kLong));
    EXPECT_EQ(g_nDeviceReadTimeout.load(), 100u);

    const StreamStatus s = Status();
    EXPECT_EQ(s.counters.packets, 715u);
    EXPECT_EQ(s.counters.checkFailures, 0u);
    if (PaceChecked()) {
        EXPECT_EQ(s.counters.underruns, 0u);  // a batch plays 70 ms at 10000 samples/s
    }
    EXPECT_EQ(s.counters.overflows, 0u);
    EXPECT_EQ(s.counters.commandsInBatch, 0u);
    EXPECT_EQ(s.end, nvsemu::StreamEnd::Switch);
    {
        // Two batches before the first request, then one per request.
        std::lock_guard<std::mutex> lock(mu);
        ASSERT_GE(perRequest.size(), 13u);
        EXPECT_EQ(perRequest[0], 100u);
        for (size_t i = 1; i < 13; ++i) {
            EXPECT_EQ(perRequest[i], 100u + 50 * i) << i;
        }
    }
    EXPECT_EQ(g_nDeviceWriteTimeout.load(), 200u);

    // The pacing flag went on for the DC curve and off at the end; the switch came last.
    Bytes pacing;
    for (const Bytes& b : SentWith({0xEA, 0xFF, 0x00})) {
        pacing.push_back(b[8]);
    }
    ASSERT_GE(pacing.size(), 2u);
    EXPECT_EQ(pacing.front(), 0xFF);
    EXPECT_EQ(pacing.back(), 0x00);
    const Bytes standalone = {0x00, 0xFF, 0x08, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(ModeWrites().back(), standalone);

    // The callbacks got every played sample (and the uncounted last one), then one marker.
    const std::vector<uint16_t> words = Fw().PlayedWords(StreamChannel::Ecg);
    const std::vector<Call> calls = Calls(0);
    ASSERT_EQ(words.size(), 2u * 9999);
    ASSERT_EQ(calls.size(), 10001u);
    for (size_t i = 0; i < 9999; ++i) {
        ASSERT_EQ(WireValue(ECG_DC_VoltageToDAC(calls[i].dc / 1000.0)), words[2 * i]) << i;
        const int expected = static_cast<int16_t>(WireValue(ECG_AC_VoltageToDAC(calls[i].ac / 1000.0)));
        ASSERT_NEAR(static_cast<int16_t>(words[2 * i + 1]), expected, 1) << i;
    }
    EXPECT_EQ(calls.back().ac, kMarker);
    EXPECT_EQ(PlayRawIsRunning(), 1);
}

struct StartCase {
    const char* name;
    std::function<int(Source&, Source&, Source&, Source&)> start;
    Bytes mode;  // bytes 2-7 of the operator-mode write: mode, rate, sync 1..3
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class PlaybackStarts : public PlaybackRun, public ::testing::WithParamInterface<StartCase> {};

TEST_P(PlaybackStarts, SendTheModeRateAndSyncBytesOfTheirChannelSet) {
    Connected();
    Source e(1000, 1000.0, Record<0>), a(1000, 1000.0, Record<1>, 100.0, 1), b(1000, 1000.0, Record<2>, 100.0, 2),
        c(1000, 1000.0, Record<3>, 100.0, 2);
    ClearSent();
    ASSERT_EQ(Locked([&] { return GetParam().start(e, a, b, c); }), 1);
    ASSERT_TRUE(Fw().WaitForPacketsPlayed(50, kLong));
    const std::vector<Bytes> modes = ModeWrites();
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(Bytes(modes.front().begin() + 2, modes.front().begin() + 8), GetParam().mode);
    EXPECT_EQ(Status().counters.checkFailures, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlaybackStarts,
    ::testing::Values(
        StartCase{"ECG", [](Source& e, Source&, Source&, Source&) { return PlayRawECG(e.record); },
                  {1, 0x27, 0x10, 0, 0, 0}},
        StartCase{"ECGEx",
                  [](Source& e, Source&, Source&, Source&) {
                      ECG_WAVEFORM w = {};
                      return PlayRawECGEx(e.record, w);
                  },
                  {1, 0x9C, 0x40, 0, 0, 0}},
        StartCase{"ECGAndPPG1", [](Source& e, Source& a, Source&, Source&) { return PlayRawECGAndPPG(e.record, PPG_CHANNEL_1, a.record); },
                  {3, 0x27, 0x10, 1, 0, 0}},
        StartCase{"ECGAndPPG2", [](Source& e, Source&, Source& b, Source&) { return PlayRawECGAndPPG(e.record, PPG_CHANNEL_2, b.record); },
                  {5, 0x27, 0x10, 0, 2, 0}},
        StartCase{"ECGAndPPG12", [](Source& e, Source& a, Source& b, Source&) { return PlayRawECGAndPPGEx(e.record, a.record, b.record); },
                  {7, 0x27, 0x10, 1, 2, 0}},
        StartCase{"ECGAndPPGPointers",
                  [](Source& e, Source& a, Source&, Source& c) {
                      PLAY_RAW_DATA* p[3] = {&a.record, nullptr, &c.record};
                      return PlayRawECGAndPPGEx(&e.record, p);
                  },
                  {15, 0x27, 0x10, 2, 2, 2}},
        StartCase{"PPG1", [](Source&, Source& a, Source&, Source&) { return PlayRawPPG(PPG_CHANNEL_1, a.record); },
                  {2, 0x27, 0x10, 1, 0, 0}},
        StartCase{"PPG3", [](Source&, Source&, Source&, Source& c) { return PlayRawPPG(PPG_CHANNEL_3, c.record); },
                  {16, 0x27, 0x10, 0, 0, 2}},
        StartCase{"PPG12", [](Source&, Source& a, Source& b, Source&) { return PlayRawPPGEx(a.record, b.record); },
                  {6, 0x27, 0x10, 1, 2, 0}},
        StartCase{"PPGPointers13",
                  [](Source&, Source& a, Source&, Source& c) {
                      PLAY_RAW_DATA* p[3] = {&a.record, nullptr, &c.record};
                      return PlayRawPPGEx(p);
                  },
                  {10, 0x27, 0x10, 2, 2, 2}},
        StartCase{"PPGPointers3",
                  [](Source&, Source&, Source&, Source& c) {
                      PLAY_RAW_DATA* p[3] = {nullptr, nullptr, &c.record};
                      return PlayRawPPGEx(p);
                  },
                  {16, 0x27, 0x10, 2, 2, 2}},
        StartCase{"PPGPointers123",
                  [](Source&, Source& a, Source& b, Source&) {
                      PLAY_RAW_DATA* p[3] = {&b.record, &a.record, &b.record};
                      return PlayRawPPGEx(p);
                  },
                  {14, 0x27, 0x10, 2, 2, 2}}),
    [](const ::testing::TestParamInfo<StartCase>& i) { return std::string(i.param.name); });

struct RefusalCase {
    const char* name;
    Bytes header;
    nvsemu::Fault fault;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class PlaybackRefusals : public PlaybackRun, public ::testing::WithParamInterface<RefusalCase> {};

// The pacing switch (the DC curve needs it) or the operator mode fails: no run.
TEST_P(PlaybackRefusals, FailTheStartWithoutAThread) {
    Connected();
    emu_.FaultOnHeader(GetParam().header, GetParam().fault);
    Source ecg(1000, 1000.0, Record<0>);
    EXPECT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 0);
    EXPECT_EQ(g_hPlayThread.load(), 0u);
    EXPECT_EQ(Status().counters.packets, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PlaybackRefusals,
    ::testing::Values(RefusalCase{"PacingRefused", {0xEA, 0xFF, 0x00}, nvsemu::Fault::Refuse()},
                      RefusalCase{"NoOperatorModeReply", {0x00, 0xFF, 0x01}, nvsemu::Fault::Drop()},
                      RefusalCase{"ShortOperatorModeReply", {0x00, 0xFF, 0x01}, nvsemu::Fault::Truncate(10)}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

TEST_F(PlaybackRun, ASwitchWithoutEchoStillClearsThePacingFlag) {
    Connected();
    emu_.FaultOnHeader({0x00, 0xFF, 0x08, 0x00, 0x01, 0x01, 0x01}, nvsemu::Fault::Drop());
    Source ecg(100, 1000.0, Record<0>);
    PlayRawEnableLoop(false);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<Bytes> writes = SentWith({0xEA, 0xFF, 0x00});
            return !writes.empty() && writes.back()[8] == 0x00;
        },
        kLong));
    EXPECT_EQ(g_nDeviceReadTimeout.load(), 100u);
}

// ---- The command window ----------------------------------------------------------------

TEST_F(PlaybackRun, SettersDuringAStreamLandBetweenBatches) {
    Connected();
    Source e(1000, 1000.0, Record<0>), a(1000, 1000.0, Record<1>), b(1000, 1000.0, Record<2>),
        c(1000, 1000.0, Record<3>);
    PLAY_RAW_DATA* p[3] = {&a.record, &b.record, &c.record};
    ASSERT_EQ(Locked([&] { return PlayRawECGAndPPGEx(&e.record, p); }), 1);
    ASSERT_TRUE(Fw().WaitForPacketsPlayed(50, kLong));
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(ORVDeviceEnableImpedance(i % 2 == 0)) << i;
    }
    // Nested: the 16-bit calibration write goes through the window again inside it.
    EXPECT_TRUE(Locked([] { return PlayRawSetCalibrationSetting(PPG_CAL_LED_LEVEL_CH1, 0x0102); }));
    ClearSent();
    EXPECT_EQ(Locked([] { return PlayRawSetOperatorMode(14, 1, 2); }), 1);
    const std::vector<Bytes> modes = ModeWrites();
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(Bytes(modes[0].begin() + 2, modes[0].begin() + 8), (Bytes{14, 0x27, 0x10, 1, 2, 2}));
    EXPECT_EQ(Status().counters.commandsInBatch, 0u);
    EXPECT_EQ(Status().counters.checkFailures, 0u);
}

// A command in the window goes out once the request it waited for has been read, while
// the instrument still plays most of a batch: it never waits for the request after that
// (by then the buffer has run dry, and the batch asked for comes too late). At 2000
// samples per second a batch plays 350 ms; the check allows a host 280 ms late.
TEST_F(PlaybackRun, ACommandInTheWindowDoesNotWaitForTheNextRequest) {
    Connected();
    Source ecg(1000, 1000.0, Record<0>);
    ASSERT_EQ(Locked([&] {
                  PlayRawStop(0);
                  CAutoCriticalSection api(g_PlayRawCriticalSection);
                  if (!LoadRawECG(ecg.record) || !UpdateOperatorMode(1, 0, 0, 0, 2000)) {
                      return 0;
                  }
                  PlayInitCallback(Record<0>, nullptr, nullptr, nullptr, nullptr);
                  RunPlayThread(SendPacket);
                  return 1;
              }),
              1);
    ASSERT_TRUE(Fw().WaitForStream([](const StreamStatus& s) { return s.counters.requests >= 1; }, kLong));
    for (int i = 0; i < 3; ++i) {
        ORVGetLEDAmbientLightMode();
    }
    size_t commands = 0;
    for (const nvsemu::StreamCommandMark& m : Fw().StreamCommands()) {
        if (m.head.empty() || m.head[0] != 0xB0) {
            continue;
        }
        ++commands;
        EXPECT_GE(m.samplesTaken - m.samplesPlayed, 10u * 14) << "held when command " << commands << " came";
    }
    EXPECT_EQ(commands, 3u);
    const StreamStatus s = Status();
    EXPECT_EQ(s.counters.commandsInBatch, 0u);
    EXPECT_EQ(s.counters.underruns, 0u);
}

TEST_F(PlaybackRun, AfterARunEndedByItselfASetterGoesOutDirectly) {
    Connected();
    Source ecg(100, 1000.0, Record<0>);  // 1000 output samples
    PlayRawEnableLoop(false);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    ASSERT_TRUE(WaitUntil([] { return !PlayProducerServes(); }, kLong));
    ASSERT_EQ(PlayRawIsRunning(), 1);
    ClearSent();
    EXPECT_TRUE(ORVDeviceEnableImpedance(true));
    EXPECT_FALSE(SentWith({0xEA, 0xFF, 0x00}).empty());
}

TEST_F(PlaybackRun, WithASilentInstrumentASetterFailsWithinTheBound) {
    Connected();
    Fw().FaultOnDataRequest(2, StreamFault::Silence(), 0);  // no request from the third on
    Source ecg(1000, 1000.0, Record<0>);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    ASSERT_TRUE(
        Fw().WaitForStream([](const StreamStatus& s) { return s.counters.requests >= 2 && s.buffered == 0; }, kLong));
    ClearSent();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(ORVDeviceEnableImpedance(true));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 10000);
    EXPECT_TRUE(SentWith({0xEA}).empty());
    RunWithWatchdog([] { Stop(); }, 30, "stop of a run without requests");
}

// ---- Faults ----------------------------------------------------------------------------

TEST_F(PlaybackRun, AStrayNotificationNeitherStallsNorTriggersABatch) {
    Connected();
    Fw().FaultOnDataRequest(3, StreamFault::Stray(0x33), 3);
    Source ecg(1000, 1000.0, Record<0>);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    ASSERT_TRUE(Fw().WaitForPacketsPlayed(500, kLong));
    const StreamStatus s = Status();
    EXPECT_EQ(s.counters.underruns, 0u);
    EXPECT_EQ(s.counters.overflows, 0u);
    EXPECT_EQ(s.counters.checkFailures, 0u);
}

// An instrument that fell behind writes two requests together: each gets its batch, so
// after the one underrun its lateness caused the buffer is two batches deep again (one
// lost request would leave it one deep, and every later batch would come too late).
TEST_F(PlaybackRun, TwoRequestsWrittenTogetherGetTwoBatches) {
    Connected();
    // A batch plays 70 ms: the fourth request 105 ms late, the fifth 35 ms, both at once.
    Fw().FaultOnDataRequest(3, StreamFault::Late(105));
    Fw().FaultOnDataRequest(4, StreamFault::Late(35));
    Source ecg(1000, 1000.0, Record<0>);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    ASSERT_TRUE(Fw().WaitForPacketsPlayed(700, kLong));
    const StreamStatus s = Status();
    EXPECT_LE(s.counters.underruns, 1u);
    EXPECT_EQ(s.counters.overflows, 0u);
    EXPECT_EQ(s.counters.checkFailures, 0u);
}

TEST_F(PlaybackRun, AStaleRequestIsDroppedAtTheStart) {
    Connected();
    Bytes request(64, 0);
    request[0] = 0x01;
    request[1] = 0x55;
    ASSERT_TRUE(emu_.Inject(request));
    // An exchange parks it in the reply queue, as a switch's late request would be.
    EXPECT_TRUE(ORVDeviceEnableImpedance(true));
    Source ecg(1000, 1000.0, Record<0>);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    ASSERT_TRUE(Fw().WaitForPacketsPlayed(300, kLong));
    EXPECT_EQ(Status().counters.overflows, 0u);  // no third batch went out unasked
}

TEST_F(PlaybackRun, AStartSignalNeverSetDoesNotHoldUpTheStop) {
    Connected();
    CManualResetEvent never;
    g_PlaySyncEvent.store(&never);
    Source ecg(1000, 1000.0, Record<0>);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    RunWithWatchdog([] { Stop(); }, 30, "stop while waiting for the start signal");
    EXPECT_EQ(PlayRawIsRunning(), 0);
    EXPECT_EQ(Status().counters.packets, 0u);
    EXPECT_EQ(Markers(0), 1u);
    g_PlaySyncEvent.store(nullptr);
}

TEST_F(PlaybackRun, UnplugMidRunStopsEverything) {
    Plug(Profile::WithPpgYB2001());
    const unsigned loaded = ConnectionLoadCount() + 1;
    ASSERT_TRUE(ORVInit(ListenerLog::Listener));
    ASSERT_TRUE(ListenerLog::Instance().WaitFor(1, kLong));
    ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() >= loaded; }, kLong));
    Source ecg(1000, 1000.0, Record<0>);
    ASSERT_EQ(Locked([&] { return PlayRawECG(ecg.record); }), 1);
    ASSERT_TRUE(Fw().WaitForPacketsPlayed(200, kLong));
    sandbox_.Unlink(0);  // the node leaves the listing, the port goes
    emu_.Unplug();
    ASSERT_TRUE(ListenerLog::Instance().WaitFor(2, kLong));
    EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{true, false}));
    ASSERT_TRUE(WaitUntil([] { return Locked([] { return PlayRawIsRunning(); }) == 0; }, kLong));
    EXPECT_EQ(g_hReceiveThread.load(), 0u);
    EXPECT_EQ(Markers(0), 1u);
}

}  // namespace
