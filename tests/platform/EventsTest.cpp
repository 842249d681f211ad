// Events, waits and recursive locks.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

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

// The scheduler state of one of this process's threads ('S': asleep in the kernel),
// '?' when it cannot be read.
char ThreadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');  // the name in parentheses may hold anything
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
}

TEST(Events, TimerMarkIsSeenByPollsButDoesNotWakeABlockedWait) {
    CAutoResetEvent event;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        event.Wait();
        woke = true;
    });
    // Only a waiter asleep inside Wait() shows that a mark does not wake it.
    const uint64_t deadline = GetMonotonicMs() + 10000;
    while ((tid.load() == 0 || ThreadState(tid.load()) != 'S') && GetMonotonicMs() < deadline)
        SleepEx(1);
    ASSERT_EQ('S', ThreadState(tid.load()));

    event.MarkFromTimer();
    // A mark stored without the mutex wakes nobody, but a poll sees it.
    CManualResetEvent polled;
    polled.MarkFromTimer();
    CEvent* events[] = {&polled};
    EXPECT_EQ(0u, WaitForMultipleObjects(1, events, 0, 1000));
    // A woken waiter would end its Wait() at once and take the mark: give it ample time.
    const uint64_t window = GetMonotonicMs() + 200;
    while (!woke.load() && GetMonotonicMs() < window)
        SleepEx(1);
    EXPECT_FALSE(woke.load());
    EXPECT_EQ(0u, event.WaitTimeout(0));  // the mark is still there: nobody consumed it
    event.SetEvent();                     // a real set wakes the waiter
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

TEST(Locks, KnowsWhetherTheCallingThreadHoldsThem) {
    CSimpleCriticalSection lock;
    EXPECT_FALSE(lock.HeldByCurrentThread());
    lock.Lock();
    lock.Lock();
    EXPECT_TRUE(lock.HeldByCurrentThread());
    bool seenElsewhere = true;
    std::thread other([&] { seenElsewhere = lock.HeldByCurrentThread(); });
    other.join();
    EXPECT_FALSE(seenElsewhere) << "another thread must not count as the holder";
    lock.Unlock();
    EXPECT_TRUE(lock.HeldByCurrentThread()) << "still held once more";
    lock.Unlock();
    EXPECT_FALSE(lock.HeldByCurrentThread());
}
