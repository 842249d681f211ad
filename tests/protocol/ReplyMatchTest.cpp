// The echo rules that pair a reply with its request, case by case: the instrument's own
// answer is taken, the answers to the neighbouring requests that a glitch can put in its
// place are not.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/ReplyMatch.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A 64-byte reply that starts with these bytes.
Bytes Packet(Bytes head, size_t size = 64) {
    head.resize(size, 0);
    return head;
}

struct Case {
    const char* what;
    Bytes request;
    Bytes reply;
    bool onHeaders;   // answers once the instrument is known to repeat request headers
    bool onPromised;  // answers on the promised bytes alone
};

TEST(ReplyMatch, EachFamilyTakesItsOwnAnswerAndNoNeighbourThatItsEchoTellsApart) {
    const Bytes memoryRead = Packet({0x12, 0x55, 0xAA, 0x00, 0x00, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00});
    const Bytes rawPacket = Packet({0xEA, 0xFF, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x11, 0x22});
    const Case cases[] = {
        // Operator mode: the reply is the block itself, so only its family pairs it.
        {"operator read, its block", Bytes(14, 0), Packet({0x00, 0x00, 0x08, 0x03, 0xE8, 1, 1, 1}), true, true},
        {"operator read, the block as last written", Bytes(14, 0), Packet({0x00, 0xFF, 0x08, 0x03, 0xE8}), true, true},
        {"operator read, a control block", Bytes(14, 0), Packet({0xEA, 0x00, 0x00, 0xFF}), false, false},
        // Memory command: direction, target, erase flag, count and address come back.
        {"memory read, its reply", memoryRead,
         Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00, 0, 0, 0, 0, 0xAB}), true, true},
        {"memory read, refused (byte 4)", memoryRead,
         Packet({0x12, 0x55, 0xAA, 0x00, 0x00, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00}), true, true},
        {"memory read, the previous packet's address", memoryRead,
         Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x13, 0x00, 0x20, 0x00, 0x00, 0x13, 0xE0}), false, false},
        {"memory read, another target", memoryRead,
         Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x12, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00}), false, false},
        {"memory read, another count", memoryRead,
         Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x13, 0x00, 0x10, 0x00, 0x00, 0x14, 0x00}), false, false},
        {"memory read, a write's reply", memoryRead,
         Packet({0x12, 0x55, 0xAA, 0xFF, 0xFF, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00}), false, false},
        {"memory read, an erase's reply", memoryRead,
         Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x13, 0x01, 0x20, 0x00, 0x00, 0x14, 0x00}), false, false},
        {"12-byte version read, its reply",
         {0x12, 0x55, 0xAA, 0x00, 0x00, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00},
         Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00}),
         true, true},
        // Identity family: module byte echoed.
        {"model record of the main module", {0x55, 0x00, 0x00}, Packet({0x55, 0x00, 0x00, 0xFF, 0x4F}, 12), true, true},
        {"model record, the PPG side's answer", {0x55, 0x00, 0x00}, Packet({0x55, 0x00, 0x01, 0xFF, 0x4F}, 12), false, false},
        {"DAC width, a model record", {0x55, 0x00, 0x80}, Packet({0x55, 0x00, 0x00, 0xFF, 0x4F}, 12), false, true},
        {"revision: its family pairs it", {0xAA, 0x03}, Packet({0xAA, 0x03, 0x00, 0x07}, 5), true, true},
        {"revision, a model record", {0xAA, 0x03}, Packet({0x55, 0x00, 0x00, 0xFF}, 12), false, false},
        // 0xAD: any packet acknowledges the stream switch; the RLD read needs its own.
        {"stream switch, a stream packet",
         {0xAD, 0xFF, 0x00, 0x00, 0x06, 0x00},
         Packet({0xAD, 0x12, 0x34, 0xFF, 6}),
         true, true},
        {"RLD read, its reply", {0xAD, 0x00, 0x01, 0x00, 0x10, 0x00}, Packet({0xAD, 0x00, 0x01, 0xFF, 0, 0, 2}), true, true},
        {"RLD read, the switch's answer",
         {0xAD, 0x00, 0x01, 0x00, 0x10, 0x00},
         Packet({0xAD, 0xFF, 0x00, 0xFF, 0}),
         false, true},
        // 0xB0 and the extension-module version.
        {"ambient DC read, its reply", {0xB0, 0x00, 0x11, 0x00}, Packet({0xB0, 0x00, 0x11, 0xFF, 0x01, 0x23}), true, true},
        {"ambient DC read, the ambient-mode reply",
         {0xB0, 0x00, 0x11, 0x00},
         Packet({0xB0, 0x00, 0x10, 0xFF, 6}),
         false, true},
        {"ambient DC read, the USB voltage reply",
         {0xB0, 0x00, 0x11, 0x00},
         Packet({0xCC, 0x00, 0x42, 0xFF, 0xC8}),
         false, false},
        {"ambient mode read, the mode write's reply",
         {0xB0, 0x00, 0x10, 0x00, 0x00},
         Packet({0xB0, 0xFF, 0x10, 0xFF, 6}),
         false, true},
        {"rate poll, busy (refused)", {0xB0, 0x00, 0x20, 0x00, 4}, Packet({0xB0, 0x00, 0x20, 0x00, 4}), true, true},
        {"B9 version, its reply", {0xB9, 0x00, 0x01}, Packet({0xB9, 0x00, 0x01, 0xFF, 1, 2}), true, true},
        {"B8 version, a B9 reply", {0xB8, 0x00, 0x00}, Packet({0xB9, 0x00, 0x01, 0xFF, 1, 2}), false, false},
        // 0xCC: the sub-command (setting id); registers also device, register, count.
        {"USB voltage, its reply", {0xCC, 0x00, 0x42}, Packet({0xCC, 0x00, 0x42, 0xFF, 0xC8}), true, true},
        {"USB voltage, the LED feedback reply", {0xCC, 0x00, 0x42}, Packet({0xCC, 0x00, 0x41, 0xFF, 0x9A}), false, true},
        {"setting 4 read, setting 3's reply", Packet({0xCC, 0x00, 0x04}), Packet({0xCC, 0x00, 0x03, 0xFF, 1}), false, true},
        {"setting 4 read, refused", Packet({0xCC, 0x00, 0x04}), Packet({0xCC, 0x00, 0x04, 0x00}), true, true},
        {"setting 4 write, the read's reply", Packet({0xCC, 0xFF, 0x04, 0x00, 0x34}), Packet({0xCC, 0x00, 0x04, 0xFF}),
         false, true},
        {"VRef read, its reply",
         {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04},
         Packet({0xCC, 0x00, 0x0A, 0xFF, 0xD0, 0x51, 0x04, 0x08, 0x00}),
         true, true},
        {"VRef read, register 0x70's reply",
         {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04},
         Packet({0xCC, 0x00, 0x0A, 0xFF, 0xD0, 0x70, 0x02, 0x12, 0x34}),
         false, true},
        {"VRef write (byte 3 as read), its reply", Packet({0xCC, 0xFF, 0x0A, 0xFF, 0xD0, 0x51, 0x04, 1, 2, 3, 4}),
         Packet({0xCC, 0xFF, 0x0A, 0xFF, 0xD0, 0x51, 0x04, 1, 2, 3, 4}), true, true},
        {"module selection, another family",
         {0xCC, 0x00, 0x10, 0x00, 0x00},
         Packet({0xB0, 0x00, 0x10, 0xFF, 2}),
         false, false},
        // 0xEA: sub-command; raw packets also their point index.
        {"control block read, its reply", Packet({0xEA, 0x00, 0x00, 0x00}, 61), Packet({0xEA, 0x00, 0x00, 0xFF, 1, 2}),
         true, true},
        {"control block read, the block write's reply", Packet({0xEA, 0x00, 0x00, 0x00}, 61),
         Packet({0xEA, 0xFF, 0x00, 0xFF, 1, 2}), false, true},
        {"control block read, a setting read's reply", Packet({0xEA, 0x00, 0x00, 0x00}, 61),
         Packet({0xEA, 0x00, 0x01, 0xFF, 1, 2}), false, true},
        {"control block read, a memory reply", Packet({0xEA, 0x00, 0x00, 0x00}, 61),
         Packet({0x12, 0x55, 0xAA, 0x00, 0xFF}), false, false},
        {"ECG setting read, its reply", {0xEA, 0x00, 0x01}, Packet({0xEA, 0x00, 0x01, 0xFF, 0, 0, 0x27}), true, true},
        {"ECG setting read, the stored block", {0xEA, 0x00, 0x01}, Packet({0xEA, 0xFF, 0x01, 0xFF, 0, 0, 0x27}), true, true},
        {"PPG 2 setting read, PPG 1's block", {0xEA, 0x00, 0x03}, Packet({0xEA, 0xFF, 0x02, 0xFF, 1}), false, true},
        {"ECG setting read, the control block", {0xEA, 0x00, 0x01}, Packet({0xEA, 0x00, 0x00, 0xFF, 1}), false, true},
        {"raw packet, its echo", rawPacket, Packet({0xEA, 0xFF, 0x04, 0xFF, 0x00, 0x00, 0x00, 0x0E, 0x11, 0x22}), true, true},
        {"raw packet, the previous packet's echo", rawPacket,
         Packet({0xEA, 0xFF, 0x04, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x33, 0x44}), false, false},
        {"raw packet, another channel's echo", rawPacket,
         Packet({0xEA, 0xFF, 0x05, 0xFF, 0x00, 0x00, 0x00, 0x0E, 0x11, 0x22}), false, false},
        {"ROM read, its reply (value of the read before)",
         {0xEA, 0x00, 0x07, 0x00, 0x02, 0x00},
         Packet({0xEA, 0x00, 0x07, 0xFF, 0x02, 0x05}),
         true, true},
        // A family the library does not know: its family byte pairs it.
        {"unknown family, its family", {0x77, 0x01, 0x02}, Packet({0x77, 0x09, 0x09, 0xFF}), true, true},
        {"unknown family, another", {0x77, 0x01, 0x02}, Packet({0x78, 0x01, 0x02, 0xFF}), false, false},
    };
    for (const Case& c : cases) {
        const proto::ReplyMatch m = proto::MatchFor(c.request.data(), static_cast<int>(c.request.size()));
        const int n = static_cast<int>(c.reply.size());
        EXPECT_EQ(proto::Answers(m, c.reply.data(), n, true), c.onHeaders) << c.what << ", on headers";
        EXPECT_EQ(proto::Answers(m, c.reply.data(), n, false), c.onPromised) << c.what << ", on the promised bytes";
    }
}

