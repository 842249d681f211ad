// Events, waits and recursive locks on Win32 objects.
//
// Quirks:
// - An event is a Win32 event; a timer mark is SetEvent, so a tick wakes its waiter at
//   once (unlike POSIX, where a mark is only seen by a poll).
// - The multiple wait is the Win32 one on the events' handles, blocking without polling.
//   An event that is not a system event (none of the library's) is polled instead.
// - A wait that fails (a bad handle, a bad count) reports WAIT_FAILED, 0xFFFFFFFF, which
//   callers treat as neither a signal nor a time-out.
// - A lock is a critical section, re-entrant like a recursive mutex, never deleted.
#include <new>

#include "../Event.h"
#include "Win32.h"

const unsigned int NVS_WAIT_TIMEOUT = WAIT_TIMEOUT;  // 258

namespace {

unsigned int FromWin32(DWORD result, DWORD count) {
    if (result < WAIT_OBJECT_0 + count)
        return result - WAIT_OBJECT_0;
    if (result == WAIT_TIMEOUT)
        return NVS_WAIT_TIMEOUT;
    return WAIT_FAILED;
}

}  // namespace

COsEvent* OsEventCreate(bool autoReset, bool initiallySignalled) {
    COsEvent* event = new COsEvent;
    event->handle = CreateEventA(nullptr, autoReset ? FALSE : TRUE, initiallySignalled ? TRUE : FALSE, nullptr);
    WinHandleOpened(event->handle);
    return event;
}

void OsEventDestroy(COsEvent* event) {
    if (event == nullptr)
        return;
    WinCloseCounted(event->handle);
    delete event;
}

void OsEventSet(COsEvent* event) { ::SetEvent(event->handle); }

void OsEventReset(COsEvent* event) { ::ResetEvent(event->handle); }

void OsEventWait(COsEvent* event) { ::WaitForSingleObject(event->handle, INFINITE); }

unsigned int OsEventWaitTimeout(COsEvent* event, unsigned int ms) {
    return FromWin32(::WaitForSingleObject(event->handle, ms), 1);
}

void OsEventMark(COsEvent* event) { ::SetEvent(event->handle); }

unsigned int WaitForMultipleObjects(unsigned int count, CEvent** events, int waitAll, unsigned int ms) {
    if (events == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        return WAIT_FAILED;
    if (waitAll != 0)
        return NVS_WAIT_TIMEOUT;  // waiting for all events is not supported
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    bool allSystem = true;
    for (unsigned int i = 0; i < count; ++i) {
        CSystemEvent* system = dynamic_cast<CSystemEvent*>(events[i]);
        if (system == nullptr || system->OsEvent() == nullptr) {
            allSystem = false;
            break;
        }
        handles[i] = system->OsEvent()->handle;
    }
    if (allSystem)
        return FromWin32(::WaitForMultipleObjects(count, handles, FALSE, ms), count);
    // Another kind of event among them: poll every 1 ms.
    const bool bounded = ms != NVS_INFINITE;
    const uint64_t deadline = bounded ? GetMonotonicMs() + ms : 0;
    for (;;) {
        for (unsigned int i = 0; i < count; ++i) {
            if (events[i] != nullptr && events[i]->WaitTimeout(0) == 0)
                return i;
        }
        if (bounded && GetMonotonicMs() > deadline)
            return NVS_WAIT_TIMEOUT;
        ::Sleep(1);
    }
}

// ---- Recursive locks -------------------------------------------------------------------

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(COsLockStorage::bytes), "a lock must fit its storage");
static_assert(alignof(CRITICAL_SECTION) <= alignof(COsLockStorage), "a lock must fit its storage");

void OsLockInit(COsLockStorage* storage) { InitializeCriticalSection(new (storage->bytes) CRITICAL_SECTION); }

void OsLock(COsLockStorage* storage) {
    EnterCriticalSection(std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage->bytes)));
}

int OsTryLock(COsLockStorage* storage) {
    return TryEnterCriticalSection(std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage->bytes))) ? 1 : 0;
}

void OsUnlock(COsLockStorage* storage) {
    LeaveCriticalSection(std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage->bytes)));
}
