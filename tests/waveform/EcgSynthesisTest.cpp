// ECG synthesis: shapes against their closed forms, the beat's timing cases at their
// boundaries, pacing and DC offset, and degenerate timings.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <memory>
#include <vector>

#include "WaveformRecords.h"
#include "waveform/Waveform.h"

namespace {

// A record whose period has n = rate x period samples.
using records::Ecg;

struct Period {
    std::vector<int> ac;
    std::vector<int> dc;
};

Period Generate(const ECG_WAVEFORM& w, bool withPacing = false) {
    int n = -1;
    int* ac = nullptr;
    int* dc = nullptr;
    GenECGWaveform(&w, &n, &ac, &dc, withPacing);
    Period p;
    if (n > 0) {
        p.ac.assign(ac, ac + n);
        p.dc.assign(dc, dc + n);
    }
    delete[] ac;
    delete[] dc;
    return p;
}

}  // namespace

TEST(EcgPointNumber, CountsOnePeriodAndRefusesBadFrequencies) {
    struct Case {
        double rate, frequency;
        int expected;
    } cases[] = {
        {1.0, 1.0, 1000},
        {40.0, 1.2, 33333},  // 40 x 833.33
        {0.05, 0.01, 5000},
        {10.0, 0.0, 0},
        {10.0, -1.0, 0},
        {10.0, NAN, 0},
        {10.0, INFINITY, 0},
        {0.0, 1.0, 0},
        {40.0, 1e-9, kMaxPointNumber},  // capped, never a huge allocation
    };
    for (const Case& c : cases) {
        ECG_WAVEFORM w{};
        w.fSampleRateKHz = c.rate;
        w.fFrequency = c.frequency;
        EXPECT_EQ(GetPointNumber(w), c.expected) << c.rate << " kHz, " << c.frequency << " Hz";
    }
}

TEST(EcgShapes, SmallPeriodsMatchTheirTables) {
    struct Case {
        int type;
        double periodMs;
        std::vector<int> expected;
    } cases[] = {
        {0, 4, {0, 1000, 0, -1000}},                // sine, 2 mV peak-to-peak
        {2, 5, {1000, 1000, -1000, -1000, -1000}},  // square: the first two high
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Generate(Ecg(c.type, 1.0, c.periodMs, 2.0)).ac, c.expected) << "type " << c.type;
    }
}

TEST(EcgShapes, TriangleRisesFallsAndReturns) {
    const Period p = Generate(Ecg(1, 1.0, 1000, 2.0));
    ASSERT_EQ(p.ac.size(), 1000u);
    EXPECT_EQ(p.ac[0], 0);
    EXPECT_EQ(p.ac[125], 500);
    EXPECT_EQ(p.ac[250], 1000);
    EXPECT_EQ(p.ac[500], 0);
    EXPECT_EQ(p.ac[750], -1000);
    for (int i = 1; i < 1000; ++i) {
        const bool falling = i > 250 && i <= 750;
        EXPECT_TRUE(falling ? p.ac[i] <= p.ac[i - 1] : p.ac[i] >= p.ac[i - 1]) << i;
    }
}

TEST(EcgShapes, PulsesAndExponential) {
    ECG_WAVEFORM rect = Ecg(3, 0.5, 100);
    rect.nPulseWidth = 3;  // 1.5 samples: samples 0 and 1
    const Period r = Generate(rect);
    EXPECT_EQ(r.ac[0], 1000);
    EXPECT_EQ(r.ac[1], 1000);
    EXPECT_EQ(r.ac[2], 0);

    ECG_WAVEFORM tri = Ecg(4, 1.0, 100);
    tri.nPulseWidth = 10;  // m = 5; the fall is formed in single precision (within 1 uV)
    const Period t = Generate(tri);
    const int expected[] = {0, 200, 400, 600, 800, 1000, 800, 600, 400, 200, 0, 0};
    for (int i = 0; i < 12; ++i) {
        EXPECT_NEAR(t.ac[i], expected[i], 1) << i;
    }

    const Period e = Generate(Ecg(5, 1.0, 1000));
    EXPECT_EQ(e.ac[0], 1000);
    EXPECT_EQ(e.ac[50], static_cast<int>(1000.0 * std::exp(-1.0)));  // time constant 50 ms
    EXPECT_EQ(e.ac[100], static_cast<int>(1000.0 * std::exp(-2.0)));
}

