// The two periodic timers on Linux.
//
// Each timer is a small thread of the library's own that sleeps to absolute deadlines
// on the monotonic clock and stores the mark into its event's flag. No process-wide
// signal is used: a signal would interrupt the host's own threads, replace a handler
// the host installed, and outlive the library once it is unloaded. The observable rules
// are those of a signal-driven timer: the first mark one period after the start, at most
// one mark held (a tick that finds the flag set is lost), lost ticks never made up, and
// a mark wakes no thread blocked in Wait().
#include <cerrno>
#include <csignal>
#include <new>
#include <ctime>
#include <pthread.h>

#include "../Platform.h"

struct CPeriodicTimer {
    CSystemEvent* event;
    uint64_t periodNs;
    pthread_t thread;
    pthread_mutex_t mutex;
    pthread_cond_t cond;  // on the monotonic clock; signalled to stop
    bool stop;
};

namespace {

timespec ToTimespec(uint64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
    ts.tv_nsec = static_cast<long>(ns % 1000000000u);
    return ts;
}

uint64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void* TimerThread(void* argument) {
    CPeriodicTimer* timer = static_cast<CPeriodicTimer*>(argument);
    // The host's signals are not ours to take.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    uint64_t next = NowNs() + timer->periodNs;
    pthread_mutex_lock(&timer->mutex);
    while (!timer->stop) {
        const timespec deadline = ToTimespec(next);
        if (pthread_cond_timedwait(&timer->cond, &timer->mutex, &deadline) != ETIMEDOUT)
            continue;  // stop requested, or a spurious wake-up: re-check
        timer->event->MarkFromTimer();
        next += timer->periodNs;
        const uint64_t now = NowNs();
        if (now >= next)  // fell behind: the ticks in between are lost, not made up
            next += ((now - next) / timer->periodNs + 1) * timer->periodNs;
    }
    pthread_mutex_unlock(&timer->mutex);
    return nullptr;
}

}  // namespace

TIMER_HANDLE CreateTimerForEvent(unsigned int periodMs, CSystemEvent* event) {
    if (periodMs == 0 || event == nullptr)
        return nullptr;
    CPeriodicTimer* timer = new (std::nothrow) CPeriodicTimer;
    if (timer == nullptr)
        return nullptr;
    timer->event = event;
    timer->periodNs = static_cast<uint64_t>(periodMs) * 1000000u;
    timer->stop = false;
    pthread_mutex_init(&timer->mutex, nullptr);
    pthread_condattr_t cattr;
    pthread_condattr_init(&cattr);
    pthread_condattr_setclock(&cattr, CLOCK_MONOTONIC);
    pthread_cond_init(&timer->cond, &cattr);
    pthread_condattr_destroy(&cattr);
    if (pthread_create(&timer->thread, nullptr, TimerThread, timer) != 0) {
        pthread_cond_destroy(&timer->cond);
        pthread_mutex_destroy(&timer->mutex);
        delete timer;
        return nullptr;
    }
    return timer;
}

void DeleteTimerForEvent(TIMER_HANDLE& timer) {
    if (timer == nullptr)
        return;
    pthread_mutex_lock(&timer->mutex);
    timer->stop = true;
    pthread_cond_signal(&timer->cond);
    pthread_mutex_unlock(&timer->mutex);
    pthread_join(timer->thread, nullptr);
    pthread_cond_destroy(&timer->cond);
    pthread_mutex_destroy(&timer->mutex);
    delete timer;
    timer = nullptr;
}

unsigned int TimerSignal1() { return static_cast<unsigned int>(SIGRTMIN); }
unsigned int TimerSignal2() { return static_cast<unsigned int>(SIGRTMIN + 1); }

TIMER_HANDLE CreateNewTimer(unsigned int periodMs, unsigned int& signalNumber) {
    if (signalNumber == TimerSignal1())
        return CreateTimerForEvent(periodMs, &g_hSigTimer1Event);
    if (signalNumber == TimerSignal2())
        return CreateTimerForEvent(periodMs, &g_hSigTimer2Event);
    return nullptr;
}

void DeleteTimer(unsigned int, TIMER_HANDLE& timer) { DeleteTimerForEvent(timer); }
