// The firmware model's operator mode and 0xEA family, driven through Answer with the
// host's request bytes: control block, LED pulse-group take, setting blocks, raw
// periods, ROM bytes and the standalone slots.
#include "Firmware.h"

#include <gtest/gtest.h>

#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Only(Firmware& fw, const Bytes& request) {
    const std::vector<Reply> replies = fw.Answer(request);
    return replies.size() == 1 ? replies[0].bytes : Bytes{};
}

Bytes WithStatus(Bytes request, size_t length = 64) {
    request.resize(length, 0);
    request[3] = 0xFF;
    return request;
}

Bytes Header(std::initializer_list<uint8_t> head, size_t length) {
    Bytes r(head);
    r.resize(length, 0);
    return r;
}

// EA FF 00 apply + 57 bytes writes the block, EA 00 00 00 + 57 zeros reads it back in
// bytes 4 to 60; the apply flag switches the outputs named in byte 0.
TEST(FirmwareControl, ControlBlockWriteReadAndApply) {
    Firmware fw;
    Bytes write = Header({0xEA, 0xFF, 0x00, 0x01}, 61);
    for (size_t i = 0; i < 57; ++i)
        write[4 + i] = static_cast<uint8_t>(i * 3 + 1);
    write[4] = 0x03;  // ECG and PPG channel 1 on
    EXPECT_EQ(Only(fw, write), WithStatus(write));
    EXPECT_EQ(fw.AppliedOutputs(), 0x03);

    const Bytes read = Only(fw, Header({0xEA, 0x00, 0x00, 0x00}, 61));
    ASSERT_EQ(read.size(), 64u);
    EXPECT_EQ(read[0], 0xEA);
    EXPECT_EQ(read[3], 0xFF);
    EXPECT_EQ(Bytes(read.begin() + 4, read.begin() + 61), Bytes(write.begin() + 4, write.end()));

    write[3] = 0x00;  // a single-setting change: no apply, outputs stay as switched
    write[4] = 0x00;
    Only(fw, write);
    EXPECT_EQ(fw.AppliedOutputs(), 0x03);
    EXPECT_EQ(fw.ControlBlock()[0], 0x00);

    EXPECT_EQ(Only(fw, Header({0xEA, 0xFF, 0x0A, 0x00}, 61))[3], 0xFF);  // take the pulse group
    EXPECT_EQ(fw.PulseGroupTakes(), 1u);
}

// The 14-byte and 11-byte operator-mode writes, and SetPPGSyncPulse's read-modify-write
// of the operator block (read 14 zeros, take reply bytes 0-13, byte 1 = FF).
TEST(FirmwareControl, OperatorBlock) {
    Firmware fw;
    const Bytes mode8 = {0x00, 0xFF, 0x08, 0x03, 0xE8, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Only(fw, mode8).size(), 64u);
    const auto block = fw.OperatorBlock();
    EXPECT_EQ(Bytes(block.begin(), block.end()), mode8);

    Bytes command = Only(fw, Bytes(14, 0));
    ASSERT_EQ(command.size(), 64u);
    command.resize(14);
    EXPECT_EQ(Bytes(command.begin() + 2, command.end()), Bytes(mode8.begin() + 2, mode8.end()));
    command[1] = 0xFF;
    command[6] = 2;  // channel 2's sync pulse
    Only(fw, command);
    EXPECT_EQ(fw.OperatorBlock()[6], 2);

    // LoadACMode(2): mode 8, sync 0 0 0, AC 2 2 2, rate 10 27 low byte first.
    Only(fw, {0x00, 0xFF, 0x08, 0x10, 0x27, 0, 0, 0, 2, 2, 2});
    const auto loaded = fw.OperatorBlock();
    EXPECT_EQ(Bytes(loaded.begin() + 2, loaded.begin() + 11), (Bytes{0x08, 0x27, 0x10, 0, 0, 0, 2, 2, 2}));
}

