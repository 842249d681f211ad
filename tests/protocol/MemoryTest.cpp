// The memory command's transfer forms and the stored records, end to end.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Device.h"
#include "platform/Transport.h"
#include "protocol/MemoryCommand.h"
#include "protocol/RespirationTables.h"
#include "protocol/StoredRecords.h"
#include "ExchangeFixture.h"

namespace {

uint32_t Address(const Bytes& r) { return (uint32_t{r[8]} << 24) | (uint32_t{r[9]} << 16) | (r[10] << 8) | r[11]; }

// An instrument whose data memories are erased: no factory records, no tables.
class ProtocolMemory : public ProtocolExchange {
protected:
    void SetUp() override {
        ProtocolExchange::SetUp();
        Fw().Erase(0x12);
        Fw().Erase(0x13);
        OpenPort();
    }
};

TEST_F(ProtocolMemory, WordFormPacketsOf16) {
    Bytes stored;
    for (int i = 0; i < 17; ++i) {
        stored.push_back(static_cast<uint8_t>(0xA0 + i));  // high byte first
        stored.push_back(static_cast<uint8_t>(i));
    }
    Fw().SetMemory(0x13, 0x0400, stored);
    int words[17];
    ASSERT_TRUE(FlashRead(0x0400, 0x13, words, 17));
    for (int i = 0; i < 17; ++i) {
        EXPECT_EQ(words[i], ((0xA0 + i) << 8) | i) << i;
    }
    std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][7], 32);
    EXPECT_EQ(Address(sent[0]), 0x0400u);
    EXPECT_EQ(sent[1][7], 2);
    EXPECT_EQ(Address(sent[1]), 0x0420u);
    EXPECT_EQ(sent[1][3], 0x00);

    ClearSent();
    for (int i = 0; i < 17; ++i) {
        words[i] = 0x10000 + 0x0102 * i;  // only the low 16 bits go out
    }
    ASSERT_TRUE(FlashWrite(0x0C00, 0x13, words, 17));
    sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][3], 0xFF);
    EXPECT_EQ(sent[1][7], 2);
    EXPECT_EQ(Address(sent[1]), 0x0C20u);
    const Bytes back = MemoryRange(0x13, 0x0C00, 34);
    for (int i = 0; i < 17; ++i) {
        EXPECT_EQ((back[2 * i] << 8) | back[2 * i + 1], (0x0102 * i) & 0xFFFF) << i;
    }
}

TEST_F(ProtocolMemory, ByteFormPacketsOf32) {
    Bytes data(33);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    ASSERT_TRUE(FlashWrite(0x12000, 0x12, data.data(), data.size()));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][7], 32);
    EXPECT_EQ(sent[1][7], 1);
    EXPECT_EQ(Address(sent[1]), 0x12020u);
    EXPECT_EQ(sent[1][16], 33);
    EXPECT_EQ(MemoryRange(0x12, 0x12000, 33), data);
    Bytes read(33, 0xEE);
    ASSERT_TRUE(FlashRead(0x12000, 0x12, read.data(), read.size()));
    EXPECT_EQ(read, data);
    EXPECT_TRUE(FlashRead(0x12000, 0x12, read.data(), 0));  // nothing asked: no traffic
    EXPECT_EQ(Sent().size(), 4u);
}

