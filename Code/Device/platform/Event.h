// Windows-style events and waits on POSIX threads.
//
// An event is one flag guarded by its own recursive mutex, with a condition variable
// on the monotonic clock. There is no count of pending signals: setting an event that
// is already set changes nothing. The periodic timers (Platform.h) store the flag
// directly, without the mutex and without waking anybody, so a thread blocked in
// Wait() or a timed WaitTimeout() on a timer event does not see the mark until it
// polls; the paced threads therefore wait through WaitForMultipleObjects, which polls.
//
// Owns: nothing global. Every event's mutex is innermost in the library's lock order.
#pragma once

#include <atomic>
#include <pthread.h>

// The wait result for "not signalled before the deadline" on this platform.
constexpr unsigned int NVS_WAIT_TIMEOUT = 110;
constexpr unsigned int NVS_INFINITE = 0xFFFFFFFFu;

class CEvent {
public:
    virtual void SetEvent() = 0;
    virtual void ResetEvent() = 0;
    virtual void Wait() = 0;
    // 0 when the flag was seen set, NVS_WAIT_TIMEOUT otherwise. ms = 0 polls.
    virtual unsigned int WaitTimeout(unsigned int ms) = 0;

protected:
    ~CEvent() = default;  // events are never deleted through a CEvent pointer
};

// Shared machinery of the two event kinds; `autoReset` selects the kind.
class CPosixEvent : public CEvent {
public:
    CPosixEvent(bool autoReset, bool initiallySignalled);
    ~CPosixEvent();
    CPosixEvent(const CPosixEvent&) = delete;
    CPosixEvent& operator=(const CPosixEvent&) = delete;

    void SetEvent() override;
    void ResetEvent() override;
    void Wait() override;
    unsigned int WaitTimeout(unsigned int ms) override;

    // A timer mark: stores the flag without the mutex and wakes nobody.
    void MarkFromTimer() { m_flag.store(1, std::memory_order_release); }

private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    std::atomic<unsigned char> m_flag;  // 1 signalled, 0 not
    const bool m_autoReset;
};

class CAutoResetEvent : public CPosixEvent {
public:
    explicit CAutoResetEvent(bool initiallySignalled = false) : CPosixEvent(true, initiallySignalled) {}
};

class CManualResetEvent : public CPosixEvent {
public:
    explicit CManualResetEvent(bool initiallySignalled = false) : CPosixEvent(false, initiallySignalled) {}
};

// The event's WaitTimeout(ms).
unsigned int WaitForSingleObject(CEvent* event, unsigned int ms);

// Polls events[0..count-1] every 1 ms, lowest index first; returns the index of the first
// signalled one (consuming only that one) or NVS_WAIT_TIMEOUT at the deadline.
// waitAll != 0 is not supported and returns NVS_WAIT_TIMEOUT at once. ms = NVS_INFINITE: no deadline.
unsigned int WaitForMultipleObjects(unsigned int count, CEvent** events, int waitAll, unsigned int ms);
