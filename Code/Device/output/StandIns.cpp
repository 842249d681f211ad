// Stand-ins and the playback seam of the simulated output (see StandIns.h).
#include "output/StandIns.h"

#include "platform/SimpleCriticalSection.h"
#include "platform/StaticObjects.h"

namespace output {

bool ReadLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* group)
{
    if (group == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return GetLEDPulseGroupSetting(group);
}

PPGChannel CheckPPGChannel(int channel)
{
    return channel >= 1 && channel <= 3 ? static_cast<PPGChannel>(channel) : PPG_CHANNEL_1;
}

void StopPlayback() {}

}  // namespace output
