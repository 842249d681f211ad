// The device control block and the operator mode.
//
// The operator mode says how the instrument is driven: which channels a host stream
// feeds, at what rate, with which PPG sync pulses and AC ranges. The control block is a
// 57-byte record held by the instrument that switches the outputs on and off and carries
// the output path settings. The library keeps no copy of it: a change reads the block,
// changes the bytes it owns and writes the whole block back, so callers must hold
// g_CriticalSection for the whole change.
//
// Owns: the block's byte map, the encoders from waveform records and LED pulse groups
// (pure), and the exchanges of families 0xEA (sub-commands 00 and 0A) and 0x00.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/nvs300.h"

// The control block: bytes in wire order; multi-byte fields are big-endian byte arrays.
typedef struct _DEVICE_CONTROL_SETTING {
    uint8_t ucOutputEnable;              // 0x01 ECG, 0x02/0x04/0x08 PPG channel 1/2/3; 0 stops all
    uint8_t ucOutputImpedance;           // impedance selector
    uint8_t ucDCOffset;                  // fixed DC offset: 0 none, 1 +300 mV, 2 -300 mV
    uint8_t ucOutputElectrode;           // electrode (lead) selector
    uint8_t ucPacingEnable;              // 0xFF pacing or variable DC offset on, 0 off
    uint8_t ucRespirationEnable;         // 0xFF external respiration on; anything else goes out as 0
    uint8_t usSampleRate[2];             // samples per second
    uint8_t usSampleFraction[2];         // 1/1000 sample
    uint8_t usPacingWidth[2];            // steps of 25 us
    uint8_t usPacingPeriodRemainder[2];  // 2400000 modulo the pacing rate
    uint8_t usPacingAmplitudeDAC[2];     // difference of DC-variable DAC codes
    uint8_t ulPacingPeriod[4];           // steps of 25 us: 2400000 / rate per minute
    uint8_t ucReserved20[11];            // the instrument's; carried back as read
    uint8_t ucLEDNoPeriod;               // 1: the LED pulse group has no period
    uint8_t usLEDPulsePeriod[2];
    uint8_t ucReserved34[2];
    uint8_t ucLEDPulseSlot[8];  // LED lit per slot: 2 PPG ch 1, 4 ch 2, 1 ch 3, 0 none
    uint8_t ucReserved44[12];
    uint8_t ucAmbientLightMode;  // stored with a standalone slot
} _DEVICE_CONTROL_SETTING;

static_assert(sizeof(_DEVICE_CONTROL_SETTING) == 57, "the control block is 57 bytes");
static_assert(offsetof(_DEVICE_CONTROL_SETTING, ulPacingPeriod) == 16, "control block layout");
static_assert(offsetof(_DEVICE_CONTROL_SETTING, ucLEDNoPeriod) == 31, "control block layout");
static_assert(offsetof(_DEVICE_CONTROL_SETTING, ucLEDPulseSlot) == 36, "control block layout");
static_assert(offsetof(_DEVICE_CONTROL_SETTING, ucAmbientLightMode) == 56, "control block layout");

static_assert(sizeof(PPG_LED_PULSE_GROUP_SETTING) == 10, "PPG_LED_PULSE_GROUP_SETTING is 10 bytes");

// The short operator-mode command (11 bytes).
typedef struct _OPERATOR_MODE_IN {
    uint8_t ucFamily;     // 0x00
    uint8_t ucDirection;  // 0xFF
    uint8_t ucMode;
    uint8_t ucRate[2];       // always 10 27: 10000 low byte first (unlike the 14-byte form)
    uint8_t ucSyncPulse[3];  // PPG channels 1..3
    uint8_t ucACCalMode[3];  // PPG channels 1..3: AC range 0, 1, 2
} _OPERATOR_MODE_IN;

static_assert(sizeof(_OPERATOR_MODE_IN) == 11, "the short operator-mode command is 11 bytes");

constexpr int kOperatorModeLength = 14;
constexpr int kControlRequestLength = 61;  // EA dir sub status + 57 block bytes

bool SetDeviceOperatorMode(int mode, unsigned char sync1, unsigned char sync2, unsigned char sync3, int rate);
bool SetDeviceOperatorMode(_OPERATOR_MODE_IN* block);
bool SetPPGSyncPulse(PPGChannel channel, SyncPulse pulse);

bool ReadDeviceControlSetting(_DEVICE_CONTROL_SETTING* block);
bool WriteDeviceControlSetting(_DEVICE_CONTROL_SETTING* block, int apply);

// Fill block bytes from a normalised record; no traffic.
void ToDeviceControlSetting(ECG_WAVEFORM* waveform, _DEVICE_CONTROL_SETTING& block);
void ToDeviceControlSetting(PPG_WAVEFORM* waveform, _DEVICE_CONTROL_SETTING& block);

bool SetOutputImpedance(int value);
bool SetOutputElectrode(int value);
bool SetOutputDCOffset(int millivolts);
bool SetOutputPacing(int enable);
bool SetOutputRespiration(int enable);
bool DeviceEnableRespiration(bool enable, bool apnea);

bool GetLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* group);
bool SetLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* group);

// Switches every output off (output enable 0, written with the apply flag).
bool NotifyDeviceStopOutputWaveform();

// Reads the block, fills it from an ECG record and writes it back with the apply flag:
// 1 when the block was read and written back, 0 otherwise (nothing written when the read fails).
int UpdateDeviceControlSetting(ECG_WAVEFORM* ecg);

// ---- Pure codec (no port) --------------------------------------------------------------

// The 14-byte operator-mode command; the AC modes are the three bytes given.
void BuildOperatorModeRequest(uint8_t* out, int mode, uint8_t sync1, uint8_t sync2, uint8_t sync3, int rate,
                              const uint8_t acCalMode[3]);
// The 61-byte control-block write; byte 5 of the block goes out as 0 unless it is 0xFF.
void BuildControlBlockWrite(uint8_t* out, const _DEVICE_CONTROL_SETTING& block, int apply);
// Reads a pulse group out of a block. Slot values other than 0, 1, 2, 4 read as 0. With no
// period, a group whose first 4 (channel 2) sits at slot k >= 1 is shifted down by k; the
// last k slots keep their values, as hosts have always read them.
void DecodeLEDPulseGroup(const _DEVICE_CONTROL_SETTING& block, PPG_LED_PULSE_GROUP_SETTING* group);
void EncodeLEDPulseGroup(const PPG_LED_PULSE_GROUP_SETTING& group, _DEVICE_CONTROL_SETTING& block);
// The fixed-DC-offset byte for a millivolt value: 1 for 300, 2 for -300, else 0.
uint8_t DCOffsetCode(int millivolts);
