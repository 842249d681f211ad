// The update's pure parts: burn request packets, block map, FPGA requests and data
// packets, the last-chunk rule, CRC-32 and the percentages.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "service/FPGA.h"
#include "service/Flash.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes Packet(const uint8_t* p, size_t n = 64) { return Bytes(p, p + n); }

Bytes Expected(std::initializer_list<std::pair<size_t, uint8_t>> bytes) {
    Bytes out(64, 0);
    for (auto [at, v] : bytes)
        out[at] = v;
    return out;
}

}  // namespace

TEST(FlashPackets, EraseWriteVerifyLayouts) {
    uint8_t out[64];
    BuildFlashEraseRequest(out, 0x0003F000);
    EXPECT_EQ(Packet(out),
              Expected({{0, 0x12}, {1, 0x55}, {2, 0xAA}, {3, 0xFF}, {5, 0x03}, {6, 0x01}, {9, 0x03}, {10, 0xF0}}));

    uint8_t chunk[48];
    for (int i = 0; i < 48; ++i)
        chunk[i] = static_cast<uint8_t>(0xA0 + i);
    memset(out, 0xEE, sizeof out);
    BuildFlashWriteRequest(out, 0x00001DC0, chunk, 40);
    Bytes want = Expected({{0, 0x12}, {1, 0x55}, {2, 0xAA}, {3, 0xFF}, {5, 0x03}, {7, 40}, {10, 0x1D}, {11, 0xC0}});
    std::copy(chunk, chunk + 40, want.begin() + 16);
    EXPECT_EQ(Packet(out), want);  // bytes beyond the chunk are 0

    memset(out, 0xEE, sizeof out);
    BuildFlashVerifyRequest(out, 0x12345678, 48);
    EXPECT_EQ(
        Packet(out),
        Expected({{0, 0x12}, {1, 0x55}, {2, 0xAA}, {5, 0x03}, {7, 48}, {8, 0x12}, {9, 0x34}, {10, 0x56}, {11, 0x78}}));
}

