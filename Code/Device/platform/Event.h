// Windows-style events and waits, on the event objects of the OS backend (OsServices.h).
//
// An event is one signalled flag: there is no count of pending signals, so setting an
// event that is already set changes nothing. The periodic timers mark the flag the way
// their platform does; on POSIX a mark wakes nobody, so a thread blocked in Wait() or a
// timed WaitTimeout() on a timer event does not see it until it polls, and the paced
// threads therefore wait through WaitForMultipleObjects, which polls.
//
// Owns: nothing global. Every event's own lock is innermost in the library's lock order.
#pragma once

#include "OsServices.h"

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

// Shared machinery of the two event kinds: one OS event, made when constructed (so the
// library's static events exist from load) and destroyed with the object.
class CSystemEvent : public CEvent {
public:
    CSystemEvent(bool autoReset, bool initiallySignalled);
    ~CSystemEvent();
    CSystemEvent(const CSystemEvent&) = delete;
    CSystemEvent& operator=(const CSystemEvent&) = delete;

    void SetEvent() override;
    void ResetEvent() override;
    void Wait() override;
    unsigned int WaitTimeout(unsigned int ms) override;

    // A timer mark (OsEventMark): on POSIX the flag is stored without the lock and
    // nobody is woken.
    void MarkFromTimer();
    // The backend's object, for a backend's own waits.
    COsEvent* OsEvent() const { return m_pEvent; }

private:
    COsEvent* const m_pEvent;
};

class CAutoResetEvent : public CSystemEvent {
public:
    explicit CAutoResetEvent(bool initiallySignalled = false) : CSystemEvent(true, initiallySignalled) {}
};

class CManualResetEvent : public CSystemEvent {
public:
    explicit CManualResetEvent(bool initiallySignalled = false) : CSystemEvent(false, initiallySignalled) {}
};

// The event's WaitTimeout(ms); NVS_WAIT_TIMEOUT for a null event.
unsigned int WaitForSingleObject(CEvent* event, unsigned int ms);

// WaitForMultipleObjects is supplied by the backend: see OsServices.h.
