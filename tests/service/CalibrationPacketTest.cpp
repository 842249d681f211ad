// Calibration stream packets: the builders of methods 2 to 5 decoded point by point, the
// layouts per mode, the batch (sequence, a mode the method lacks), method 3's converted
// words, and builds racing the starts' swaps.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "playback/PlaybackState.h"  // g_nOperatorMode
#include "protocol/Protocol.h"
#include "service/CalibrationStream.h"
#include "service/ConvertTable.h"

using namespace calibration;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Point {
    int dc, ac;
};

int Word(const unsigned char* p) { return p[0] << 8 | p[1]; }

// The points of one channel position (pair index within a point) of a packet.
std::vector<Point> Points(const unsigned char* packet, int pairsPerPoint, int pair) {
    const int points = packet[5] / (4 * pairsPerPoint);
    std::vector<Point> out;
    for (int i = 0; i < points; ++i) {
        const unsigned char* at = packet + 8 + i * 4 * pairsPerPoint + 4 * pair;
        out.push_back({Word(at), Word(at + 2)});
    }
    return out;
}

using Builder = int (*)(unsigned short, unsigned char*);

// Builds n packets and returns the DC (or AC) codes of one pair position.
template <typename Build>
std::vector<int> Codes(Build build, int packets, int pairsPerPoint, int pair, bool dc = true) {
    std::vector<int> out;
    for (int k = 0; k < packets; ++k) {
        unsigned char packet[64] = {};
        EXPECT_EQ(build(static_cast<unsigned short>(k), packet), 1);
        for (const Point& p : Points(packet, pairsPerPoint, pair)) {
            out.push_back(dc ? p.dc : p.ac);
        }
    }
    return out;
}

class CalibrationPacket : public ::testing::Test {
protected:
    void SetUp() override {
        ResetCalibrationStreamState();
        g_nPPGDCDacLevel = 4095.0;
        for (PPGChannel c : {PPG_CHANNEL_1, PPG_CHANNEL_2}) {
            UpdateACConvertTable(c, 0);
            UpdateDCConvertTable(c, 0);
        }
    }
    void TearDown() override {
        ResetCalibrationStreamState();
        g_nPPGDCDacLevel = 4095.0;
        g_nOperatorMode = 0;
    }
    static void Slot(int s, double a1, double dcLevel, double a2 = 0.0) {
        g_PPGCalibrationWaveform[s] = PPG_WAVEFORM{};
        g_PPGCalibrationWaveform[s].fAmplitude1 = a1;
        g_PPGCalibrationWaveform[s].fDCLevel = dcLevel;
        g_PPGCalibrationWaveform[s].fAmplitude2 = a2;
    }
    // Method 3 words of a channel from plain codes (stored big-endian).
    static void Words(int channel, const std::vector<Point>& points) {
        std::vector<double> ac, dc;
        for (const Point& p : points) {
            ac.push_back(p.ac * 30.0 / 4095.0 + 1e-9);
            dc.push_back(p.dc + 0.5);
        }
        PLAY_RAW_DATA data{10000.0, static_cast<int32_t>(points.size()), 0, ac.data(), dc.data(), nullptr};
        ASSERT_EQ(LoadRawPPG(channel, data, 10000), 1);
    }
};

std::vector<int> Repeat(std::vector<int> period, size_t n) {
    std::vector<int> out;
    while (out.size() < n) {
        out.insert(out.end(), period.begin(), period.end());
    }
    out.resize(n);
    return out;
}

// ---- Method 2 ----

