// Calibration streams of methods 2 to 5 through the exported functions, against the
// emulated instrument: the codes it plays per channel, the operator modes the starts
// send, starts while a stream plays, and the refused calls.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "ApiFixture.h"
#include "WaveformRecords.h"
#include "output/LockedExchange.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlayRaw.h"
#include "playback/PlayThreads.h"
#include "service/CalibrationStream.h"

using nvsemu::Profile;
using nvsemu::StreamChannel;
using nvsemu::StreamStatus;

namespace {

constexpr unsigned kLong = 20000;  // ms: generous deadlines for conditions
constexpr int kFull = 4095;

template <typename F>
auto Locked(F fn) -> decltype(fn()) {
    CAutoCriticalSection lock(g_CriticalSection);
    return fn();
}

// A calibration record: the fields the methods read as codes and samples.
PPG_WAVEFORM Codes(double a1, double dcLevel, double a2 = 0.0, int sync = 1) {
    PPG_WAVEFORM w = {};
    w.fAmplitude1 = a1;
    w.fDCLevel = dcLevel;
    w.fAmplitude2 = a2;
    w.nSyncPulse = sync;
    w.fSampleRateKHz = 0.5;
    w.nSampleFraction = 7;
    return w;
}

// Method 3's record: 100 samples at 1 kHz, flat AC, DC dcMv.
PPG_WAVEFORM FlatCycle(double dcMv) {
    PPG_WAVEFORM w = {};
    w.nWaveformType = 99;  // no shape: AC 0
    w.fFrequency = 10.0;
    w.fDCLevel = dcMv;
    w.nSyncPulse = 1;
    return w;
}

std::vector<int> Repeat(const std::vector<int>& period, size_t n) {
    std::vector<int> out;
    while (out.size() < n) {
        out.insert(out.end(), period.begin(), period.end());
    }
    out.resize(n);
    return out;
}

// Method 5's sequence from a level and position: high phases of H, low of W samples.
struct SquareModel {
    bool high = false;
    unsigned position = 0;
    double H, W;
    std::vector<int> Next(size_t n) {
        std::vector<int> out;
        for (size_t i = 0; i < n; ++i) {
            out.push_back(high ? kFull : 0);
            ++position;
            if (high && position >= H) {
                position = 0;
                high = false;
            } else if (!high && position >= W) {
                position = 0;
                high = true;
            }
        }
        return out;
    }
};

int WireWord(uint16_t word) {
    unsigned char b[2];
    memcpy(b, &word, 2);
    return b[0] << 8 | b[1];
}

class CalibrationStream : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ResetPlaybackState();
        InstallPlaybackEngineHooks();
        calibration::ResetCalibrationStreamState();
    }
    void TearDown() override {
        Stop();
        ApiTest::TearDown();
        ResetPlaybackState();
        calibration::ResetCalibrationStreamState();
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
    // One word of each played sample of a channel: DC (0) or AC (1).
    std::vector<int> Played(StreamChannel c, int word = 0) {
        const std::vector<uint16_t> words = Fw().PlayedWords(c);
        std::vector<int> out;
        for (size_t i = static_cast<size_t>(word); i < words.size(); i += 2) {
            out.push_back(words[i]);
        }
        return out;
    }
    bool WaitForSamples(StreamChannel c, size_t n) {
        return WaitUntil([&] { return Fw().PlayedSamples(c) >= n; }, kLong);
    }
    // Bytes 2-7 of the operator-mode writes (14 bytes, 00 FF): mode, rate, sync 1..3.
    std::vector<Bytes> ModeWrites() const {
        std::vector<Bytes> out;
        for (const Bytes& b : SentWith({0x00, 0xFF})) {
            if (b.size() == 14) {
                out.push_back(Bytes(b.begin() + 2, b.begin() + 8));
            }
        }
        return out;
    }
};

// ---- Decoded streams ----

