// Test stand-in: the relative condition wait that macOS declares in <pthread.h>, made
// visible to every source of the stand-in build (forced include). Test tooling only.
#pragma once

#include <pthread.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif
// Waits on cond at most *relative (measured on the monotonic clock); 0 when woken,
// ETIMEDOUT when the time ran out.
int pthread_cond_timedwait_relative_np(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* relative);
#ifdef __cplusplus
}
#endif
