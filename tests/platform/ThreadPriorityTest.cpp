// A library thread asks for its own priority: normal is always granted; time-critical is
// real-time round-robin scheduling where the host allows it, and a refusal leaves the
// thread as it ran; below normal lowers the thread alone (Linux: its own nice value).
// A time-critical thread's yield (SleepEx(0)) lets ordinary threads run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

struct YieldRun {
    int cpu = 0;
    std::atomic<bool> polling{false};
    std::atomic<bool> ordinaryRan{false};
    std::atomic<bool> done{false};
    bool granted = false;
    bool ranWhilePolling = false;
};

void PinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Polls with the yield until the ordinary thread on its core has run, for at most
// 500 ms (the kernel's real-time throttling would let it in after 950 ms of a second).
void* PollWithYield(void* argument) {
    YieldRun* run = static_cast<YieldRun*>(argument);
    PinTo(run->cpu);
    run->granted = SetCurrentThreadPriority(OsThreadPriority::TimeCritical);
    if (run->granted) {
        run->polling.store(true);
        const uint64_t end = GetMonotonicMs() + 500;
        while (!run->ordinaryRan.load() && GetMonotonicMs() < end) {
            SleepEx(0);
        }
        run->ranWhilePolling = run->ordinaryRan.load();
    }
    run->done.store(true);
    return nullptr;
}

TEST(ThreadPriority, TheYieldOfATimeCriticalThreadLetsOrdinaryThreadsRun) {
    cpu_set_t allowed;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
    YieldRun run;
    while (run.cpu < CPU_SETSIZE && !CPU_ISSET(run.cpu, &allowed)) {
        ++run.cpu;
    }
    // An ordinary thread on the same core, always ready to run.
    std::thread ordinary([&run] {
        PinTo(run.cpu);
        while (!run.done.load()) {
            if (run.polling.load()) {
                run.ordinaryRan.store(true);
            }
        }
    });
    THREAD_HANDLE poller = 0;
    ASSERT_EQ(1, CreateThread(&poller, PollWithYield, &run));
    WaitForThread(poller);
    ordinary.join();
    if (!run.granted) {
        GTEST_SKIP() << "this host grants no real-time priority";
    }
    EXPECT_TRUE(run.ranWhilePolling) << "the time-critical poll kept the ordinary thread out for 500 ms";
}

}  // namespace
