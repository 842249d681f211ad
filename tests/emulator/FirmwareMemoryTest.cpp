// The firmware model's memory command: both transfer forms with their packet sizes and
// address steps (over the pty, as the host sends them), erased and refused spans, flash
// and EEPROM targets, per-module banks of target 0x13, and the records that the host
// loads after each connection.
#include "Emulator.h"
#include "FactoryImage.h"
#include "Firmware.h"
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned kWaitMs = 2000;

Bytes Only(Firmware& fw, const Bytes& request) {
    const std::vector<Reply> replies = fw.Answer(request);
    return replies.size() == 1 ? replies[0].bytes : Bytes{};
}

// One memory-command packet, as the host builds it.
Bytes MemoryRequest(bool write, uint8_t target, uint32_t address, uint8_t count, const Bytes& data = {},
                    bool erase = false) {
    Bytes r(64, 0);
    r[0] = 0x12;
    r[1] = 0x55;
    r[2] = 0xAA;
    r[3] = write ? 0xFF : 0x00;
    r[5] = target;
    r[6] = erase ? 1 : 0;
    r[7] = count;
    for (int i = 0; i < 4; ++i)
        r[8 + i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    std::copy(data.begin(), data.end(), r.begin() + 16);
    return r;
}

uint16_t Be16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }
uint16_t Le16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }

class FirmwareMemoryPort : public ::testing::Test {
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

    Bytes Exchange(const Bytes& request) {
        EXPECT_EQ(client_->Write(request), static_cast<ssize_t>(request.size()));
        return client_->ReadExactly(64, kWaitMs);
    }

    // A host transfer split into packets of at most `perPacket` bytes; the address
    // advances by the bytes of each packet. Returns the data read (reads) and checks
    // that each reply echoes target, count and address with byte 4 = 0xFF.
    Bytes Transfer(bool write, uint8_t target, uint32_t base, Bytes data, size_t count, size_t perPacket) {
        Bytes read;
        for (size_t done = 0; done < count; done += perPacket) {
            const size_t n = std::min(perPacket, count - done);
            const uint32_t address = base + static_cast<uint32_t>(done);
            const Bytes chunk = write ? Bytes(data.begin() + done, data.begin() + done + n) : Bytes{};
            const Bytes request = MemoryRequest(write, target, address, static_cast<uint8_t>(n), chunk);
            const Bytes reply = Exchange(request);
            EXPECT_EQ(reply.size(), 64u);
            if (reply.size() != 64)
                return read;
            EXPECT_EQ(reply[4], 0xFF) << "packet at " << address;
            EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), Bytes(request.begin(), request.begin() + 4));
            EXPECT_EQ(Bytes(reply.begin() + 5, reply.begin() + 12), Bytes(request.begin() + 5, request.begin() + 12));
            read.insert(read.end(), reply.begin() + 16, reply.begin() + 16 + n);
        }
        return read;
    }

    std::shared_ptr<Firmware> firmware_ = std::make_shared<Firmware>(Profile::WithPpg2112());
    Emulator emulator_;
    std::unique_ptr<SlaveClient> client_;
};

// Word form: 17 words go as 16 + 1 (byte counts 32 and 2, second at base + 32) and come
// back big-endian; byte form: 33 bytes go as 32 + 1.
TEST_F(FirmwareMemoryPort, WordAndByteFormsRoundTrip) {
    Bytes words;
    for (int i = 0; i < 17; ++i) {
        words.push_back(static_cast<uint8_t>(0xA0 + i));
        words.push_back(static_cast<uint8_t>(i));
    }
    const Bytes after = firmware_->MemoryAt(0x13, 0x0422, 2);
    Transfer(true, 0x13, 0x0400, words, words.size(), 32);
    EXPECT_EQ(Transfer(false, 0x13, 0x0400, {}, words.size(), 32), words);
    EXPECT_EQ(firmware_->MemoryAt(0x13, 0x0400, 34), words);
    EXPECT_EQ(firmware_->MemoryAt(0x13, 0x0420, 2), (Bytes{0xB0, 0x10}));  // word 17, high byte first
    EXPECT_EQ(firmware_->MemoryAt(0x13, 0x0422, 2), after);                // word 18 untouched

    Bytes text(33);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<uint8_t>('a' + i % 26);
    Transfer(true, 0x12, 0x12000, text, text.size(), 32);
    EXPECT_EQ(Transfer(false, 0x12, 0x12000, {}, text.size(), 32), text);

    const std::vector<Request> requests = emulator_.Requests();
    ASSERT_EQ(requests.size(), 8u);
    EXPECT_EQ(requests[1].bytes[7], 2);      // second word packet: one word
    EXPECT_EQ(requests[1].bytes[11], 0x20);  // at base + 32
    EXPECT_EQ(requests[5].bytes[7], 1);      // second byte packet: one byte at base + 32
    EXPECT_EQ(requests[5].bytes[11], 0x20);
}

