#include "Event.h"

#include <cerrno>
#include <ctime>

#include "Platform.h"

namespace {

timespec DeadlineAfterMs(unsigned int ms) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // 64-bit arithmetic: ms up to 0xFFFFFFFF is 4,294,967 s, which fits time_t everywhere.
    int64_t nsec = static_cast<int64_t>(now.tv_nsec) + static_cast<int64_t>(ms % 1000) * 1000000;
    timespec deadline;
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000) + static_cast<time_t>(nsec / 1000000000);
    deadline.tv_nsec = static_cast<long>(nsec % 1000000000);
    return deadline;
}

}  // namespace

CPosixEvent::CPosixEvent(bool autoReset, bool initiallySignalled)
    : m_flag(initiallySignalled ? 1 : 0), m_autoReset(autoReset) {
    pthread_mutexattr_t mattr;
    pthread_mutexattr_init(&mattr);
    pthread_mutexattr_settype(&mattr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &mattr);
    pthread_mutexattr_destroy(&mattr);

    pthread_condattr_t cattr;
    pthread_condattr_init(&cattr);
    pthread_condattr_setclock(&cattr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_cond, &cattr);
    pthread_condattr_destroy(&cattr);
}

CPosixEvent::~CPosixEvent() {
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void CPosixEvent::SetEvent() {
    pthread_mutex_lock(&m_mutex);
    m_flag.store(1, std::memory_order_release);
    if (m_autoReset)
        pthread_cond_signal(&m_cond);
    else
        pthread_cond_broadcast(&m_cond);
    pthread_mutex_unlock(&m_mutex);
}

void CPosixEvent::ResetEvent() {
    pthread_mutex_lock(&m_mutex);
    m_flag.store(0, std::memory_order_release);
    pthread_mutex_unlock(&m_mutex);
}

void CPosixEvent::Wait() {
    pthread_mutex_lock(&m_mutex);
    while (m_flag.load(std::memory_order_acquire) == 0)
        pthread_cond_wait(&m_cond, &m_mutex);
    if (m_autoReset)
        m_flag.store(0, std::memory_order_release);
    pthread_mutex_unlock(&m_mutex);
}

unsigned int CPosixEvent::WaitTimeout(unsigned int ms) {
    pthread_mutex_lock(&m_mutex);
    if (ms == 0) {
        // A poll. The exchange makes the read and the clear one step, so a timer mark
        // stored between them is not lost.
        unsigned char was =
            m_autoReset ? m_flag.exchange(0, std::memory_order_acq_rel) : m_flag.load(std::memory_order_acquire);
        pthread_mutex_unlock(&m_mutex);
        return was ? 0 : NVS_WAIT_TIMEOUT;
    }
    const timespec deadline = DeadlineAfterMs(ms);
    for (;;) {
        if (m_flag.load(std::memory_order_acquire) != 0) {
            if (m_autoReset)
                m_flag.store(0, std::memory_order_release);
            pthread_mutex_unlock(&m_mutex);
            return 0;
        }
        if (pthread_cond_timedwait(&m_cond, &m_mutex, &deadline) == ETIMEDOUT) {
            pthread_mutex_unlock(&m_mutex);
            return NVS_WAIT_TIMEOUT;
        }
    }
}

unsigned int WaitForSingleObject(CEvent* event, unsigned int ms) {
    if (event == nullptr)
        return NVS_WAIT_TIMEOUT;
    return event->WaitTimeout(ms);
}

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