TEST_F(ProtocolMemory, StopsAtTheFirstRefusal) {
    Fw().SetMemory(0x13, 0x1500, Bytes(96, 0x5A));
    emu_.FaultOnRequest(1, nvsemu::Fault::Alter({{4, 0x00}}));
    Bytes read(96, 0xEE);
    EXPECT_FALSE(FlashRead(0x1500, 0x13, read.data(), read.size()));
    EXPECT_EQ(Sent().size(), 2u);  // nothing after the refused second packet
    EXPECT_EQ(Bytes(read.begin(), read.begin() + 32), Bytes(32, 0x5A));
    EXPECT_EQ(Bytes(read.begin() + 32, read.end()), Bytes(64, 0));  // the rest cleared

    ClearSent();
    emu_.FaultOnRequest(0, nvsemu::Fault::Alter({{4, 0x00}}));
    int words[40];
    EXPECT_FALSE(FlashWrite(0x0400, 0x13, words, 40));
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(ProtocolMemory, ALateReplyIsNeverTakenForTheNextPacket) {
    Fw().SetMemory(0x13, 0x1400, Bytes(32, 0x11));
    Fw().SetMemory(0x13, 0x1440, Bytes(32, 0x22));
    emu_.FaultOnRequest(0, nvsemu::Fault::Delay(400));
    Bytes read(32, 0);
    EXPECT_FALSE(FlashRead(0x1400, 0x13, read.data(), read.size()));  // nothing in time
    // The late reply answers another address: it is dropped before the next packet is
    // written, and the next read gets its own answer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (emu_.Written().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(emu_.Written().empty());
    EXPECT_TRUE(FlashRead(0x1440, 0x13, read.data(), read.size()));
    EXPECT_NE(read, Bytes(32, 0x11));
    EXPECT_EQ(read, Bytes(32, 0x22));
}

TEST_F(ProtocolMemory, FactoryRecord) {
    FACTORY_SETTING record;
    memset(&record, 0, sizeof record);
    EXPECT_FALSE(ReadFactorySetting(&record));  // erased
    EXPECT_EQ(Sent().size(), 16u);              // 512 bytes in 32-byte packets
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
    for (size_t i = 0; i < sizeof record; ++i) {
        EXPECT_EQ(bytes[i], 0xFF) << i;
    }
    FACTORY_SETTING stored = {};
    stored.ucValid = 1;
    stored.ucLevelLow[0] = 0x20;
    ASSERT_TRUE(WriteFactorySetting(&stored));
    EXPECT_EQ(Memory(0x13, 0x1400), 1);
    EXPECT_EQ(Memory(0x13, 0x1401), 0x20);
    EXPECT_TRUE(ReadFactorySetting(&record));
    EXPECT_EQ(record.ucLevelLow[0], 0x20);
    ASSERT_TRUE(ClearFactorySetting());
    EXPECT_EQ(Memory(0x13, 0x1400), 0xFF);

    // A failed read leaves the caller's record untouched.
    emu_.FaultOnRequest(Sent().size(), nvsemu::Fault::Drop());
    record.ucValid = 7;
    EXPECT_FALSE(ReadFactorySetting(&record));
    EXPECT_EQ(record.ucValid, 7);
}

TEST_F(ProtocolMemory, HostIndexesOutsideTheMapAreRefusedWithoutTraffic) {
    unsigned short table[4097] = {};
    PPG_LED_SETTING led = {};
    unsigned char buffer[64];
    EXPECT_FALSE(ReadPPGDCTable(static_cast<PPGChannel>(4), table, 10));
    EXPECT_FALSE(ReadPPGDCTable(static_cast<PPGChannel>(0), table, 10));
    EXPECT_FALSE(WritePPGDCTable(PPG_CHANNEL_1, table, 4097));
    EXPECT_FALSE(ReadPPGLEDSetting(9, 0, &led));
    EXPECT_FALSE(ReadPPGLEDSetting(-1, 0, &led));
    EXPECT_FALSE(ReadPPGLEDSetting(0, 32, &led));  // would reach into the next group
    EXPECT_FALSE(WritePPGLEDSetting(8, -1, &led));
    EXPECT_FALSE(ReadPPGMfgInfo(buffer, -1));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ProtocolMemory, LEDSettingsAndManufacturingInformation) {
    PPG_LED_SETTING led;
    for (int i = 0; i < 32; ++i) {
        led.ucData[i] = static_cast<uint8_t>(0x40 + i);
    }
    ASSERT_TRUE(WritePPGLEDSetting(8, 31, &led));
    EXPECT_EQ(Address(Sent().front()), 0x3500u + 32 * 31);
    PPG_LED_SETTING back = {};
    ASSERT_TRUE(ReadPPGLEDSetting(8, 31, &back));
    EXPECT_EQ(0, memcmp(&back, &led, sizeof led));

    ClearSent();
    unsigned char info[100];
    memset(info, 0xEE, sizeof info);
    ASSERT_TRUE(ReadPPGMfgInfo(info, 100));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 2u);  // 64 bytes at the most
    EXPECT_EQ(Address(sent[0]), 0x1440u);
    EXPECT_EQ(Address(sent[1]), 0x1460u);
    EXPECT_EQ(info[63], 0xFF);  // erased
    EXPECT_EQ(info[64], 0xEE);  // beyond the record: untouched
}

TEST_F(ProtocolMemory, PPGDCTableFillsItsBlockWithZeros) {
    std::vector<unsigned short> table(3001);
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<unsigned short>(i * 3);
    }
    ASSERT_TRUE(WritePPGDCTable(PPG_CHANNEL_2, table.data(), table.size()));
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 256u);
    EXPECT_EQ(Address(sent.front()), 0x3600u);
    EXPECT_EQ(Address(sent.back()), 0x3600u + 8192 - 32);
    const Bytes block = MemoryRange(0x13, 0x3600, 8192);
    EXPECT_EQ(block[2 * 1000], (3000 & 0xFF));  // host order: low byte first
    EXPECT_EQ(block[2 * 1000 + 1], 3000 >> 8);
    EXPECT_EQ(Bytes(block.begin() + 6002, block.end()), Bytes(8192 - 6002, 0));

    std::vector<unsigned short> back(3001, 0xEEEE);
    ASSERT_TRUE(ReadPPGDCTable(PPG_CHANNEL_2, back.data(), back.size()));
    EXPECT_EQ(back, table);
}