// The fault plan refuses the second of three packets (byte 4 = 0x00): what the host
// sees when the instrument refuses mid-transfer.
TEST_F(FirmwareMemoryPort, RefusedPacketOfATransfer) {
    emulator_.FaultOnRequest(1, RefuseMemory());
    EXPECT_EQ(Exchange(MemoryRequest(false, 0x13, 0x1400, 32))[4], 0xFF);
    EXPECT_EQ(Exchange(MemoryRequest(false, 0x13, 0x1420, 32))[4], 0x00);
    EXPECT_EQ(Exchange(MemoryRequest(false, 0x13, 0x1440, 32))[4], 0xFF);
}

TEST(FirmwareMemory, ErasedAndRefusedSpans) {
    Firmware fw(Profile::WithPpg2112());
    const Bytes ecgTable = fw.MemoryAt(0x12, 0x10000, 32);
    ASSERT_TRUE(fw.Erase(0x13, 0x1400, 64));
    const Bytes erased = Only(fw, MemoryRequest(false, 0x13, 0x1400, 32));
    EXPECT_EQ(erased[4], 0xFF);  // an erased record reads fine, as FF bytes
    EXPECT_EQ(Bytes(erased.begin() + 16, erased.begin() + 48), Bytes(32, 0xFF));

    struct Case {
        const char* what;
        Bytes request;
    } refused[] = {
        {"unknown target", MemoryRequest(false, 0x07, 0, 16)},
        {"count beyond one packet", MemoryRequest(false, 0x13, 0, 49)},
        {"span past the target's end", MemoryRequest(false, 0x13, 0x7FF0, 32)},
        {"address past the end", MemoryRequest(true, 0x12, 0xFFFFFFF0, 16, Bytes(16, 0))},
        {"erase past the end", MemoryRequest(true, 0x01, 0x1000, 0, {}, true)},
    };
    for (const Case& c : refused) {
        const Bytes reply = Only(fw, c.request);
        ASSERT_EQ(reply.size(), 64u) << c.what;
        EXPECT_EQ(reply[4], 0x00) << c.what;
    }
    EXPECT_EQ(fw.MemoryAt(0x12, 0x10000, 32), ecgTable);
}

// Target 0x01 is flash: a write over the record only clears bits unless it was
// erased first, as the host's identity writers do (read, erase, write the changed
// read reply back). Target 0x13 takes writes over old bytes.
TEST(FirmwareMemory, IdentityRewriteNeedsTheErase) {
    for (bool erase : {true, false}) {
        SCOPED_TRACE(erase ? "erased first" : "not erased");
        Firmware fw(Profile::WithPpg2112());
        Bytes reply = Only(fw, MemoryRequest(false, 0x01, 0, 12));
        if (erase) {
            EXPECT_EQ(Only(fw, MemoryRequest(true, 0x01, 0, 0, {}, true))[4], 0xFF);
        }
        reply[3] = 0xFF;  // SetSerialNumber(0, 0x12, 1234): prefix and serial in 21-23
        reply[21] = 0x12;
        reply[22] = 0x04;
        reply[23] = 0xD2;
        EXPECT_EQ(Only(fw, reply)[4], 0xFF);
        const Bytes stored = fw.MemoryAt(0x01, 0, 12);
        const Bytes wanted = {0x4F, 'N', 'V', 0x20, 0x01, 0x12, 0x04, 0xD2, 2, 1, 1, 16};
        if (erase) {
            EXPECT_EQ(stored, wanted);
        } else {
            EXPECT_EQ(stored[5], 0x00);  // prefix 00: the bits of 0x12 could not be set
            EXPECT_EQ(stored[7], 0x11 & 0xD2);
        }
    }
    Firmware fw(Profile::WithPpg2112());
    EXPECT_EQ(Only(fw, MemoryRequest(true, 0x13, 5, 3, {0x12, 0x04, 0xD2}))[4], 0xFF);
    EXPECT_EQ(fw.MemoryAt(0x13, 5, 3), (Bytes{0x12, 0x04, 0xD2}));
}

