// Stand-ins for what the simulated output calls in subsystems not on this branch yet.
// Each is marked with the function that takes its place at the merge.
#pragma once

#include "api/nvs300.h"
#include "protocol/ControlBlock.h"

namespace output {

// STAND-IN for ORVReadLEDPulseGroupSetting (the LED API): false for null; otherwise
// holds g_CriticalSection and reads the group from the control block.
bool ReadLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* group);

// STAND-IN for CheckPPGChannel (the device information API): the channel when it is 1,
// 2 or 3, else 1.
PPGChannel CheckPPGChannel(int channel);

// SEAM for PlayRawStop(1) (the playback engine): stops raw playback with the
// respiration mode cleared and joins its threads. Nothing plays yet, so nothing happens.
void StopPlayback();

}  // namespace output
