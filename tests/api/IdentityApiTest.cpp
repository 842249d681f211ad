// The factory identity functions against the firmware model: the write's bytes, the erase
// of the main record only, the check of the read reply, the caches, and a reconnect that
// reads what was written.
#include <cstring>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "protocol/Identity.h"

namespace {

using nvsemu::Fault;
using nvsemu::Profile;

class ApiIdentity : public ApiTest {
protected:
    // Memory-command requests of the given direction (0x00 read, 0xFF write) and target.
    std::vector<Bytes> Memory(uint8_t direction, uint8_t target) const {
        std::vector<Bytes> out;
        for (const Bytes& b : SentWith({0x12, 0x55, 0xAA, direction}))
            if (b.size() == 64 && b[5] == target)
                out.push_back(b);
        return out;
    }
    bool ErasedMain() const {
        for (const Bytes& b : Memory(0xFF, 0x01))
            if (b[6] == 0x01)
                return true;
        return false;
    }
    // The identity write (count 0x0C) sent to target; empty when none.
    Bytes IdentityWrite(uint8_t target) const {
        for (const Bytes& b : Memory(0xFF, target))
            if (b[6] == 0x00 && b[7] == 0x0C)
                return b;
        return {};
    }
};

TEST_F(ApiIdentity, SerialNumberOfTheMainModuleAndAReconnect) {
    Plug(WithMainIdentity(Profile::WithPpg2112(), 0x1001, 3, 42, 8, 1));
    ASSERT_TRUE(Connect());
    const Bytes before = Fw().MemoryAt(0x01, 0, 12);
    ASSERT_TRUE(ORVSetSerialNumber(0x12, 1234));
    EXPECT_TRUE(ErasedMain());
    const Bytes write = IdentityWrite(0x01);
    ASSERT_EQ(write.size(), 64u);
    EXPECT_EQ(Bytes(write.begin() + 21, write.begin() + 24), (Bytes{0x12, 0x04, 0xD2}));
    EXPECT_EQ(write[4], 0xFF);  // as read
    Bytes stored = before;
    stored[5] = 0x12, stored[6] = 0x04, stored[7] = 0xD2;
    EXPECT_EQ(Fw().MemoryAt(0x01, 0, 12), stored);
    EXPECT_STREQ(ORVGetSerialNumber(), "ONV1001-030042");  // the cache waits for the next connection

    ORVFree();
    ASSERT_TRUE(Connect());
    EXPECT_STREQ(ORVGetSerialNumber(), "ONV1001-181234");
}

TEST_F(ApiIdentity, PPGSideIsWrittenWithoutAnErase) {
    Plug(Profile::WithPpg2112());
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(ORVSetPPGModuleHWInformation(3, 2));
    EXPECT_FALSE(ErasedMain());
    const Bytes write = IdentityWrite(0x13);
    ASSERT_EQ(write.size(), 64u);
    EXPECT_EQ(write[24], 3);
    EXPECT_EQ(write[25], 2);
    HW_INFORMATION ppg = {}, main = {};
    ASSERT_TRUE(ORVGetPPGHWInformation(&ppg));
    ASSERT_TRUE(ORVGetHWInformation(&main));
    EXPECT_EQ(ppg.nHWMajor, 3);
    EXPECT_EQ(ppg.nHWMinor, 2);
    EXPECT_NE(main.nHWMajor * 256 + main.nHWMinor, 3 * 256 + 2);

    ClearSent();
    ASSERT_TRUE(ORVSetPPGModuleType(0x2014));
    EXPECT_EQ(Fw().MemoryAt(0x13, 3, 2), (Bytes{0x20, 0x14}));
    EXPECT_FALSE(ErasedMain());
}

TEST_F(ApiIdentity, RefusedOrForeignReadReplyErasesNothing) {
    Plug(Profile::WithPpg2112());
    ASSERT_TRUE(Connect());
    const Bytes before = Fw().MemoryAt(0x01, 0, 12);
    const Bytes read = {0x12, 0x55, 0xAA, 0x00, 0x00, 0x01};
    const struct {
        const char* name;
        Fault fault;
    } cases[] = {
        {"refused", Fault::Alter({{4, 0x00}})},
        {"other target", Fault::Alter({{5, 0x13}})},
        {"other address", Fault::Alter({{11, 0x20}})},
        {"silent", Fault::Drop()},
    };
    for (const auto& c : cases) {
        ClearSent();
        emu_.FaultOnHeader(read, c.fault);
        EXPECT_FALSE(ORVSetSerialNumber(0x12, 1234)) << c.name;
        EXPECT_FALSE(ErasedMain()) << c.name;
        EXPECT_TRUE(IdentityWrite(0x01).empty()) << c.name;
        EXPECT_EQ(Fw().MemoryAt(0x01, 0, 12), before) << c.name;
        emu_.ClearFaults();
    }
}

TEST_F(ApiIdentity, ModelRecordsAndCaches) {
    Plug(Profile::WithPpg2112());
    ASSERT_TRUE(Connect());
    MODEL_INFORMATION info = {{'K', 'Q'}, 0x20, 0x01, 777, 5, {1, 1, 3}};
    ASSERT_TRUE(ORVSetDeviceInformation(&info));
    const Bytes write = IdentityWrite(0x01);
    ASSERT_EQ(write.size(), 64u);
    EXPECT_EQ(Bytes(write.begin() + 16, write.begin() + 24), (Bytes{0x4F, 'K', 'Q', 0x20, 0x01, 5, 0x03, 0x09}));
    EXPECT_EQ(write[4], 0x00);
    MODEL_INFORMATION cached = {};
    ASSERT_TRUE(ORVGetDeviceInformation(&cached));
    EXPECT_EQ(memcmp(&cached, &info, sizeof info), 0);

    // The external-respiration module: its preparation goes first; the caller's record
    // keeps its LED types while the cache derives its own.
    ClearSent();
    MODEL_INFORMATION xj = {{'X', 'J'}, 0x10, 0x01, 12, 3, {7, 7, 7}};
    ASSERT_TRUE(ORVSetPPGDeviceInformation(&xj));
    const std::vector<Bytes> sent = Sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 5), (Bytes{0xCC, 0xFF, 0x06, 0x00, 0x3F}));
    EXPECT_FALSE(ErasedMain());
    EXPECT_EQ(xj.nLEDType[0], 7);
    EXPECT_EQ(Fw().MemoryAt(0x13, 0, 8), (Bytes{0x4F, 'X', 'J', 0x10, 0x01, 3, 0x00, 0x0C}));

    EXPECT_FALSE(ORVSetDeviceInformation(nullptr));
    EXPECT_FALSE(ORVSetPPGDeviceInformation(nullptr));
}