TEST(EcgShapes, TrianglePulseNeverGoesNegativeNorDividesByZero) {
    // Width 5.5 samples (m = 2): sample 5 lies past the foot of the fall.
    ECG_WAVEFORM odd = Ecg(4, 0.5, 200);
    odd.nPulseWidth = 11;
    const Period p = Generate(odd);
    const std::vector<int> head(p.ac.begin(), p.ac.begin() + 7);
    EXPECT_EQ(head, (std::vector<int>{0, 500, 1000, 500, 0, 0, 0}));

    // Width 1 sample (m = 0): a one-sample pulse, no 0/0.
    ECG_WAVEFORM narrow = Ecg(4, 1.0, 100);
    narrow.nPulseWidth = 1;
    const Period q = Generate(narrow);
    EXPECT_EQ(q.ac[0], 1000);
    EXPECT_EQ(q.ac[1], 0);
}

namespace {

// The beat at 1 sample per ms, n = RR, QRS 100 ms, R 1 mV, T 0.3 mV, P 0.2 mV.
ECG_WAVEFORM Beat(int rr, int pr = 160, int qt = 400, double st = 0.0) {
    ECG_WAVEFORM w = records::EcgBeat(rr);
    w.nPRInterval = pr;
    w.nQTInterval = qt;
    w.fSTLevel = st;
    return w;
}

// Largest magnitude from sample `from` on; 0 when there is none.
int MaxAbsFrom(const std::vector<int>& s, int from) {
    int m = 0;
    for (size_t i = static_cast<size_t>(from); i < s.size(); ++i) {
        m = std::max(m, std::abs(s[i]));
    }
    return m;
}

}  // namespace

TEST(EcgBeat, TimingCasesAtTheirBoundaries) {
    // Each boundary belongs to the lower case. QRS start t0 by case: 1 at 0, 2 and 3 at
    // 100 (after the P wave), 4 at RR - Q - 180, 5 at the record's PR (160).
    struct Case {
        int rr, beatCase, t0;
    } cases[] = {
        {200, 1, 0},   {201, 2, 100}, {359, 2, 100}, {360, 3, 100},
        {379, 3, 100}, {380, 4, 100}, {479, 4, 199}, {480, 5, 160},
    };
    for (const Case& c : cases) {
        const Period p = Generate(Beat(c.rr));
        ASSERT_EQ(p.ac.size(), static_cast<size_t>(c.rr));
        SCOPED_TRACE(testing::Message() << "RR " << c.rr << ", case " << c.beatCase);
        // The R peak, 0.875 R, 43 samples (0.4375 Q) after the QRS start.
        EXPECT_EQ(p.ac[c.t0 + 43], 875);
        // The P wave's peak 50 ms into the beat, in every case but the first.
        EXPECT_EQ(p.ac[50], c.beatCase == 1 ? p.ac[50] : 200);
        const int qc = c.t0 + 100;
        if (c.beatCase == 1 || c.beatCase == 2) {
            EXPECT_EQ(MaxAbsFrom(p.ac, qc + 1), 0) << "no T wave";
        } else if (c.beatCase == 3 || c.beatCase == 4) {
            // T from the end of the QRS, peaking half a T width later.
            const int tw = c.beatCase == 3 ? c.rr - 100 - 100 : 180;
            EXPECT_NEAR(p.ac[qc + tw / 2], 300, 1);
            EXPECT_EQ(qc + tw, c.rr) << "the T wave ends exactly at RR";
        }
    }
}

TEST(EcgBeat, CaseFiveTailVariants) {
    // T inside the period: ST plateau to 380 (PR + QT - Tw), T peak at 470, zero from 560.
    const Period full = Generate(Beat(800, 160, 400, 0.1));
    EXPECT_EQ(full.ac[300], 100);
    EXPECT_EQ(full.ac[379], 100);
    EXPECT_EQ(full.ac[470], 300);
    EXPECT_EQ(MaxAbsFrom(full.ac, 560), 0);

    // The T wave would end after the period: the ST level is held to the last sample.
    const Period held = Generate(Beat(480, 160, 400, 0.1));
    ASSERT_EQ(held.ac.size(), 480u);
    for (int i = 261; i < 480; ++i) {
        ASSERT_EQ(held.ac[i], 100) << i;
    }

    // The T wave would start inside the QRS (QT - Tw < Q): zeros after the QRS.
    const Period early = Generate(Beat(800, 160, 250, 0.1));
    EXPECT_EQ(MaxAbsFrom(early.ac, 261), 0);
}

