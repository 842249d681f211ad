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
    EXPECT_FALSE(plan.Apply(2, {0xEA, 0x00, 0x07}, replies));
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
    EXPECT_TRUE(plan.Apply(0, {0x01}, replies));
    EXPECT_TRUE(replies.empty());
}

}  // namespace
}  // namespace nvsemu
