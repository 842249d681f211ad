// The instrument's stream play as a pure model, driven with hand-made packets and
// explicit times (µs): pacing, data requests per 50 played, checks, underruns,
// overflows, commands inside a batch, the end of a stream and the request faults.
#include "Stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

// A stream packet of `samples` counted samples in `mode`; word w of sample i is
// base + i * 16 + w, so every word says where it came from.
Bytes Packet(int mode, uint16_t seq, size_t samples, uint16_t base = 0x1000) {
    const StreamLayout layout = LayoutOf(mode);
    Bytes p(64, 0);
    p[0] = 0x01;
    p[1] = static_cast<uint8_t>(mode);
    p[5] = static_cast<uint8_t>(samples * layout.bytesPerSample);
    p[6] = static_cast<uint8_t>(seq >> 8);
    p[7] = static_cast<uint8_t>(seq & 0xFF);
    for (size_t i = 0; i < samples; ++i)
        for (size_t w = 0; w < layout.bytesPerSample / 2; ++w) {
            const uint16_t word = static_cast<uint16_t>(base + i * 16 + w);
            p[8 + i * layout.bytesPerSample + 2 * w] = static_cast<uint8_t>(word >> 8);
            p[9 + i * layout.bytesPerSample + 2 * w] = static_cast<uint8_t>(word & 0xFF);
        }
    return p;
}

Bytes Full(int mode, uint16_t seq) { return Packet(mode, seq, LayoutOf(mode).samplesPerPacket); }

Bytes Notice(uint8_t kind) {
    Bytes n(64, 0);
    n[0] = 0x01;
    n[1] = kind;
    return n;
}

// A player with a mode-1 stream at 10000 samples/s armed at time 0: a full packet
// (14 samples) plays in 1400 µs, 50 of them in 70 ms.
struct Armed {
    explicit Armed(int mode = 1, unsigned rate = 10000, StreamOptions options = {}) {
        player.SetOptions(options);
        player.OperatorMode(mode, rate, false, 0);
        this->mode = mode;
    }
    void Send(size_t n, uint64_t atUs) {
        for (size_t i = 0; i < n; ++i)
            player.Packet(Full(mode, seq++).data(), atUs);
    }
    StreamPlayer player;
    int mode = 1;
    uint16_t seq = 0;
};

TEST(StreamLayout, BytesPerSampleAndChannelOrder) {
    using C = StreamChannel;
    struct Case {
        int mode;
        size_t bytes, samples;
        std::vector<C> channels;
    } cases[] = {
        {1, 4, 14, {C::Ecg}},
        {2, 4, 14, {C::Ppg1}},
        {3, 8, 7, {C::Ecg, C::Ppg1}},
        {4, 4, 14, {C::Ppg2}},
        {5, 8, 7, {C::Ecg, C::Ppg2}},
        {6, 8, 7, {C::Ppg1, C::Ppg2}},
        {7, 12, 4, {C::Ecg, C::Ppg1, C::Ppg2}},
        {9, 8, 7, {C::Ecg, C::Ppg3}},
        {10, 8, 7, {C::Ppg1, C::Ppg3}},
        {11, 12, 4, {C::Ecg, C::Ppg1, C::Ppg3}},
        {12, 8, 7, {C::Ppg2, C::Ppg3}},
        {13, 12, 4, {C::Ecg, C::Ppg2, C::Ppg3}},
        {14, 12, 4, {C::Ppg3, C::Ppg1, C::Ppg2}},
        {15, 16, 3, {C::Ecg, C::Ppg3, C::Ppg1, C::Ppg2}},
        {16, 4, 14, {C::Ppg3}},
        {17, 12, 4, {C::Ecg, C::Respiration}},
    };
    for (const Case& c : cases) {
        const StreamLayout l = LayoutOf(c.mode);
        EXPECT_EQ(l.bytesPerSample, c.bytes) << "mode " << c.mode;
        EXPECT_EQ(l.samplesPerPacket, c.samples) << "mode " << c.mode;
        EXPECT_EQ(l.channels, c.channels) << "mode " << c.mode;
        EXPECT_TRUE(IsStreamMode(c.mode));
    }
    for (int mode : {0, 8, 18, 255}) {
        EXPECT_FALSE(IsStreamMode(mode));
        EXPECT_EQ(LayoutOf(mode).bytesPerSample, 0u);
    }
}

