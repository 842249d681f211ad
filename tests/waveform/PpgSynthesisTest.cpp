// PPG synthesis: shapes against their closed forms and stated tables, units of the two
// forms, AC offset, inversion, the transition period and the 300 mV triangle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "WaveformRecords.h"
#include "waveform/Waveform.h"

namespace {

// A record of n = rate x period samples.
using records::Ppg;

// The pulse of a 1000 ms beat at 1 sample per ms: peaks 1 mV at 150, notch 0.4 mV at
// 300, second peak 0.6 mV at 400.
PPG_WAVEFORM Pulse(int type) { return records::PpgPulse(type, 1.0, 1000); }

template <typename T>
struct Period {
    std::vector<T> ac;
    std::vector<T> dc;
};

Period<int> Ints(const PPG_WAVEFORM& w, int startLevel = 0) {
    int n = -1;
    int* ac = nullptr;
    int* dc = nullptr;
    GenPPGWaveform(&w, &n, &ac, &dc, startLevel);
    Period<int> p;
    if (n > 0) {
        p.ac.assign(ac, ac + n);
        p.dc.assign(dc, dc + n);
    }
    delete[] ac;
    delete[] dc;
    return p;
}

Period<double> Doubles(const PPG_WAVEFORM& w) {
    int n = -1;
    double* ac = nullptr;
    double* dc = nullptr;
    GenPPGWaveform(&w, &n, &ac, &dc, 0.0);
    Period<double> p;
    if (n > 0) {
        p.ac.assign(ac, ac + n);
        p.dc.assign(dc, dc + n);
    }
    delete[] ac;
    delete[] dc;
    return p;
}

}  // namespace

TEST(PpgShapes, SmallPeriodsInBothForms) {
    struct Case {
        int type;
        double periodMs, a1;
        std::vector<int> ints;        // 1/2000 mV
        std::vector<double> doubles;  // mV
    } cases[] = {
        {0, 4, 2.0, {2000, 4000, 2000, 0}, {1, 2, 1, 0}},     // sine spans 0..a1
        {2, 5, 2.0, {4000, 4000, 0, 0, 0}, {2, 2, 0, 0, 0}},  // square
        {255, 3, 3.0, {3000, 3000, 3000}, {1.5, 1.5, 1.5}},   // constant a1 / 2
    };
    for (const Case& c : cases) {
        const PPG_WAVEFORM w = Ppg(c.type, 1.0, c.periodMs, c.a1);
        EXPECT_EQ(Ints(w).ac, c.ints) << "type " << c.type;
        EXPECT_EQ(Doubles(w).ac, c.doubles) << "type " << c.type;
    }
}

TEST(PpgShapes, TriangleStartsAtAPeaksAtTwiceAAndTouchesZero) {
    // 300 mV at 60 per minute and 10 kHz (model 0x2112's largest AC): the fall's
    // products exceed 32 bits.
    for (double a1 : {1.0, 300.0}) {
        const Period<int> p = Ints(Ppg(1, 10.0, 1000, a1));
        ASSERT_EQ(p.ac.size(), 10000u);
        const int a = static_cast<int>(1000 * a1);
        EXPECT_EQ(p.ac[0], a);
        EXPECT_EQ(p.ac[2500], 2 * a);
        EXPECT_EQ(p.ac[5000], a);
        EXPECT_EQ(p.ac[7500], 0);
        EXPECT_EQ(*std::max_element(p.ac.begin(), p.ac.end()), 2 * a);
        EXPECT_EQ(*std::min_element(p.ac.begin(), p.ac.end()), 0);
        for (int i = 2501; i <= 7500; ++i) {
            ASSERT_LE(p.ac[i], p.ac[i - 1]) << a1 << " mV, sample " << i;
        }
    }
}

TEST(PpgPulse, ArcsPassThroughTheirPeaksAndNotch) {
    const Period<int> p = Ints(Pulse(3));
    EXPECT_EQ(p.ac[0], 0);
    EXPECT_EQ(p.ac[150], 1000);
    EXPECT_EQ(p.ac[300], 400);
    EXPECT_EQ(p.ac[400], 600);
    EXPECT_LT(p.ac[999], 1);
    EXPECT_EQ(*std::max_element(p.ac.begin(), p.ac.end()), 1000);

    PPG_WAVEFORM late = Pulse(3);
    late.nTime1 = 0;  // no rise: the period starts at the peak
    EXPECT_EQ(Ints(late).ac[0], 1000);
}