struct ChannelExpect {
    StreamChannel channel;
    std::function<std::vector<int>(size_t n)> dc;
    std::function<std::vector<int>(size_t n)> ac;
};

struct StreamCase {
    const char* name;
    bool threeChannels;  // the instrument has a third PPG channel
    std::function<bool()> start;
    Bytes mode;  // mode, rate, sync 1..3
    std::vector<ChannelExpect> channels;
};

std::function<std::vector<int>(size_t)> Periodic(std::vector<int> period) {
    return [period](size_t n) { return Repeat(period, n); };
}

std::function<std::vector<int>(size_t)> Words(int channel, bool dc) {
    return [channel, dc](size_t n) {
        std::vector<int> out;
        const uint16_t* words = dc ? calibration::g_pPPGDC[channel - 1] : calibration::g_pPPGAC[channel - 1];
        const size_t count = static_cast<size_t>(calibration::g_nPPGSrcSampleCount[channel - 1]);
        for (size_t i = 0; i < n; ++i) {
            out.push_back(WireWord(words[i % count]));
        }
        return out;
    };
}

TEST_F(CalibrationStream, StreamsPlayTheirCodesPerChannel) {
    static PPG_WAVEFORM r1, r2;
    const std::vector<int> sweep = {100, 101, 102, 103, 102, 101};
    const std::vector<int> top = {4094, 4095, 4095, 4095, 4095, 4095, 4095, 4095, 4095, 4095};
    const StreamCase cases[] = {
        {"method 2, channel 1",
         false,
         [] {
             r1 = Codes(100, 3, 0, 2);
             return ORVCalibrateMethod2(PPG_CHANNEL_1, &r1);
         },
         {2, 0x13, 0x88, 2, 0, 0},
         {{StreamChannel::Ppg1, Periodic(sweep), Periodic({0})}}},
        {"method 2 at full scale, channel 2",
         false,
         [] {
             r1 = Codes(4094, 5, 0, 2);
             return ORVCalibrateMethod2(PPG_CHANNEL_2, &r1);
         },
         {4, 0x13, 0x88, 0, 2, 0},
         {{StreamChannel::Ppg2, Periodic(top), Periodic({0})}}},
        {"method 2, both channels",
         false,
         [] {
             r1 = Codes(100, 3, 0, 1);
             r2 = Codes(4094, 5, 0, 2);
             return ORVCalibrateMethod2Ex(&r1, &r2);
         },
         {6, 0x13, 0x88, 1, 2, 0},
         {{StreamChannel::Ppg1, Periodic(sweep), Periodic({0})}, {StreamChannel::Ppg2, Periodic(top), Periodic({0})}}},
        {"method 3, channel 1",
         false,
         [] {
             r1 = records::PpgSine(10.0, 50.0, 10.0);
             return ORVCalibrateMethod3(PPG_CHANNEL_1, &r1) && calibration::g_nPPGSrcSampleCount[0] == 1000;
         },
         {2, 0x27, 0x10, static_cast<uint8_t>(records::PpgSine(10.0, 50.0, 10.0).nSyncPulse), 0, 0},
         {{StreamChannel::Ppg1, Words(1, true), Words(1, false)}}},
        {"method 3, three channels",
         true,
         [] {
             r1 = FlatCycle(100.0);
             r2 = FlatCycle(300.0);
             r2.nSyncPulse = 2;
             return ORVCalibrateMethod3Ex(true, &r1, true, &r2);
         },
         {14, 0x27, 0x10, 1, 2, 0},
         {{StreamChannel::Ppg3, Periodic({100}), Periodic({0})},
          {StreamChannel::Ppg1, Periodic({100}), Periodic({0})},
          {StreamChannel::Ppg2, Periodic({300}), Periodic({0})}}},
        {"method 4, two channels, DC index above full scale",
         false,
         [] {
             r1 = Codes(300, 200, 0, 1);
             r2 = Codes(4000, 5000, 0, 2);
             return ORVCalibrateMethod4(true, &r1, true, &r2);
         },
         {6, 0x27, 0x10, 1, 2, 0},
         {{StreamChannel::Ppg1, Periodic({200}), Periodic({300})},
          {StreamChannel::Ppg2, Periodic({kFull}), Periodic({4000})}}},
        {"method 4, three channels whatever the flags",
         true,
         [] {
             r1 = Codes(300, 200, 0, 1);
             r2 = Codes(4000, 1000, 0, 2);
             return ORVCalibrateMethod4(true, &r1, false, &r2);
         },
         {14, 0x27, 0x10, 1, 0, 0},
         {{StreamChannel::Ppg3, Periodic({200}), Periodic({300})},
          {StreamChannel::Ppg1, Periodic({200}), Periodic({300})},
          {StreamChannel::Ppg2, Periodic({200}), Periodic({300})}}},
        {"method 5, channel 2 with the second record's lengths",
         false,
         [] {
             r1 = Codes(3, 0, 2, 1);
             r2 = Codes(1, 0, 4, 2);
             return ORVCalibrateMethod5(false, &r1, true, &r2);
         },
         {4, 0x27, 0x10, 0, 2, 0},
         {{StreamChannel::Ppg2, Periodic({0, 0, 0, 0, kFull}), Periodic({0})}}},
    };
    // One connection per instrument; the streams one after the other.
    for (bool three : {false, true}) {
        SCOPED_TRACE(three ? "three PPG channels" : "two PPG channels");
        Connected(three ? Profile::WithPpg2006() : Profile::WithPpgYB2001());
        for (const StreamCase& c : cases) {
            if (c.threeChannels != three) {
                continue;
            }
            SCOPED_TRACE(c.name);
            calibration::ResetCalibrationStreamState();
            const uint64_t streams = Status().streams;
            ClearSent();
            ASSERT_TRUE(Locked(c.start));
            const std::vector<Bytes> modes = ModeWrites();
            ASSERT_FALSE(modes.empty());
            EXPECT_EQ(modes.back(), c.mode);
            for (const ChannelExpect& e : c.channels) {
                ASSERT_TRUE(WaitForSamples(e.channel, 1200));
            }
            EXPECT_EQ(Status().streams, streams + 1);
            for (const ChannelExpect& e : c.channels) {
                SCOPED_TRACE(static_cast<int>(e.channel));
                const std::vector<int> dc = Played(e.channel, 0);
                const std::vector<int> ac = Played(e.channel, 1);
                EXPECT_EQ(dc, e.dc(dc.size()));
                EXPECT_EQ(ac, e.ac(ac.size()));
            }
            EXPECT_EQ(Status().counters.checkFailures, 0u);
            Stop();
            ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
        }
        ORVFree();
        emu_.Stop();
        ResetApiState();
        sandbox_.Unlink(port_);
    }
}