// 50 + 50 packets at once: the 50th has played at 70 ms, the 100th at 140 ms; each
// time one 01 55 falls due, and nothing before.
TEST(StreamPlayer, OneDataRequestPerFiftyPlayed) {
    Armed a;
    a.Send(100, 0);
    EXPECT_EQ(a.player.Status().buffered, 100u);
    EXPECT_EQ(a.player.NextDueUs(), 70000u);
    EXPECT_TRUE(a.player.Due(69999).packets.empty());
    EXPECT_EQ(a.player.Status().counters.played, 49u);
    const StreamOutput first = a.player.Due(70000);
    ASSERT_EQ(first.packets.size(), 1u);
    EXPECT_EQ(first.packets[0], Notice(0x55));
    EXPECT_EQ(a.player.NextDueUs(), 140000u);

    a.Send(49, 70500);  // the host's batch for that request, its last packet later
    a.Send(1, 71000);
    EXPECT_EQ(a.player.BatchLatencies(), std::vector<uint64_t>{1000});
    EXPECT_EQ(a.player.Due(140000).packets.size(), 1u);
    EXPECT_EQ(a.player.NextDueUs(), 210000u);

    const StreamStatus s = a.player.Status();
    EXPECT_EQ(s.counters.packets, 150u);
    EXPECT_EQ(s.counters.played, 100u);
    EXPECT_EQ(s.counters.requests, 2u);
    EXPECT_EQ(s.counters.underruns, 0u);
    EXPECT_EQ(s.counters.overflows, 0u);
    EXPECT_EQ(s.counters.checkFailures, 0u);
    EXPECT_EQ(a.player.PlayedSamples(StreamChannel::Ecg), 1400u);
}

// The play time follows the rate of the mode write and the clock error; a partial
// packet plays only its counted samples.
TEST(StreamPlayer, PlayTimeFollowsRateClockErrorAndCountedSamples) {
    struct Case {
        int mode;
        unsigned rate;
        double ppm;
        uint64_t fiftyUs;
    } cases[] = {
        {1, 10000, 0, 70000}, {1, 40000, 0, 17500}, {7, 10000, 0, 20000},   {15, 10000, 0, 15000},
        {17, 40000, 0, 5000}, {3, 10000, 0, 35000}, {1, 10000, 100, 69993}, {1, 10000, -100, 70007},
    };
    for (const Case& c : cases) {
        StreamOptions o;
        o.clockPpm = c.ppm;
        Armed a(c.mode, c.rate, o);
        a.Send(50, 1000);
        EXPECT_EQ(a.player.NextDueUs(), 1000 + c.fiftyUs) << "mode " << c.mode << " ppm " << c.ppm;
    }
    Armed still(1, 0);  // rate 0: held, never played, nothing due
    still.Send(3, 0);
    still.player.Advance(100000000);
    EXPECT_EQ(still.player.Status().counters.played, 0u);
    EXPECT_EQ(still.player.NextDueUs(), StreamPlayer::kNever);

    Armed a;
    a.player.Packet(Packet(1, 0, 3).data(), 0);  // 3 samples: 300 µs
    a.player.Packet(Packet(1, 1, 0).data(), 0);  // nothing counted: no time
    EXPECT_EQ(a.player.NextPlayedUs(), 300u);
    a.player.Advance(300);
    EXPECT_EQ(a.player.Status().counters.played, 2u);
    EXPECT_EQ(a.player.PlayedSamples(StreamChannel::Ecg), 3u);
}

