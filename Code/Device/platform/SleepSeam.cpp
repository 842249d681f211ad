#include "SleepSeam.h"

#include <atomic>

#include "OsServices.h"

namespace {
std::atomic<PFN_SLEEP_SEAM> s_sleeper{nullptr};  // constant-initialised
}  // namespace

void SetSleepSeam(PFN_SLEEP_SEAM sleeper) { s_sleeper.store(sleeper); }

void SeamSleep(unsigned int ms) {
    if (PFN_SLEEP_SEAM sleeper = s_sleeper.load()) {
        sleeper(ms);
        return;
    }
    SleepEx(ms);
}