TEST(ReplyMatch, OnlyTheBytesOfTheRequestAndOfTheDeliveryAreCompared) {
    // A 3-byte request has no bytes 4 to 6 to ask back, even for a register sub-command.
    const uint8_t shortRequest[3] = {0xCC, 0x00, 0x0A};
    const Bytes anyRegister = Packet({0xCC, 0x00, 0x0A, 0xFF, 0x99, 0x98, 0x97});
    EXPECT_TRUE(proto::Answers(proto::MatchFor(shortRequest, 3), anyRegister.data(), 64, true));

    // A caller's short buffer (the raw pass-through) is judged by what it holds.
    const uint8_t usb[4] = {0xCC, 0x00, 0x42, 0x00};
    const proto::ReplyMatch m = proto::MatchFor(usb, 4);
    const uint8_t twoBytes[2] = {0xCC, 0x00};
    EXPECT_TRUE(proto::Answers(m, twoBytes, 2, true));
    const uint8_t wrongFamily[2] = {0xB0, 0x00};
    EXPECT_FALSE(proto::Answers(m, wrongFamily, 2, true));
    EXPECT_FALSE(proto::Answers(m, twoBytes, 0, true)) << "nothing delivered answers nothing";
    EXPECT_FALSE(proto::Answers(m, nullptr, 2, true));
}

