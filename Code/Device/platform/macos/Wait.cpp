// The event waits on macOS. Its condition variables cannot be bound to the monotonic
// clock, and an absolute deadline on the wall clock would stretch or cut a wait when the
// clock is set; so each wait is relative, for the time left to a monotonic deadline.
// The time-out result is macOS's ETIMEDOUT, 60.
#include <cerrno>
#include <ctime>
#include <pthread.h>

#include "../OsServices.h"
#include "../posix/Posix.h"

const unsigned int NVS_WAIT_TIMEOUT = 60;

void PosixCondInit(pthread_cond_t* cond) { pthread_cond_init(cond, nullptr); }

bool PosixCondWaitUntil(pthread_cond_t* cond, pthread_mutex_t* mutex, uint64_t deadlineUs) {
    const uint64_t now = GetMonotonicUs();
    if (now >= deadlineUs)
        return true;
    const uint64_t left = deadlineUs - now;
    timespec relative;
    relative.tv_sec = static_cast<time_t>(left / 1000000u);
    relative.tv_nsec = static_cast<long>(left % 1000000u) * 1000L;
    return pthread_cond_timedwait_relative_np(cond, mutex, &relative) == ETIMEDOUT;
}
