// The sampling stream of the firmware model: packets made from the sources at the
// clock's pace, start and stop answers, faults, the FPGA report list, and the stream on
// the emulated port.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CommandLine.h"
#include "Emulator.h"
#include "Firmware.h"
#include "SampleStream.h"
#include "SlaveClient.h"

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kMs = 1000;

uint16_t Number(const Bytes& p) { return static_cast<uint16_t>(p[6] << 8 | p[7]); }

// Runs of a merged-mode packet: (value, count).
std::vector<std::pair<int, int>> Records(const Bytes& p) {
    std::vector<std::pair<int, int>> out;
    for (int at = 8; at + 3 <= 8 + p[5]; at += 3)
        out.emplace_back(p[at] << 8 | p[at + 1], p[at + 2]);
    return out;
}

TEST(SampleStream, EqualSamplesMergeAndAQuietPacketGoesOutAtTheFlush) {
    SampleStream s;
    s.SetSource(0, SampleSource::Constant(0x0123));
    s.Start(0x01, 0);
    uint64_t next = 0;
    EXPECT_TRUE(s.Due(10 * kMs, &next).empty());  // 10 samples, one record, not flushed yet
    EXPECT_GT(next, 10 * kMs);
    EXPECT_LE(next, 20 * kMs);
    const std::vector<Bytes> packets = s.Due(20 * kMs, &next);
    ASSERT_EQ(packets.size(), 1u);
    const Bytes& p = packets[0];
    ASSERT_EQ(p.size(), 64u);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 8), (Bytes{0xAD, 0xFF, 0x00, 0xFF, 0x01, 3, 0, 0}));
    EXPECT_EQ(Records(p), (std::vector<std::pair<int, int>>{{0x0123, 20}}));

    // Counts stop at 255: 600 more samples give records of 255, 255 and 90.
    const std::vector<Bytes> later = s.Due(620 * kMs, &next);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(Number(later[0]), 1);
    EXPECT_EQ(Records(later[0]), (std::vector<std::pair<int, int>>{{0x0123, 255}, {0x0123, 255}, {0x0123, 90}}));
    EXPECT_EQ(s.SamplesMade(), 620u);
}

TEST(SampleStream, FullPacketsCarryWholeRecordsOfTheMaskInBitOrder) {
    struct Case {
        uint8_t mask;
        size_t records;  // per full packet
    } cases[] = {{1, 18}, {3, 11}, {5, 11}, {10, 11}, {12, 11}, {15, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.mask});
        SampleStream s;
        for (int i = 0; i < 4; ++i)
            s.SetSource(i, SampleSource::Square(static_cast<uint16_t>(10 * i), static_cast<uint16_t>(10 * i + 5), 1));
        s.Start(c.mask, 0);
        uint64_t next = 0;
        const std::vector<Bytes> packets = s.Due(100 * kMs, &next);  // 100 distinct samples
        ASSERT_FALSE(packets.empty());
        const int inputs = __builtin_popcount(c.mask);
        const size_t size = 2 * static_cast<size_t>(inputs) + 1;
        EXPECT_EQ(packets[0][4], c.mask);
        EXPECT_EQ(packets[0][5], c.records * size);
        size_t samples = 0;
        for (size_t k = 0; k < packets.size(); ++k) {
            EXPECT_EQ(Number(packets[k]), k);
            samples += packets[k][5] / size;
        }
        // Only records short of a full packet wait for the flush.
        EXPECT_EQ(samples, 100 - 100 % c.records);
        // The first record: the inputs of the mask in bit order, at their first level.
        int at = 8;
        for (int b = 0; b < 4; ++b) {
            if ((c.mask >> b) & 1) {
                EXPECT_EQ(packets[0][at] << 8 | packets[0][at + 1], 10 * b);
                at += 2;
            }
        }
        EXPECT_EQ(packets[0][at], 1);
    }
}

