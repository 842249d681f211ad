// Replies and faults through the pseudo-terminal: a raw client sends requests and
// reads what the emulated instrument writes back.
#include "Emulator.h"
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned kWaitMs = 2000;
constexpr unsigned kQuietMs = 150;  // how long "no reply" is watched for

const Bytes kModelRecord = {0x55, 0x00, 0x00};
const Bytes kRevision = {0xAA, 0x03};
const Bytes kPresence = {0xCC, 0x00, 0x14, 0x00};

// A 64-byte reply that echoes the request with byte 3 = 0xFF, and the two short
// replies of the identity family (12 bytes to 55 00 m, 5 bytes to AA 03).
Bytes Accepted(const Bytes& request) {
    Bytes reply = request;
    reply.resize(64, 0);
    reply[3] = 0xFF;
    return reply;
}

std::vector<Reply> Answer(const Request& r) {
    if (r.bytes == kModelRecord)
        return {{{0x55, 0x00, 0x00, 0xFF, 0x4F, 'N', 'V', 0x20, 0x01, 0x00, 0x00, 0x11}, 0}};
    if (r.bytes == kRevision)
        return {{{0xAA, 0x03, 0x00, 0x07, 0x00}, 0}};
    return {{Accepted(r.bytes), 0}};
}

// The reply Answer gives to a request of these bytes.
Bytes ReplyTo(const Bytes& request) {
    Request r;
    r.bytes = request;
    return Answer(r).front().bytes;
}

class EmulatorReplies : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator_.Start());
        emulator_.SetResponder(Answer);
        client_ = std::make_unique<SlaveClient>(emulator_.SlavePath());
        ASSERT_TRUE(client_->IsOpen());
    }
    void TearDown() override {
        EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { emulator_.Stop(); }));
    }

    // Sends a request and returns what one read brings within the deadline.
    Bytes Exchange(const Bytes& request, unsigned timeoutMs = kWaitMs) {
        EXPECT_EQ(client_->Write(request), static_cast<ssize_t>(request.size()));
        return client_->ReadOnce(timeoutMs);
    }

    Emulator emulator_;
    std::unique_ptr<SlaveClient> client_;
};

// The host reads a reply by its length in one read; each reply must be one write.
TEST_F(EmulatorReplies, EachReplyIsOneWriteOfItsLength) {
    struct Case {
        Bytes request;
        size_t length;
    } cases[] = {{kModelRecord, 12}, {kRevision, 5}, {kPresence, 64}};
    for (const Case& c : cases) {
        const Bytes got = Exchange(c.request);
        EXPECT_EQ(got.size(), c.length);
        EXPECT_EQ(got, ReplyTo(c.request));
    }
    const std::vector<Bytes> written = emulator_.Written();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0].size(), 12u);
    EXPECT_EQ(written[1].size(), 5u);
    EXPECT_EQ(written[2].size(), 64u);
}

TEST_F(EmulatorReplies, ReplyDelayIsHonoured) {
    emulator_.SetResponder([](const Request& r) { return std::vector<Reply>{{Accepted(r.bytes), 100}}; });
    const uint64_t sent = NowUs();
    const Bytes got = Exchange(kPresence);
    const uint64_t elapsedMs = (NowUs() - sent) / 1000;
    EXPECT_EQ(got.size(), 64u);
    EXPECT_GE(elapsedMs, 95u);
    EXPECT_LT(elapsedMs, kWaitMs);
}

// Canned replies answer the next requests in order, before the responder.
TEST_F(EmulatorReplies, CannedRepliesComeFirst) {
    emulator_.Enqueue({{0xB0, 0x00, 0x10, 0xFF, 0x05}, 0});
    emulator_.Enqueue({{0xB0, 0x00, 0x10, 0xFF, 0x06}, 0});
    EXPECT_EQ(Exchange(kPresence), (Bytes{0xB0, 0x00, 0x10, 0xFF, 0x05}));
    EXPECT_EQ(Exchange(kPresence), (Bytes{0xB0, 0x00, 0x10, 0xFF, 0x06}));
    EXPECT_EQ(Exchange(kPresence), Accepted(kPresence));
}

TEST_F(EmulatorReplies, InjectWritesAnUnsolicitedPacket) {
    const Bytes dataRequest = Accepted({0x01, 0x55});
    ASSERT_TRUE(emulator_.Inject(dataRequest));
    EXPECT_EQ(client_->ReadOnce(kWaitMs), dataRequest);
}

// The firmware model will be a table of family handlers that may call back into the
// emulator from its thread (here: a data request injected for each stream packet).
TEST_F(EmulatorReplies, FamilyResponderAndHookRunOnTheEmulatorThread) {
    auto family = std::make_shared<FamilyResponder>();
    family->On(0x01, [this](const Request&) {
        emulator_.Inject({0x01, 0x55});
        return std::vector<Reply>{};
    });
    family->On(0xCC, [](const Request& r) { return std::vector<Reply>{{Accepted(r.bytes), 0}}; });
    emulator_.SetResponder(family);
    std::atomic<int> hooked{0};
    emulator_.SetRequestHook([&](const Request& r) {
        EXPECT_EQ(emulator_.Requests().size(), r.index + 1);  // recorded before the hook
        ++hooked;
    });

    Bytes stream(64, 0);
    stream[0] = 0x01;
    stream[1] = 0x01;
    EXPECT_EQ(Exchange(stream), (Bytes{0x01, 0x55}));
    EXPECT_EQ(Exchange(kPresence), Accepted(kPresence));
    EXPECT_TRUE(Exchange(kRevision, kQuietMs).empty());  // family without a handler
    EXPECT_EQ(hooked.load(), 3);
}

