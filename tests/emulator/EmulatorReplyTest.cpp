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

}  // namespace
}  // namespace nvsemu