TEST(SampleStream, ScriptedRawValuesAndNumbersThatWrap) {
    SampleStream s;
    s.SetSource(1, SampleSource::Script({0, 1023, 0xFFFF}));
    s.SetFirstNumber(65534);
    s.Start(0x02, 0);
    const std::vector<Bytes> packets = s.Burst(3);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(Number(packets[0]), 65534);
    EXPECT_EQ(Number(packets[1]), 65535);
    EXPECT_EQ(Number(packets[2]), 0);
    EXPECT_EQ(Records(packets[0]), (std::vector<std::pair<int, int>>{{0, 1}}));
    EXPECT_EQ(Records(packets[1]), (std::vector<std::pair<int, int>>{{1023, 1}}));
    EXPECT_EQ(Records(packets[2]), (std::vector<std::pair<int, int>>{{0xFFFF, 1}}));
    // A new start numbers from the first number again.
    s.SetFirstNumber(0);
    s.Start(0x02, 0);
    EXPECT_EQ(Number(s.Burst(1)[0]), 0);
}

TEST(SampleStream, CannedFaults) {
    SampleStream s;
    StreamFaults f;
    f.gapAt = 1;
    f.badStatusAt = 2;
    f.shortAt = 3;
    f.forcedMode = 9;
    s.SetFaults(f);
    s.Start(0x01, 0);
    const std::vector<Bytes> p = s.Burst(5);
    EXPECT_EQ(Number(p[0]), 0);
    EXPECT_EQ(Number(p[1]), 2);  // one number skipped
    EXPECT_EQ(p[2][3], 0x00);
    EXPECT_EQ(p[1][3], 0xFF);
    EXPECT_EQ(p[3].size(), 40u);
    EXPECT_EQ(p[4][4], 9);
    f = StreamFaults{};
    f.stall = true;
    s.SetFaults(f);
    uint64_t next = 0;
    EXPECT_TRUE(s.Due(1000 * kMs, &next).empty());
}

Bytes Start(uint8_t v) { return {0xAD, 0xFF, 0x00, 0x00, v, 0x00}; }

TEST(FirmwareStream, StartAndStopAnswersAndThePacketsInFlight) {
    Firmware fw(Profile::WithPpg2112());
    std::vector<Reply> r = fw.Answer(Start(0x05));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Bytes(r[0].bytes.begin(), r[0].bytes.begin() + 6), (Bytes{0xAD, 0xFF, 0x00, 0xFF, 0x05, 0x00}));
    EXPECT_TRUE(fw.StreamOn());
    EXPECT_EQ(fw.StreamStarts(), 1u);

    fw.SetStopInFlight(2);
    r = fw.Answer(Start(0x00));
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].bytes[4], 0x05);
    EXPECT_EQ(Number(r[0].bytes), 0);
    EXPECT_EQ(Number(r[1].bytes), 1);
    EXPECT_EQ(r[2].bytes[4], 0x00);  // the end packet
    EXPECT_EQ(r[2].bytes[3], 0xFF);
    EXPECT_FALSE(fw.StreamOn());
    uint64_t next = 0;
    EXPECT_TRUE(fw.Unsolicited(NowUs() + 1000 * kMs, &next).empty());

    // Low bits 0 (16: the right-leg drive) answer but stream nothing.
    r = fw.Answer(Start(0x10));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes[4], 0x10);
    EXPECT_TRUE(fw.Unsolicited(NowUs() + 1000 * kMs, &next).empty());

    // A stop that is never answered leaves the stream running.
    fw.Answer(Start(0x01));
    StreamFaults f;
    f.ignoreStop = true;
    fw.SetStreamFaults(f);
    EXPECT_TRUE(fw.Answer(Start(0x00)).empty());
    EXPECT_FALSE(fw.Unsolicited(NowUs() + 100 * kMs, &next).empty());
}

