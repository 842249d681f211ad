// Test stand-in of the dispatch timer sources and the relative condition wait, on POSIX
// threads: one thread per timer source, deadlines on the monotonic clock, one handler
// at a time per source, the cancel handler after the last tick handler has returned.
// A tick that comes while the previous handler still runs is merged into the next one,
// and missed ticks are not made up.
#include <dispatch/dispatch.h>

#include <cerrno>
#include <ctime>
#include <pthread.h>

#include "RelativeWait.h"

namespace {

uint64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

timespec ToTimespec(uint64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000u);
    ts.tv_nsec = static_cast<long>(ns % 1000000000u);
    return ts;
}

struct Source : dispatch_source_s {
    pthread_mutex_t mutex;
    pthread_cond_t cond;  // monotonic clock
    pthread_t thread;
    int references = 1;  // the creator's; the running thread holds one more
    bool resumed = false;
    bool cancelled = false;
    uint64_t start = 0;
    uint64_t interval = 0;
    void* context = nullptr;
    dispatch_function_t handler = nullptr;
    dispatch_function_t cancelHandler = nullptr;
};

dispatch_queue_s s_globalQueue;

void Drop(Source* source) {
    pthread_mutex_lock(&source->mutex);
    const bool last = --source->references == 0;
    pthread_mutex_unlock(&source->mutex);
    if (!last)
        return;
    pthread_cond_destroy(&source->cond);
    pthread_mutex_destroy(&source->mutex);
    delete source;
}

void* Run(void* argument) {
    Source* source = static_cast<Source*>(argument);
    pthread_mutex_lock(&source->mutex);
    uint64_t next = source->start;
    while (!source->cancelled) {
        if (source->interval == 0 && next == DISPATCH_TIME_FOREVER) {
            pthread_cond_wait(&source->cond, &source->mutex);
            continue;
        }
        const timespec deadline = ToTimespec(next);
        if (NowNs() < next && pthread_cond_timedwait(&source->cond, &source->mutex, &deadline) != ETIMEDOUT)
            continue;  // cancelled, or woken early: re-check
        if (source->cancelled)
            break;
        const dispatch_function_t handler = source->handler;
        void* context = source->context;
        pthread_mutex_unlock(&source->mutex);
        if (handler != nullptr)
            handler(context);
        pthread_mutex_lock(&source->mutex);
        if (source->interval == 0) {
            next = DISPATCH_TIME_FOREVER;  // a one-shot timer
            continue;
        }
        next += source->interval;
        const uint64_t now = NowNs();
        if (now >= next)  // behind: the ticks in between merge into one
            next += ((now - next) / source->interval) * source->interval;
    }
    const dispatch_function_t cancelHandler = source->cancelHandler;
    void* context = source->context;
    pthread_mutex_unlock(&source->mutex);
    if (cancelHandler != nullptr)
        cancelHandler(context);
    Drop(source);
    return nullptr;
}

}  // namespace

extern "C" {

const dispatch_source_type_s nvs_standin_source_type_timer{};

dispatch_queue_t dispatch_get_global_queue(intptr_t, uintptr_t) { return &s_globalQueue; }

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t, uintptr_t, dispatch_queue_t queue) {
    if (type != DISPATCH_SOURCE_TYPE_TIMER || queue == nullptr)
        return nullptr;
    Source* source = new Source;
    pthread_mutex_init(&source->mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&source->cond, &attr);
    pthread_condattr_destroy(&attr);
    source->start = DISPATCH_TIME_FOREVER;
    return source;
}

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
    const uint64_t base = when == DISPATCH_TIME_NOW ? NowNs() : when;
    return static_cast<dispatch_time_t>(static_cast<int64_t>(base) + delta);
}

void dispatch_source_set_timer(dispatch_source_t object, dispatch_time_t start, uint64_t interval, uint64_t) {
    Source* source = static_cast<Source*>(object);
    pthread_mutex_lock(&source->mutex);
    source->start = start == DISPATCH_TIME_NOW ? NowNs() : start;
    source->interval = interval;
    pthread_cond_signal(&source->cond);
    pthread_mutex_unlock(&source->mutex);
}

void dispatch_set_context(dispatch_object_t object, void* context) {
    Source* source = static_cast<Source*>(object);
    pthread_mutex_lock(&source->mutex);
    source->context = context;
    pthread_mutex_unlock(&source->mutex);
}

void dispatch_source_set_event_handler_f(dispatch_source_t object, dispatch_function_t handler) {
    Source* source = static_cast<Source*>(object);
    pthread_mutex_lock(&source->mutex);
    source->handler = handler;
    pthread_mutex_unlock(&source->mutex);
}

void dispatch_source_set_cancel_handler_f(dispatch_source_t object, dispatch_function_t handler) {
    Source* source = static_cast<Source*>(object);
    pthread_mutex_lock(&source->mutex);
    source->cancelHandler = handler;
    pthread_mutex_unlock(&source->mutex);
}

void dispatch_resume(dispatch_object_t object) {
    Source* source = static_cast<Source*>(object);
    pthread_mutex_lock(&source->mutex);
    const bool start = !source->resumed;
    source->resumed = true;
    if (start)
        ++source->references;
    pthread_mutex_unlock(&source->mutex);
    if (!start)
        return;
    if (pthread_create(&source->thread, nullptr, Run, source) != 0) {
        Drop(source);
        return;
    }
    pthread_detach(source->thread);
}

void dispatch_source_cancel(dispatch_source_t object) {
    Source* source = static_cast<Source*>(object);
    pthread_mutex_lock(&source->mutex);
    source->cancelled = true;
    pthread_cond_signal(&source->cond);
    pthread_mutex_unlock(&source->mutex);
}

void dispatch_release(dispatch_object_t object) {
    if (object != nullptr)
        Drop(static_cast<Source*>(object));
}

int pthread_cond_timedwait_relative_np(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* relative) {
    // The condition is on the real-time clock (macOS cannot bind it to another), but the
    // time is measured here on the monotonic clock: the caller's deadline is relative.
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t ns = static_cast<uint64_t>(now.tv_nsec) + static_cast<uint64_t>(relative->tv_nsec);
    timespec deadline;
    deadline.tv_sec = now.tv_sec + relative->tv_sec + static_cast<time_t>(ns / 1000000000u);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000u);
    return pthread_cond_timedwait(cond, mutex, &deadline);
}

}  // extern "C"
