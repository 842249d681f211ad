// Host copies of records stored in the instrument: zero until the first load.
#include "protocol/Memory.h"

FACTORY_SETTING_MCU g_FactorySettingMCU = {};

void ResetProtocolMemoryState() { g_FactorySettingMCU = {}; }
