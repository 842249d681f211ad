// The firmware model's identity family, extension-module version and sampling switch:
// the connect handshake over the pty with a raw client that sends the handshake's
// requests in its order, and the answers of each profile.
#include "Emulator.h"
#include "Firmware.h"
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned kWaitMs = 2000;
constexpr unsigned kQuietMs = 150;

Bytes Only(Firmware& fw, const Bytes& request) {
    const std::vector<Reply> replies = fw.Answer(request);
    return replies.size() == 1 ? replies[0].bytes : Bytes{};
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
    return to <= b.size() ? Bytes(b.begin() + from, b.begin() + to) : Bytes{};
}

const Bytes kStreamOff = {0xAD, 0xFF, 0x00, 0x00, 0x00, 0x00};
Bytes IdentityRead(uint8_t target) { return {0x12, 0x55, 0xAA, 0x00, 0x00, target, 0x00, 0x0C, 0, 0, 0, 0}; }

class FirmwareHandshake : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator_.Start());
        emulator_.SetResponder(firmware_);
        client_ = std::make_unique<SlaveClient>(emulator_.SlavePath());
        ASSERT_TRUE(client_->IsOpen());
    }
    void TearDown() override {
        EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { emulator_.Stop(); }));
    }

    Bytes Exchange(const Bytes& request, size_t replyLength) {
        EXPECT_EQ(client_->Write(request), static_cast<ssize_t>(request.size()));
        return client_->ReadExactly(replyLength, kWaitMs);
    }

    std::shared_ptr<Firmware> firmware_ = std::make_shared<Firmware>(Profile::WithPpg2112());
    Emulator emulator_;
    std::unique_ptr<SlaveClient> client_;
};

// The handshake and UpdateDeviceInformation of a main unit with PPG module 0x2112, as
// the host sends them, each reply one write of the length the host reads.
TEST_F(FirmwareHandshake, AnswersTheHandshakeInItsOrder) {
    const Bytes stop = Exchange(kStreamOff, 64);
    ASSERT_EQ(stop.size(), 64u);
    EXPECT_EQ(stop[0], 0xAD);
    EXPECT_EQ(stop[4], 0x00);                          // the stream's last packet
    EXPECT_TRUE(client_->ReadOnce(kQuietMs).empty());  // the drain finds nothing more

    const Bytes mainRecord = {0x55, 0x00, 0x00, 0xFF, 0x4F, 'N', 'V', 0x20, 0x01, 0x00, 0x00, 0x11};
    EXPECT_EQ(Exchange({0x55, 0x00, 0x00}, 12), mainRecord);
    EXPECT_EQ(Exchange({0x55, 0x00, 0x00}, 12), mainRecord);
    EXPECT_EQ(Exchange({0x55, 0x00, 0x01}, 12),
              (Bytes{0x55, 0x00, 0x01, 0xFF, 0x4F, 'Y', 'B', 0x21, 0x12, 0x03, 0x10, 0x01}));

    const Bytes mainId = Exchange(IdentityRead(0x01), 64);
    ASSERT_EQ(mainId.size(), 64u);
    EXPECT_EQ(Slice(mainId, 0, 12), (Bytes{0x12, 0x55, 0xAA, 0x00, 0xFF, 0x01, 0x00, 0x0C, 0, 0, 0, 0}));
    EXPECT_EQ(Slice(mainId, 16, 28), (Bytes{0x4F, 'N', 'V', 0x20, 0x01, 0x00, 0x00, 0x11, 2, 1, 1, 16}));
    EXPECT_EQ(Exchange({0xAA, 0x03}, 5), (Bytes{0xAA, 0x03, 0x00, 0x07, 0x00}));
    const Bytes ppgId = Exchange(IdentityRead(0x13), 64);
    EXPECT_EQ(Slice(ppgId, 24, 28), (Bytes{2, 0, 3, 1}));

    EXPECT_EQ(Exchange({0x55, 0x00, 0x80}, 12)[4], 0);  // main module: 12-bit DAC
    EXPECT_EQ(Exchange({0x55, 0x00, 0x81}, 12)[4], 1);  // PPG 0x2112: 16-bit DACs
    const Bytes ext = Exchange({0xB9, 0x00, 0x01}, 64);
    ASSERT_EQ(ext.size(), 64u);
    EXPECT_EQ(Slice(ext, 0, 6), (Bytes{0xB9, 0x00, 0x01, 0xFF, 0x02, 0x01}));

    // Every request recorded as sent, every reply one write of its own length.
    const std::vector<Request> requests = emulator_.Requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(requests[0].bytes, kStreamOff);
    EXPECT_EQ(requests[4].bytes, IdentityRead(0x01));
    std::vector<size_t> lengths;
    for (const Bytes& w : emulator_.Written())
        lengths.push_back(w.size());
    EXPECT_EQ(lengths, (std::vector<size_t>{64, 12, 12, 12, 64, 5, 64, 12, 12, 64}));
}