TEST_F(ApiIdentity, ProductNameNamesBothSides) {
    Plug(Profile::WithPpg2112());
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(ORVSetProductName('K', 'Q'));
    EXPECT_EQ(Fw().MemoryAt(0x01, 0, 5), (Bytes{0x4F, 'K', 'Q', 0x20, 0x01}));
    EXPECT_EQ(Fw().MemoryAt(0x13, 0, 3), (Bytes{0x4F, 'Y', 'B'}));

    // The PPG side's write refused: false, the main module keeps its new letters.
    emu_.FaultOnHeader({0x12, 0x55, 0xAA, 0xFF, 0x00, 0x13}, Fault::Alter({{4, 0x00}}));
    EXPECT_FALSE(ORVSetProductName('N', 'V'));
    EXPECT_EQ(Fw().MemoryAt(0x01, 0, 5), (Bytes{0x4F, 'N', 'V', 0x10, 0x01}));
}

TEST(ApiIdentityNoInstrument, EveryWriterIsFalse) {
    MODEL_INFORMATION info = {};
    EXPECT_FALSE(ORVSetDeviceInformation(&info));
    EXPECT_FALSE(ORVSetPPGDeviceInformation(&info));
    EXPECT_FALSE(ORVSetProductName('N', 'V'));
    EXPECT_FALSE(ORVSetHWInformation(1, 2));
    EXPECT_FALSE(ORVSetPPGModuleHWInformation(1, 2));
    EXPECT_FALSE(ORVSetSerialNumber(1, 2));
    EXPECT_FALSE(ORVSetPPGModuleSerialNumber(1, 2));
    EXPECT_FALSE(ORVSetPPGModuleType(0x2112));
}

}  // namespace
