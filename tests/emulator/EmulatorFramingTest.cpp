// Framing through the pseudo-terminal: every request the library sends, written by a
// raw client in one write or in two, is recorded as exactly one request of its length.
#include "Emulator.h"
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned kWaitMs = 2000;

// Pads with zeros to the request's length (reads and most requests carry zeros).
Bytes Zeros(Bytes head, size_t length) {
    head.resize(length, 0);
    return head;
}

// Pads with bytes that a cooked terminal would rewrite or swallow (CR, LF, XON, XOFF,
// ^C, DEL) and the filler value 0x38, so raw mode and payload handling are exercised.
Bytes Payload(Bytes head, size_t length) {
    static const uint8_t pattern[] = {0x38, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0x7F, 0xFF, 0x00, 0x5A};
    for (size_t i = 0; head.size() < length; ++i)
        head.push_back(pattern[i % sizeof pattern]);
    return head;
}

struct Case {
    const char* name;
    Bytes bytes;  // exactly one request as the library writes it
};

const std::vector<Case>& Requests() {
    static const std::vector<Case> cases = {
        // Operator mode and operator block.
        {"operator mode 8, rate 1000", {0x00, 0xFF, 0x08, 0x03, 0xE8, 0x01, 0x01, 0x01, 0, 0, 0, 0, 0, 0}},
        {"standalone switch", {0x00, 0xFF, 0x08, 0x00, 0x01, 0x01, 0x01, 0x00, 0, 0, 0, 0, 0, 0}},
        {"short operator mode (AC mode 2)", {0x00, 0xFF, 0x08, 0x10, 0x27, 0x00, 0x00, 0x00, 0x02, 0x02, 0x02}},
        {"operator block read", Zeros({}, 14)},
        // Stream packet: payload length 0x38 in byte 5.
        {"stream packet", Payload({0x01, 0x01, 0x00, 0x00, 0x00, 0x38, 0x01, 0x02}, 64)},
        {"stream packet mode 15", Payload({0x01, 0x0F, 0x00, 0x00, 0x00, 0x30, 0xFF, 0xDB}, 64)},
        // Memory command.
        {"identity read, 12 bytes", {0x12, 0x55, 0xAA, 0x00, 0x00, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00}},
        {"identity read, 64 bytes", Zeros({0x12, 0x55, 0xAA, 0x00, 0x00, 0x13, 0x00, 0x0C}, 64)},
        {"byte read of the factory record",
         Zeros({0x12, 0x55, 0xAA, 0x00, 0x00, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00}, 64)},
        {"word read of the ECG table",
         Zeros({0x12, 0x55, 0xAA, 0x00, 0x00, 0x12, 0x00, 0x20, 0x00, 0x01, 0x00, 0x00}, 64)},
        {"byte write",
         Payload({0x12, 0x55, 0xAA, 0xFF, 0x00, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x40, 0, 0, 0, 0}, 64)},
        {"identity erase", Zeros({0x12, 0x55, 0xAA, 0xFF, 0x00, 0x01, 0x01, 0x00}, 64)},
        {"burn erase of page 0x400",
         Zeros({0x12, 0x55, 0xAA, 0xFF, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00}, 64)},
        {"burn verify", Zeros({0x12, 0x55, 0xAA, 0x00, 0x00, 0x03, 0x00, 0x30, 0x00, 0x00, 0x00, 0x30}, 64)},
        // Identity.
        {"main model record", {0x55, 0x00, 0x00}},
        {"PPG model record", {0x55, 0x00, 0x01}},
        {"main DAC width", {0x55, 0x00, 0x80}},
        {"PPG DAC width", {0x55, 0x00, 0x81}},
        {"firmware revision", {0xAA, 0x03}},
        // Sampling stream and right-leg drive.
        {"sampling stream off", {0xAD, 0xFF, 0x00, 0x00, 0x00, 0x00}},
        {"sampling stream mask 15", {0xAD, 0xFF, 0x00, 0x00, 0x0F, 0x00}},
        {"right-leg-drive levels", {0xAD, 0x00, 0x01, 0x00, 0x10, 0x00}},
        // PPG-module functions.
        {"signal-strength detection", {0xB0, 0xFF, 0x01, 0x00, 0x01}},
        {"dynamic LED strength", {0xB0, 0xFF, 0x03, 0x00, 0x01}},
        {"ambient-light mode write", {0xB0, 0xFF, 0x10, 0x00, 0x0E}},
        {"ambient-light mode read", {0xB0, 0x00, 0x10, 0x00, 0x00}},
        {"ambient-light DC read", {0xB0, 0x00, 0x11, 0x00}},
        {"ambient-light DC write", {0xB0, 0xFF, 0x11, 0x00, 0x01, 0xF4}},
        {"transmission rate", {0xB0, 0xFF, 0x20, 0x00, 0x03}},
        {"transmission rate poll", {0xB0, 0x00, 0x20, 0x00, 0x03}},
        {"automatic trigger level", {0xB0, 0xFF, 0x30, 0x00, 0x01}},
        {"automatic trigger-level status", {0xB0, 0x00, 0x30, 0x00}},
        {"FPGA report query", {0xB0, 0x00, 0x02, 0x00, 0x00}},
        // Extension module and FPGA upgrade.
        {"extension version", {0xB8, 0x00, 0x00}},
        {"extension version on 0x2112", {0xB9, 0x00, 0x01}},
        {"FPGA upgrade mode", {0xB8, 0xFF, 0x00, 0x00, 0x01}},
        {"FPGA control", {0xB8, 0xFF, 0x01, 0x00, 0x03, 0x02}},
        {"FPGA status", {0xB8, 0x00, 0x02, 0x00, 0x00, 0x00}},
        {"FPGA data, last of sector 0",
         Zeros(Payload({0xB8, 0xFF, 0x03, 0x00, 0x20, 0x03, 0x3F, 0xE0, 0xFF, 0, 0, 0, 0, 0, 0, 0}, 48), 64)},
        // PPG-module calibration settings and registers.
        {"calibration setting read", Zeros({0xCC, 0x00, 0x01, 0x00}, 64)},
        {"calibration setting write", Zeros({0xCC, 0xFF, 0x01, 0x00, 0x20, 0x03}, 64)},
        {"input select 0x3F", Zeros({0xCC, 0xFF, 0x06, 0x00, 0x3F}, 64)},
        {"VRef read", {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04}},
        {"VRef read before a write", {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04, 0x00, 0x00, 0x00, 0x00}},
        {"register read", {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x20, 0x02}},
        {"VRef write", Payload({0xCC, 0xFF, 0x0A, 0xFF, 0xD0, 0x51, 0x04, 0x08, 0x00, 0x07, 0xFF}, 64)},
        {"register write", {0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x20, 0x02, 0x12, 0x34}},
        {"finger debug mode", {0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x70, 0x01, 0x01}},
        {"respiratory module read", Zeros({0xCC, 0x00, 0x0D, 0x00}, 64)},
        {"respiratory module write",
         Zeros({0xCC, 0xFF, 0x0D, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04}, 64)},
        {"respiratory baseline read", {0xCC, 0x00, 0x0E, 0x00, 0x00, 0x00}},
        {"respiratory baseline write", {0xCC, 0xFF, 0x0E, 0x00, 0x01, 0x02}},
        {"PPG module read", {0xCC, 0x00, 0x10, 0x00, 0x00}},
        {"PPG module select", {0xCC, 0xFF, 0x10, 0x00, 0x02}},
        {"LED feedback voltage", {0xCC, 0x00, 0x41}},
        {"USB bus voltage", {0xCC, 0x00, 0x42}},
        {"FPGA presence", {0xCC, 0x00, 0x14, 0x00}},
        // Control block, settings, raw data, ROM.
        {"control block read", Zeros({0xEA, 0x00, 0x00, 0x00}, 61)},
        {"control block write", Payload({0xEA, 0xFF, 0x00, 0x01}, 61)},
        {"LED pulse group take", Zeros({0xEA, 0xFF, 0x0A, 0x00}, 61)},
        {"ECG setting write", Payload({0xEA, 0xFF, 0x01, 0x00, 0x00}, 58)},
        {"ECG setting read", {0xEA, 0x00, 0x01}},
        {"PPG1 setting write", Payload({0xEA, 0xFF, 0x02, 0x00, 0x01}, 64)},
        {"PPG2 setting write", Payload({0xEA, 0xFF, 0x03, 0x00, 0x01}, 64)},
        {"PPG3 setting write", Payload({0xEA, 0xFF, 0x08, 0x00, 0x01}, 64)},
        {"PPG1 setting read", {0xEA, 0x00, 0x02}},
        {"PPG2 setting read", {0xEA, 0x00, 0x03}},
        {"PPG3 setting read", {0xEA, 0x00, 0x08}},
        {"ECG raw data", Payload({0xEA, 0xFF, 0x04, 0x00, 0x00, 0x00, 0x00, 0x0E}, 64)},
        {"PPG1 raw data", Payload({0xEA, 0xFF, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}, 64)},
        {"PPG2 raw data", Payload({0xEA, 0xFF, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00}, 64)},
        {"PPG3 raw data", Payload({0xEA, 0xFF, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00}, 64)},
        {"ROM read", {0xEA, 0x00, 0x07, 0x00, 0x01, 0x00}},
        {"ROM write", {0xEA, 0xFF, 0x07, 0x00, 0x38, 0x05}},
        // Restart after a burn.
        {"restart", {0xDD}},
    };
    return cases;
}

