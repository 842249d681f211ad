// The event waits on Linux: condition variables bound to the monotonic clock, waited on
// until an absolute deadline; the time-out result is Linux's ETIMEDOUT (110).
#include <cerrno>
#include <ctime>
#include <pthread.h>

#include "../OsServices.h"
#include "../posix/Posix.h"

const unsigned int NVS_WAIT_TIMEOUT = ETIMEDOUT;

void PosixCondInit(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

bool PosixCondWaitUntil(pthread_cond_t* cond, pthread_mutex_t* mutex, uint64_t deadlineUs) {
    timespec deadline;
    deadline.tv_sec = static_cast<time_t>(deadlineUs / 1000000u);
    deadline.tv_nsec = static_cast<long>(deadlineUs % 1000000u) * 1000L;
    return pthread_cond_timedwait(cond, mutex, &deadline) == ETIMEDOUT;
}