// Method 2's frame: the channel's waveform setting, then the operator mode at 5000 per
// second; the caller's record set to 1 kHz.
TEST_F(CalibrationStream, Method2WritesTheSettingAndSetsTheRecordToOneKHz) {
    Connected();
    PPG_WAVEFORM r = Codes(100, 3);
    ASSERT_TRUE(ORVCalibrateMethod2(PPG_CHANNEL_1, &r));
    EXPECT_EQ(r.fSampleRateKHz, 1.0);
    EXPECT_EQ(r.nSampleFraction, 0);
    const std::vector<Bytes> sent = Sent();
    size_t setting = sent.size(), mode = sent.size();
    for (size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].size() >= 3 && sent[i][0] == 0xEA && sent[i][1] == 0xFF && sent[i][2] == 0x02) {
            setting = std::min(setting, i);
        }
        if (sent[i].size() == 14 && sent[i][0] == 0x00 && sent[i][1] == 0xFF && sent[i][2] == 2) {
            mode = std::min(mode, i);
        }
    }
    ASSERT_LT(setting, sent.size());
    ASSERT_LT(mode, sent.size());
    EXPECT_LT(setting, mode);
    ASSERT_TRUE(Fw().WaitForPacketsPlayed(50, kLong));
    EXPECT_EQ(Status().rate, 5000u);
}