// Setting writes are kept as sent and echoed whole with byte 3 = FF; reads answer the
// kept block behind EA 00 s FF.
TEST(FirmwareControl, SettingBlocksEchoAndReadBack) {
    Firmware fw;
    struct Case {
        int channel;
        uint8_t sub;
        size_t length;
    } cases[] = {{0, 0x01, 58}, {1, 0x02, 64}, {2, 0x03, 64}, {3, 0x08, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        Bytes write = Header({0xEA, 0xFF, c.sub, 0x00}, c.length);
        for (size_t i = 4; i < c.length; ++i)
            write[i] = static_cast<uint8_t>(i + c.sub);
        const Bytes echo = Only(fw, write);
        ASSERT_EQ(echo.size(), 64u);
        EXPECT_EQ(Bytes(echo.begin(), echo.begin() + c.length), WithStatus(write, c.length));
        EXPECT_EQ(fw.Setting(c.channel), write);

        const Bytes read = Only(fw, {0xEA, 0x00, c.sub});
        ASSERT_EQ(read.size(), 64u);
        EXPECT_EQ(Bytes(read.begin(), read.begin() + 4), (Bytes{0xEA, 0x00, c.sub, 0xFF}));
        EXPECT_EQ(Bytes(read.begin() + 4, read.begin() + c.length), Bytes(write.begin() + 4, write.end()));
    }
}

Bytes RawPacket(uint8_t sub, uint16_t index, const std::vector<RawPoint>& points) {
    Bytes p = Header(
        {0xEA, 0xFF, sub, 0x00, 0x00, 0x00, static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index & 0xFF)}, 64);
    for (size_t k = 0; k < points.size(); ++k) {
        p[8 + 4 * k] = static_cast<uint8_t>(points[k].dc >> 8);
        p[9 + 4 * k] = static_cast<uint8_t>(points[k].dc & 0xFF);
        p[10 + 4 * k] = static_cast<uint8_t>(points[k].ac >> 8);
        p[11 + 4 * k] = static_cast<uint8_t>(points[k].ac & 0xFF);
    }
    return p;
}

// 15 points go as two packets (indices 0 and 14, the second one point and 52 zero
// bytes); each is echoed whole with byte 3 = FF, and a new upload starts at index 0.
TEST(FirmwareControl, RawPeriodRecorded) {
    Firmware fw;
    std::vector<RawPoint> points;
    for (uint16_t i = 0; i < 15; ++i)
        points.push_back({static_cast<uint16_t>(0x0800 + i), static_cast<uint16_t>(0xFF00 - i)});
    const Bytes first = RawPacket(0x05, 0, {points.begin(), points.begin() + 14});
    const Bytes second = RawPacket(0x05, 14, {points.begin() + 14, points.end()});
    EXPECT_EQ(Only(fw, first), WithStatus(first));
    EXPECT_EQ(Only(fw, second), WithStatus(second));

    const std::vector<RawPoint> got = fw.RawPoints(1);
    ASSERT_EQ(got.size(), 28u);
    EXPECT_EQ(std::vector<RawPoint>(got.begin(), got.begin() + 15), points);
    EXPECT_EQ(got[15], (RawPoint{0, 0}));
    EXPECT_TRUE(fw.RawPoints(0).empty());

    Only(fw, RawPacket(0x05, 0, {{1, 2}}));
    EXPECT_EQ(fw.RawPoints(1).size(), 14u);
    EXPECT_EQ(fw.RawPoints(1)[0], (RawPoint{1, 2}));
}

