// Events, waits and recursive locks on POSIX threads.
//
// Quirks:
// - An event is a recursive mutex, a condition variable and a one-byte flag. Every
//   deadline is on the monotonic clock; the system's folder makes the timed wait
//   (PosixCondWaitUntil), so a clock set back or forward neither stretches nor cuts one.
// - A timer mark stores the flag without the mutex (it must not block, nor take a lock
//   that a waiter holds), so the flag is atomic; a poll reads and clears it in one step.
// - The time-out result (110 on Linux, 60 on macOS) is defined by the system's folder.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>
#include <pthread.h>

#include "../Event.h"
#include "../OsServices.h"
#include "Posix.h"

struct COsEvent {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    std::atomic<unsigned char> flag;  // 1 signalled, 0 not
    bool autoReset;
};

namespace {

void InitRecursive(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

}  // namespace

// ---- Events ----------------------------------------------------------------------------

COsEvent* OsEventCreate(bool autoReset, bool initiallySignalled) {
    COsEvent* event = new COsEvent;
    event->flag.store(initiallySignalled ? 1 : 0);
    event->autoReset = autoReset;
    InitRecursive(&event->mutex);
    PosixCondInit(&event->cond);
    return event;
}

void OsEventDestroy(COsEvent* event) {
    if (event == nullptr)
        return;
    pthread_cond_destroy(&event->cond);
    pthread_mutex_destroy(&event->mutex);
    delete event;
}

void OsEventSet(COsEvent* event) {
    pthread_mutex_lock(&event->mutex);
    event->flag.store(1, std::memory_order_release);
    if (event->autoReset)
        pthread_cond_signal(&event->cond);
    else
        pthread_cond_broadcast(&event->cond);
    pthread_mutex_unlock(&event->mutex);
}

void OsEventReset(COsEvent* event) {
    pthread_mutex_lock(&event->mutex);
    event->flag.store(0, std::memory_order_release);
    pthread_mutex_unlock(&event->mutex);
}

void OsEventWait(COsEvent* event) {
    pthread_mutex_lock(&event->mutex);
    while (event->flag.load(std::memory_order_acquire) == 0)
        pthread_cond_wait(&event->cond, &event->mutex);
    if (event->autoReset)
        event->flag.store(0, std::memory_order_release);
    pthread_mutex_unlock(&event->mutex);
}

unsigned int OsEventWaitTimeout(COsEvent* event, unsigned int ms) {
    pthread_mutex_lock(&event->mutex);
    if (ms == 0) {
        // A poll. The exchange makes the read and the clear one step, so a timer mark
        // stored between them is not lost.
        const unsigned char was = event->autoReset ? event->flag.exchange(0, std::memory_order_acq_rel)
                                                   : event->flag.load(std::memory_order_acquire);
        pthread_mutex_unlock(&event->mutex);
        return was ? 0 : NVS_WAIT_TIMEOUT;
    }
    const uint64_t deadlineUs = GetMonotonicUs() + static_cast<uint64_t>(ms) * 1000;
    for (;;) {
        if (event->flag.load(std::memory_order_acquire) != 0) {
            if (event->autoReset)
                event->flag.store(0, std::memory_order_release);
            pthread_mutex_unlock(&event->mutex);
            return 0;
        }
        if (PosixCondWaitUntil(&event->cond, &event->mutex, deadlineUs)) {
            pthread_mutex_unlock(&event->mutex);
            return NVS_WAIT_TIMEOUT;
        }
    }
}

void OsEventMark(COsEvent* event) { event->flag.store(1, std::memory_order_release); }

unsigned int WaitForMultipleObjects(unsigned int count, CEvent** events, int waitAll, unsigned int ms) {
    if (waitAll != 0)
        return NVS_WAIT_TIMEOUT;  // waiting for all events is not supported
    const bool bounded = ms != NVS_INFINITE;
    const uint64_t deadlineUs = bounded ? GetMonotonicUs() + static_cast<uint64_t>(ms) * 1000 : 0;
    for (;;) {
        for (unsigned int i = 0; events != nullptr && i < count; ++i) {
            if (events[i] != nullptr && events[i]->WaitTimeout(0) == 0)
                return i;
        }
        if (bounded && GetMonotonicUs() > deadlineUs)
            return NVS_WAIT_TIMEOUT;
        SleepEx(1);
    }
}

// ---- Recursive locks -------------------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= sizeof(COsLockStorage::bytes), "a lock must fit its storage");
static_assert(alignof(pthread_mutex_t) <= alignof(COsLockStorage), "a lock must fit its storage");

void OsLockInit(COsLockStorage* storage) { InitRecursive(new (storage->bytes) pthread_mutex_t); }

void OsLock(COsLockStorage* storage) {
    pthread_mutex_lock(std::launder(reinterpret_cast<pthread_mutex_t*>(storage->bytes)));
}

void OsUnlock(COsLockStorage* storage) {
    pthread_mutex_unlock(std::launder(reinterpret_cast<pthread_mutex_t*>(storage->bytes)));
}

int OsTryLock(COsLockStorage* storage) {
    return pthread_mutex_trylock(std::launder(reinterpret_cast<pthread_mutex_t*>(storage->bytes))) == 0 ? 1 : 0;
}