// Method 5's level flags persist: the second run opens at the level the first one left.
TEST_F(CalibrationStream, Method5PhasesCarryOverToTheNextRun) {
    Connected();
    PPG_WAVEFORM r1 = Codes(3, 0, 2), r2 = Codes(1, 0, 1);
    SquareModel model{false, 0, 3, 2};
    ASSERT_TRUE(ORVCalibrateMethod5(true, &r1, false, &r2));
    ASSERT_TRUE(WaitForSamples(StreamChannel::Ppg1, 700));
    ORVStopOutputWaveform();
    ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    ASSERT_EQ(Status().counters.overflows, 0u);
    const std::vector<int> first = Played(StreamChannel::Ppg1);
    EXPECT_EQ(first, model.Next(first.size()));
    model.position = 0;  // a new run starts its positions at 0

    ASSERT_TRUE(ORVCalibrateMethod5(true, &r1, false, &r2));
    ASSERT_TRUE(WaitForSamples(StreamChannel::Ppg1, 700));
    const std::vector<int> second = Played(StreamChannel::Ppg1);
    EXPECT_EQ(second, model.Next(second.size()));
}

// A mode the send function has no builder for: no packet of it goes out, the play thread
// stops sending, and the run lasts until it is stopped.
TEST_F(CalibrationStream, AModeTheMethodLacksEndsTheBatches) {
    Connected();
    PPG_WAVEFORM r = Codes(100, 3);
    ASSERT_TRUE(ORVCalibrateMethod2(PPG_CHANNEL_1, &r));
    ASSERT_TRUE(Fw().WaitForPacketsPlayed(50, kLong));
    ASSERT_EQ(Locked([] { return PlayRawSetOperatorMode(14, 1, 1); }), 1);
    // The packets held play out and the instrument asks again; nothing answers.
    ASSERT_TRUE(Fw().WaitForStream(
        [](const StreamStatus& s) {
            return s.buffered == 0 && s.counters.played == s.counters.packets &&
                   s.counters.requests * 50 >= s.counters.packets;
        },
        kLong));
    EXPECT_EQ(Locked([] { return PlayRawIsRunning(); }), 1);  // the run lasts until it is stopped
    Stop();
    ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    const StreamStatus s = Status();
    // Anything sent after the buffer ran dry would have refilled it (an underrun) and, in
    // the mode-2 layout, failed the mode check.
    EXPECT_EQ(s.counters.underruns, 0u);
    EXPECT_EQ(s.counters.checkFailures, 0u);
    EXPECT_EQ(s.counters.packets % 50, 0u);
    EXPECT_EQ(s.counters.commandsInBatch, 0u);
}

// ---- Starts while a stream plays ----

struct RestartCase {
    const char* name;
    std::function<bool()> first;
    std::function<bool()> second;
    bool update;   // the second start changes the running stream
    uint8_t mode;  // the stream's mode afterwards
    StreamChannel channel;
    int dc;  // the DC code the channel then plays
};