// The ROM read answers with the byte the previous read asked for: ReadFromROM(a) sends
// a read of a, then a read of 0, whose reply carries ROM[a]; WriteToROM verifies so.
TEST(FirmwareControl, RomReadIsOneRequestLate) {
    Firmware fw;
    fw.SetRom(0, 0x55);
    auto read = [&](uint8_t address) { return Only(fw, {0xEA, 0x00, 0x07, 0x00, address, 0x00}); };

    const Bytes write = Only(fw, {0xEA, 0xFF, 0x07, 0x00, 0x02, 0x05});
    EXPECT_EQ(write[0], 0xEA);
    EXPECT_EQ(write[3], 0xFF);
    EXPECT_EQ(fw.RomAt(2), 0x05);

    const Bytes asked = read(2);
    EXPECT_EQ(asked[3], 0xFF);
    EXPECT_EQ(asked[5], 0xFF);    // the fetch before: nothing asked yet (erased byte)
    EXPECT_EQ(read(0)[5], 0x05);  // ROM[2]
    EXPECT_EQ(read(0)[5], 0x55);  // ROM[0]
}

// A slot's type written to ROM 1-3 keeps the blocks of that moment; reading the slot's
// ROM byte brings them back for the reads that follow.
TEST(FirmwareControl, StandaloneSlotsKeepTheirBlocks) {
    Firmware fw;
    auto ecgSetting = [](uint8_t marker) {
        Bytes w = Header({0xEA, 0xFF, 0x01, 0x00}, 58);
        w[10] = marker;
        return w;
    };
    Only(fw, ecgSetting(1));
    Only(fw, {0xEA, 0xFF, 0x07, 0x00, 0x01, 0x01});  // slot 1: type ECG
    Only(fw, ecgSetting(7));
    Only(fw, {0xEA, 0xFF, 0x07, 0x00, 0x02, 0x01});  // slot 2: type ECG

    Only(fw, {0xEA, 0x00, 0x07, 0x00, 0x01, 0x00});
    EXPECT_EQ(Only(fw, {0xEA, 0x00, 0x07, 0x00, 0x00, 0x00})[5], 0x01);  // slot 1's type
    EXPECT_EQ(Only(fw, {0xEA, 0x00, 0x01})[10], 1);
    Only(fw, {0xEA, 0x00, 0x07, 0x00, 0x02, 0x00});
    EXPECT_EQ(Only(fw, {0xEA, 0x00, 0x01})[10], 7);
}

// After a ROM write the next n reads (or every one) are refused, byte 3 = 0x00, and the
// one-late byte does not move: the first accepted read still carries what was asked
// before the write, and the slot's blocks come back only with an accepted read.
TEST(FirmwareControl, RomBusyAfterAWrite) {
    struct Case {
        const char* name;
        unsigned busy;
        int refused;  // reads refused before the first accepted one (-1: all of them)
    };
    const Case cases[] = {{"default", 0, 0}, {"three reads", 3, 3}, {"for ever", Firmware::kNeverDone, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Firmware fw;
        fw.SetRom(9, 0x42);
        fw.SetRomBusyReads(c.busy);
        auto read = [&](uint8_t address) { return Only(fw, {0xEA, 0x00, 0x07, 0x00, address, 0x00}); };
        read(9);  // the latch now holds ROM[9]
        Only(fw, Header({0xEA, 0xFF, 0x01, 0x00}, 58));
        ASSERT_EQ(Only(fw, {0xEA, 0xFF, 0x07, 0x00, 0x01, 0x01})[3], 0xFF);  // slot 1 written
        Only(fw, Header({0xEA, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x33}, 58));
        const int tries = c.refused < 0 ? 10 : c.refused;
        for (int i = 0; i < tries; ++i) {
            EXPECT_EQ(read(1)[3], 0x00) << "read " << i;
        }
        EXPECT_EQ(Only(fw, {0xEA, 0x00, 0x01})[10], 0x33);  // no refused read restored the slot
        if (c.refused < 0) {
            continue;
        }
        const Bytes first = read(1);
        EXPECT_EQ(first[3], 0xFF);
        EXPECT_EQ(first[5], 0x42);                          // still the byte asked before the write
        EXPECT_EQ(read(0)[5], 0x01);                        // ROM[1]
        EXPECT_EQ(Only(fw, {0xEA, 0x00, 0x01})[10], 0x00);  // slot 1's block is back
    }
}

}  // namespace
}  // namespace nvsemu