// The learner settles on headers only after three different requests came back with
// their headers, and on the promised bytes after one that did not; replies that cannot
// tell (promised echoes, zero headers, deliveries too short) teach nothing.
TEST(EchoLearner, SettlesOnWhatTheInstrumentShows) {
    struct Step {
        Bytes request;
        Bytes reply;
    };
    struct Row {
        const char* what;
        std::vector<Step> steps;
        proto::EchoMode mode;
    };
    const Bytes dacMain = {0x55, 0x00, 0x80};
    const Bytes dacPpg = {0x55, 0x00, 0x81};
    const Bytes fpga = {0xCC, 0x00, 0x14, 0x00};
    const Bytes block = Packet({0xEA, 0x00, 0x00, 0x00}, 61);
    const Bytes memory = Packet({0x12, 0x55, 0xAA, 0x00, 0x00, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00});
    const Row rows[] = {
        {"three headers repeated",
         {{dacMain, Packet({0x55, 0x00, 0x80, 0xFF, 1}, 12)},
          {dacPpg, Packet({0x55, 0x00, 0x81, 0xFF, 1}, 12)},
          {fpga, Packet({0xCC, 0x00, 0x14, 0xFF})}},
         proto::EchoMode::Headers},
        {"the same request three times",
         {{dacMain, Packet({0x55, 0x00, 0x80, 0xFF}, 12)},
          {dacMain, Packet({0x55, 0x00, 0x80, 0xFF}, 12)},
          {dacMain, Packet({0x55, 0x00, 0x80, 0xFF}, 12)}},
         proto::EchoMode::Unknown},
        {"a header not repeated",
         {{dacMain, Packet({0x55, 0x00, 0x80, 0xFF}, 12)}, {fpga, Packet({0xCC, 0x00, 0x00, 0xFF})}},
         proto::EchoMode::Promised},
        {"promised echoes and a zero header teach nothing",
         {{memory, Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00})},
          {{0x55, 0x00, 0x00}, Packet({0x55, 0x00, 0x00, 0xFF}, 12)},
          {{0xB8, 0x00, 0x00}, Packet({0xB8, 0x11, 0x22, 0xFF})},
          {block, Packet({0xEA, 0x77, 0x77, 0xFF})}},
         proto::EchoMode::Unknown},
        {"a two-byte delivery cannot show byte 2",
         {{fpga, {0xCC, 0x00}}},
         proto::EchoMode::Unknown},
        {"settled stays settled",
         {{fpga, Packet({0xCC, 0x00, 0x00, 0xFF})},
          {dacMain, Packet({0x55, 0x00, 0x80, 0xFF}, 12)},
          {dacPpg, Packet({0x55, 0x00, 0x81, 0xFF}, 12)},
          {{0xB0, 0x00, 0x10}, Packet({0xB0, 0x00, 0x10, 0xFF})}},
         proto::EchoMode::Promised},
    };
    for (const Row& row : rows) {
        proto::EchoLearner learner;
        for (const Step& step : row.steps) {
            const proto::ReplyMatch m = proto::MatchFor(step.request.data(), static_cast<int>(step.request.size()));
            learner.Note(m, step.reply.data(), static_cast<int>(step.reply.size()));
        }
        EXPECT_EQ(learner.Mode(), row.mode) << row.what;
        learner.Reset();
        EXPECT_EQ(learner.Mode(), proto::EchoMode::Unknown) << row.what;
    }
}

}  // namespace
