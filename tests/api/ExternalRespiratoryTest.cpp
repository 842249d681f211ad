// The external-respiration model (pure) and its exported functions against the
// firmware model's external-respiration module.
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "api/ExternalRespiratory.h"
#include "protocol/RespirationTables.h"

namespace {

using nvsemu::Profile;

// The resistance the module makes from its words: the three branches in parallel.
double MadeResistance(const unsigned short* w, double c0, double c1, double rc) {
    const double r0 = c0 + w[0] / 1024.0 * 20000.0;
    const double r1 = c1 + w[1] / 1024.0 * 20000.0;
    return 1.0 / (1.0 / r0 + 1.0 / r1 + 1.0 / rc);
}

class ExtRespModel : public ::testing::Test {
protected:
    void SetUp() override { ResetApiState(); }
    void TearDown() override { ResetApiState(); }
    void Calibrate(double c0, double c1, double rc) {
        const double coef[4] = {c0, c1, 110.0, 110.0};
        ExtRespSetCoef(const_cast<double*>(coef));
        for (double& r : g_fECGExtRespiratationRDAC3)
            r = rc;
    }
};

TEST_F(ExtRespModel, RDAC3IndexFollowsTheResistanceAndClampsBelowAndAbove) {
    // (R - 50) x 6 + 10 + (100 - C2) / 21 with C2 = 110.
    struct Case {
        double r;
        uint16_t index;
    } cases[] = {{50, 9},
                 {48.5, 0},
                 {48.3, 0},
                 {48.1, 95},
                 {48, 95},
                 {64.3, 95},
                 {70, 95},
                 {51, 15},
                 {1e300, 95},
                 {-1e300, 95},
                 {std::numeric_limits<double>::quiet_NaN(), 95}};
    for (const Case& c : cases) {
        EXPECT_EQ(ExtRespRDAC3Index(c.r, 110.0), c.index) << c.r;
    }
}

TEST_F(ExtRespModel, BaselineIndexIsClamped) {
    for (int i = 0; i < 12; ++i)
        g_ECGExtRespirationBaselineDACTable[i] = static_cast<uint16_t>(100 + i);
    EXPECT_EQ(ExtRespGetBaselineDAC(-4), 100);
    EXPECT_EQ(ExtRespGetBaselineDAC(5), 105);
    EXPECT_EQ(ExtRespGetBaselineDAC(30), 111);
}

TEST_F(ExtRespModel, WordsMakeTheWantedResistance) {
    Calibrate(1.0, 1.0, 500.0);
    for (double r = 48.5; r < 64.0; r += 0.37) {
        SCOPED_TRACE(r);
        unsigned short w[3] = {0, 0, 0};
        ASSERT_TRUE(ExtRespGetAmplitudeDAC(r, w));
        EXPECT_EQ(w[2], ExtRespRDAC3Index(r, 110.0));
        EXPECT_LE(w[0], 1023);
        EXPECT_LE(w[1], 1023);
        // Potentiometer 1 is rounded up, so potentiometer 0 has a conductance left to
        // make; its branch is then within half a step of the branch that makes r exactly.
        const double branch1 = 1.0 + w[1] / 1024.0 * 20000.0;
        const double exact0 = 1.0 / (1.0 / r - 1.0 / branch1 - 1.0 / 500.0);
        ASSERT_GT(exact0, 0.0);
        EXPECT_NEAR(1.0 + w[0] / 1024.0 * 20000.0, exact0, 20000.0 / 1024.0 / 2.0 + 1e-9);
        EXPECT_NEAR(MadeResistance(w, 1.0, 1.0, 500.0), r, r * r * (20000.0 / 1024.0 / 2.0) / (exact0 * exact0) * 1.01);
    }
}

TEST_F(ExtRespModel, WithoutRDAC3CalibrationNothingIsComputed) {
    unsigned short w[3] = {11, 22, 33};
    EXPECT_FALSE(ExtRespGetAmplitudeDAC(50.0, w));  // all-zero table: 1/Rc would be infinite
    EXPECT_EQ(w[0], 11);
    unsigned short out[3] = {1, 2, 3};
    ORVExternalRespiratoryGetAmplitudeDACByResistance(50.0, out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 0);
    ORVExternalRespiratoryGetAmplitudeDACByResistance(50.0, nullptr);
}

TEST_F(ExtRespModel, PositionsThatTheModuleCannotTakeAreClamped) {
    // Series resistances far above the wanted resistance: the formulas give negative
    // positions, which become step 0 (and 1 for potentiometer 1), never a wrapped word.
    Calibrate(110.0, 110.0, 500.0);
    unsigned short w[3];
    ASSERT_TRUE(ExtRespGetAmplitudeDAC(50.0, w));
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(w[1], 1);
    EXPECT_EQ(w[2], 9);
    EXPECT_FALSE(ExtRespGetAmplitudeDAC(0.0, w));
    EXPECT_FALSE(ExtRespGetAmplitudeDAC(-5.0, w));
}

class ApiExtResp : public ApiTest {};

TEST_F(ApiExtResp, ModuleSettingWordsBaselineAndResistance) {
    Plug(Profile::WithExtRespXJ());
    ASSERT_TRUE(Connect());
    EXPECT_TRUE(ORVExternalRespiratorySetDAC(1, 2, 3, 4));
    EXPECT_EQ(Fw().RespirationWords(), (std::array<uint16_t, 4>{1, 2, 3, 4}));

    EXPECT_TRUE(ORVExternalRespiratorySetBaseline(3, 2));
    EXPECT_EQ(Fw().RespirationBaseline(), (std::array<uint8_t, 2>{3, 2}));
    EXPECT_EQ(Fw().RespirationWords(), (std::array<uint16_t, 4>{1, 2, 3, 1000 + 250 * 3}));  // stored table
    EXPECT_TRUE(ORVExternalRespiratorySetBaseline(40, 1));
    EXPECT_EQ(Fw().RespirationWords()[3], 1000 + 250 * 11);

    EXPECT_TRUE(ORVExternalRespiratorySetBaselineDAC(0x0ABC));
    EXPECT_EQ(Fw().RespirationWords(), (std::array<uint16_t, 4>{1, 2, 3, 0x0ABC}));

    // Words 0..2 from the loaded calibration; word 3 kept.
    unsigned short expected[3];
    ASSERT_TRUE(ExtRespGetAmplitudeDAC(55.0, expected));
    unsigned short computed[3] = {};
    ORVExternalRespiratoryGetAmplitudeDACByResistance(55.0, computed);
    EXPECT_EQ(0, memcmp(expected, computed, sizeof expected));
    EXPECT_TRUE(ORVExternalRespiratorySetAmplitudeByResistance(55.0));
    EXPECT_EQ(Fw().RespirationWords(), (std::array<uint16_t, 4>{expected[0], expected[1], expected[2], 0x0ABC}));
}

TEST_F(ApiExtResp, CalibrationWritesStoreTheTables) {
    Plug(Profile::WithExtRespXJ());
    ASSERT_TRUE(Connect());
    double coef[4] = {2.0, 3.0, 4.0, 5.0};
    ASSERT_TRUE(ORVWriteRespirationRWA(coef));
    EXPECT_EQ(g_fECGExtRespirationCoef[1], 3.0);
    double marker = 0;
    const Bytes rwa = Fw().MemoryAt(0x13, 0x1480, 8);
    memcpy(&marker, rwa.data(), sizeof marker);
    EXPECT_EQ(marker, 0.60991);

    double rdac3[96];
    for (int i = 0; i < 96; ++i)
        rdac3[i] = 300.0 + i;
    ASSERT_TRUE(ORVExternalRespiratoryWriteRDAC3(rdac3));
    EXPECT_EQ(g_fECGExtRespiratationRDAC3[95], 395.0);
    unsigned short baseline[12];
    for (int i = 0; i < 12; ++i)
        baseline[i] = static_cast<unsigned short>(7 * i);
    ASSERT_TRUE(ORVWriteRespirationBaselineDACTable(baseline));
    // What was stored comes back at the next connection.
    ORVFree();
    ResetApiState();
    ASSERT_TRUE(Connect());
    EXPECT_EQ(g_fECGExtRespirationCoef[2], 4.0);
    EXPECT_EQ(g_fECGExtRespiratationRDAC3[10], 310.0);
    EXPECT_EQ(g_ECGExtRespirationBaselineDACTable[11], 77);

    ClearSent();
    EXPECT_FALSE(ORVWriteRespirationRWA(nullptr));
    EXPECT_FALSE(ORVExternalRespiratoryWriteRDAC3(nullptr));
    EXPECT_FALSE(ORVWriteRespirationBaselineDACTable(nullptr));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ApiExtResp, WithoutModuleOrCalibrationTheFunctionsFail) {
    Plug(Profile::WithPpgYB2001());  // a PPG module: no respiration module answers
    ASSERT_TRUE(Connect());
    EXPECT_FALSE(ORVExternalRespiratorySetDAC(1, 2, 3, 4));
    EXPECT_FALSE(ORVExternalRespiratorySetBaseline(1, 1));
    EXPECT_FALSE(ORVExternalRespiratorySetBaselineDAC(5));
    ClearSent();
    // No RDAC3 table is loaded: refused before any request.
    EXPECT_FALSE(ORVExternalRespiratorySetAmplitudeByResistance(55.0));
    EXPECT_TRUE(Sent().empty());
}

}  // namespace