TEST_F(CalibrationStream, AStartWhileAStreamPlaysUpdatesOnlyItsOwnStream) {
    static PPG_WAVEFORM a, b, c, d;
    static std::vector<double> ac(1000, 0.0), dc(1000, 1.0);
    const RestartCase cases[] = {
        {"method 4 over method 4",
         [] {
             a = Codes(0, 100), b = Codes(0, 200);
             return ORVCalibrateMethod4(true, &a, true, &b);
         },
         [] {
             c = Codes(0, 300), d = Codes(0, 400);
             return ORVCalibrateMethod4(true, &c, false, &d);
         },
         true, 2, StreamChannel::Ppg1, 300},
        {"method 2 over method 2, same channel",
         [] {
             a = Codes(100, 0);
             return ORVCalibrateMethod2(PPG_CHANNEL_1, &a);
         },
         [] {
             b = Codes(500, 0);
             return ORVCalibrateMethod2(PPG_CHANNEL_1, &b);
         },
         true, 2, StreamChannel::Ppg1, 500},
        {"method 3 over method 3, same channel",
         [] {
             a = FlatCycle(100.0);
             return ORVCalibrateMethod3(PPG_CHANNEL_1, &a);
         },
         [] {
             b = FlatCycle(600.0);
             return ORVCalibrateMethod3(PPG_CHANNEL_1, &b);
         },
         true, 2, StreamChannel::Ppg1, 600},
        {"method 3Ex over method 3",
         [] {
             a = FlatCycle(100.0);
             return ORVCalibrateMethod3(PPG_CHANNEL_1, &a);
         },
         [] {
             b = FlatCycle(700.0), c = FlatCycle(800.0);
             return ORVCalibrateMethod3Ex(true, &b, true, &c);
         },
         true, 6, StreamChannel::Ppg2, 800},
        {"method 2 on the channel its mode does not play",
         [] {
             a = Codes(100, 0);
             return ORVCalibrateMethod2(PPG_CHANNEL_1, &a);
         },
         [] {
             b = Codes(500, 0);
             return ORVCalibrateMethod2(PPG_CHANNEL_2, &b);
         },
         false, 4, StreamChannel::Ppg2, 500},
        {"method 2 over method 4",
         [] {
             a = Codes(0, 100), b = Codes(0, 200);
             return ORVCalibrateMethod4(true, &a, true, &b);
         },
         [] {
             c = Codes(500, 0);
             return ORVCalibrateMethod2(PPG_CHANNEL_1, &c);
         },
         false, 2, StreamChannel::Ppg1, 500},
        {"method 4 over an ordinary stream",
         [] {
             PLAY_RAW_DATA s{1000.0, 1000, 1, ac.data(), dc.data(), nullptr};
             return Locked([&] { return PlayRawPPG(PPG_CHANNEL_1, s); }) == 1;
         },
         [] {
             a = Codes(0, 900), b = Codes(0, 0);
             return ORVCalibrateMethod4(true, &a, false, &b);
         },
         false, 2, StreamChannel::Ppg1, 900},
        {"method 5 over method 5",
         [] {
             a = Codes(1e9, 0, 1), b = Codes(1, 0, 1);
             return ORVCalibrateMethod5(true, &a, false, &b);
         },
         [] { return ORVCalibrateMethod5(true, &a, false, &b); }, false, 2, StreamChannel::Ppg1, kFull},
    };
    Connected();
    for (const RestartCase& k : cases) {
        SCOPED_TRACE(k.name);
        const uint64_t streams = Status().streams;
        ASSERT_TRUE(k.first());
        ASSERT_TRUE(WaitUntil([&] { return Status().streams == streams + 1; }, kLong));
        ASSERT_TRUE(Fw().WaitForPacketsPlayed(50, kLong));
        ClearSent();
        ASSERT_TRUE(k.second());
        if (k.update) {
            // Nothing but the mode (if any) went out, between two batches.
            for (const Bytes& b : Sent()) {
                EXPECT_TRUE(b.size() == 14 && b[0] == 0x00 && b[1] == 0xFF && b[2] == k.mode);
            }
        } else {
            ASSERT_TRUE(WaitUntil([&] { return Status().streams == streams + 2; }, kLong));
        }
        ASSERT_TRUE(WaitUntil(
            [&] {
                const std::vector<int> words = Played(k.channel);
                return !words.empty() && words.back() == k.dc;
            },
            kLong));
        const StreamStatus s = Status();
        EXPECT_EQ(s.streams, streams + (k.update ? 1 : 2));
        EXPECT_EQ(s.mode, k.mode);
        EXPECT_EQ(s.counters.checkFailures, 0u);
        EXPECT_EQ(s.counters.commandsInBatch, 0u);
        Stop();
        ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    }
}

