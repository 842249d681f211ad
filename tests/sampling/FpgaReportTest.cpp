// The FPGA report decoding, the mean of five reports and the location table.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "sampling/FpgaReport.h"

namespace {

// A reply whose bytes 8-17 are the given ones.
std::vector<unsigned char> Reply(unsigned char bits, std::vector<unsigned char> groups = {}) {
    std::vector<unsigned char> r(64, 0);
    r[0] = 0xB0;
    r[3] = 0xFF;
    r[8] = bits;
    for (size_t i = 0; i < groups.size() && i < 9; ++i) {
        r[9 + i] = groups[i];
    }
    return r;
}

// A mean report with these signal fractions and first levels.
FPGA_PD_REPORT Mean(std::vector<double> signal, double l0, double l1, double l2) {
    FPGA_PD_REPORT r = {};
    for (size_t i = 0; i < 6; ++i) {
        r.fSignal[i] = signal[i];
    }
    r.fLevel1[0] = l0;
    r.fLevel1[1] = l1;
    r.fLevel1[2] = l2;
    return r;
}

TEST(FpgaReport, DecodesSignalBitsAndTwelveBitLevels) {
    FPGA_PD_REPORT r;
    const auto reply = Reply(0x21, {0xAB, 0xCD, 0xEF, 0xFF, 0xFF, 0xFF, 0x00, 0x0F, 0x01});
    DecodeFPGAReport(reply.data(), &r);
    EXPECT_EQ(r.fLevel1[0], 2748.0);
    EXPECT_EQ(r.fLevel2[0], 3567.0);
    EXPECT_EQ(r.fLevel1[1], 4095.0);
    EXPECT_EQ(r.fLevel2[1], 4095.0);
    EXPECT_EQ(r.fLevel1[2], 0.0);
    EXPECT_EQ(r.fLevel2[2], 0xF01);
    const double bits[6] = {1, 0, 0, 0, 0, 1};  // bit 5 first
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(r.fSignal[i], bits[i]) << i;
    }
    for (int g = 0; g < 3; ++g) {
        EXPECT_EQ(r.fScaled1[g], 0.0);
        EXPECT_EQ(r.fScaled2[g], 0.0);
    }
}

TEST(FpgaReport, MeanOfFiveGivesFractionsMeansAndScaledLevels) {
    FPGA_PD_REPORT reports[5];
    for (int i = 0; i < 5; ++i) {
        // Bit 5 in two of five reports, bit 0 in all; level 1 of group 0 rises 100 a poll.
        const unsigned char bits = static_cast<unsigned char>((i < 2 ? 0x20 : 0) | 0x01);
        const int level = 100 * (i + 1);
        const auto reply =
            Reply(bits, {static_cast<unsigned char>(level >> 4), static_cast<unsigned char>((level & 15) << 4), 0x10});
        DecodeFPGAReport(reply.data(), &reports[i]);
    }
    const float ratio0[3] = {2.0f, 1.0f, 1.0f};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float ratio1[3] = {0.5f, nan, 1.0f};
    FPGA_PD_REPORT mean;
    MeanFPGAReport(reports, 5, ratio0, ratio1, &mean);
    EXPECT_DOUBLE_EQ(mean.fSignal[0], 0.4);
    EXPECT_DOUBLE_EQ(mean.fSignal[5], 1.0);
    EXPECT_DOUBLE_EQ(mean.fSignal[2], 0.0);
    EXPECT_DOUBLE_EQ(mean.fLevel1[0], 300.0);
    EXPECT_DOUBLE_EQ(mean.fLevel2[0], 16.0);
    EXPECT_DOUBLE_EQ(mean.fScaled1[0], 600.0);
    EXPECT_DOUBLE_EQ(mean.fScaled2[0], 8.0);
    EXPECT_TRUE(std::isnan(mean.fScaled2[1]));  // an erased ratio row stays NaN
}

TEST(FpgaReport, LocationOfEveryRowOfTheTable) {
    struct Case {
        const char* row;
        std::vector<double> signal;
        double l0, l1, l2, expected;
    };
    const Case cases[] = {
        {"111", {1, 0, 1, 0, 0, 1}, 100, 300, 100, -1},
        {"100 (bits 5, 4 in two of five)", {0.4, 0.4, 0, 0, 0, 0}, 100, 300, 100, -2},
        {"011", {0, 0, 0, 1, 1, 0}, 100, 300, 100, 50},
        {"101", {0, 1, 0, 0, 1, 0}, 100, 300, 100, 0},
        {"110", {1, 0, 0, 1, 0, 0}, 100, 300, 100, 100},
        {"001", {0, 0, 0, 0, 0, 1}, 100, 300, 100, 12.5},
        {"010", {0, 0, 1, 0, 0, 0}, 100, 300, 300, 87.5},
        {"000 (0.2 is below the threshold)", {0.2, 0.2, 0.2, 0.2, 0.2, 0.2}, 100, 300, 100, 40},
        {"001 with 0/0", {0, 0, 0, 0, 0, 1}, 0, 0, 0, 0},
        {"010 with 0/0", {0, 0, 1, 0, 0, 0}, 0, 0, 0, 100},
        {"000 with 0/0", {0, 0, 0, 0, 0, 0}, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        FPGA_PD_REPORT r = Mean(c.signal, c.l0, c.l1, c.l2);
        EXPECT_DOUBLE_EQ(CalculateDUTLocation(&r), c.expected);
        for (double s : r.fSignal) {
            EXPECT_TRUE(s == 0.0 || s == 1.0);  // rounded in place
        }
    }
}

}  // namespace
