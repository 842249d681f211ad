// The fault plan on its own: which requests a planned fault hits.
#include "Faults.h"

#include <gtest/gtest.h>

#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

// Which of `count` requests (all starting with `request`) lose their reply.
std::vector<bool> Hits(FaultPlan& plan, const Bytes& request, size_t count) {
    std::vector<bool> hit;
    for (size_t i = 0; i < count; ++i) {
        std::vector<Reply> replies = {{Bytes(64, 0xCC), 0}};
        plan.Apply(i, request, replies);
        hit.push_back(replies.empty());
    }
    return hit;
}

TEST(FaultPlan, HeaderFaultSkipsThenHitsAFixedNumber) {
    const Bytes stream = {0x01, 0x01, 0x00};
    struct Case {
        unsigned times, skip;
        std::vector<bool> hits;
    } cases[] = {
        {1, 0, {true, false, false, false, false}},
        {2, 1, {false, true, true, false, false}},
        {0, 3, {false, false, false, true, true}},  // 0: every one from then on
    };
    for (const Case& c : cases) {
        FaultPlan plan;
        plan.OnHeader({0x01, 0x01}, Fault::Drop(), c.times, c.skip);
        EXPECT_EQ(Hits(plan, stream, 5), c.hits) << c.times << "/" << c.skip;
    }
}

TEST(FaultPlan, HeaderFaultCountsOnlyMatchingRequests) {
    FaultPlan plan;
    plan.OnHeader({0x12, 0x55, 0xAA, 0xFF}, Fault::Drop(), 1, 1);
    EXPECT_EQ(Hits(plan, {0x12, 0x55, 0xAA, 0x00}, 3), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(Hits(plan, {0x12, 0x55}, 1), (std::vector<bool>{false}));  // shorter than the prefix
    EXPECT_EQ(Hits(plan, {0x12, 0x55, 0xAA, 0xFF, 0x00}, 3), (std::vector<bool>{false, true, false}));
}

TEST(FaultPlan, FaultsOnOneRequestApplyInPlannedOrder) {
    FaultPlan plan;
    plan.OnRequest(2, Fault::Replace({0xEA, 0x00, 0x07, 0xFF, 0x00, 0x09}));
    plan.OnRequest(2, Fault::Refuse(0x7F));
    plan.OnRequest(2, Fault::Delay(30));
    std::vector<Reply> replies = {{Bytes(64, 0), 5}};
    EXPECT_EQ(plan.Apply(2, {0xEA, 0x00, 0x07}, replies).port, FaultEffect::Port::Keep);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes, (Bytes{0xEA, 0x00, 0x07, 0x7F, 0x00, 0x09}));
    EXPECT_EQ(replies[0].delayMs, 35u);

    std::vector<Reply> again = {{Bytes(64, 0), 0}};
    plan.Apply(2, {0xEA, 0x00, 0x07}, again);  // spent: an index fault hits once
    EXPECT_EQ(again[0].bytes, Bytes(64, 0));
}

TEST(FaultPlan, ShortRepliesAreLeftAloneByRefuseAndTruncate) {
    std::vector<Reply> replies = {{{0xAA, 0x03, 0x00}, 0}};
    ApplyFault(Fault::Refuse(), replies);
    ApplyFault(Fault::Truncate(12), replies);
    EXPECT_EQ(replies[0].bytes, (Bytes{0xAA, 0x03, 0x00}));
}

TEST(FaultPlan, UnplugTakesEveryReplyAway) {
    FaultPlan plan;
    plan.OnRequest(0, Fault::Replace({0x01, 0x55}));
    plan.OnRequest(0, Fault::Unplug());
    std::vector<Reply> replies = {{Bytes(64, 0), 0}};
    EXPECT_EQ(plan.Apply(0, {0x01}, replies).port, FaultEffect::Port::Unplug);
    EXPECT_TRUE(replies.empty());
}

