// Thread priorities on POSIX.
//
// A time-critical thread asks for round-robin real-time scheduling at a modest priority,
// above every ordinary thread and below the system's own real-time work. Most hosts
// refuse it to an unprivileged process (EPERM): the thread then runs as before, and one
// log line says which it was. A thread below normal raises its own nice value by a few
// steps where a thread has a nice value of its own (Linux); elsewhere it runs unchanged.
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sched.h>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "../Log.h"
#include "../OsServices.h"

namespace {

constexpr int kRealTimePriority = 10;  // of 1..99 on Linux: modest
constexpr int kBelowNormalSteps = 4;   // nice steps

bool AskRealTime() {
    const int lowest = sched_get_priority_min(SCHED_RR);
    const int highest = sched_get_priority_max(SCHED_RR);
    if (lowest < 0 || highest < lowest) {
        Log("time-critical thread: no round-robin scheduling here, runs at normal priority");
        return false;
    }
    sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority =
        kRealTimePriority < lowest ? lowest : (kRealTimePriority > highest ? highest : kRealTimePriority);
    const int error = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    if (error != 0) {
        Log("time-critical thread: real-time scheduling refused (%s), runs at normal priority", strerror(error));
        return false;
    }
    Log("time-critical thread: real-time round-robin scheduling at priority %d", param.sched_priority);
    return true;
}

bool BackToNormal() {
    sched_param param;
    memset(&param, 0, sizeof param);
    return pthread_setschedparam(pthread_self(), SCHED_OTHER, &param) == 0;
}

bool Lower() {
#if defined(__linux__)
    // On Linux a nice value belongs to one thread, named by its thread id.
    const id_t self = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, self);
    if (now == -1 && errno != 0) {
        return false;
    }
    return setpriority(PRIO_PROCESS, self, now + kBelowNormalSteps) == 0;
#else
    return false;  // the nice value is the whole process's here
#endif
}

}  // namespace

bool SetCurrentThreadPriority(OsThreadPriority priority) {
    switch (priority) {
        case OsThreadPriority::TimeCritical:
            return AskRealTime();
        case OsThreadPriority::BelowNormal:
            return Lower();
        case OsThreadPriority::Normal:
            return BackToNormal();
    }
    return false;
}
