// Identity-record writes: the read request, the reply check and each writer's packet.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/IdentityWrite.h"

using Bytes = std::vector<uint8_t>;

namespace {

// An accepted read reply of target's record: letters ON, model 0x10 0x01, prefix 3,
// serial 42, versions 1.2 / 3.4; the tail beyond the record left as a marker.
Bytes ReadReply(uint8_t target) {
    Bytes r(64, 0);
    const uint8_t head[] = {0x12, 0x55, 0xAA, 0x00, 0xFF, target, 0x00, 0x0C};
    memcpy(r.data(), head, sizeof head);
    const uint8_t identity[] = {0x4F, 'O', 'N', 0x10, 0x01, 0x03, 0x00, 0x2A, 1, 2, 3, 4};
    memcpy(r.data() + 16, identity, sizeof identity);
    r[40] = 0x77;
    return r;
}

Bytes With(Bytes b, std::initializer_list<std::pair<size_t, uint8_t>> changes) {
    for (auto [at, v] : changes)
        b[at] = v;
    return b;
}

}  // namespace

TEST(IdentityWrite, ReadRequestAndReplyCheck) {
    uint8_t out[64];
    BuildIdentityReadRequest(out, 0x13);
    Bytes want(64, 0);
    want[0] = 0x12, want[1] = 0x55, want[2] = 0xAA, want[5] = 0x13, want[7] = 0x0C;
    EXPECT_EQ(Bytes(out, out + 64), want);
    EXPECT_EQ(IdentityTarget(0), 0x01);
    EXPECT_EQ(IdentityTarget(1), 0x13);
    EXPECT_EQ(IdentityTarget(7), 0x13);

    EXPECT_TRUE(IsIdentityReadReply(ReadReply(0x01).data(), 0x01));
    const struct {
        const char* name;
        Bytes reply;
    } refused[] = {
        {"other header", With(ReadReply(0x01), {{1, 0x56}})},
        {"not accepted", With(ReadReply(0x01), {{4, 0x00}})},
        {"other target", ReadReply(0x13)},
        {"other count", With(ReadReply(0x01), {{7, 0x0B}})},
        {"count high byte", With(ReadReply(0x01), {{6, 0x01}})},
        {"other address", With(ReadReply(0x01), {{11, 0x10}})},
        {"a write's echo", With(ReadReply(0x01), {{3, 0xFF}})},
    };
    for (const auto& c : refused)
        EXPECT_FALSE(IsIdentityReadReply(c.reply.data(), 0x01)) << c.name;
    EXPECT_FALSE(IsIdentityReadReply(nullptr, 0x01));
}

TEST(IdentityWrite, EachWriterChangesOnlyItsBytes) {
    MODEL_INFORMATION info = {};
    info.cProductName[0] = 'K', info.cProductName[1] = 'Q';
    info.ucGeneration = 0x20, info.ucModel = 0x12;
    info.nSerialPrefix = 0x1234;   // low byte sent
    info.iSerialNumber = 0x10203;  // low 16 bits sent
    const Bytes base = ReadReply(0x01);
    const struct {
        const char* name;
        void (*edit)(uint8_t*, const MODEL_INFORMATION&);
        Bytes want;
    } cases[] = {
        {"model info", [](uint8_t* p, const MODEL_INFORMATION& i) { PutModelInfoWrite(p, i); },
         With(base,
              {{3, 0xFF}, {4, 0}, {17, 'K'}, {18, 'Q'}, {19, 0x20}, {20, 0x12}, {21, 0x34}, {22, 0x02}, {23, 0x03}})},
        {"product name", [](uint8_t* p, const MODEL_INFORMATION&) { PutProductNameWrite(p, 'Z', 'M'); },
         With(base, {{3, 0xFF}, {4, 0}, {17, 'Z'}, {18, 'M'}})},
        {"hardware", [](uint8_t* p, const MODEL_INFORMATION&) { PutHWInfoWrite(p, 0x103, 2); },
         With(base, {{3, 0xFF}, {24, 0x03}, {25, 0x02}})},
        {"serial number", [](uint8_t* p, const MODEL_INFORMATION&) { PutSerialNumberWrite(p, 0x12, 1234); },
         With(base, {{3, 0xFF}, {21, 0x12}, {22, 0x04}, {23, 0xD2}})},
        {"generation and model", [](uint8_t* p, const MODEL_INFORMATION&) { PutGenerationModelWrite(p, 0x30, 1); },
         With(base, {{3, 0xFF}, {19, 0x30}, {20, 0x01}})},
    };
    for (const auto& c : cases) {
        Bytes packet = base;
        c.edit(packet.data(), info);
        EXPECT_EQ(packet, c.want) << c.name;
    }
    // A lost marker byte is written back as 0x4F by the letter writers.
    Bytes packet = With(base, {{16, 0xFF}});
    PutProductNameWrite(packet.data(), 'N', 'V');
    EXPECT_EQ(packet[16], 0x4F);
}

TEST(IdentityWrite, RespirationPreparation) {
    uint8_t out[64];
    memset(out, 0xEE, sizeof out);
    BuildRespirationIdentityPrep(out);
    Bytes want(64, 0);
    want[0] = 0xCC, want[1] = 0xFF, want[2] = 0x06, want[4] = 0x3F;
    EXPECT_EQ(Bytes(out, out + 64), want);
}