TEST(EcgBeat, PacingLeadInOnlyWhenSupported) {
    ECG_WAVEFORM paced = Beat(800);
    paced.bPacingEnable = 1;
    paced.fPacingAmplitude = 5.0;
    EXPECT_EQ(IsPacingSupported(&paced), 1);
    EXPECT_EQ(Generate(paced).ac[80], 200) << "P peak moved by the 30 ms lead-in";

    ECG_WAVEFORM zeroAmplitude = paced;
    zeroAmplitude.fPacingAmplitude = 0.0;
    EXPECT_EQ(IsPacingSupported(&zeroAmplitude), 0);
    EXPECT_EQ(Generate(zeroAmplitude).ac[50], 200);

    ECG_WAVEFORM noRoom = paced;
    noRoom.nRRInterval = 229;  // Q + 129 >= RR
    EXPECT_EQ(IsPacingSupported(&noRoom), 0);

    ECG_WAVEFORM otherType = noRoom;
    otherType.nWaveformType = 9;  // the beat, but the QRS/RR test is only for type 6
    EXPECT_EQ(IsPacingSupported(&otherType), 1);
    ECG_WAVEFORM nanAmplitude = noRoom;
    nanAmplitude.nWaveformType = 0;
    nanAmplitude.fPacingAmplitude = NAN;
    EXPECT_EQ(IsPacingSupported(&nanAmplitude), 1);
    EXPECT_EQ(IsPacingSupported(nullptr), 0);
}

TEST(EcgBeat, UnknownTypesGenerateTheBeat) {
    for (int type : {7, 9, -1, 1000}) {
        ECG_WAVEFORM w = Beat(800);
        w.nWaveformType = type;
        EXPECT_EQ(Generate(w).ac, Generate(Beat(800)).ac) << type;
    }
}

TEST(EcgBeat, DegenerateQrsWidthsGiveFiniteSamples) {
    for (int q : {0, 1}) {
        ECG_WAVEFORM w = Beat(800);
        w.nQRSWidth = q;
        const Period p = Generate(w);
        for (size_t i = 0; i < p.ac.size(); ++i) {
            ASSERT_LE(std::abs(p.ac[i]), 1000) << "QRS " << q << ", sample " << i;
        }
        EXPECT_EQ(p.ac[160], 875) << "a fall of no length starts at 0.875 R";
    }
}

TEST(EcgDc, PacingPulseAndVariableOffset) {
    ECG_WAVEFORM w = Ecg(0, 10.0, 100);  // 1000 samples
    w.bPacingEnable = 1;
    w.fPacingAmplitude = 2.5;
    w.fPacingWidth = 1.05;  // 10.5 samples: the first 10
    struct Case {
        bool withPacing;
        int variable, offset;
        int head, tail;  // DC of samples 0..9 and 10..
    } cases[] = {
        {true, 0, 0, 2500, 0},
        {false, 0, 0, 0, 0},
        {true, 1, -300, 2500 - 300000, -300000},
        {false, 1, -300, -300000, -300000},
        {false, 0, -300, 0, 0},  // the offset goes out only through the DC DAC flag
    };
    for (const Case& c : cases) {
        w.bVariableDCOffset = c.variable;
        w.nDCOffset = c.offset;
        const Period p = Generate(w, c.withPacing);
        ASSERT_EQ(p.dc.size(), 1000u);
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(p.dc[i], i < 10 ? c.head : c.tail) << i;
        }
    }

    // A pulse wider than the period is cut at its end.
    ECG_WAVEFORM shortPeriod = w;
    shortPeriod.bVariableDCOffset = 0;
    shortPeriod.fFrequency = 2000.0;  // 5 samples
    shortPeriod.fPacingWidth = 2.0;   // 20 samples
    EXPECT_EQ(Generate(shortPeriod, true).dc, (std::vector<int>{2500, 2500, 2500, 2500, 2500}));
}

TEST(EcgDoubleForm, IsTheIntegerPeriodInMillivolts) {
    ECG_WAVEFORM w = Beat(800, 160, 400, 0.1);
    w.bVariableDCOffset = 1;
    w.nDCOffset = 7;
    const Period ints = Generate(w);
    int n = 0;
    double* ac = nullptr;
    double* dc = nullptr;
    GenECGWaveform(&w, &n, &ac, &dc, false);
    ASSERT_EQ(n, 800);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(ac[i], ints.ac[i] / 1000.0);
        ASSERT_EQ(dc[i], 7.0);
    }
    delete[] ac;
    delete[] dc;

    ECG_WAVEFORM none = w;
    none.fFrequency = 0.0;
    GenECGWaveform(&none, &n, &ac, &dc, false);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(ac, nullptr);
    EXPECT_EQ(dc, nullptr);
}