TEST(PpgPulse, InversionAndTransitionPeriod) {
    PPG_WAVEFORM w = Pulse(3);
    w.bInverted = 1;
    const Period<int> plain = Ints(Pulse(3));
    const Period<int> inverted = Ints(w);
    EXPECT_EQ(inverted.ac[0], 1000) << "the inverted foot is the largest amplitude";
    EXPECT_EQ(inverted.ac[150], 0);
    for (int i = 0; i < 1000; ++i) {
        // M - v, each side truncated on its own.
        ASSERT_NEAR(inverted.ac[i] + plain.ac[i], 1000, 1) << i;
    }

    // Transition: falls from the previous level 500 uV to 0 at the first peak time, not
    // inverted; from there on the inverted pulse.
    const Period<int> transition = Ints(w, 500);
    EXPECT_EQ(transition.ac[0], 500);
    EXPECT_EQ(transition.ac[75], 250);
    for (int i = 1; i < 150; ++i) {
        ASSERT_LE(transition.ac[i], transition.ac[i - 1]) << i;
    }
    for (int i = 150; i < 1000; ++i) {
        ASSERT_EQ(transition.ac[i], inverted.ac[i]) << i;
    }
}

TEST(PpgPulse, StraightLines) {
    const Period<int> p = Ints(Pulse(16));
    const std::pair<int, int> points[] = {
        {0, 0}, {75, 500}, {150, 1000}, {225, 700}, {300, 400}, {350, 500}, {400, 600}, {700, 300},
    };
    for (auto [i, v] : points) {
        EXPECT_EQ(p.ac[i], v) << i;
    }
    PPG_WAVEFORM w = Pulse(16);
    w.bInverted = 1;
    EXPECT_EQ(Ints(w).ac[0], 1000);
    EXPECT_EQ(Ints(w).ac[150], 0);
}

TEST(PpgOffsetAndDc, OffsetInEachShapesUnitAndConstantDc) {
    struct Case {
        int type;
        int intShift;  // 0.5 mV in the integer unit of the shape
    } cases[] = {{0, 1000}, {1, 1000}, {2, 1000}, {255, 1000}, {3, 500}, {16, 500}};
    for (const Case& c : cases) {
        PPG_WAVEFORM w = c.type == 3 || c.type == 16 ? Pulse(c.type) : Ppg(c.type, 1.0, 1000);
        w.fDCLevel = 1234.5678;
        const Period<int> base = Ints(w);
        const Period<double> baseMv = Doubles(w);
        w.fACOffset = 0.5;
        const Period<int> shifted = Ints(w);
        const Period<double> shiftedMv = Doubles(w);
        ASSERT_EQ(shifted.ac.size(), 1000u);
        for (size_t i = 0; i < shifted.ac.size(); ++i) {
            ASSERT_EQ(shifted.ac[i] - base.ac[i], c.intShift) << "type " << c.type;
            ASSERT_NEAR(shiftedMv.ac[i] - baseMv.ac[i], 0.5, 1e-12) << "type " << c.type;
            ASSERT_EQ(shifted.dc[i], 1234567);
            ASSERT_EQ(shiftedMv.dc[i], 1234.567);
        }
    }
}

TEST(PpgShapes, UnknownTypeGivesZeroAcAndBadFrequencyNothing) {
    PPG_WAVEFORM w = Ppg(7, 1.0, 100);
    w.fACOffset = 0.5;
    w.fDCLevel = 10.0;
    const Period<int> p = Ints(w);
    EXPECT_EQ(p.ac, std::vector<int>(100, 0));
    EXPECT_EQ(p.dc, std::vector<int>(100, 10000));

    for (double f : {0.0, -1.0, static_cast<double>(NAN)}) {
        PPG_WAVEFORM bad = Ppg(0, 1.0, 100);
        bad.fFrequency = f;
        EXPECT_EQ(GetPointNumber(bad), 0);
        EXPECT_TRUE(Ints(bad).ac.empty());
    }
}