// ---- Refused calls ----

TEST_F(CalibrationStream, RefusedStartsSendNothing) {
    static PPG_WAVEFORM r1, r2;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* name;
        std::function<bool()> call;
    } cases[] = {
        {"method 2, channel 3",
         [] {
             r1 = Codes(1, 1);
             return ORVCalibrateMethod2(PPG_CHANNEL_3, &r1);
         }},
        {"method 2, null", [] { return ORVCalibrateMethod2(PPG_CHANNEL_1, nullptr); }},
        {"method 2Ex, null",
         [] {
             r1 = Codes(1, 1);
             return ORVCalibrateMethod2Ex(&r1, nullptr);
         }},
        {"method 3, channel 3",
         [] {
             r1 = FlatCycle(1);
             return ORVCalibrateMethod3(PPG_CHANNEL_3, &r1);
         }},
        {"method 3, null", [] { return ORVCalibrateMethod3(PPG_CHANNEL_1, nullptr); }},
        {"method 3, no samples",
         [] {
             r1 = FlatCycle(1);
             r1.fFrequency = 1e9;
             return ORVCalibrateMethod3(PPG_CHANNEL_1, &r1);
         }},
        {"method 3Ex, nothing enabled and no words",
         [] {
             r1 = FlatCycle(1), r2 = FlatCycle(1);
             return ORVCalibrateMethod3Ex(false, &r1, false, &r2);
         }},
        {"method 3Ex, an enabled record without samples",
         [] {
             r1 = FlatCycle(1), r2 = FlatCycle(1);
             r2.fFrequency = 0.0;
             return ORVCalibrateMethod3Ex(true, &r1, true, &r2);
         }},
        {"method 4, null",
         [] {
             r1 = Codes(1, 1);
             return ORVCalibrateMethod4(true, &r1, false, nullptr);
         }},
        {"method 5, null",
         [] {
             r1 = Codes(1, 1);
             return ORVCalibrateMethod5(true, nullptr, false, &r1);
         }},
        {"method 5, NaN length",
         [nan] {
             r1 = Codes(1, 0, nan), r2 = Codes(1, 0, 1);
             return ORVCalibrateMethod5(true, &r1, false, &r2);
         }},
        {"method 5, NaN length, both",
         [nan] {
             r1 = Codes(1, 0, 1), r2 = Codes(nan, 0, 1);
             return ORVCalibrateMethod5(true, &r1, true, &r2);
         }},
    };
    Connected();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearSent();
        EXPECT_FALSE(c.call());
        EXPECT_TRUE(Sent().empty());
        EXPECT_EQ(Locked([] { return PlayRawIsRunning(); }), 0);
        EXPECT_EQ(Status().streams, 0u);
    }
}

TEST_F(CalibrationStream, NoInstrumentNoStream) {
    PPG_WAVEFORM r1 = Codes(1, 1, 1), r2 = Codes(1, 1, 1);
    r1.fFrequency = r2.fFrequency = 10.0;
    EXPECT_FALSE(ORVCalibrateMethod2(PPG_CHANNEL_1, &r1));
    EXPECT_FALSE(ORVCalibrateMethod2Ex(&r1, &r2));
    EXPECT_FALSE(ORVCalibrateMethod3(PPG_CHANNEL_1, &r1));
    EXPECT_FALSE(ORVCalibrateMethod3Ex(true, &r1, true, &r2));
    EXPECT_FALSE(ORVCalibrateMethod4(true, &r1, true, &r2));
    EXPECT_FALSE(ORVCalibrateMethod5(true, &r1, true, &r2));
    EXPECT_EQ(Locked([] { return PlayRawIsRunning(); }), 0);
}

}  // namespace
