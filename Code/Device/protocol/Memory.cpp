// Host copies of records stored in the instrument: zero until the first load.
#include "protocol/Memory.h"

FACTORY_SETTING_MCU g_FactorySettingMCU = {};

namespace {
bool s_bFactorySettingMCULoaded = false;
}  // namespace

bool FactorySettingMCULoaded() { return s_bFactorySettingMCULoaded; }
void SetFactorySettingMCULoaded(bool loaded) { s_bFactorySettingMCULoaded = loaded; }

void ResetProtocolMemoryState() {
    g_FactorySettingMCU = {};
    s_bFactorySettingMCULoaded = false;
}