TEST_F(CalibrationPacket, Method2SweepsThroughTheDCRowWithClampedIndexes) {
    struct Case {
        const char* name;
        double level;
        double base, height;
        std::vector<int> period;  // DC codes, repeated
    } cases[] = {
        {"climbs and falls", 4095.0, 100, 3, {100, 101, 102, 103, 102, 101}},
        {"held at full scale", 4095.0, 4094, 5, {4094, 4095, 4095, 4095, 4095, 4095, 4095, 4095, 4095, 4095}},
        {"height 0 stays", 4095.0, 7, 0, {7}},
        {"negative height stays", 4095.0, 7, -4, {7}},
        {"NaN base is 0", 4095.0, kNaN, 2, {0, 1, 2, 1}},
        {"negative base is 0", 4095.0, -50, 1, {0, 1}},
        {"huge base is full scale", 4095.0, 1e15, 2, {4095}},
        {"NaN height stays", 4095.0, 10, kNaN, {10}},
        {"16-bit row", 65535.0, 65534, 1, {65534, 65535}},
        {"16-bit, beyond the row", 65535.0, 1e9, 3, {65535}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetCalibrationStreamState();
        g_nPPGDCDacLevel = c.level;
        for (int slot : {0, 1}) {
            Slot(slot, c.base, c.height);
            auto build = [slot](unsigned short seq, unsigned char* p) {
                return Method2ToPPGCalibrationDCPacket(slot, seq, p);
            };
            EXPECT_EQ(Codes(build, 3, 1, 0), Repeat(c.period, 42));
            EXPECT_EQ(Codes(build, 1, 1, 0, false), std::vector<int>(14, 0));
        }
    }
}

TEST_F(CalibrationPacket, Method2GoesThroughTheTableAndCapsItsCodes) {
    g_DCTable[0][100].store(4000);
    g_DCTable[0][101].store(70000);  // above full scale: sent as 4095
    Slot(0, 100, 1);
    auto build = [](unsigned short seq, unsigned char* p) { return Method2ToPPGCalibrationDCPacket(0, seq, p); };
    EXPECT_EQ(Codes(build, 1, 1, 0), Repeat({4000, 4095}, 14));
}

TEST_F(CalibrationPacket, Method2TwoChannelsSweepEachSlot) {
    Slot(0, 100, 3);
    Slot(1, 2000, 1);
    EXPECT_EQ(Codes(Method2ToPPGExCalibrationDCPacket, 2, 2, 0), Repeat({100, 101, 102, 103, 102, 101}, 14));
    ResetCalibrationStreamState();
    Slot(0, 100, 3);
    Slot(1, 2000, 1);
    EXPECT_EQ(Codes(Method2ToPPGExCalibrationDCPacket, 2, 2, 1), Repeat({2000, 2001}, 14));
}

// ---- Layouts ----

TEST_F(CalibrationPacket, EveryBuilderFillsItsModesLayout) {
    struct Case {
        const char* name;
        Builder build;
        int mode, payload;
    };
    const Case cases[] = {
        {"2 / mode 2", [](unsigned short s, unsigned char* p) { return Method2ToPPGCalibrationDCPacket(0, s, p); }, 2,
         56},
        {"2 / mode 4", [](unsigned short s, unsigned char* p) { return Method2ToPPGCalibrationDCPacket(1, s, p); }, 4,
         56},
        {"2 / mode 6", Method2ToPPGExCalibrationDCPacket, 6, 56},
        {"3 / mode 2", [](unsigned short s, unsigned char* p) { return Method3ToPPGPacket(0, s, p); }, 2, 56},
        {"3 / mode 4", [](unsigned short s, unsigned char* p) { return Method3ToPPGPacket(1, s, p); }, 4, 56},
        {"3 / mode 6", Method3ToPPGExPacket, 6, 56},
        {"3 / mode 14", Method3ToPPG3Packet, 14, 48},
        {"4 / mode 2", [](unsigned short s, unsigned char* p) { return Method4ToPPGPacket(0, s, p); }, 2, 56},
        {"4 / mode 4", [](unsigned short s, unsigned char* p) { return Method4ToPPGPacket(1, s, p); }, 4, 56},
        {"4 / mode 6", Method4ToPPGExPacket, 6, 56},
        {"4 / mode 14", [](unsigned short s, unsigned char* p) { return Method4ToPPG3Packet(0, s, p); }, 14, 48},
        {"5 / mode 2", [](unsigned short s, unsigned char* p) { return Method5ToPPGPacket(0, s, p); }, 2, 56},
        {"5 / mode 4", [](unsigned short s, unsigned char* p) { return Method5ToPPGPacket(1, s, p); }, 4, 56},
        {"5 / mode 6", Method5ToPPGExPacket, 6, 56},
    };
    Words(1, {{0xFFF, 0xFFF}});
    Words(2, {{0xFFF, 0xFFF}});
    for (int s : {0, 1}) {
        Slot(s, 0xFFF, 0xFFF, 1);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char packet[64];
        memset(packet, 0, sizeof packet);
        ASSERT_EQ(c.build(0x1234, packet), 1);
        EXPECT_EQ(packet[0], 0x01);
        EXPECT_EQ(packet[1], c.mode);
        EXPECT_EQ(packet[2] | packet[3] | packet[4], 0);
        EXPECT_EQ(packet[5], c.payload);
        EXPECT_EQ(Word(packet + 6), 0x1234);
        for (int i = 8 + c.payload; i < 64; ++i) {
            EXPECT_EQ(packet[i], 0) << "byte " << i;
        }
    }
}

// ---- Method 4 ----

TEST_F(CalibrationPacket, Method4HoldsItsTableCodesInEveryLayout) {
    g_ACTable[0][300].store(1300);
    g_ACTable[1][65535].store(77);
    g_ACTable[1][0].store(55);
    g_DCTable[1][4095].store(3999);
    Slot(0, 300, 200);
    Slot(1, 1e12, 5000);  // AC index 65535; DC index above L: trunc(L)

    EXPECT_EQ(Codes(Method4ToPPGExPacket, 1, 2, 0), std::vector<int>(7, 200));
    EXPECT_EQ(Codes(Method4ToPPGExPacket, 1, 2, 0, false), std::vector<int>(7, 1300));
    EXPECT_EQ(Codes(Method4ToPPGExPacket, 1, 2, 1), std::vector<int>(7, 3999));
    EXPECT_EQ(Codes(Method4ToPPGExPacket, 1, 2, 1, false), std::vector<int>(7, 77));
    auto mode14 = [](unsigned short s, unsigned char* p) { return Method4ToPPG3Packet(0, s, p); };
    for (int pair = 0; pair < 3; ++pair) {
        EXPECT_EQ(Codes(mode14, 1, 3, pair), std::vector<int>(4, 200));
        EXPECT_EQ(Codes(mode14, 1, 3, pair, false), std::vector<int>(4, 1300));
    }
    Slot(1, kNaN, -3);  // NaN AC index 0, negative DC index 0
    auto mode4 = [](unsigned short s, unsigned char* p) { return Method4ToPPGPacket(1, s, p); };
    EXPECT_EQ(Codes(mode4, 1, 1, 0), std::vector<int>(14, 0));
    EXPECT_EQ(Codes(mode4, 1, 1, 0, false), std::vector<int>(14, 55));
}

// ---- Method 5 ----

TEST_F(CalibrationPacket, Method5PhasesKeepTheirLevelAcrossRuns) {
    const int H = 4095;
    // High 3, low 2, starting low after load.
    const std::vector<int> period = {0, 0, H, H, H};
    Slot(0, 3, 0, 2);
    Slot(1, 1, 0, 4);
    auto mode2 = [](unsigned short s, unsigned char* p) { return Method5ToPPGPacket(0, s, p); };
    const std::vector<int> first = Codes(mode2, 1, 1, 0);  // 14 samples
    EXPECT_EQ(first, Repeat(period, 14));
    // A new run starts its positions at 0 and keeps the level: the first run ended two
    // samples into a high phase, so the second opens with a whole high phase.
    memset(g_nPlayCounter, 0, sizeof g_nPlayCounter);
    EXPECT_EQ(Codes(mode2, 1, 1, 0), Repeat({H, H, H, 0, 0}, 14));
    // Mode 4 plays slot 1's lengths (high 1, low 4) on the same position and flag.
    ResetCalibrationStreamState();
    Slot(1, 1, 0, 4);
    auto mode4 = [](unsigned short s, unsigned char* p) { return Method5ToPPGPacket(1, s, p); };
    EXPECT_EQ(Codes(mode4, 1, 1, 0), Repeat({0, 0, 0, 0, H}, 14));
    // Two channels: each its own flag, position and slot.
    ResetCalibrationStreamState();
    Slot(0, 3, 0, 2);
    Slot(1, 1, 0, 4);
    EXPECT_EQ(Codes(Method5ToPPGExPacket, 2, 2, 0), Repeat(period, 14));
    ResetCalibrationStreamState();
    Slot(0, 3, 0, 2);
    Slot(1, 1, 0, 4);
    EXPECT_EQ(Codes(Method5ToPPGExPacket, 2, 2, 1), Repeat({0, 0, 0, 0, H}, 14));
    // Fractional and tiny lengths: ceil, at least one sample.
    ResetCalibrationStreamState();
    Slot(0, 1.5, 0, 0.0);
    EXPECT_EQ(Codes(mode2, 1, 1, 0), Repeat({0, H, H}, 14));
}

// ---- Method 3 ----

TEST_F(CalibrationPacket, Method3ConvertsOnceAndRepeatsItsWords) {
    struct Case {
        const char* name;
        double ac, dc;  // mV
        double level;
        int acCode, dcCode;
    } cases[] = {
        {"mid scale", 15.0, 100.7, 4095.0, 2047, 100},      {"AC beyond 30 mV", 45.0, 0.0, 4095.0, 4095, 0},
        {"negative AC and DC", -3.0, -7.0, 4095.0, 0, 0},   {"NaN samples", kNaN, kNaN, 4095.0, 0, 0},
        {"DC beyond the row", 0.0, 1e9, 4095.0, 0, 0xFFFF}, {"16-bit", 30.0, 40000.0, 65535.0, 65535, 40000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_nPPGDCDacLevel = c.level;
        std::vector<double> ac(3, c.ac), dc(3, c.dc);
        PLAY_RAW_DATA data{10000.0, 3, 0, ac.data(), dc.data(), nullptr};
        ASSERT_EQ(LoadRawPPG(2, data, 10000), 1);
        ASSERT_EQ(calibration::g_nPPGSrcSampleCount[1], 3);
        auto build = [](unsigned short s, unsigned char* p) { return Method3ToPPGPacket(1, s, p); };
        EXPECT_EQ(Codes(build, 1, 1, 0), std::vector<int>(14, c.dcCode));
        EXPECT_EQ(Codes(build, 1, 1, 0, false), std::vector<int>(14, c.acCode));
    }
}

TEST_F(CalibrationPacket, Method3ResamplesToTheStreamRate) {
    std::vector<double> ac(1000, 1.0), dc(1000, 5.0);
    PLAY_RAW_DATA data{1000.0, 1000, 0, ac.data(), dc.data(), nullptr};
    ASSERT_EQ(LoadRawPPG(1, data, 10000), 1);
    EXPECT_EQ(calibration::g_nPPGSrcSampleCount[0], 10000);
    data.fSampleRate = kNaN;
    EXPECT_EQ(LoadRawPPG(1, data, 10000), 0);  // no resampling from an unknown rate
    data.fSampleRate = 1000.0;
    data.nSampleCount = 0;
    EXPECT_EQ(LoadRawPPG(1, data, 10000), 0);
    data.nSampleCount = 1000;
    data.pACData = nullptr;
    EXPECT_EQ(LoadRawPPG(1, data, 10000), 0);
    EXPECT_EQ(LoadRawPPG(3, PLAY_RAW_DATA{10000.0, 1, 0, dc.data(), dc.data(), nullptr}, 10000), 0);
    EXPECT_EQ(calibration::g_nPPGSrcSampleCount[0], 10000);  // the refused loads left the words alone
    EXPECT_EQ(calibration::g_nPPGSrcSampleCount[1], 0);
}

TEST_F(CalibrationPacket, Method3ReadPositionsWrapPerChannel) {
    Words(1, {{10, 1}, {11, 2}, {12, 3}});
    Words(2, {{20, 4}, {21, 5}});
    EXPECT_EQ(Codes(Method3ToPPGExPacket, 1, 2, 0), Repeat({10, 11, 12}, 7));
    EXPECT_EQ(g_nPlayCounter[0], 7u % 3);
    EXPECT_EQ(Codes(Method3ToPPGExPacket, 1, 2, 1), Repeat({21, 20}, 7));  // position 1 was at 7 % 2
    // Three channels: PPG 3 repeats channel 1, PPG 2 is channel 2; each advances once.
    memset(g_nPlayCounter, 0, sizeof g_nPlayCounter);
    unsigned char packet[64] = {};
    Method3ToPPG3Packet(0, packet);
    std::vector<int> p3, p1, p2;
    for (const Point& p : Points(packet, 3, 0))
        p3.push_back(p.dc);
    for (const Point& p : Points(packet, 3, 1))
        p1.push_back(p.dc);
    for (const Point& p : Points(packet, 3, 2))
        p2.push_back(p.dc);
    EXPECT_EQ(p3, (std::vector<int>{10, 11, 12, 10}));
    EXPECT_EQ(p1, p3);
    EXPECT_EQ(p2, (std::vector<int>{20, 21, 20, 21}));
    // A swap to fewer words brings the channel's position inside them; the one-channel
    // builder reads channel 2 at position 0, which it brings inside too.
    g_nPlayCounter[0] = 2;
    g_nPlayCounter[1] = 1;
    Words(1, {{30, 0}, {31, 0}});
    EXPECT_EQ(g_nPlayCounter[0], 0u);
    g_nPlayCounter[0] = 5;
    auto mode4 = [](unsigned short s, unsigned char* p) { return Method3ToPPGPacket(1, s, p); };
    EXPECT_EQ(Codes(mode4, 1, 1, 0), Repeat({21, 20}, 14));
}

TEST_F(CalibrationPacket, Method3ChannelWithoutWordsStaysSilent) {
    Words(1, {{10, 1}});
    g_nPlayCounter[1] = 9;
    EXPECT_EQ(Codes(Method3ToPPGExPacket, 1, 2, 1), std::vector<int>(7, 0));
    EXPECT_EQ(g_nPlayCounter[1], 9u);
    EXPECT_EQ(Codes(Method3ToPPGExPacket, 1, 2, 0), std::vector<int>(7, 10));
}

// ---- Batches ----

TEST_F(CalibrationPacket, BatchNumbersWrapAndStopAtAModeTheMethodLacks) {
    unsigned char batch[50 * 64];
    Slot(0, 1, 1, 1);
    Slot(1, 1, 1, 1);
    Words(1, {{1, 1}});
    Words(2, {{1, 1}});
    struct Case {
        int method, mode;
        bool served;
    } cases[] = {{2, 2, true}, {2, 4, true}, {2, 6, true},   {2, 14, false}, {3, 2, true},
                 {3, 4, true}, {3, 6, true}, {3, 14, true},  {3, 16, false}, {4, 2, true},
                 {4, 4, true}, {4, 6, true}, {4, 14, true},  {4, 1, false},  {5, 2, true},
                 {5, 4, true}, {5, 6, true}, {5, 14, false}, {5, 8, false},  {6, 2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "method " << c.method << " mode " << c.mode);
        g_nOperatorMode = c.mode;
        int seq = 65490;
        int more = 7;
        const int built = BuildCalibrationBatch(c.method, seq, 50, more, batch);
        if (!c.served) {
            EXPECT_EQ(built, 0);
            EXPECT_EQ(more, 0);
            EXPECT_EQ(seq, 65490);
            continue;
        }
        EXPECT_EQ(built, 50);
        EXPECT_EQ(more, 1);
        EXPECT_EQ(seq, 40);
        EXPECT_EQ(Word(batch + 9 * 64 + 6), 65499);
        EXPECT_EQ(Word(batch + 10 * 64 + 6), 0);
        EXPECT_EQ(batch[49 * 64 + 1], c.mode);
    }
}

// ---- Concurrency ----

// The play thread builds while starts swap words, copy slots and rebuild tables: every
// pair read belongs to one of the loaded streams, and the sanitizer sees no race.
TEST_F(CalibrationPacket, BuildsWhileStartsSwapWordsAndSlots) {
    Words(1, {{200, 1}});
    Words(2, {{100, 1}});
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread player([&] {
        unsigned char batch[50 * 64];
        int seq = 0;
        int more = 1;
        while (!stop.load()) {
            for (int mode : {6, 14}) {
                g_nOperatorMode = mode;
                BuildCalibrationBatch(3, seq, 50, more, batch);
                const int pairs = mode == 6 ? 2 : 3;
                for (int k = 0; k < 50; ++k) {
                    for (const Point& p : Points(batch + 64 * k, pairs, 0)) {
                        bad += p.dc != 100 && p.dc != 200 ? 1 : 0;
                    }
                }
            }
            BuildCalibrationBatch(4, seq, 50, more, batch);
        }
    });
    for (int i = 0; i < 200; ++i) {
        const int n = 1 + (i % 7) * 300;
        std::vector<double> ac(static_cast<size_t>(n), 1.0), dc(static_cast<size_t>(n), i % 2 ? 100.0 : 200.0);
        PLAY_RAW_DATA data{10000.0, n, 0, ac.data(), dc.data(), nullptr};
        ASSERT_EQ(LoadRawPPG(1 + i % 2, data, 10000), 1);
        {
            CAutoCriticalSection lock(g_CalibrationStreamLock);
            g_PPGCalibrationWaveform[i % 2].fDCLevel = i;
        }
        if (i % 20 == 0) {
            UpdateACConvertTable(PPG_CHANNEL_1, 0);
        }
    }
    stop = true;
    player.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