TEST_F(ProtocolMemory, RespirationRecords) {
    const double coefficients[4] = {120.5, 130.25, 2.0, 1.0};
    uint8_t record[64];
    BuildRespirationRWA(coefficients, record);
    Fw().SetMemory(0x13, 0x1480, Bytes(record, record + 64));
    ASSERT_TRUE(LoadRespirationRWA());
    EXPECT_EQ(0, memcmp(g_fECGExtRespirationCoef, coefficients, sizeof coefficients));

    // The write installs the coefficients only once the instrument took them.
    const double other[4] = {1, 2, 3, 4};
    emu_.FaultOnRequest(Sent().size(), nvsemu::Fault::Alter({{4, 0x00}}));
    EXPECT_FALSE(WriteRespirationRWA(const_cast<double*>(other)));
    EXPECT_EQ(0, memcmp(g_fECGExtRespirationCoef, coefficients, sizeof coefficients));

    // A failed load leaves the host table as it was.
    for (int i = 0; i < 96; ++i) {
        g_fECGExtRespiratationRDAC3[i] = 1000.0 + i;
    }
    Fw().SetMemory(0x13, 0x1500, Bytes(768, 0x00));
    emu_.FaultOnRequest(Sent().size() + 5, nvsemu::Fault::Drop());
    EXPECT_FALSE(LoadRespirationRDAC3());
    for (int i = 0; i < 96; ++i) {
        ASSERT_EQ(g_fECGExtRespiratationRDAC3[i], 1000.0 + i) << i;
    }
    ASSERT_TRUE(LoadRespirationRDAC3());
    EXPECT_EQ(g_fECGExtRespiratationRDAC3[95], 0.0);

    unsigned short baseline[12];
    for (int i = 0; i < 12; ++i) {
        baseline[i] = static_cast<unsigned short>(0x100 * i + 1);
    }
    ASSERT_TRUE(WriteRespirationBaselineDACTable(baseline));
    memset(g_ECGExtRespirationBaselineDACTable, 0, sizeof g_ECGExtRespirationBaselineDACTable);
    ASSERT_TRUE(LoadRespirationBaselineDACTable());
    EXPECT_EQ(0, memcmp(g_ECGExtRespirationBaselineDACTable, baseline, sizeof baseline));
}

TEST_F(ProtocolMemory, EraseAndNoInstrument) {
    EXPECT_TRUE(FlashErase(0x01, 0));
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0][6], 1);
    EXPECT_EQ(Memory(0x01, 0), 0xFF);

    DeviceClose();
    ClearSent();
    unsigned char data[8];
    int words[8];
    EXPECT_FALSE(FlashRead(0, 0x13, data, 8));
    EXPECT_FALSE(FlashWrite(0, 0x13, words, 8));
    EXPECT_FALSE(FlashErase(0x01, 0));
    EXPECT_TRUE(Sent().empty());
}

// A thread told to stop gives up its reads between packets; its writes run to their end;
// other threads read as before. A muted thread writes nothing at all.
TEST_F(ProtocolMemory, StopAndMuteActOnTheirOwnThreadOnly) {
    Fw().SetMemory(0x13, 0x1500, Bytes(64, 0x5A));
    std::atomic<int> stop{1};
    SetMemoryReadStop(&stop);
    Bytes read(64, 0xEE);
    EXPECT_FALSE(FlashRead(0x1500, 0x13, read.data(), read.size()));
    int words[20] = {};
    EXPECT_FALSE(FlashRead(0x1500, 0x13, words, 20));
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(read, Bytes(64, 0));
    Bytes data(40, 0x11);
    EXPECT_TRUE(FlashWrite(0x12000, 0x12, data.data(), data.size()));
    EXPECT_EQ(Sent().size(), 2u);
    std::thread other([] {
        Bytes theirs(64, 0);
        EXPECT_TRUE(FlashRead(0x1500, 0x13, theirs.data(), theirs.size()));
        EXPECT_EQ(theirs, Bytes(64, 0x5A));
    });
    other.join();
    stop.store(0);
    EXPECT_TRUE(FlashRead(0x1500, 0x13, read.data(), read.size()));
    SetMemoryReadStop(nullptr);

    ClearSent();
    std::atomic<int> muted{1};
    TransportMuteThreadWhile(&muted);
    unsigned char request[64] = {0x12};
    EXPECT_EQ(0, WriteData(request, 64, 1));
    EXPECT_FALSE(FlashErase(0x01, 0));
    EXPECT_TRUE(Sent().empty());
    muted.store(0);
    EXPECT_TRUE(FlashErase(0x01, 0));
    EXPECT_EQ(Sent().size(), 1u);
    TransportMuteThreadWhile(nullptr);
}

}  // namespace
