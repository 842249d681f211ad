// Capability rows and LED types by model number and product letters.
#include <gtest/gtest.h>

#include "protocol/ModelTables.h"

namespace {

TEST(ProtocolModelTables, PPGRowsByModel) {
    struct Case {
        uint16_t model;
        int32_t modules, fpga, channels, flag1, flag2;
        double acMin, acMax, dcMin;
        int32_t param1, param2;
    } cases[] = {
        {0x0000, 0, 0, 0, 0, 0, 0.75, 30, 100, 8, 8},   {0x1121, 1, 0, 1, 1, 0, 0.75, 30, 100, 10, 10},
        {0x2009, 1, 0, 2, 1, 0, 0.25, 30, 100, 8, 8},   {0x2012, 1, 3, 2, 1, 1, 0.75, 30, 30, 8, 8},
        {0x2112, 1, 0, 2, 1, 1, 0.1, 300, 300, 10, 8},  {0x2015, 1, 2, 1, 0, 0, 0.75, 30, 100, 8, 8},
        {0x3301, 1, 0, 3, 1, 0, 0.25, 60, 100, 10, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.model);
        const DEVICE_FEATURE* row = FindPPGFeatureRow(c.model);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->bSeparatePPGModule, 1);
        EXPECT_EQ(row->nPPGModuleNumber, c.modules);
        EXPECT_EQ(row->nFPGAType, c.fpga);
        EXPECT_EQ(row->nPPGChannelNumber, c.channels);
        EXPECT_EQ(row->nFlag1, c.flag1);
        EXPECT_EQ(row->nFlag2, c.flag2);
        EXPECT_EQ(row->fACMinimum, c.acMin);
        EXPECT_EQ(row->fACMaximum, c.acMax);
        EXPECT_EQ(row->fDCMinimum, c.dcMin);
        EXPECT_EQ(row->fDCMaximum, 3000.0);
        EXPECT_EQ(row->nParam1, c.param1);
        EXPECT_EQ(row->nParam2, c.param2);
    }
    EXPECT_EQ(FindPPGFeatureRow(0x4031), nullptr);  // a main unit has no PPG row
    EXPECT_EQ(FindPPGFeatureRow(0x2011), nullptr);
}

TEST(ProtocolModelTables, MainUnitRows) {
    ASSERT_NE(FindMainUnitRow(0x4001), nullptr);
    EXPECT_EQ(FindMainUnitRow(0x4001)->ppgChannelNumber, 1);
    EXPECT_EQ(FindMainUnitRow(0x4031)->ppgChannelNumber, 2);
    EXPECT_EQ(FindMainUnitRow(0x4061)->separatePPGModule, 0);
    EXPECT_EQ(FindMainUnitRow(0x4061)->ppgModuleNumber, 6);
    EXPECT_EQ(FindMainUnitRow(0x4071), nullptr);
    EXPECT_EQ(FindMainUnitRow(0x2001), nullptr);
}

TEST(ProtocolModelTables, LEDTypesByLettersAndModel) {
    struct Case {
        const char* letters;
        uint16_t model;
        int32_t a, b, c;
    } cases[] = {
        {"XJ", 0x2112, 3, 3, 3},  // the respiration module has no LEDs, whatever its number
        {"YB", 0x0000, 3, 3, 3}, {"KQ", 0x2001, 0, 3, 3}, {"KQ", 0x2003, 1, 2, 3}, {"KQ", 0x2007, 1, 2, 0},
        {"KQ", 0x2008, 3, 3, 3}, {"YB", 0x1121, 0, 3, 3},  // looked up as 0x1021
        {"YB", 0x1001, 0, 3, 3}, {"NV", 0x4001, 0, 3, 3}, {"YB", 0x2005, 1, 2, 0}, {"YB", 0x2016, 1, 2, 0},
        {"NV", 0x4031, 1, 2, 3}, {"NV", 0x4051, 1, 2, 0}, {"YB", 0x2112, 1, 2, 3}, {"YB", 0x2001, 1, 2, 3},
        {"YB", 0x3001, 1, 2, 0}, {"YB", 0x3301, 1, 2, 0}, {"YB", 0x3311, 1, 2, 0},  // three channels: the third LED is fitted
        {"YB", 0x3121, 1, 2, 3},                                                    // one channel: no third LED
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.letters << " " << std::hex << c.model);
        int32_t types[3] = {-1, -1, -1};
        DeriveLEDTypes(c.letters, c.model, types);
        EXPECT_EQ(types[0], c.a);
        EXPECT_EQ(types[1], c.b);
        EXPECT_EQ(types[2], c.c);
    }
}

}  // namespace
