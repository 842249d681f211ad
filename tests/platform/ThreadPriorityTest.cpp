// A library thread asks for its own priority: normal is always granted; time-critical is
// real-time round-robin scheduling where the host allows it, and a refusal leaves the
// thread as it ran; below normal lowers the thread alone (Linux: its own nice value).
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/OsServices.h"

namespace {

struct Seen {
    OsThreadPriority asked;
    bool granted = false;
    int policy = -1;
    int niceBefore = 0;
    int niceAfter = 0;
};

void* Ask(void* argument) {
    Seen* seen = static_cast<Seen*>(argument);
    const id_t self = static_cast<id_t>(syscall(SYS_gettid));
    seen->niceBefore = getpriority(PRIO_PROCESS, self);
    seen->granted = SetCurrentThreadPriority(seen->asked);
    sched_param param;
    pthread_getschedparam(pthread_self(), &seen->policy, &param);
    seen->niceAfter = getpriority(PRIO_PROCESS, self);
    return nullptr;
}

Seen RunAsking(OsThreadPriority priority) {
    Seen seen;
    seen.asked = priority;
    THREAD_HANDLE handle = 0;
    EXPECT_EQ(1, CreateThread(&handle, Ask, &seen));
    WaitForThread(handle);
    return seen;
}

TEST(ThreadPriority, EachClassIsGrantedOrLeavesTheThreadAsItRan) {
    const Seen normal = RunAsking(OsThreadPriority::Normal);
    EXPECT_TRUE(normal.granted);
    EXPECT_EQ(SCHED_OTHER, normal.policy);

    const Seen critical = RunAsking(OsThreadPriority::TimeCritical);
    EXPECT_EQ(critical.granted ? SCHED_RR : SCHED_OTHER, critical.policy);

    const Seen below = RunAsking(OsThreadPriority::BelowNormal);
    if (below.granted) {
        EXPECT_GT(below.niceAfter, below.niceBefore);
    } else {
        EXPECT_EQ(below.niceAfter, below.niceBefore);
    }
    // The lowering was the thread's own: this thread's nice value is untouched.
    EXPECT_EQ(below.niceBefore, getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))));
}

}  // namespace