TEST(FirmwareStream, FpgaReportsCycleOnePerPoll) {
    Firmware fw(Profile::WithPpg2012Fpga());
    std::array<uint8_t, 10> a{}, b{};
    a[0] = 0x20;
    b[0] = 0x01;
    b[1] = 0xAB;
    fw.SetFpgaReports({a, b});
    const Bytes query = {0xB0, 0x00, 0x02, 0x00, 0x00};
    const uint8_t expected[] = {0x20, 0x01, 0x20};
    for (uint8_t e : expected) {
        const std::vector<Reply> r = fw.Answer(query);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].bytes[0], 0xB0);
        EXPECT_EQ(r[0].bytes[8], e);
    }
    EXPECT_EQ(fw.FpgaPolls(), 3u);
}

// The stream on the port: whole 64-byte packets, numbered from 0 without a gap, at the
// rate the flush sets for a steady signal.
TEST(FirmwareStream, StreamsWholePacketsOnThePort) {
    auto fw = std::make_shared<Firmware>(Profile::WithPpg2112());
    fw->SetSampleSource(0, SampleSource::Square(100, 200, 7));
    Emulator emulator;
    ASSERT_TRUE(emulator.Start());
    emulator.SetResponder(fw);
    SlaveClient client(emulator.SlavePath());
    ASSERT_TRUE(client.IsOpen());
    ASSERT_EQ(client.Write(Start(0x01)), 6);
    const Bytes answer = client.ReadExactly(64, 2000);
    ASSERT_EQ(answer.size(), 64u);
    EXPECT_EQ(answer[4], 0x01);
    std::vector<Bytes> packets;
    long samples = 0;
    while (samples < 300) {
        const Bytes p = client.ReadExactly(64, 2000);
        ASSERT_EQ(p.size(), 64u);
        ASSERT_EQ(Number(p), packets.size());
        for (const auto& rec : Records(p))
            samples += rec.second;
        packets.push_back(p);
    }
    EXPECT_EQ(Records(packets[0]).front(), (std::pair<int, int>{100, 7}));
    ASSERT_EQ(client.Write(Start(0x00)), 6);
    // Whatever was in flight, then the end packet.
    for (;;) {
        const Bytes p = client.ReadExactly(64, 2000);
        ASSERT_EQ(p.size(), 64u);
        if (p[4] == 0)
            break;
    }
    EXPECT_TRUE(client.ReadUntilQuiet(60).empty());
    EXPECT_TRUE(FinishesWithin(2000, [&] { emulator.Stop(); }));
}

}  // namespace
}  // namespace nvsemu

namespace nvsemu {
namespace {

TEST(CommandLineStream, RateAndSignalOptions) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(
        ParseCommandLine({"--sampling-rate", "2000", "--signal", "pd1:300", "--signal=sw2:0:1023:5"}, line, error))
        << error;
    ASSERT_TRUE(line.samplingRate.has_value());
    EXPECT_EQ(*line.samplingRate, 2000u);
    EXPECT_EQ(line.signals, (std::vector<SignalOption>{{0, 300, 0, 0}, {3, 0, 1023, 5}}));
    for (const char* bad : {"pd3:1", "pd1", "pd1:70000", "sw1:1:2", "sw1:1:2:0", "pd1:x"}) {
        EXPECT_FALSE(ParseCommandLine({"--signal", bad}, line, error)) << bad;
        EXPECT_NE(error.find("--signal"), std::string::npos);
    }
    EXPECT_FALSE(ParseCommandLine({"--sampling-rate", "0"}, line, error));
    const std::string help = UsageText("nvs-emulator");
    EXPECT_NE(help.find("--sampling-rate"), std::string::npos);
    EXPECT_NE(help.find("--signal"), std::string::npos);

    ASSERT_TRUE(ParseCommandLine({"--signal", "sw1:4:9:2"}, line, error));
    Firmware fw;
    PlanSampling(line, fw);
    fw.Answer(std::vector<uint8_t>{0xAD, 0xFF, 0x00, 0x00, 0x04, 0x00});
    fw.SetStopInFlight(1);
    const std::vector<Reply> r = fw.Answer(std::vector<uint8_t>{0xAD, 0xFF, 0x00, 0x00, 0x00, 0x00});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(Records(r[0].bytes).front(), (std::pair<int, int>{4, 1}));
}

}  // namespace
}  // namespace nvsemu