TEST_F(EmulatorReplies, SilentAnswersNothingAndKeepsCannedReplies) {
    emulator_.Enqueue({{0xCC, 0x00, 0x10, 0xFF, 0x02}, 0});
    emulator_.SetSilent(true);
    EXPECT_TRUE(Exchange(kPresence, kQuietMs).empty());
    emulator_.SetSilent(false);
    EXPECT_EQ(Exchange(kPresence), (Bytes{0xCC, 0x00, 0x10, 0xFF, 0x02}));
    EXPECT_EQ(emulator_.Requests().size(), 2u);
}

// Each fault kind on the second of three requests: the first and third are untouched.
TEST_F(EmulatorReplies, FaultHitsOnlyItsRequest) {
    Bytes refused = Accepted(kPresence);
    refused[3] = 0x00;
    Bytes altered = Accepted(kPresence);
    altered[5] = 0xAB;
    altered[63] = 0x01;
    struct Case {
        const char* what;
        Fault fault;
        Bytes expected;  // what the second request gets; empty: nothing
    } cases[] = {
        {"drop", Fault::Drop(), {}},
        {"truncate", Fault::Truncate(5), {0xCC, 0x00, 0x14, 0xFF, 0x00}},
        {"refuse", Fault::Refuse(), refused},
        {"alter", Fault::Alter({{5, 0xAB}, {63, 0x01}, {64, 0x02}}), altered},
        {"replace", Fault::Replace({0x55, 0x00, 0x00, 0xFF}), {0x55, 0x00, 0x00, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        emulator_.ClearRequests();
        emulator_.ClearFaults();
        emulator_.FaultOnRequest(1, c.fault);
        EXPECT_EQ(Exchange(kPresence), Accepted(kPresence));
        EXPECT_EQ(Exchange(kPresence, c.expected.empty() ? kQuietMs : kWaitMs), c.expected);
        EXPECT_EQ(Exchange(kPresence), Accepted(kPresence));
    }
}

// A late reply is still written, after its delay: whoever reads next gets it.
TEST_F(EmulatorReplies, LateReplyReachesTheNextReader) {
    emulator_.FaultOnRequest(0, Fault::Delay(200));
    emulator_.FaultOnRequest(1, Fault::Drop());
    const uint64_t sent = NowUs();
    EXPECT_TRUE(Exchange(kModelRecord, 50).empty());  // the first reader times out
    const Bytes got = Exchange(kPresence);            // the next reader gets the late reply
    const uint64_t elapsedMs = (NowUs() - sent) / 1000;
    EXPECT_EQ(got, ReplyTo(kModelRecord));
    EXPECT_GE(elapsedMs, 195u);
    EXPECT_LT(elapsedMs, kWaitMs);
}

TEST_F(EmulatorReplies, HeaderFaultHitsMatchingRequests) {
    emulator_.FaultOnHeader({0xCC, 0x00, 0x14}, Fault::Refuse(0x01), 0);
    Bytes refused = Accepted(kPresence);
    refused[3] = 0x01;
    EXPECT_EQ(Exchange(kPresence), refused);
    EXPECT_EQ(Exchange(kRevision), (Bytes{0xAA, 0x03, 0x00, 0x07, 0x00}));
    EXPECT_EQ(Exchange(kPresence), refused);
}

Bytes Joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Glitches that put extra bytes on the line, on the second of three requests: what
// the host reads, and the writes behind it (each packet one write of its own).
TEST_F(EmulatorReplies, ExtraBytesOnTheLine) {
    Bytes sampling(64, 0x11);
    sampling[0] = 0xAD;
    const Bytes reply = Accepted(kPresence);
    struct Case {
        const char* what;
        std::vector<Fault> faults;
        std::vector<Bytes> writes;  // what the second request brings, write by write
    } cases[] = {
        {"twice", {Fault::Duplicate()}, {reply, reply}},
        {"36 bytes too long", {Fault::Extend(36, 0xAD)}, {Joined(reply, Bytes(36, 0xAD))}},
        {"unsolicited after", {Fault::Unsolicited(sampling)}, {reply, sampling}},
        {"unsolicited before", {Fault::UnsolicitedBefore(sampling)}, {sampling, reply}},
        {"unsolicited instead", {Fault::Drop(), Fault::Unsolicited(sampling)}, {sampling}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        emulator_.ClearRequests();
        emulator_.ClearFaults();
        for (const Fault& f : c.faults)
            emulator_.FaultOnRequest(1, f);
        EXPECT_EQ(Exchange(kPresence), reply);
        Bytes expected;
        for (const Bytes& w : c.writes)
            expected = Joined(expected, w);
        ASSERT_EQ(client_->Write(kPresence), 4);
        EXPECT_EQ(client_->ReadExactly(expected.size(), kWaitMs), expected);
        EXPECT_EQ(Exchange(kPresence), reply);  // nothing left over for the next reader

        const std::vector<Bytes> written = emulator_.Written();
        ASSERT_EQ(written.size(), c.writes.size() + 2);
        EXPECT_EQ(std::vector<Bytes>(written.begin() + 1, written.end() - 1), c.writes);
    }
}

// Any first byte can arrive unsolicited: stream packets, data requests and replies of
// every family a reader might be waiting for; planned after a reply, or at once.
TEST_F(EmulatorReplies, UnsolicitedPacketOfAnyFirstByte) {
    const std::vector<Bytes> firsts = {{0x55}, {0xEA}, {0x12}, {0xCC}, {0xB0}, {0xAD}, {0x01}, {0x01, 0x55}};
    for (const Bytes& first : firsts) {
        SCOPED_TRACE(static_cast<int>(first[0]));
        Bytes packet = first;
        packet.resize(64, 0x5A);
        emulator_.ClearFaults();
        emulator_.FaultOnHeader(kPresence, Fault::Unsolicited(packet));
        ASSERT_EQ(client_->Write(kPresence), 4);
        EXPECT_EQ(client_->ReadExactly(128, kWaitMs), Joined(Accepted(kPresence), packet));
        ASSERT_TRUE(emulator_.Inject(packet));
        EXPECT_EQ(client_->ReadExactly(64, kWaitMs), packet);
    }
}

TEST_F(EmulatorReplies, UnsolicitedPacketAfterADelay) {
    const Bytes dataRequest = Accepted({0x01, 0x55});
    emulator_.FaultOnRequest(0, Fault::Unsolicited(dataRequest, 150));
    const uint64_t sent = NowUs();
    EXPECT_EQ(Exchange(kPresence), Accepted(kPresence));
    EXPECT_EQ(client_->ReadOnce(kWaitMs), dataRequest);
    const uint64_t elapsedMs = (NowUs() - sent) / 1000;
    EXPECT_GE(elapsedMs, 145u);
    EXPECT_LT(elapsedMs, kWaitMs);
}

// The host's reader gives up after its time-out (here 130 ms) and sends the next
// request; the late reply of the first comes while the second is being answered, so
// the second reader finds it ahead of its own reply.
TEST_F(EmulatorReplies, LateReplyArrivesWhileTheNextRequestIsAnswered) {
    constexpr unsigned kReaderMs = 130;
    constexpr unsigned kLateMs = 250;
    emulator_.FaultOnRequest(0, Fault::Delay(kLateMs));
    emulator_.FaultOnRequest(1, Fault::Delay(kLateMs));
    const uint64_t first = NowUs();
    EXPECT_TRUE(Exchange(kModelRecord, kReaderMs).empty());
    const uint64_t second = NowUs();
    ASSERT_LT((second - first) / 1000, kLateMs - 20) << "the host was too slow for this plan";
    ASSERT_EQ(client_->Write(kPresence), 4);
    EXPECT_EQ(client_->ReadOnce(kWaitMs), ReplyTo(kModelRecord));
    const uint64_t lateMs = (NowUs() - first) / 1000;
    EXPECT_EQ(client_->ReadOnce(kWaitMs), Accepted(kPresence));
    const uint64_t ownMs = (NowUs() - second) / 1000;
    EXPECT_GE(lateMs, kLateMs - 5);
    EXPECT_GE(ownMs, kLateMs - 5);
    EXPECT_LT(ownMs, kWaitMs);
}

// The same without depending on the host's timing: the reply waits for the next
// request and is written ahead of that request's own reply.
TEST_F(EmulatorReplies, ReplyHeldUntilTheNextRequest) {
    emulator_.FaultOnRequest(0, Fault::DelayUntilNext());
    EXPECT_TRUE(Exchange(kModelRecord, kQuietMs).empty());
    ASSERT_EQ(client_->Write(kPresence), 4);
    EXPECT_EQ(client_->ReadExactly(12 + 64, kWaitMs), Joined(ReplyTo(kModelRecord), Accepted(kPresence)));
    EXPECT_EQ(emulator_.Written(), (std::vector<Bytes>{ReplyTo(kModelRecord), Accepted(kPresence)}));

    // Held with a delay: written that long after the next request arrives.
    emulator_.FaultOnRequest(2, Fault::DelayUntilNext(150));
    EXPECT_TRUE(Exchange(kRevision, kQuietMs).empty());
    const uint64_t sent = NowUs();
    EXPECT_EQ(Exchange(kPresence), Accepted(kPresence));
    EXPECT_EQ(client_->ReadOnce(kWaitMs), ReplyTo(kRevision));
    const uint64_t elapsedMs = (NowUs() - sent) / 1000;
    EXPECT_GE(elapsedMs, 145u);
    EXPECT_LT(elapsedMs, kWaitMs);
}

}  // namespace
}  // namespace nvsemu
