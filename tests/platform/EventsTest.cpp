// Events, waits and recursive locks.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Event.h"
#include "platform/Platform.h"
#include "platform/SimpleCriticalSection.h"

namespace {

TEST(Events, AutoResetHoldsOneMarkAndPollConsumesIt) {
    CAutoResetEvent event;
    event.SetEvent();
    event.SetEvent();
    EXPECT_EQ(0u, event.WaitTimeout(0));
    EXPECT_EQ(NVS_WAIT_TIMEOUT, event.WaitTimeout(0));
    EXPECT_EQ(NVS_WAIT_TIMEOUT, WaitForSingleObject(&event, 0));
}

TEST(Events, ManualResetStaysSetUntilReset) {
    CManualResetEvent event;
    EXPECT_EQ(NVS_WAIT_TIMEOUT, event.WaitTimeout(0));
    event.SetEvent();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0u, event.WaitTimeout(0));
        EXPECT_EQ(0u, event.WaitTimeout(50));
    }
    event.Wait();  // returns at once
    event.ResetEvent();
    EXPECT_EQ(NVS_WAIT_TIMEOUT, event.WaitTimeout(0));
}

TEST(Events, InitiallySignalled) {
    CAutoResetEvent autoEvent(true);
    CManualResetEvent manualEvent(true);
    EXPECT_EQ(0u, autoEvent.WaitTimeout(0));
    EXPECT_EQ(NVS_WAIT_TIMEOUT, autoEvent.WaitTimeout(0));
    EXPECT_EQ(0u, manualEvent.WaitTimeout(0));
    EXPECT_EQ(0u, manualEvent.WaitTimeout(0));
}

TEST(Events, TimedWaitEndsWhenAnotherThreadSets) {
    CAutoResetEvent event;
    const uint64_t start = GetMonotonicMs();
    std::thread setter([&] {
        SleepEx(50);
        event.SetEvent();
    });
    EXPECT_EQ(0u, event.WaitTimeout(5000));
    const uint64_t took = GetMonotonicMs() - start;
    setter.join();
    EXPECT_GE(took, 45u);
    EXPECT_LT(took, 4000u);
}

TEST(Events, TimedWaitTimesOutAfterItsTime) {
    CManualResetEvent event;
    const uint64_t start = GetMonotonicMs();
    EXPECT_EQ(NVS_WAIT_TIMEOUT, event.WaitTimeout(60));
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 59u);
    EXPECT_LT(took, 2000u);
}

TEST(Events, WaitForMultiplePicksLowestIndexAndConsumesOnlyIt) {
    CAutoResetEvent first, second;
    first.SetEvent();
    second.SetEvent();
    CEvent* events[] = {&first, &second};
    EXPECT_EQ(0u, WaitForMultipleObjects(2, events, 0, NVS_INFINITE));
    EXPECT_EQ(1u, WaitForMultipleObjects(2, events, 0, NVS_INFINITE));
    EXPECT_EQ(NVS_WAIT_TIMEOUT, WaitForMultipleObjects(2, events, 0, 0));
}

TEST(Events, WaitAllIsRefusedAndConsumesNothing) {
    CAutoResetEvent first, second;
    first.SetEvent();
    second.SetEvent();
    CEvent* events[] = {&first, &second};
    EXPECT_EQ(NVS_WAIT_TIMEOUT, WaitForMultipleObjects(2, events, 1, NVS_INFINITE));
    EXPECT_EQ(0u, first.WaitTimeout(0));
    EXPECT_EQ(0u, second.WaitTimeout(0));
}

TEST(Events, WaitForMultipleWithNoEventsTimesOutAtItsDeadline) {
    const uint64_t start = GetMonotonicMs();
    EXPECT_EQ(NVS_WAIT_TIMEOUT, WaitForMultipleObjects(0, nullptr, 0, 30));
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 30u);
    EXPECT_LT(took, 2000u);
}

TEST(Events, TimerMarkIsSeenByPollsButDoesNotWakeABlockedWait) {
    CAutoResetEvent event;
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        event.Wait();
        woke = true;
    });
    SleepEx(20);  // let the waiter block (the assertion below does not depend on it)
    event.MarkFromTimer();
    // A mark stored without the mutex wakes nobody, but a poll sees it.
    CManualResetEvent polled;
    polled.MarkFromTimer();
    CEvent* events[] = {&polled};
    EXPECT_EQ(0u, WaitForMultipleObjects(1, events, 0, 1000));
    SleepEx(30);
    EXPECT_FALSE(woke.load());
    event.SetEvent();  // a real set wakes it
    waiter.join();
    EXPECT_TRUE(woke.load());
}

TEST(Locks, RecursiveLockIsHeldUntilAsManyUnlocks) {
    CSimpleCriticalSection lock;
    lock.Lock();
    lock.Lock();
    std::atomic<bool> got{false};
    std::thread other([&] {
        CAutoCriticalSection guard(lock);
        got = true;
    });
    SleepEx(30);
    EXPECT_FALSE(got.load());
    lock.Unlock();
    SleepEx(30);
    EXPECT_FALSE(got.load());
    lock.Unlock();
    other.join();
    EXPECT_TRUE(got.load());
}

}  // namespace