const Case& Named(const std::string& name) {
    for (const Case& c : Requests())
        if (name == c.name)
            return c;
    throw std::invalid_argument(name);
}

const Bytes kSentinel = {0xAA, 0x03};

class EmulatorFraming : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(emulator_.Start());
        client_ = std::make_unique<SlaveClient>(emulator_.SlavePath());
        ASSERT_TRUE(client_->IsOpen());
    }
    void TearDown() override {
        EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { emulator_.Stop(); }));
    }

    // Writes the case (in `pieces` writes), then a sentinel once the case is recorded:
    // the case must come out alone and whole, and the sentinel after it, so a length
    // too short or too long shows either way.
    void Check(const Case& c, int pieces) {
        SCOPED_TRACE(c.name);
        emulator_.ClearRequests();
        if (pieces == 1 || c.bytes.size() < 2) {
            ASSERT_EQ(client_->Write(c.bytes), static_cast<ssize_t>(c.bytes.size()));
        } else {
            const size_t half = c.bytes.size() / 2;
            ASSERT_EQ(client_->Write(Bytes(c.bytes.begin(), c.bytes.begin() + half)), static_cast<ssize_t>(half));
            ASSERT_EQ(client_->Write(Bytes(c.bytes.begin() + half, c.bytes.end())),
                      static_cast<ssize_t>(c.bytes.size() - half));
        }
        ASSERT_TRUE(emulator_.WaitForRequests(1, kWaitMs));
        ASSERT_EQ(client_->Write(kSentinel), 2);
        ASSERT_TRUE(emulator_.WaitForRequests(2, kWaitMs));
        const std::vector<Request> got = emulator_.Requests();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].bytes, c.bytes);
        EXPECT_EQ(got[0].kind, FrameKind::Known);
        EXPECT_EQ(got[1].bytes, kSentinel);
        EXPECT_EQ(emulator_.FillerBytes(), 0u);
    }

    Emulator emulator_;
    std::unique_ptr<SlaveClient> client_;
};

