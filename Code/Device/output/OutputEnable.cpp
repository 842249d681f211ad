// The output-enable mask and the pulse group's lit channels (see OutputEnable.h).
#include "output/OutputEnable.h"

namespace output {

uint8_t PPGChannelLEDValue(int channel) {
    switch (channel) {
        case 1:
            return 2;
        case 2:
            return 4;
        case 3:
            return 1;
        default:
            return 0;
    }
}

bool PulseGroupLightsChannel(const PPG_LED_PULSE_GROUP_SETTING& group, int channel) {
    const uint8_t led = PPGChannelLEDValue(channel);
    if (led == 0) {
        return false;
    }
    for (uint8_t slot : group.ucSlot) {
        if (slot == led) {
            return true;
        }
    }
    return false;
}

uint8_t OutputEnableForPulseGroup(const PPG_LED_PULSE_GROUP_SETTING& group, int ppgChannelNumber) {
    if (ppgChannelNumber == 1) {
        return 0x0E;
    }
    uint8_t mask = 0;
    for (uint8_t slot : group.ucSlot) {
        if (slot == 1 || slot == 2) {
            mask |= 0x0A;
        } else if (slot == 4) {
            mask |= 0x04;
        }
    }
    return mask;
}

}  // namespace output
