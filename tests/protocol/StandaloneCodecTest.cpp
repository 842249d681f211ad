// The pure pieces of the standalone slots: the PPG delay of the PWV kinds, the pacing
// rate a stored block reads back as, the control block of a slot without ECG.
#include <climits>
#include <cstring>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "protocol/StandaloneMode.h"
#include "protocol/Wire.h"

namespace {

TEST(StandaloneCodec, PPGDelayIsTheMathematicalModulo) {
    struct Case {
        int transit, time1, rr, delay;
    };
    const Case cases[] = {
        {200, 150, 1000, 50},            // the plain case
        {100, 150, 1000, 950},           // transit before the first peak
        {-5000, 150, 1000, 850},         // below time1 - rr: the C remainder would be negative
        {INT_MIN, 0, 1000, 352},         // INT_MIN = -2147483648, its remainder -648
        {INT_MAX, -1000, 1000, 647},     // the sum overflows int
        {INT_MAX, INT_MIN, INT_MAX, 1},  // 3 x INT_MAX + 1 before the modulo
        {300, 150, 0, 0},                // no RR: no delay (the writer refuses such a store)
        {300, 150, -10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.transit << " " << c.time1 << " " << c.rr);
        const int d = StandalonePPGDelay(c.transit, c.time1, c.rr);
        if (c.rr > 0) {
            EXPECT_GE(d, 0);
            EXPECT_LT(d, c.rr);
        }
        EXPECT_EQ(d, c.delay);
    }
}

TEST(StandaloneCodec, PacingRateReadBack) {
    struct Case {
        uint8_t enable;
        uint32_t period;
        int rate;
    };
    const Case cases[] = {
        {0xFF, 80000, 30},      {0xFF, 4000, 300},   // 600 limited to 300
        {0xFF, 24000, 100},     {0xFF, 200000, 30},  // 12 limited to 30
        {0x00, 24000, 60},                           // pacing off
        {0xFF, 0, 60},                               // no period stored
        {0x01, 0xFFFFFFFF, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.enable) << " " << c.period);
        _DEVICE_CONTROL_SETTING block = {};
        block.ucPacingEnable = c.enable;
        wire::PutBE32(block.ulPacingPeriod, c.period);
        EXPECT_EQ(StandalonePacingRate(block), c.rate);
    }
}

TEST(StandaloneCodec, PPGOnlyBlock) {
    _DEVICE_CONTROL_SETTING block;
    memset(&block, 0x5A, sizeof block);
    PPG_WAVEFORM ppg = {};
    ppg.fSampleRateKHz = 2.5;
    ppg.nSampleFraction = 0x1234;
    ppg.nRespirationMode = 0xFF;
    FillStandalonePPGBlock(ppg, block);
    EXPECT_EQ(wire::GetBE16(block.usSampleRate), 2500);
    EXPECT_EQ(wire::GetBE16(block.usSampleFraction), 0x1234);
    EXPECT_EQ(wire::GetBE16(block.usPacingWidth), 0);
    EXPECT_EQ(wire::GetBE32(block.ulPacingPeriod), 80000u);
    EXPECT_EQ(block.ucRespirationEnable, 0xFF);
    EXPECT_EQ(block.ucOutputImpedance, 0x5A);  // the rest travels back as read
    EXPECT_EQ(block.ucPacingEnable, 0x5A);

    // Rates that do not fit: no undefined conversion, the low 16 bits of the saturated value.
    for (double rate : {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 1e300}) {
        ppg.fSampleRateKHz = rate;
        FillStandalonePPGBlock(ppg, block);
    }
}

}  // namespace
