#include "SleepSeam.h"

#include <atomic>

#include "OsServices.h"

namespace {
std::atomic<PFN_SLEEP_SEAM> s_sleeper{nullptr};  // constant-initialised
std::atomic<unsigned int> s_ceilingUs{0};
}  // namespace

void SetSleepSeam(PFN_SLEEP_SEAM sleeper) { s_sleeper.store(sleeper); }

void SeamSleep(unsigned int ms) {
    if (PFN_SLEEP_SEAM sleeper = s_sleeper.load()) {
        sleeper(ms);
        return;
    }
    SleepEx(ms);
}

void SetPauseCeilingUs(unsigned int us) { s_ceilingUs.store(us); }

uint64_t PauseUnderCeilingUs(unsigned int ms) {
    const uint64_t us = uint64_t{ms} * 1000;
    const unsigned int ceiling = s_ceilingUs.load(std::memory_order_relaxed);
    return ceiling != 0 && us > ceiling ? ceiling : us;
}
