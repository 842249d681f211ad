// The dispatch stand-in itself: fire times and the cancel barrier.
#include <gtest/gtest.h>

#include <dispatch/dispatch.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <pthread.h>

#include "RelativeWait.h"
#include "platform/OsServices.h"

namespace {

struct Probe {
    std::atomic<int> ticks{0};
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> tickAfterCancel{false};
    std::atomic<bool> cancelled{false};
    std::atomic<uint64_t> firstUs{0};
    unsigned int holdMs = 0;
};

void OnTick(void* context) {
    Probe* probe = static_cast<Probe*>(context);
    if (probe->running.fetch_add(1) != 0)
        probe->overlapped = true;
    if (probe->cancelled.load())
        probe->tickAfterCancel = true;
    uint64_t none = 0;
    probe->firstUs.compare_exchange_strong(none, GetMonotonicUs());
    if (probe->holdMs > 0)
        SleepEx(probe->holdMs);
    probe->ticks.fetch_add(1);
    probe->running.fetch_sub(1);
}

void OnCancel(void* context) {
    Probe* probe = static_cast<Probe*>(context);
    if (probe->running.load() != 0)
        probe->overlapped = true;
    probe->cancelled = true;
}

dispatch_source_t StartTimer(Probe& probe, uint64_t intervalNs) {
    dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0,
                                                      dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0));
    dispatch_source_set_timer(source, dispatch_time(DISPATCH_TIME_NOW, 0), intervalNs, 1000000);
    dispatch_set_context(source, &probe);
    dispatch_source_set_event_handler_f(source, OnTick);
    dispatch_source_set_cancel_handler_f(source, OnCancel);
    dispatch_resume(source);
    return source;
}

bool WaitUntil(const std::atomic<bool>& flag, unsigned int ms) {
    const uint64_t end = GetMonotonicMs() + ms;
    while (!flag.load() && GetMonotonicMs() < end)
        SleepEx(1);
    return flag.load();
}

}  // namespace

TEST(DispatchStandIn, FirstTickAtOnceThenEveryInterval) {
    Probe probe;
    const uint64_t start = GetMonotonicUs();
    dispatch_source_t source = StartTimer(probe, 20000000);
    while (probe.ticks.load() < 11 && GetMonotonicUs() - start < 5000000)
        SleepEx(1);
    const uint64_t elapsedMs = (GetMonotonicUs() - start) / 1000;
    dispatch_source_cancel(source);
    ASSERT_TRUE(WaitUntil(probe.cancelled, 5000));
    dispatch_release(source);
    EXPECT_LT((probe.firstUs.load() - start) / 1000, 15u);  // at once, not a period later
    EXPECT_GE(elapsedMs, 195u);                             // ten intervals after the first
    EXPECT_LT(elapsedMs, 2000u);
    EXPECT_FALSE(probe.overlapped.load());
}

TEST(DispatchStandIn, CancelHandlerRunsAfterTheLastTickHandlerAndNoTickFollows) {
    Probe probe;
    probe.holdMs = 15;  // handlers longer than the interval: ticks merge, never overlap
    dispatch_source_t source = StartTimer(probe, 5000000);
    while (probe.ticks.load() < 3)
        SleepEx(1);
    dispatch_source_cancel(source);
    ASSERT_TRUE(WaitUntil(probe.cancelled, 5000));
    const int ticks = probe.ticks.load();
    dispatch_release(source);
    EXPECT_EQ(ticks, probe.ticks.load());
    EXPECT_FALSE(probe.overlapped.load());
    EXPECT_FALSE(probe.tickAfterCancel.load());
}

TEST(DispatchStandIn, RelativeWaitTimesOutAfterItsTime) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    const timespec relative{0, 30000000};
    pthread_mutex_lock(&mutex);
    const uint64_t start = GetMonotonicUs();
    const int result = pthread_cond_timedwait_relative_np(&cond, &mutex, &relative);
    const uint64_t ms = (GetMonotonicUs() - start) / 1000;
    pthread_mutex_unlock(&mutex);
    EXPECT_EQ(ETIMEDOUT, result);
    EXPECT_GE(ms, 29u);
    EXPECT_LT(ms, 2000u);
}