TEST_F(EmulatorFraming, EachRequestInOneWrite) {
    for (const Case& c : Requests())
        Check(c, 1);
}

// Two writes of one request are one burst as long as they follow each other within
// the burst gap; the gap is widened here so a slow scheduler cannot split them.
TEST_F(EmulatorFraming, EachRequestInTwoWrites) {
    // The two halves must reach the emulator within the gap: generous, since a loaded
    // machine may hold this thread between its two writes for tens of milliseconds.
    emulator_.SetBurstGap(400);
    emulator_.SetStaleAfter(1000);
    for (const Case& c : Requests())
        Check(c, 2);
}

TEST_F(EmulatorFraming, SeveralRequestsInOneWrite) {
    Bytes burst;
    // Shared headers among them: each is decided by the bytes of the request after it.
    const std::vector<const Case*> sent = {
        &Named("main model record"),  &Named("identity read, 12 bytes"),         &Named("stream packet"),
        &Named("control block read"), &Named("short operator mode (AC mode 2)"), &Named("ROM write"),
        &Named("VRef read")};
    for (const Case* c : sent)
        burst.insert(burst.end(), c->bytes.begin(), c->bytes.end());
    ASSERT_EQ(client_->Write(burst), static_cast<ssize_t>(burst.size()));
    ASSERT_TRUE(emulator_.WaitForRequests(sent.size(), kWaitMs));
    const std::vector<Request> got = emulator_.Requests();
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(got[i].bytes, sent[i]->bytes) << sent[i]->name;
    EXPECT_EQ(emulator_.RawBytes(), burst);
}

