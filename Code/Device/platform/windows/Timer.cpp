// Periodic timers on Win32 multimedia timers: each timer sets its event once per period
// with 1 ms resolution (timeSetEvent with TIME_CALLBACK_EVENT_SET), so a tick wakes its
// waiter at once and, the event being one flag, a tick that finds it set is lost.
// A timer is killed synchronously: once DeleteTimer returns, no tick of it is under way.
//
// The two numbered timers of the portable code stand on the two process-wide timer
// events; the paced threads make their own events and timers (CreateTimerForEvent).
#include <new>

#include "../Platform.h"
#include "Win32.h"

#include <mmsystem.h>

struct CPeriodicTimer {
    UINT id;
};

namespace {

constexpr unsigned int kTimer1 = 1;
constexpr unsigned int kTimer2 = 2;

}  // namespace

TIMER_HANDLE CreateTimerForEvent(unsigned int periodMs, CSystemEvent* event) {
    if (periodMs == 0 || event == nullptr || event->OsEvent() == nullptr)
        return nullptr;
    const UINT id = timeSetEvent(periodMs, 1, reinterpret_cast<LPTIMECALLBACK>(event->OsEvent()->handle), 0,
                                 TIME_PERIODIC | TIME_CALLBACK_EVENT_SET | TIME_KILL_SYNCHRONOUS);
    if (id == 0)
        return nullptr;
    CPeriodicTimer* timer = new (std::nothrow) CPeriodicTimer{id};
    if (timer == nullptr)
        timeKillEvent(id);
    return timer;
}

void DeleteTimerForEvent(TIMER_HANDLE& timer) {
    if (timer == nullptr)
        return;
    timeKillEvent(timer->id);
    delete timer;
    timer = nullptr;
}

unsigned int TimerSignal1() { return kTimer1; }
unsigned int TimerSignal2() { return kTimer2; }

TIMER_HANDLE CreateNewTimer(unsigned int periodMs, unsigned int& signalNumber) {
    if (signalNumber == kTimer1)
        return CreateTimerForEvent(periodMs, &g_hSigTimer1Event);
    if (signalNumber == kTimer2)
        return CreateTimerForEvent(periodMs, &g_hSigTimer2Event);
    return nullptr;
}

void DeleteTimer(unsigned int, TIMER_HANDLE& timer) { DeleteTimerForEvent(timer); }
