// Records stored in the instrument's memory that the host keeps a copy of. The protocol
// component owns the record layouts and the host copies; the memory command that reads
// and writes them is built with the rest of the device protocol.
#pragma once

#include <cstdint>

// Factory record of PPG model 0x2112 (256 bytes at 0x1480 of the PPG module's memory).
// Stored byte for byte in the host's little-endian layout. Indexes: 3 x (channel - 1) +
// AC range for the AC tables, 6 x (channel - 1) + transmission-rate mode for the rate tables.
typedef struct FACTORY_SETTING_MCU {
    uint16_t usACModeSetting[9];      // calibration settings 21.., 38.., 41.. per channel and AC range
    uint16_t usACFullScaleDAC[9];     // AC full-scale DAC code; 0 = use the AC DAC level
    uint16_t usRateLEDSetting[18];    // value for calibration setting 1 or 2 per rate mode
    uint16_t usRateParamSetting[18];  // value for calibration setting 25 or 26 per rate mode
    float fPDRatio[3][8];             // photodiode ratios of channels 1..3
    uint8_t ucReserved[52];           // not used
} FACTORY_SETTING_MCU;

static_assert(sizeof(FACTORY_SETTING_MCU) == 256, "stored record is 256 bytes");

// Host copy, loaded after each connection to model 0x2112; zero at load.
extern FACTORY_SETTING_MCU g_FactorySettingMCU;
// Whether the host copy was read from the instrument of the current connection. The
// record is written back whole, so only a copy read from this instrument may go out: a
// copy that is zeros, or another instrument's, would overwrite its DAC codes, rate words
// and ratios. Set by the loading after a connection when the read succeeded; cleared by
// every new identification and at the disconnection. The writers that send it, the
// handshake and the disconnection hold g_CriticalSection.
bool FactorySettingMCULoaded();
void SetFactorySettingMCULoaded(bool loaded);
// Zeroes the cached MCU record and marks it not read: a record of an earlier connection
// must not reach the instrument connected now. Hold g_CriticalSection.
void ForgetFactorySettingMCU();
// The host copies above back to their load-time values (for the test suites).
void ResetProtocolMemoryState();
