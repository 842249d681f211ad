// Threads, sleeps and the periodic timers.
#include <gtest/gtest.h>

#include <atomic>

#include "LinkSandbox.h"
#include "platform/Platform.h"
#include "platform/SleepSeam.h"

namespace {

// Waits for the next mark by polling, as the paced threads do; returns the ms it took.
uint64_t MsToNextMark(CEvent& event) {
    const uint64_t start = GetMonotonicUs();
    CEvent* events[] = {&event};
    EXPECT_EQ(0u, WaitForMultipleObjects(1, events, 0, 5000));
    return (GetMonotonicUs() - start) / 1000;
}

TEST(Timers, FirstMarkComesOnePeriodAfterStartThenEveryPeriod) {
    NVS_SKIP_UNLESS_LINUX("the first mark one period after the start (macOS marks at once)");
    g_hSigTimer1Event.ResetEvent();
    unsigned int signal = TimerSignal1();
    const uint64_t start = GetMonotonicUs();
    TIMER_HANDLE timer = CreateNewTimer(20, signal);
    ASSERT_NE(nullptr, timer);
    MsToNextMark(g_hSigTimer1Event);
    const uint64_t first = (GetMonotonicUs() - start) / 1000;
    EXPECT_GE(first, 18u);
    EXPECT_LT(first, 1000u);
    // Ten further marks take about ten periods.
    const uint64_t tenStart = GetMonotonicUs();
    for (int i = 0; i < 10; ++i)
        MsToNextMark(g_hSigTimer1Event);
    const uint64_t ten = (GetMonotonicUs() - tenStart) / 1000;
    EXPECT_GE(ten, 170u);
    EXPECT_LT(ten, 2000u);
    DeleteTimer(signal, timer);
    EXPECT_EQ(nullptr, timer);
}

TEST(Timers, AStalledThreadFindsOneMarkNotFive) {
    CAutoResetEvent event;
    TIMER_HANDLE timer = CreateTimerForEvent(20, &event);
    ASSERT_NE(nullptr, timer);
    SleepEx(110);  // about five ticks go by unconsumed
    EXPECT_EQ(0u, event.WaitTimeout(0));
    EXPECT_EQ(NVS_WAIT_TIMEOUT, event.WaitTimeout(0));
    DeleteTimerForEvent(timer);
}

TEST(Timers, TimerTwoMarksItsOwnEventOnly) {
    g_hSigTimer1Event.ResetEvent();
    g_hSigTimer2Event.ResetEvent();
    unsigned int signal = TimerSignal2();
    TIMER_HANDLE timer = CreateNewTimer(10, signal);
    ASSERT_NE(nullptr, timer);
    MsToNextMark(g_hSigTimer2Event);
    DeleteTimer(signal, timer);
    EXPECT_EQ(NVS_WAIT_TIMEOUT, g_hSigTimer1Event.WaitTimeout(0));
}

TEST(Timers, RefusedArgumentsAndNullDelete) {
    NVS_SKIP_UNLESS_LINUX("no timer for an unknown number (macOS makes one that marks nothing)");
    unsigned int unknown = 3;
    EXPECT_EQ(nullptr, CreateNewTimer(20, unknown));
    unsigned int signal = TimerSignal1();
    EXPECT_EQ(nullptr, CreateNewTimer(0, signal));
    TIMER_HANDLE none = nullptr;
    DeleteTimer(signal, none);  // does nothing
    EXPECT_EQ(nullptr, none);
}

TEST(Timers, NoMarkAfterDelete) {
    CAutoResetEvent event;
    TIMER_HANDLE timer = CreateTimerForEvent(5, &event);
    ASSERT_NE(nullptr, timer);
    DeleteTimerForEvent(timer);
    event.ResetEvent();
    EXPECT_EQ(NVS_WAIT_TIMEOUT, event.WaitTimeout(50));
}

TEST(Threads, CreateJoinAndCloseThread) {
    std::atomic<int> ran{0};
    THREAD_HANDLE handle = 0;
    auto body = [](void* argument) -> void* {
        static_cast<std::atomic<int>*>(argument)->fetch_add(1);
        return nullptr;
    };
    ASSERT_EQ(1, CreateThread(&handle, body, &ran));
    CloseThread(handle);  // no effect on a running thread
    WaitForThread(handle);
    EXPECT_EQ(1, ran.load());
    EXPECT_EQ(0, CreateThread(nullptr, body, &ran));
    EXPECT_EQ(0, CloseHandle(-1));
}

TEST(Threads, SleepExLastsItsTime) {
    const uint64_t start = GetMonotonicMs();
    SleepEx(150);
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 150u);
    EXPECT_LT(took, 2000u);
}

// The fuzz targets' pause ceiling: a longer pause sleeps the ceiling, a shorter one its
// own time, and without a ceiling every pause is whole again.
TEST(Threads, PauseCeilingCutsOnlyLongerPauses) {
    struct Case {
        unsigned ceilingUs, ms;
        uint64_t us;
    };
    const Case cases[] = {{0, 150, 150000}, {2000, 150, 2000}, {2000, 1, 1000}, {2000, 0, 0}, {0, 0, 0}};
    for (const Case& c : cases) {
        SetPauseCeilingUs(c.ceilingUs);
        EXPECT_EQ(PauseUnderCeilingUs(c.ms), c.us) << c.ceilingUs << " us, " << c.ms << " ms";
    }
    SetPauseCeilingUs(2000);
    const uint64_t start = GetMonotonicMs();
    SleepEx(150);
    const uint64_t took = GetMonotonicMs() - start;
    SetPauseCeilingUs(0);
    EXPECT_LT(took, 140u);
}

}  // namespace