// Target 0x13 has one image per PPG module; the selection picks the one the memory
// command reaches. A module the unit lacks is refused and the selection stays.
TEST(FirmwareMemory, PerModuleBanks) {
    Firmware fw(Profile::MainUnit4031());  // six PPG modules
    const Bytes factoryText = fw.MemoryAt(0x13, 0x1440, 16, 0);
    EXPECT_EQ(Only(fw, {0xCC, 0xFF, 0x10, 0x00, 0x02})[3], 0xFF);
    EXPECT_EQ(Only(fw, MemoryRequest(true, 0x13, 0x1440, 4, {1, 2, 3, 4}))[4], 0xFF);
    EXPECT_EQ(Only(fw, {0xCC, 0x00, 0x10, 0x00, 0x00})[4], 2);

    EXPECT_EQ(Only(fw, {0xCC, 0xFF, 0x10, 0x00, 0x06})[3], 0x00);
    EXPECT_EQ(fw.SelectedPpgModule(), 2);

    EXPECT_EQ(Only(fw, {0xCC, 0xFF, 0x10, 0x00, 0x00})[3], 0xFF);
    const Bytes bank0 = Only(fw, MemoryRequest(false, 0x13, 0x1440, 16));
    EXPECT_EQ(Bytes(bank0.begin() + 16, bank0.begin() + 32), factoryText);
    EXPECT_EQ(fw.MemoryAt(0x13, 0x1440, 4, 2), (Bytes{1, 2, 3, 4}));
}

float LeFloat(const Bytes& b, size_t at) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= uint32_t{b[at + i]} << (8 * i);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

double LeDouble(const Bytes& b, size_t at) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= uint64_t{b[at + i]} << (8 * i);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// The records the host loads after connecting are there and pass the host's "stored"
// tests: first and last entries not erased, a valid factory backup, ratios not 0/NaN,
// the respiration record's marker.
TEST(FirmwareMemory, FactoryImageHoldsTheLoadedRecords) {
    {
        Firmware fw(Profile::WithPpg2112());
        const Bytes pd1 = fw.MemoryAt(0x13, 0x0400, 2048), pd2 = fw.MemoryAt(0x13, 0x0C00, 2048);
        EXPECT_NE(Be16(pd1, 0), 0xFFFF);
        EXPECT_NE(Be16(pd1, 2046), 0);
        EXPECT_NE(Be16(pd2, 2), 0xFFFF);
        EXPECT_NE(Be16(pd2, 2046), 0);
        EXPECT_EQ(fw.MemoryAt(0x13, 0x1400, 1)[0], 1);  // ucValid
        const Bytes mcu = fw.MemoryAt(0x13, 0x1480, 256);
        for (size_t i = 0; i < 9; ++i)
            EXPECT_NE(Le16(mcu, 18 + 2 * i), 0) << "full-scale code " << i;
        for (size_t i = 0; i < 24; ++i) {
            const float ratio = LeFloat(mcu, 108 + 4 * i);
            EXPECT_TRUE(ratio > 0.5f && ratio < 2.0f) << "ratio " << i;
        }
        for (uint32_t base : {0x1600u, 0x3600u}) {
            const Bytes dc = fw.MemoryAt(0x13, base, 8192);
            EXPECT_NE(Le16(dc, 6000), 0xFFFF);
            EXPECT_EQ(Bytes(dc.begin() + 6002, dc.end()), Bytes(8192 - 6002, 0));
        }
        EXPECT_NE(Be16(fw.MemoryAt(0x12, 0x10000, 2), 0), 0xFFFF);
    }
    {
        Firmware fw(Profile::WithExtRespXJ());
        const Bytes rwa = fw.MemoryAt(0x13, 0x1480, 64);
        EXPECT_EQ(LeDouble(rwa, 0), 0.60991);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_TRUE(std::isfinite(LeDouble(rwa, 8 + 8 * i)));
        EXPECT_EQ(Bytes(rwa.begin() + 40, rwa.end()), Bytes(24, 0));
        EXPECT_NE(Le16(fw.MemoryAt(0x13, 0x14C0, 24), 22), 0xFFFF);
        EXPECT_TRUE(std::isfinite(LeDouble(fw.MemoryAt(0x13, 0x1500, 768), 760)));
    }
    {
        Firmware fw(Profile::WithPpg2012Fpga());
        const Bytes ratios = fw.MemoryAt(0x13, 0x1480, 96);
        for (size_t i = 0; i < 24; ++i)
            EXPECT_GT(LeFloat(ratios, 4 * i), 0.5f);
    }
    {
        // The main unit's PPG side is the main module: its record is the main one.
        Firmware fw(Profile::MainUnit4031());
        EXPECT_EQ(fw.MemoryAt(0x13, 0, 12, 5), fw.MemoryAt(0x01, 0, 12));
    }
}

}  // namespace
}  // namespace nvsemu