// A buffer that runs dry and is refilled by the same stream is an underrun; the dry
// time is starved. A full buffer drops the packet.
TEST(StreamPlayer, UnderrunsAndOverflows) {
    Armed a;
    a.Send(2, 0);     // play until 2800 µs
    a.Send(1, 2000);  // still playing: no underrun
    a.Send(1, 5000);  // dry since 4200
    a.Send(1, 9000);  // dry since 6400
    StreamStatus s = a.player.Status();
    EXPECT_EQ(s.counters.underruns, 2u);
    EXPECT_EQ(s.counters.starvedUs, 800u + 2600u);

    StreamOptions small;
    small.bufferPackets = 10;
    Armed b(1, 10000, small);
    b.Send(12, 0);
    s = b.player.Status();
    EXPECT_EQ(s.counters.overflows, 2u);
    EXPECT_EQ(s.buffered, 10u);
    EXPECT_EQ(s.counters.packets, 12u);
    b.player.Advance(1000000);
    EXPECT_EQ(b.player.Status().counters.played, 10u);
}

// Each malformed field is flagged once, with the packet's index and sequence field;
// the packet still plays.
TEST(StreamPlayer, ChecksFlagEachBadField) {
    struct Case {
        const char* what;
        int mode;
        void (*spoil)(Bytes&);
        StreamCheck check;
    } cases[] = {
        {"mode byte", 1, [](Bytes& p) { p[1] = 3; }, StreamCheck::Mode},
        {"reserved byte 2", 1, [](Bytes& p) { p[2] = 1; }, StreamCheck::Reserved},
        {"reserved byte 4", 1, [](Bytes& p) { p[4] = 0x80; }, StreamCheck::Reserved},
        {"length not a multiple", 1, [](Bytes& p) { p[5] = 54; }, StreamCheck::Length},
        {"length over 56", 1, [](Bytes& p) { p[5] = 60; }, StreamCheck::Length},
        {"length over 48 in mode 7", 7, [](Bytes& p) { p[5] = 60; }, StreamCheck::Length},
        {"length over 48 in mode 17", 17, [](Bytes& p) { p[5] = 60; }, StreamCheck::Length},
        {"mode 3 length 56 is whole", 3, [](Bytes& p) { p[5] = 56; }, StreamCheck::NoStream},
        {"sequence skips", 1, [](Bytes& p) { p[7] = 2; }, StreamCheck::Sequence},
        {"bytes 56-63 in mode 15", 15, [](Bytes& p) { p[60] = 1; }, StreamCheck::Tail},
        {"past counted plus one", 1, [](Bytes& p) { p[5] = 8, p[8 + 3 * 4] = 1; }, StreamCheck::Tail},
    };
    for (const Case& c : cases) {
        Armed a(c.mode);
        a.Send(1, 0);
        Bytes p = Full(c.mode, 1);
        c.spoil(p);
        a.player.Packet(p.data(), 0);
        const auto failures = a.player.CheckFailures();
        if (c.check == StreamCheck::NoStream) {  // a valid packet: no failure
            EXPECT_TRUE(failures.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(failures.size(), 1u) << c.what;
        EXPECT_EQ(failures[0].check, c.check) << c.what;
        EXPECT_EQ(failures[0].packet, 1u) << c.what;
        EXPECT_EQ(a.player.Status().counters.checkFailures, 1u) << c.what;
        EXPECT_EQ(a.player.Status().buffered, 2u) << c.what;
    }
}

// The ending sample is written past the counted ones; the sequence runs 0 to 65499
// and wraps; a packet with no stream armed is dropped and flagged.
TEST(StreamPlayer, EndingSampleWrapAndNoStream) {
    Armed a;
    Bytes ending = Packet(1, 0, 3);
    ending[8 + 3 * 4] = 0x12;  // the uncounted ending sample
    a.player.Packet(ending.data(), 0);
    for (uint32_t seq = 1; seq < 65500; ++seq)
        a.player.Packet(Full(1, static_cast<uint16_t>(seq)).data(), 1000000ull * seq);
    a.player.Packet(Full(1, 0).data(), 1000000ull * 65500);
    EXPECT_TRUE(a.player.CheckFailures().empty());
    EXPECT_EQ(a.player.Status().nextSeq, 1u);

    StreamPlayer idle;
    idle.Packet(Full(1, 0).data(), 0);
    ASSERT_EQ(idle.CheckFailures().size(), 1u);
    EXPECT_EQ(idle.CheckFailures()[0].check, StreamCheck::NoStream);
    EXPECT_EQ(idle.Status().buffered, 0u);
}

// Commands are fine between batches (a multiple of 50 packets since the last request),
// not inside one; the write that ends the stream and commands after the data ended
// (a partial packet) are not counted.
TEST(StreamPlayer, CommandsInsideABatch) {
    Armed a;
    a.player.Command(false, 0);  // before any packet
    a.Send(23, 0);
    a.player.Command(false, 10);  // 23 of the first batch
    a.Send(27, 20);
    a.player.Command(false, 30);  // between the two first batches
    a.Send(50, 40);
    a.player.Command(false, 50);
    EXPECT_EQ(a.player.Status().counters.commandsInBatch, 1u);

    a.player.Due(70000);  // the first request: k starts again
    a.player.Command(false, 70001);
    a.Send(10, 70002);
    a.player.Command(false, 70003);
    EXPECT_EQ(a.player.Status().counters.commandsInBatch, 2u);
    a.player.Command(true, 70004);  // the switch
    EXPECT_EQ(a.player.Status().counters.commandsInBatch, 2u);

    // The next request goes out while the batch before it is still arriving: the rest
    // of that batch is not a new one.
    a.Send(20, 80000);
    EXPECT_EQ(a.player.Due(140000).packets.size(), 1u);
    a.Send(20, 140001);
    a.player.Command(false, 140002);
    EXPECT_EQ(a.player.Status().counters.commandsInBatch, 2u);

    Armed b;
    b.Send(20, 0);
    b.player.Packet(Packet(1, b.seq++, 5).data(), 0);  // the data end mid-batch
    b.player.Command(false, 10);
    EXPECT_EQ(b.player.Status().counters.commandsInBatch, 0u);
}

// Played words go to their channel in the packet's layout; a mode write while playing
// changes the layout for the packets after it and keeps the sequence.
TEST(StreamPlayer, PlayedWordsPerChannelAcrossALayoutChange) {
    Armed a(15);
    a.player.Packet(Packet(15, 0, 3, 0x1000).data(), 0);
    a.player.OperatorMode(17, 40000, false, 0);
    a.player.Packet(Packet(17, 1, 1, 0x2000).data(), 0);
    a.player.Advance(10000);
    EXPECT_TRUE(a.player.CheckFailures().empty());
    EXPECT_EQ(a.player.Status().streams, 1u);
    EXPECT_EQ(a.player.Status().mode, 17);
    // Mode 15 sample i: ECG at words 0-1, PPG3 2-3, PPG1 4-5, PPG2 6-7.
    EXPECT_EQ(a.player.PlayedWords(StreamChannel::Ecg),
              (std::vector<uint16_t>{0x1000, 0x1001, 0x1010, 0x1011, 0x1020, 0x1021, 0x2000, 0x2001}));
    EXPECT_EQ(a.player.PlayedWords(StreamChannel::Ppg3),
              (std::vector<uint16_t>{0x1002, 0x1003, 0x1012, 0x1013, 0x1022, 0x1023}));
    EXPECT_EQ(a.player.PlayedWords(StreamChannel::Ppg1),
              (std::vector<uint16_t>{0x1004, 0x1005, 0x1014, 0x1015, 0x1024, 0x1025}));
    EXPECT_EQ(a.player.PlayedWords(StreamChannel::Respiration),
              (std::vector<uint16_t>{0x2002, 0x2003, 0x2004, 0x2005}));
    EXPECT_EQ(a.player.PlayedSamples(StreamChannel::Ppg2), 3u);

    StreamOptions capped;
    capped.logSamples = 20;
    Armed b(1, 10000, capped);
    b.Send(2, 0);
    b.player.Advance(10000);
    EXPECT_EQ(b.player.PlayedWords(StreamChannel::Ecg).size(), 40u);
    EXPECT_EQ(b.player.PlayedSamples(StreamChannel::Ecg), 28u);
}

// A write of the mode in force mid-stream (a re-send with new AC ranges) keeps the
// stream, its buffer and its sequence; each command is logged where it landed.
TEST(StreamPlayer, ModeReSentMidStreamKeepsTheStreamAndCommandsAreLogged) {
    Armed a(7);
    a.Send(3, 0);  // 12 samples, 1200 µs of play
    a.player.Command(false, 500, {0x00, 0xFF, 0x07});
    a.player.OperatorMode(7, 10000, false, 500);
    a.Send(2, 600);
    a.player.Command(false, 1900, {0xEA, 0x00, 0x00});
    a.player.Advance(5000);
    const StreamStatus s = a.player.Status();
    EXPECT_EQ(s.streams, 1u);
    EXPECT_EQ(s.state, StreamState::Playing);
    EXPECT_EQ(s.nextSeq, 5u);
    EXPECT_EQ(s.counters.played, 5u);
    EXPECT_EQ(s.counters.underruns, 0u);
    EXPECT_TRUE(a.player.CheckFailures().empty());
    EXPECT_EQ(a.player.PlayedSamples(StreamChannel::Ppg2), 20u);

    const std::vector<StreamCommandMark>& marks = a.player.CommandMarks();
    ASSERT_EQ(marks.size(), 2u);
    struct Want {
        uint64_t atUs, packets, taken, played;
        Bytes head;
    } want[] = {{500, 3, 12, 4, {0x00, 0xFF, 0x07}}, {1900, 5, 20, 16, {0xEA, 0x00, 0x00}}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(marks[i].atUs, want[i].atUs);
        EXPECT_EQ(marks[i].packets, want[i].packets);
        EXPECT_EQ(marks[i].samplesTaken, want[i].taken);
        EXPECT_EQ(marks[i].samplesPlayed, want[i].played);
        EXPECT_EQ(marks[i].head, want[i].head);
    }
    a.player.OperatorMode(8, 10000, false, 6000);
    a.player.OperatorMode(1, 10000, false, 6001);  // a new stream starts a new log
    EXPECT_TRUE(a.player.CommandMarks().empty());
}

// The switch ends the requests; the held packets play out (or are dropped), then one
// end notice. A stream that was dry at the end has a tail, not an underrun.
TEST(StreamPlayer, EndPlaysOutThenNotice) {
    Armed a;
    a.Send(60, 0);  // plays until 84 ms; the 50th at 70 ms
    a.player.OperatorMode(8, 1, true, 10000);
    EXPECT_EQ(a.player.Status().state, StreamState::Ending);
    EXPECT_EQ(a.player.NextDueUs(), 84000u);
    const StreamOutput out = a.player.Due(84000);
    ASSERT_EQ(out.packets.size(), 1u);  // no 01 55 at 70 ms, only the notice
    EXPECT_EQ(out.packets[0], Notice(0xAA));
    StreamStatus s = a.player.Status();
    EXPECT_EQ(s.state, StreamState::Ended);
    EXPECT_EQ(s.end, StreamEnd::Switch);
    EXPECT_EQ(s.counters.played, 60u);
    EXPECT_EQ(s.counters.requests, 0u);
    EXPECT_EQ(s.counters.tails, 0u);
    EXPECT_EQ(a.player.NextDueUs(), StreamPlayer::kNever);

    StreamOptions drop;
    drop.dropOnEnd = true;
    Armed b(1, 10000, drop);
    b.Send(60, 0);
    b.player.OperatorMode(0, 0, false, 14000);  // mode 0 ends it too; 10 played by then
    EXPECT_EQ(b.player.Due(14000).packets, std::vector<Bytes>{Notice(0xAA)});
    s = b.player.Status();
    EXPECT_EQ(s.end, StreamEnd::Mode);
    EXPECT_EQ(s.counters.played, 10u);
    EXPECT_EQ(s.counters.droppedAtEnd, 50u);

    Armed c;
    c.Send(1, 0);  // dry from 1400 µs
    c.player.OperatorMode(8, 1, true, 5000);
    s = c.player.Status();
    EXPECT_EQ(s.counters.tails, 1u);
    EXPECT_EQ(s.counters.tailUs, 3600u);
    EXPECT_EQ(s.counters.underruns, 0u);
    EXPECT_EQ(c.player.Due(5000).packets.size(), 1u);

    Armed d;  // a closed port ends the stream, its packets and what it had due
    d.Send(60, 0);
    d.player.PortClosed(1400);
    s = d.player.Status();
    EXPECT_EQ(s.state, StreamState::Ended);
    EXPECT_EQ(s.end, StreamEnd::PortClosed);
    EXPECT_EQ(s.counters.droppedAtEnd, 59u);
    EXPECT_EQ(d.player.NextDueUs(), StreamPlayer::kNever);
}

// Request faults, each on the second request (index 1) of a stream that is fed as
// the host would: what is written when.
TEST(StreamPlayer, DataRequestFaults) {
    struct Written {
        uint64_t atUs;
        Bytes bytes;
    };
    struct Case {
        const char* what;
        StreamFault fault;
        std::vector<Written> second;  // what the second request turns into
        bool unplug;
    } cases[] = {
        {"silence", StreamFault::Silence(), {}, false},
        {"late", StreamFault::Late(5), {{145000, Notice(0x55)}}, false},
        {"duplicate", StreamFault::Duplicate(2), {{140000, Notice(0x55)}, {142000, Notice(0x55)}}, false},
        {"stray", StreamFault::Stray(0x33), {{140000, Notice(0x33)}, {140000, Notice(0x55)}}, false},
        {"unplug", StreamFault::Unplug(), {}, true},
    };
    for (const Case& c : cases) {
        Armed a;
        a.player.FaultOnDataRequest(1, c.fault, 1);
        a.Send(100, 0);
        EXPECT_EQ(a.player.Due(70000).packets.size(), 1u) << c.what;
        a.Send(50, 71000);
        std::vector<Written> got;
        bool unplug = false;
        for (uint64_t t = 140000; t < 150000; t += 500) {
            StreamOutput out = a.player.Due(t);
            unplug = unplug || out.unplug;
            for (Bytes& b : out.packets)
                got.push_back({t, b});
        }
        ASSERT_EQ(got.size(), c.second.size()) << c.what;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].atUs, c.second[i].atUs) << c.what;
            EXPECT_EQ(got[i].bytes, c.second[i].bytes) << c.what;
        }
        EXPECT_EQ(unplug, c.unplug) << c.what;
        // The third request is untouched (the emulator, not the model, closes the port).
        EXPECT_EQ(a.player.Due(210000).packets.size(), 1u) << c.what;
    }
}

// Events for the hook: armed, each request with the batch before it, the underrun,
// the end.
TEST(StreamPlayer, EventsTellWhatHappened) {
    Armed a;
    a.Send(50, 0);
    a.player.Due(70000);
    a.Send(1, 80000);
    a.player.OperatorMode(8, 1, true, 90000);
    a.player.Due(90000);
    std::vector<StreamEvent::Kind> kinds;
    for (const StreamEvent& e : a.player.TakeEvents()) {
        kinds.push_back(e.kind);
        if (e.kind == StreamEvent::Kind::DataRequest) {
            EXPECT_EQ(e.number, 0u);
            EXPECT_EQ(e.value, 50u);
        }
        if (e.kind == StreamEvent::Kind::Underrun) {
            EXPECT_EQ(e.value, 10000u);
        }
    }
    using K = StreamEvent::Kind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Armed, K::DataRequest, K::Underrun, K::Ending, K::Ended}));
    EXPECT_TRUE(a.player.TakeEvents().empty());
}

}  // namespace
}  // namespace nvsemu
