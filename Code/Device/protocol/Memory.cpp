// Host copies of records stored in the instrument: zero until the first load.
#include "protocol/Memory.h"

#include <atomic>

FACTORY_SETTING_MCU g_FactorySettingMCU = {};

namespace {
// Atomic: the handshake clears it on the connection thread without the global lock.
std::atomic<bool> s_bFactorySettingMCULoaded{false};
}  // namespace

bool FactorySettingMCULoaded() { return s_bFactorySettingMCULoaded.load(); }
void SetFactorySettingMCULoaded(bool loaded) { s_bFactorySettingMCULoaded.store(loaded); }

void ForgetFactorySettingMCU() {
    g_FactorySettingMCU = {};
    s_bFactorySettingMCULoaded.store(false);
}

void ResetProtocolMemoryState() { ForgetFactorySettingMCU(); }
