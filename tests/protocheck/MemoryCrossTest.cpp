// The memory command in both transfer forms against the firmware model's memory image:
// what the library writes lands at the right addresses in the right byte order, what
// the image holds comes back, erase, refusal part-way, and the PPG-module banks.
#include <numeric>

#include "CrossCheck.h"
#include "protocol/MemoryCommand.h"
#include "protocol/PPGModule.h"
#include "protocol/StoredRecords.h"

namespace {

const Bytes kMemoryWrite = {0x12, 0x55, 0xAA, 0xFF};
const Bytes kMemoryRead = {0x12, 0x55, 0xAA, 0x00};

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(seed + 7 * i);
    }
    return b;
}

class CrossMemory : public CrossCheck {
protected:
    void SetUp() override {
        CrossCheck::SetUp();
        Connect(ProfileNamed("main-4031"));
    }
};

TEST_F(CrossMemory, WordFormIsBigEndianInMemoryBothWays) {
    // 17 words: two packets (16 + 1), the second at base + 32.
    int words[17];
    for (int i = 0; i < 17; ++i) {
        words[i] = 0x1200 + 0x0101 * i;  // high and low bytes differ
    }
    const uint32_t base = 0x18000;  // erased memory beyond the ECG tables
    ASSERT_TRUE(FlashWrite(base, 0x12, words, 17));
    const Bytes held = fw_->MemoryAt(0x12, base, 36);
    for (int i = 0; i < 17; ++i) {
        EXPECT_EQ(BE16(held, 2 * static_cast<size_t>(i)), words[i]) << "word " << i;
    }
    EXPECT_EQ(held[34], 0xFF) << "nothing written past the 17 words";
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][7], 32);
    EXPECT_EQ(sent[1][7], 2);
    EXPECT_EQ(BE16(sent[1], 10), 0x8020);

    // The model's image read back through the word form, values taken unsigned.
    fw_->SetMemory(0x12, 0x11000, {0xFF, 0xFE, 0x00, 0x01, 0x80, 0x00});
    int back[3] = {-1, -1, -1};
    ASSERT_TRUE(FlashRead(0x11000, 0x12, back, 3));
    EXPECT_EQ(back[0], 0xFFFE);
    EXPECT_EQ(back[1], 0x0001);
    EXPECT_EQ(back[2], 0x8000);
}

TEST_F(CrossMemory, ByteFormCopiesBytesAsTheyAre) {
    const Bytes data = Pattern(33, 0x31);  // two packets: 32 + 1
    Bytes copy = data;
    ASSERT_TRUE(FlashWrite(0x1440, 0x13, copy.data(), copy.size()));
    EXPECT_EQ(fw_->MemoryAt(0x13, 0x1440, 33), data);
    EXPECT_EQ(CountSent(kMemoryWrite), 2u);

    const Bytes image = Pattern(70, 0x90);
    ASSERT_TRUE(fw_->SetMemory(0x13, 0x2000, image));
    Bytes back(70, 0xEE);
    ASSERT_TRUE(FlashRead(0x2000, 0x13, back.data(), back.size()));
    EXPECT_EQ(back, image);
}

TEST_F(CrossMemory, EraseClearsTheIdentityStoreBeforeARewrite) {
    // The identity store is flash: a write only clears bits until it is erased.
    ASSERT_TRUE(FlashErase(0x01, 0));
    EXPECT_EQ(fw_->MemoryAt(0x01, 0, 12), Bytes(12, 0xFF));
    Bytes record = {0x4F, 'N', 'V', 0x40, 0x31, 0x01, 0x23, 0x45, 1, 2, 1, 5};
    ASSERT_TRUE(FlashWrite(0, 0x01, record.data(), record.size()));
    EXPECT_EQ(fw_->MemoryAt(0x01, 0, 12), record);
    const Bytes erase = Sent().front();
    EXPECT_EQ(erase[3], 0xFF);
    EXPECT_EQ(erase[6], 1);
    EXPECT_EQ(erase[7], 0);
}

// A refusal of the second packet ends the transfer: the first packet stays written (or
// read), nothing more is sent.
TEST_F(CrossMemory, RefusalPartWayStopsTheTransfer) {
    const Bytes before = fw_->MemoryAt(0x13, 0x1440, 96);
    fw_->RefuseRequests(kMemoryWrite, 1, 1);
    Bytes data = Pattern(96, 0x05);
    EXPECT_FALSE(FlashWrite(0x1440, 0x13, data.data(), data.size()));
    EXPECT_EQ(CountSent(kMemoryWrite), 2u);
    Bytes expected(data.begin(), data.begin() + 32);
    expected.insert(expected.end(), before.begin() + 32, before.end());
    EXPECT_EQ(fw_->MemoryAt(0x13, 0x1440, 96), expected);

    ClearSent();
    fw_->ClearRefusals();
    fw_->RefuseRequests(kMemoryRead, 1, 1);
    int words[40];
    EXPECT_FALSE(FlashRead(0x10000, 0x12, words, 40));
    EXPECT_EQ(CountSent(kMemoryRead), 2u);
    const Bytes held = fw_->MemoryAt(0x12, 0x10000, 32);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(words[i], BE16(held, 2 * static_cast<size_t>(i)));
    }
    for (int i = 16; i < 40; ++i) {
        EXPECT_EQ(words[i], 0) << "values not received stay zero";
    }
}

// Target 0x13 reaches the PPG module that the selection names.
TEST_F(CrossMemory, PPGTargetFollowsTheModuleSelection) {
    ASSERT_TRUE(PPGModuleSetSelected(2));
    EXPECT_EQ(fw_->SelectedPpgModule(), 2);
    EXPECT_EQ(PPGModuleGetSelected(), 2);
    PPG_LED_SETTING setting;
    for (int i = 0; i < 32; ++i) {
        setting.ucData[i] = static_cast<uint8_t>(0xA0 + i);
    }
    ASSERT_TRUE(WritePPGLEDSetting(1, 3, &setting));  // 0x1500 + 0x400 + 3 x 32
    const Bytes expected(setting.ucData, setting.ucData + 32);
    EXPECT_EQ(fw_->MemoryAt(0x13, 0x1960, 32, 2), expected);
    EXPECT_EQ(fw_->MemoryAt(0x13, 0x1960, 32, 0), Bytes(32, 0xFF)) << "module 0 untouched";

    PPG_LED_SETTING back = {};
    ASSERT_TRUE(ReadPPGLEDSetting(1, 3, &back));
    EXPECT_EQ(Bytes(back.ucData, back.ucData + 32), expected);
    ASSERT_TRUE(PPGModuleSetSelected(0));
    ASSERT_TRUE(ReadPPGLEDSetting(1, 3, &back));
    EXPECT_EQ(Bytes(back.ucData, back.ucData + 32), Bytes(32, 0xFF));
    // A module the main unit does not have is refused and the selection stays.
    EXPECT_FALSE(PPGModuleSetSelected(6));
    EXPECT_EQ(fw_->SelectedPpgModule(), 0);
}

}  // namespace
