// The built-in tables that turn model numbers into capabilities and LED types. The
// instrument stores only its identity record; what a model can do is known on the host.
// Pure; owned by the protocol component.
#pragma once

#include <cstdint>

#include "protocol/Protocol.h"

// Capabilities of a main unit that serves the PPG side itself: bSeparatePPGModule,
// nPPGModuleNumber and nPPGChannelNumber for main models 0x4001..0x4061.
struct MainUnitRow {
    uint16_t model;
    int32_t separatePPGModule;
    int32_t ppgModuleNumber;
    int32_t ppgChannelNumber;
};

// The main-unit row of a model, or null.
const MainUnitRow* FindMainUnitRow(uint16_t model);
// The whole capability record of a PPG model (first matching row), or null.
const DEVICE_FEATURE* FindPPGFeatureRow(uint16_t model);

// LED types of PPG channels 1..3 (0, 1, 2, or 3 = no LED) for a module's product letters
// and 16-bit model number.
void DeriveLEDTypes(const char productName[2], uint16_t model, int32_t ledType[3]);