// Faults that add bytes: each reply sent twice, each reply too long.
TEST(FaultPlan, ExtendAndDuplicateChangeEachReply) {
    FaultPlan plan;
    plan.OnRequest(0, Fault::Extend(36, 0xAD));
    plan.OnRequest(0, Fault::Duplicate(20));
    std::vector<Reply> replies = {{Bytes(64, 0xCC), 5}, {{0x55, 0x00}, 7}};
    plan.Apply(0, {0xCC}, replies);
    Bytes longer(64, 0xCC);
    longer.insert(longer.end(), 36, 0xAD);
    const Bytes shortLonger = [] {
        Bytes b = {0x55, 0x00};
        b.insert(b.end(), 36, 0xAD);
        return b;
    }();
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[0].bytes, longer);
    EXPECT_EQ(replies[1].bytes, longer);
    EXPECT_EQ(replies[2].bytes, shortLonger);
    EXPECT_EQ(replies[3].bytes, shortLonger);
    EXPECT_EQ((std::vector<unsigned>{replies[0].delayMs, replies[1].delayMs, replies[2].delayMs, replies[3].delayMs}),
              (std::vector<unsigned>{5, 25, 7, 27}));

    std::vector<Reply> none;
    ApplyFault(Fault::Extend(36, 0xAD), none);  // nothing to extend: still nothing
    ApplyFault(Fault::Duplicate(), none);
    EXPECT_TRUE(none.empty());
}

// Unsolicited packets are timed around the replies as the other faults left them,
// are not changed by those faults (not even a drop), and die with the port.
TEST(FaultPlan, UnsolicitedPacketsStandApartFromTheReplies) {
    const Bytes sampling = {0xAD, 0x01, 0x02};
    const Bytes dataRequest = {0x01, 0x55};
    FaultPlan plan;
    plan.OnRequest(0, Fault::Unsolicited(sampling, 15));
    plan.OnRequest(0, Fault::UnsolicitedBefore(dataRequest));
    plan.OnRequest(0, Fault::Delay(30));
    plan.OnRequest(0, Fault::Refuse(0x00));  // planned after the packets: still only the replies
    plan.OnRequest(1, Fault::Drop());
    plan.OnRequest(1, Fault::Unsolicited(sampling));

    std::vector<Reply> replies = {{Bytes(64, 0xFF), 0}, {Bytes(64, 0xFF), 10}};
    FaultEffect effect = plan.Apply(0, {0xCC}, replies);
    ASSERT_EQ(effect.before.size(), 1u);
    EXPECT_EQ(effect.before[0].bytes, dataRequest);
    EXPECT_EQ(effect.before[0].delayMs, 30u);  // with the first reply
    ASSERT_EQ(effect.after.size(), 1u);
    EXPECT_EQ(effect.after[0].bytes, sampling);
    EXPECT_EQ(effect.after[0].delayMs, 55u);  // 15 after the last reply (10 + 30)
    EXPECT_EQ(replies[0].bytes[3], 0x00);

    replies = {{Bytes(64, 0xFF), 0}};
    effect = plan.Apply(1, {0xCC}, replies);
    EXPECT_TRUE(replies.empty());
    ASSERT_EQ(effect.after.size(), 1u);
    EXPECT_EQ(effect.after[0].delayMs, 0u);
    EXPECT_EQ(effect.port, FaultEffect::Port::Keep);

    plan.OnRequest(2, Fault::Unsolicited(sampling));
    plan.OnRequest(2, Fault::DelayUntilNext());
    plan.OnRequest(2, Fault::HangUp(250));
    replies = {{Bytes(64, 0xFF), 0}};
    effect = plan.Apply(2, {0xCC}, replies);
    EXPECT_EQ(effect.port, FaultEffect::Port::HangUp);
    EXPECT_EQ(effect.backAfterMs, 250u);
    EXPECT_TRUE(replies.empty());
    EXPECT_TRUE(effect.after.empty());
    EXPECT_FALSE(effect.hold);
}

TEST(FaultPlan, DelayUntilNextHoldsTheRepliesAsTheyStand) {
    FaultPlan plan;
    plan.OnHeader({0x55}, Fault::DelayUntilNext(40), 2);
    plan.OnHeader({0x55}, Fault::Unsolicited({0xAD}, 5));
    std::vector<Reply> replies = {{Bytes(12, 0x55), 3}};
    FaultEffect effect = plan.Apply(0, {0x55, 0x00, 0x00}, replies);
    EXPECT_TRUE(effect.hold);
    EXPECT_EQ(effect.heldMs, 40u);
    ASSERT_EQ(replies.size(), 1u);  // kept for the emulator to hold
    EXPECT_EQ(replies[0].delayMs, 3u);
    ASSERT_EQ(effect.after.size(), 1u);
    EXPECT_EQ(effect.after[0].delayMs, 5u);  // held replies have no time: from the request

    replies = {{Bytes(12, 0x55), 0}};
    EXPECT_TRUE(plan.Apply(1, {0x55, 0x00, 0x00}, replies).hold);
    replies = {{Bytes(12, 0x55), 0}};
    EXPECT_FALSE(plan.Apply(2, {0x55, 0x00, 0x00}, replies).hold);  // two were planned
}

}  // namespace
}  // namespace nvsemu