// An erased main identity answers FF bytes where the handshake looks for "ONV".
TEST_F(FirmwareHandshake, ErasedIdentityFailsTheIdentificationLetters) {
    firmware_->Erase(0x01);
    EXPECT_EQ(Exchange({0x55, 0x00, 0x00}, 12),
              (Bytes{0x55, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    const Bytes id = Exchange(IdentityRead(0x01), 64);
    EXPECT_EQ(Slice(id, 16, 28), Bytes(12, 0xFF));
}

// Per profile: model records of both sides, DAC widths, FPGA presence and the
// extension-module version, with the bytes the host's readers take.
TEST(FirmwareIdentity, EachProfileAnswersItsRecords) {
    struct Case {
        Profile profile;
        Bytes ppgRecord;  // 55 00 01 reply bytes 4 to 11
        uint8_t dacMain, dacPpg;
        uint8_t fpgaStatus;  // byte 3 of the reply to CC 00 14 00
        Bytes ext;           // B8 00 00 bytes 9-10, or B9 00 01 bytes 4-5; empty: refused
    } cases[] = {
        // Main unit alone: the PPG side is the main module itself.
        {Profile::MainUnit4031(), {0x4F, 'N', 'V', 0x40, 0x31, 0x01, 0x01, 0x23}, 0, 0, 0x00, {}},
        {Profile::WithPpgYB2001(), {0x4F, 'Y', 'B', 0x20, 0x01, 0x02, 0x04, 0x56}, 0, 0, 0x00, {}},
        {Profile::WithPpg2012Fpga(), {0x4F, 'Y', 'B', 0x20, 0x12, 0x02, 0x07, 0x89}, 0, 0, 0xFF, {0x01, 0x04}},
        {Profile::WithPpg2012Fpga(false), {0x4F, 'Y', 'B', 0x20, 0x12, 0x02, 0x07, 0x89}, 0, 0, 0x00, {}},
        {Profile::WithPpg2112(), {0x4F, 'Y', 'B', 0x21, 0x12, 0x03, 0x10, 0x01}, 0, 1, 0x00, {0x02, 0x01}},
        {Profile::WithExtRespXJ(), {0x4F, 'X', 'J', 0x10, 0x01, 0x04, 0x00, 0x42}, 0, 0, 0x00, {}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.profile.name);
        Firmware fw(c.profile);
        const Bytes main = Only(fw, {0x55, 0x00, 0x00});
        ASSERT_EQ(main.size(), 12u);
        EXPECT_EQ(Slice(main, 0, 7), (Bytes{0x55, 0x00, 0x00, 0xFF, 0x4F, 'N', 'V'}));
        EXPECT_EQ(Slice(Only(fw, {0x55, 0x00, 0x01}), 4, 12), c.ppgRecord);
        EXPECT_EQ(Only(fw, {0x55, 0x00, 0x80})[4], c.dacMain);
        EXPECT_EQ(Only(fw, {0x55, 0x00, 0x81})[4], c.dacPpg);
        EXPECT_EQ(Only(fw, {0xCC, 0x00, 0x14, 0x00})[3], c.fpgaStatus);
        const bool b9 = c.profile.extModuleB9;
        const Bytes ext = Only(fw, b9 ? Bytes{0xB9, 0x00, 0x01} : Bytes{0xB8, 0x00, 0x00});
        ASSERT_EQ(ext.size(), 64u);
        EXPECT_EQ(ext[3], c.ext.empty() ? 0x00 : 0xFF);
        if (!c.ext.empty()) {
            EXPECT_EQ(b9 ? Slice(ext, 4, 6) : Slice(ext, 9, 11), c.ext);
        }
    }
}

TEST(FirmwareIdentity, DeadFpgaComesBackWhenRevived) {
    Firmware fw(Profile::WithPpg2012Fpga(false));
    EXPECT_EQ(Only(fw, {0xCC, 0x00, 0x14, 0x00})[3], 0x00);
    EXPECT_EQ(Only(fw, {0xB0, 0x00, 0x02, 0x00, 0x00})[3], 0x00);
    fw.SetFpgaAlive(true);
    EXPECT_EQ(Only(fw, {0xCC, 0x00, 0x14, 0x00})[3], 0xFF);
    fw.SetFpgaReport({0x21, 0xAB, 0xC1, 0x23, 0, 0, 0, 0, 0, 0});
    const Bytes report = Only(fw, {0xB0, 0x00, 0x02, 0x00, 0x00});
    EXPECT_EQ(report[0], 0xB0);
    EXPECT_EQ(Slice(report, 8, 12), (Bytes{0x21, 0xAB, 0xC1, 0x23}));
}

// The stream switch keeps on/off and answers every switch with an 0xAD packet; the
// answer to the stop has mode byte 0. The right-leg-drive words sit at bytes 6-9.
TEST(FirmwareIdentity, SamplingSwitchAndRightLegDrive) {
    Firmware fw;
    const Bytes start = Only(fw, {0xAD, 0xFF, 0x00, 0x00, 0x03, 0x00});
    EXPECT_EQ(Slice(start, 0, 5), (Bytes{0xAD, 0xFF, 0x00, 0xFF, 0x03}));
    EXPECT_TRUE(fw.StreamOn());
    EXPECT_EQ(fw.StreamMask(), 0x03);
    const Bytes stop = Only(fw, kStreamOff);
    EXPECT_EQ(stop[0], 0xAD);
    EXPECT_EQ(stop[4], 0x00);
    EXPECT_GT(stop[6] << 8 | stop[7], start[6] << 8 | start[7]);  // sequence counts packets
    EXPECT_FALSE(fw.StreamOn());

    fw.SetRld(0x03FF, 0x0200);
    const Bytes rld = Only(fw, {0xAD, 0x00, 0x01, 0x00, 0x10, 0x00});
    EXPECT_EQ(Slice(rld, 0, 4), (Bytes{0xAD, 0x00, 0x01, 0xFF}));
    EXPECT_EQ(Slice(rld, 6, 10), (Bytes{0x03, 0xFF, 0x02, 0x00}));
}

}  // namespace
}  // namespace nvsemu
