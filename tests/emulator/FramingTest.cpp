// The request framer on its own: how shared headers are decided by the burst, what
// happens to filler, unknown and unfinished bytes. The full length table is checked
// through the pseudo-terminal in EmulatorFramingTest.cpp.
#include "Framing.h"

#include <gtest/gtest.h>

#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Padded(Bytes head, size_t length) {
    head.resize(length, 0);
    return head;
}

const Bytes kShortMemoryRead = {0x12, 0x55, 0xAA, 0x00, 0x00, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00};
const Bytes kModelRecord = {0x55, 0x00, 0x00};

std::vector<size_t> Lengths(const std::vector<Frame>& frames) {
    std::vector<size_t> out;
    for (const Frame& f : frames)
        out.push_back(f.bytes.size());
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A shared header is not decided while the burst may still bring the longer form, and
// is decided by what has arrived once it ends.
TEST(RequestFramer, SharedHeaderWaitsForTheEndOfTheBurst) {
    RequestFramer framer;
    framer.Feed(kShortMemoryRead.data(), kShortMemoryRead.size());
    EXPECT_TRUE(framer.Take(false).empty());
    EXPECT_EQ(framer.Pending(), 12u);

    const std::vector<Frame> frames = framer.Take(true);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, kShortMemoryRead);
    EXPECT_EQ(frames[0].kind, FrameKind::Known);
    EXPECT_EQ(frames[0].name, "memory read (12)");
    EXPECT_EQ(framer.Pending(), 0u);
}

TEST(RequestFramer, LongFormIsTakenAsSoonAsItIsComplete) {
    RequestFramer framer;
    const Bytes longRead = Padded(kShortMemoryRead, 64);
    framer.Feed(longRead.data(), 40);
    EXPECT_TRUE(framer.Take(false).empty());
    framer.Feed(longRead.data() + 40, 24);
    const std::vector<Frame> frames = framer.Take(false);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, longRead);
}

// Each shared header followed, in the same burst, by another request: the bytes of the
// next request rule out the long form.
TEST(RequestFramer, SharedHeaderFollowedByAnotherRequestInOneBurst) {
    const Bytes shortOperator = {0x00, 0xFF, 0x08, 0x10, 0x27, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01};
    const Bytes registerRead = {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04};
    const Bytes stream = Padded({0x01, 0x01, 0x00, 0x00, 0x00, 0x38, 0x01, 0x02, 0x11}, 64);
    struct Case {
        const char* what;
        Bytes burst;
        std::vector<size_t> lengths;
    } cases[] = {
        {"short memory read, model record", Join({kShortMemoryRead, kModelRecord}), {12, 3}},
        {"short memory read, stream packet", Join({kShortMemoryRead, stream}), {12, 64}},
        {"long memory read, short memory read", Join({Padded(kShortMemoryRead, 64), kShortMemoryRead}), {64, 12}},
        {"short operator mode, FPGA presence", Join({shortOperator, {0xCC, 0x00, 0x14, 0x00}}), {11, 4}},
        {"register read, extension version", Join({registerRead, {0xB8, 0x00, 0x00}}), {7, 3}},
        {"padded register read, model record", Join({Padded(registerRead, 11), kModelRecord}), {11, 3}},
    };
    for (const Case& c : cases) {
        RequestFramer framer;
        framer.Feed(c.burst.data(), c.burst.size());
        std::vector<Frame> frames = framer.Take(false);
        for (Frame& f : framer.Take(true))
            frames.push_back(std::move(f));
        EXPECT_EQ(Lengths(frames), c.lengths) << c.what;
        EXPECT_EQ(framer.Pending(), 0u) << c.what;
    }
}

TEST(RequestFramer, FillerBetweenRequestsIsDroppedAndCounted) {
    RequestFramer framer;
    const Bytes burst = Join({{0x38}, kModelRecord, {0x38, 0x38}, {0xAA, 0x03}, {0x38}});
    framer.Feed(burst.data(), burst.size());
    const std::vector<Frame> frames = framer.Take(true);
    ASSERT_EQ(Lengths(frames), (std::vector<size_t>{3, 2}));
    EXPECT_EQ(frames[0].bytes, kModelRecord);
    EXPECT_EQ(frames[0].offset, 1u);
    EXPECT_EQ(frames[1].offset, 6u);
    EXPECT_EQ(framer.FillerBytes(), 4u);
}

