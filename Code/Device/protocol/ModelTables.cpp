// Capability rows by model number, and the LED-type derivation.
#include "protocol/ModelTables.h"

namespace {

const MainUnitRow kMainUnitRows[] = {
    {0x4001, 0, 6, 1}, {0x4011, 0, 6, 1}, {0x4021, 0, 6, 1}, {0x4031, 0, 6, 2},
    {0x4041, 0, 6, 2}, {0x4051, 0, 6, 2}, {0x4061, 0, 6, 2},
};

struct PPGRow {
    uint16_t model;
    DEVICE_FEATURE feature;
};

// Fields: separate module, module count, FPGA type, channels, flag 1, flag 2, AC min and
// max (mV), DC min and max (mV), param 1, param 2, int param 1, int param 2.
const PPGRow kPPGRows[] = {
    {0x0000, {1, 0, 0, 0, 0, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x1001, {1, 1, 0, 1, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x1121, {1, 1, 0, 1, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 10, 10}},
    {0x2001, {1, 1, 0, 2, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2002, {1, 1, 0, 2, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2003, {1, 1, 0, 2, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2004, {1, 1, 0, 2, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2005, {1, 1, 0, 1, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2006, {1, 1, 0, 1, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2007, {1, 1, 0, 2, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2008, {1, 1, 0, 2, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2009, {1, 1, 0, 2, 1, 0, 0.25, 30, 100, 3000, 0.008, 30, 8, 8}},
    {0x2010, {1, 1, 0, 2, 1, 0, 0.25, 30, 100, 3000, 0.008, 30, 8, 8}},
    {0x2012, {1, 1, 3, 2, 1, 1, 0.75, 30, 30, 3000, 0.025, 30, 8, 8}},
    {0x2112, {1, 1, 0, 2, 1, 1, 0.1, 300, 300, 3000, 0.01, 20, 10, 8}},
    {0x2013, {1, 1, 0, 2, 1, 0, 0.25, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2014, {1, 1, 0, 2, 1, 0, 0.25, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2015, {1, 1, 2, 1, 0, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x2016, {1, 1, 2, 1, 0, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}},
    {0x3001, {1, 1, 0, 3, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 10, 10}},
    {0x3121, {1, 1, 0, 1, 1, 0, 0.25, 30, 100, 3000, 0.025, 30, 10, 10}},
    {0x3301, {1, 1, 0, 3, 1, 0, 0.25, 60, 100, 3000, 0.025, 30, 10, 10}},
    {0x3311, {1, 1, 0, 3, 1, 0, 0.25, 60, 100, 3000, 0.025, 30, 10, 10}},
};

void SetTypes(int32_t ledType[3], int32_t a, int32_t b, int32_t c) {
    ledType[0] = a;
    ledType[1] = b;
    ledType[2] = c;
}

bool Letters(const char name[2], char a, char b) { return name[0] == a && name[1] == b; }

}  // namespace

const MainUnitRow* FindMainUnitRow(uint16_t model) {
    for (const MainUnitRow& row : kMainUnitRows) {
        if (row.model == model) {
            return &row;
        }
    }
    return nullptr;
}

const DEVICE_FEATURE* FindPPGFeatureRow(uint16_t model) {
    for (const PPGRow& row : kPPGRows) {
        if (row.model == model) {
            return &row.feature;
        }
    }
    return nullptr;
}

void DeriveLEDTypes(const char productName[2], uint16_t model, int32_t ledType[3]) {
    SetTypes(ledType, 3, 3, 3);
    // Variants differ in bits 8..11 of the model number (0x1121 is a 0x1021, 0x2112 a
    // 0x2012); the LED fitting follows the base model.
    const uint16_t key = static_cast<uint16_t>(model & ~0x0F00u);
    if (Letters(productName, 'X', 'J') || key == 0) {
        return;  // the external-respiration module and an unread record have no LEDs
    }
    if (Letters(productName, 'K', 'Q')) {
        if (key == 0x2001) {
            SetTypes(ledType, 0, 3, 3);
        } else if (key >= 0x2002 && key <= 0x2005) {
            SetTypes(ledType, 1, 2, 3);
        } else if (key == 0x2006 || key == 0x2007) {
            SetTypes(ledType, 1, 2, 0);
        }
        return;
    }
    // Whole model numbers first. 0x3311 has three channels, so its third LED is fitted
    // (its base key 0x3011 would say otherwise); 0x3121 has one channel and keeps the
    // base key's answer, no third LED.
    if (model == 0x2112) {
        SetTypes(ledType, 1, 2, 3);
        return;
    }
    if (model == 0x3301 || model == 0x3311) {
        SetTypes(ledType, 1, 2, 0);
        return;
    }
    switch (key) {
        case 0x1001:
        case 0x1021:
        case 0x4001:
            SetTypes(ledType, 0, 3, 3);
            return;
        case 0x2005:
        case 0x2006:
        case 0x2007:
        case 0x2008:
        case 0x2013:
        case 0x2014:
        case 0x2015:
        case 0x2016:
        case 0x3001:
        case 0x4011:
        case 0x4021:
        case 0x4051:
        case 0x4061:
            SetTypes(ledType, 1, 2, 0);
            return;
        default:
            SetTypes(ledType, 1, 2, 3);
            return;
    }
}