// The play thread writes its batches of 50 stream packets in one call; two batches
// here, more than the emulator takes in one read.
TEST_F(EmulatorFraming, StreamBatchesAreCutIntoPackets) {
    constexpr size_t kPackets = 100;
    Bytes batch;
    for (size_t seq = 0; seq < kPackets; ++seq) {
        Bytes packet = Payload(
            {0x01, 0x01, 0x00, 0x00, 0x00, 0x38, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)}, 64);
        batch.insert(batch.end(), packet.begin(), packet.end());
    }
    ASSERT_EQ(client_->Write(batch), static_cast<ssize_t>(batch.size()));
    ASSERT_TRUE(emulator_.WaitForRequests(kPackets, kWaitMs));
    const std::vector<Request> got = emulator_.Requests();
    ASSERT_EQ(got.size(), kPackets);
    for (size_t seq = 0; seq < kPackets; ++seq) {
        EXPECT_EQ(got[seq].bytes, Bytes(batch.begin() + 64 * seq, batch.begin() + 64 * (seq + 1))) << seq;
        EXPECT_EQ(got[seq].kind, FrameKind::Known);
    }
}

// The library's empty reads write single 0x38 bytes between requests: three per
// unanswered read. They are counted, never recorded as requests.
TEST_F(EmulatorFraming, FillerBytesAreDroppedAndCounted) {
    const Bytes model = {0x55, 0x00, 0x00};
    ASSERT_EQ(client_->Write(model), 3);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(client_->Write({0x38}), 1);
    ASSERT_TRUE(emulator_.WaitForFillerBytes(3, kWaitMs));
    ASSERT_EQ(client_->Write(kSentinel), 2);
    ASSERT_TRUE(emulator_.WaitForRequests(2, kWaitMs));

    const std::vector<Request> got = emulator_.Requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, model);
    EXPECT_EQ(got[1].bytes, kSentinel);
    EXPECT_EQ(emulator_.FillerBytes(), 3u);
    EXPECT_EQ(emulator_.RawBytes(), (Bytes{0x55, 0x00, 0x00, 0x38, 0x38, 0x38, 0xAA, 0x03}));
}

TEST_F(EmulatorFraming, UnknownBurstIsOneRequest) {
    const Bytes garbage = {0x77, 0x12, 0x55, 0xAA, 0x38};
    ASSERT_EQ(client_->Write(garbage), 5);
    ASSERT_TRUE(emulator_.WaitForRequests(1, kWaitMs));
    ASSERT_EQ(client_->Write(kSentinel), 2);
    ASSERT_TRUE(emulator_.WaitForRequests(2, kWaitMs));
    const std::vector<Request> got = emulator_.Requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, FrameKind::Unknown);
    EXPECT_EQ(got[0].bytes, garbage);
    EXPECT_EQ(got[1].kind, FrameKind::Known);
}

// A request whose rest never comes is given up after the stale time, and the next
// request is framed cleanly.
TEST_F(EmulatorFraming, UnfinishedRequestIsGivenUp) {
    emulator_.SetStaleAfter(50);
    const Bytes start = {0xEA, 0xFF, 0x01, 0x00, 0x00, 0x00};  // 6 of the 58 bytes
    ASSERT_EQ(client_->Write(start), 6);
    ASSERT_TRUE(emulator_.WaitForRequests(1, kWaitMs));
    ASSERT_EQ(client_->Write(kSentinel), 2);
    ASSERT_TRUE(emulator_.WaitForRequests(2, kWaitMs));
    const std::vector<Request> got = emulator_.Requests();
    EXPECT_EQ(got[0].kind, FrameKind::Incomplete);
    EXPECT_EQ(got[0].bytes, start);
    EXPECT_EQ(got[1].bytes, kSentinel);
}

TEST_F(EmulatorFraming, RequestTimeIsWhenItsFirstByteArrived) {
    const uint64_t before = NowUs();
    ASSERT_EQ(client_->Write(Named("identity read, 12 bytes").bytes), 12);  // short read: decided after the gap
    ASSERT_TRUE(emulator_.WaitForRequests(1, kWaitMs));
    const uint64_t after = NowUs();
    const Request got = emulator_.Requests().at(0);
    EXPECT_GE(got.atUs, before);
    EXPECT_LE(got.atUs, after);
}

}  // namespace
}  // namespace nvsemu