TEST(RequestFramer, FillerValueInsideARequestIsKept) {
    RequestFramer framer;
    const Bytes romRead = {0xEA, 0x00, 0x07, 0x00, 0x38, 0x38};  // ROM address and value 0x38
    framer.Feed(romRead.data(), romRead.size());
    const std::vector<Frame> frames = framer.Take(false);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, romRead);
    EXPECT_EQ(framer.FillerBytes(), 0u);
}

// A filler byte that lands right after a short form in the same burst is still filler.
TEST(RequestFramer, FillerAfterAShortFormInOneBurst) {
    RequestFramer framer;
    const Bytes burst = Join({kShortMemoryRead, {0x38}});
    framer.Feed(burst.data(), burst.size());
    EXPECT_EQ(Lengths(framer.Take(true)), (std::vector<size_t>{12}));
    EXPECT_EQ(framer.FillerBytes(), 1u);
}

TEST(RequestFramer, UnknownBytesTakeTheWholeBurst) {
    RequestFramer framer;
    const Bytes burst = {0x77, 0x55, 0x00, 0x00, 0x38};
    framer.Feed(burst.data(), burst.size());
    EXPECT_TRUE(framer.Take(false).empty());
    const std::vector<Frame> frames = framer.Take(true);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, FrameKind::Unknown);
    EXPECT_EQ(frames[0].bytes, burst);

    // The next burst starts clean.
    framer.Feed(kModelRecord.data(), kModelRecord.size());
    const std::vector<Frame> next = framer.Take(false);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].kind, FrameKind::Known);
}

// A request cut short waits across burst ends (its rest may follow) and is given up
// only when the line stays quiet; a split header waits the same way.
TEST(RequestFramer, UnfinishedRequestWaitsThenIsGivenUp) {
    const Bytes ecgSetting = Padded({0xEA, 0xFF, 0x01}, 58);
    {
        RequestFramer framer;
        framer.Feed(ecgSetting.data(), 20);
        EXPECT_TRUE(framer.Take(true).empty());
        framer.Feed(ecgSetting.data() + 20, 38);
        const std::vector<Frame> frames = framer.Take(true);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].bytes, ecgSetting);
    }
    {
        RequestFramer framer;
        const Bytes header = {0xCC, 0xFF, 0x0A, 0x00};  // count byte not yet here
        framer.Feed(header.data(), header.size());
        EXPECT_TRUE(framer.Take(true).empty());
        const std::vector<Frame> frames = framer.Take(true, true);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].kind, FrameKind::Incomplete);
        EXPECT_EQ(frames[0].bytes, header);
    }
    {
        RequestFramer framer;
        framer.Feed(kShortMemoryRead.data(), 8);  // shorter than either form
        EXPECT_TRUE(framer.Take(true).empty());
        const std::vector<Frame> frames = framer.Take(true, true);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].kind, FrameKind::Incomplete);
        EXPECT_EQ(frames[0].bytes.size(), 8u);
    }
}

// The register write's length follows its count byte; the VRef write sends the whole
// 64-byte reply back.
TEST(RequestFramer, RegisterWriteLengthFollowsItsCount) {
    struct Case {
        Bytes bytes;
        size_t length;
    } cases[] = {
        {{0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x70, 0x01, 0x01}, 8},
        {{0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x20, 0x02, 0x12, 0x34}, 9},
        {Padded({0xCC, 0xFF, 0x0A, 0xFF, 0xD0, 0x51, 0x04, 0x08, 0x00, 0x07, 0xFF}, 64), 64},
    };
    for (const Case& c : cases) {
        RequestFramer framer;
        const Bytes burst = Join({c.bytes, kModelRecord});
        framer.Feed(burst.data(), burst.size());
        EXPECT_EQ(Lengths(framer.Take(false)), (std::vector<size_t>{c.length, 3})) << c.length;
    }
}

}  // namespace
}  // namespace nvsemu
