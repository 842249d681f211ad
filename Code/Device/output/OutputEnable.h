// The output-enable mask of the device control block for the simulated outputs, and the
// LED pulse group's say in which PPG channels are lit. Pure: the pulse group is read by
// the caller.
#pragma once

#include <cstdint>

#include "protocol/ControlBlock.h"

namespace output {

// Output-enable bits: 0x01 ECG, 0x02/0x04/0x08 PPG channel 1/2/3 (slot 0/1/2).
constexpr uint8_t kECGOutputBit = 0x01;
inline uint8_t PPGOutputBit(int slot) { return static_cast<uint8_t>(0x02u << slot); }

// The LED value that lights PPG channel 1, 2, 3 in a pulse group's slots: 2, 4, 1.
uint8_t PPGChannelLEDValue(int channel);
// True when one of the group's eight slots lights the channel (1..3).
bool PulseGroupLightsChannel(const PPG_LED_PULSE_GROUP_SETTING& group, int channel);
// The PPG part of the mask for a module whose channel 3 is simulated: 0x0E with one PPG
// channel; otherwise 0x0A when a slot holds 1 or 2 (channels 1 and 3 share the LED
// drive), plus 0x04 when a slot holds 4.
uint8_t OutputEnableForPulseGroup(const PPG_LED_PULSE_GROUP_SETTING& group, int ppgChannelNumber);

}  // namespace output
