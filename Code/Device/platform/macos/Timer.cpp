// The periodic timers on macOS: dispatch timer sources on the default-priority global
// queue. Timer 1 is number 30, timer 2 number 31; a timer of any other number runs and
// marks nothing. The first tick comes at once, then one every period; each tick is a
// full SetEvent (under the event's lock, waking one waiter). The event holds one mark,
// so ticks that find it set are lost and never made up.
//
// Quirks:
// - The start is taken on the monotonic clock (DISPATCH_TIME_NOW): a start on the wall
//   clock would stall every timer when the clock is set back.
// - Cancelling a source does not wait for a tick handler under way. Delete therefore
//   waits for the cancel handler, which runs after the last tick handler has returned,
//   before it releases the source: no mark lands after it returns (a paced thread's own
//   event dies right after).
#include <dispatch/dispatch.h>
#include <new>
#include <pthread.h>

#include "../Platform.h"

struct CPeriodicTimer {
    dispatch_source_t source;
    CSystemEvent* event;  // null: marks nothing
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool cancelled;
};

namespace {

constexpr unsigned int kTimer1 = 30;
constexpr unsigned int kTimer2 = 31;
constexpr uint64_t kLeewayNs = 1000000;  // 1 ms

void Tick(void* context) {
    CPeriodicTimer* timer = static_cast<CPeriodicTimer*>(context);
    if (timer->event != nullptr)
        timer->event->SetEvent();
}

void Cancelled(void* context) {
    CPeriodicTimer* timer = static_cast<CPeriodicTimer*>(context);
    pthread_mutex_lock(&timer->mutex);
    timer->cancelled = true;
    pthread_cond_signal(&timer->cond);
    pthread_mutex_unlock(&timer->mutex);
}

TIMER_HANDLE StartTimer(unsigned int periodMs, CSystemEvent* event) {
    if (periodMs == 0)
        return nullptr;
    dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0,
                                                      dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0));
    if (source == nullptr)
        return nullptr;
    CPeriodicTimer* timer = new (std::nothrow) CPeriodicTimer;
    if (timer == nullptr) {
        dispatch_release(source);
        return nullptr;
    }
    timer->source = source;
    timer->event = event;
    timer->cancelled = false;
    pthread_mutex_init(&timer->mutex, nullptr);
    pthread_cond_init(&timer->cond, nullptr);
    const uint64_t intervalNs = static_cast<uint64_t>(periodMs / 1000.0 * 1000000000.0);
    dispatch_source_set_timer(source, dispatch_time(DISPATCH_TIME_NOW, 0), intervalNs, kLeewayNs);
    dispatch_set_context(source, timer);
    dispatch_source_set_event_handler_f(source, Tick);
    dispatch_source_set_cancel_handler_f(source, Cancelled);
    dispatch_resume(source);
    return timer;
}

}  // namespace

TIMER_HANDLE CreateTimerForEvent(unsigned int periodMs, CSystemEvent* event) {
    return event != nullptr ? StartTimer(periodMs, event) : nullptr;
}

void DeleteTimerForEvent(TIMER_HANDLE& timer) {
    if (timer == nullptr)
        return;
    dispatch_source_cancel(timer->source);
    pthread_mutex_lock(&timer->mutex);
    while (!timer->cancelled)
        pthread_cond_wait(&timer->cond, &timer->mutex);
    pthread_mutex_unlock(&timer->mutex);
    dispatch_release(timer->source);
    pthread_cond_destroy(&timer->cond);
    pthread_mutex_destroy(&timer->mutex);
    delete timer;
    timer = nullptr;
}

unsigned int TimerSignal1() { return kTimer1; }
unsigned int TimerSignal2() { return kTimer2; }

TIMER_HANDLE CreateNewTimer(unsigned int periodMs, unsigned int& timerNumber) {
    CSystemEvent* event = timerNumber == kTimer1   ? &g_hSigTimer1Event
                          : timerNumber == kTimer2 ? &g_hSigTimer2Event
                                                   : nullptr;
    return StartTimer(periodMs, event);
}

void DeleteTimer(unsigned int, TIMER_HANDLE& timer) { DeleteTimerForEvent(timer); }