TEST(FlashPackets, BlocksAndBurnChecks) {
    uint32_t start = 1, length = 1;
    ASSERT_TRUE(FlashBlockArea(FLASH_BLOCK_0, &start, &length));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(length, 0x1E000u);
    ASSERT_TRUE(FlashBlockArea(FLASH_BLOCK_1, &start, &length));
    EXPECT_EQ(start, 0x3F000u);
    EXPECT_EQ(length, 0x400u);
    EXPECT_FALSE(FlashBlockArea(static_cast<FlashBlock>(2), &start, &length));
    EXPECT_FALSE(FlashBlockArea(static_cast<FlashBlock>(-1), &start, &length));

    unsigned char image[1] = {0};
    struct Case {
        int block;
        const unsigned char* image;
        uint32_t size;
        int want;
    } cases[] = {
        {0, image, 1, 0},  {0, image, 0x1E000, 0}, {1, image, 0x400, 0}, {1, image, 0x401, -2}, {0, image, 0x1E001, -2},
        {0, image, 0, -2}, {0, nullptr, 10, -2},   {2, image, 1, -2},    {-1, image, 1, -2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FlashCheckBurn(static_cast<FlashBlock>(c.block), c.image, c.size), c.want)
            << "block " << c.block << " size " << c.size;
}

TEST(FlashPackets, PercentagesOfTheEraseEdgeCase) {
    // Page k of block 0: k x 1024 x 100 / 122880.
    std::vector<int> got;
    for (uint32_t offset = 0; offset < 0x1E000; offset += 1024)
        got.push_back(FlashPercent(offset, 0x1E000));
    ASSERT_EQ(got.size(), 120u);
    EXPECT_EQ((std::vector<int>(got.begin(), got.begin() + 8)), (std::vector<int>{0, 0, 1, 2, 3, 4, 5, 5}));
    EXPECT_EQ(got.back(), 99);
    EXPECT_EQ(FlashPercent(0xFFFFFFFFu, 0xFFFFFFFFu), 100);  // no overflow
    EXPECT_EQ(FlashPercent(5, 0), 0);
}

TEST(FpgaPackets, RequestsAndDataPacket) {
    uint8_t out[64];
    ASSERT_EQ(BuildFPGAUpgradeModeRequest(out, 1), 5);
    EXPECT_EQ(Packet(out, 5), (Bytes{0xB8, 0xFF, 0x00, 0x00, 0x01}));
    BuildFPGAUpgradeModeRequest(out, 0);
    EXPECT_EQ(Packet(out, 5), (Bytes{0xB8, 0xFF, 0x00, 0x00, 0x00}));
    ASSERT_EQ(BuildFPGAControlRequest(out, 3, 4), 6);
    EXPECT_EQ(Packet(out, 6), (Bytes{0xB8, 0xFF, 0x01, 0x00, 0x03, 0x04}));
    ASSERT_EQ(BuildFPGAStatusRequest(out), 6);
    EXPECT_EQ(Packet(out, 6), (Bytes{0xB8, 0x00, 0x02, 0x00, 0x00, 0x00}));

    uint8_t chunk[32];
    for (int i = 0; i < 32; ++i)
        chunk[i] = static_cast<uint8_t>(i + 1);
    memset(out, 0xEE, sizeof out);
    BuildFPGADataPacket(out, chunk, 32, 0x33FE0, 0x34000);
    Bytes want = Expected({{0, 0xB8}, {1, 0xFF}, {2, 0x03}, {4, 32}, {5, 0x03}, {6, 0x3F}, {7, 0xE0}, {8, 0xFF}});
    std::copy(chunk, chunk + 32, want.begin() + 16);
    EXPECT_EQ(Packet(out), want);

    memset(out, 0xEE, sizeof out);
    BuildFPGADataPacket(out, chunk, 5, 0x20, 0x25);
    want = Expected({{0, 0xB8}, {1, 0xFF}, {2, 0x03}, {4, 5}, {7, 0x20}, {8, 0xFF}});
    std::copy(chunk, chunk + 5, want.begin() + 16);
    EXPECT_EQ(Packet(out), want);  // padding after a short chunk is zero
}

TEST(FpgaPackets, LastChunkRule) {
    struct Case {
        uint32_t offset;
        int length;
        uint32_t sector;
        bool last;
    } cases[] = {
        {0x33FE0, 32, 0x34000, true},
        {0x33FC0, 32, 0x34000, false},
        {0, 32, 0x34000, false},
        {0x27FE0, 32, 0x28000, true},
        {0x5BFE0, 32, 0x5C000, true},
        {0x20, 5, 0x25, true},
        {0, 32, 64, false},
        {0, 32, 32, true},
        // A sector that is not a whole number of chunks: the rule marks the full chunk
        // before the short one as well.
        {0, 32, 0x25, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FPGAIsLastChunk(c.offset, c.length, c.sector), c.last) << std::hex << c.offset;
}

TEST(FpgaPackets, Geometry10M25) {
    const CFPGAConfig10M25 g;
    const uint32_t want[4][2] = {{0x34000, 0}, {0x28000, 0x34000}, {0x5C000, 0x5C000}, {0, 0xB8000}};
    for (int e = 0; e < 4; ++e) {
        EXPECT_EQ(g.m_Flash[e].nSize, want[e][0]) << e;
        EXPECT_EQ(g.m_Flash[e].nOffset, want[e][1]) << e;
    }
    EXPECT_EQ(FPGAConfig.ImageSize(), 0xB8000u);  // the load-time object
    const CFPGAConfig empty;
    EXPECT_EQ(empty.m_Flash[3].nOffset, 0u);
    // Progress after the first chunk of sector 1.
    EXPECT_EQ(FPGAPercent(32 + 0x34000, 0xB8000), 28);
}

TEST(Crc32, CheckValueAndFolding) {
    unsigned char check[] = "123456789";
    EXPECT_EQ(~CRC32(0xFFFFFFFFu, check, 9), 0xCBF43926u);
    EXPECT_EQ(FPGAImageCrc(check, 9), 0xCBF43926u);
    EXPECT_EQ(CRC32(0x1234u, check, 0), 0x1234u);

    std::mt19937 rng(7);
    std::vector<unsigned char> data(10000);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    const unsigned int whole = CRC32(0xFFFFFFFFu, data.data(), static_cast<int>(data.size()));
    unsigned int pieces = 0xFFFFFFFFu;
    for (size_t at = 0, n = 1; at < data.size(); at += n, n = n * 3 + 1) {
        const size_t take = std::min(n, data.size() - at);
        pieces = CRC32(pieces, data.data() + at, static_cast<int>(take));
        n = take;
    }
    EXPECT_EQ(pieces, whole);
}
