// What an operating system supplies to the library's portable code, besides the serial
// port (PortSeam.h): events and waits, recursive locks, threads, handle closing, sleeps,
// the monotonic clock, the periodic timers and the working directory.
//
// Every OS folder below platform implements every entry here; the build picks the
// folders (Linux: posix + linux). No OS type crosses this header: events are opaque
// objects that the backend makes, a lock is opaque storage that the backend fills, and
// thread and port handles are pointer-sized integers.
//
// Each entry says whether it blocks and for how long; an entry that says nothing returns
// at once. Blocking entries carry on after a signal interrupts them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CSystemEvent;
class CEvent;

// ---- Handles ---------------------------------------------------------------------------

// A thread the library started; 0 means none. Pointer-sized on every target.
typedef uintptr_t THREAD_HANDLE;
// An open serial port (a descriptor, or an OS handle); NVS_NO_PORT means none.
typedef intptr_t PORT_HANDLE;
constexpr PORT_HANDLE NVS_NO_PORT = -1;

// ---- Wait results ----------------------------------------------------------------------

// The result of a wait that ended without the event: the platform's own time-out code
// (110 on Linux, 60 on macOS, 258 on Windows). Callers compare wait results only with 0
// and with the indexes they expect.
extern const unsigned int NVS_WAIT_TIMEOUT;
constexpr unsigned int NVS_INFINITE = 0xFFFFFFFFu;

// ---- Events ----------------------------------------------------------------------------
// One signalled flag per event, no count of pending signals.

struct COsEvent;
// Makes an event, signalled or not. Never null (running out of memory here is fatal,
// as for any object made at load).
COsEvent* OsEventCreate(bool autoReset, bool initiallySignalled);
void OsEventDestroy(COsEvent* event);
// Sets the flag under the event's own lock and wakes one waiter (automatic reset) or
// every waiter (manual reset).
void OsEventSet(COsEvent* event);
// Clears the flag under the event's own lock.
void OsEventReset(COsEvent* event);
// Blocks without limit until the flag is set; clears it for an automatic-reset event.
void OsEventWait(COsEvent* event);
// Blocks at most ms (0 polls; 0xFFFFFFFF is 4,294,967 s, not infinite). 0 when the flag
// was seen set (cleared for an automatic-reset event), NVS_WAIT_TIMEOUT otherwise.
unsigned int OsEventWaitTimeout(COsEvent* event, unsigned int ms);
// A periodic timer's mark. POSIX: stores the flag without the event's lock and wakes
// nobody, so only polls see it (a thread blocked in a wait is not woken).
void OsEventMark(COsEvent* event);

// Waits for any one of events[0..count-1] (waitAll must be 0; any other value returns
// NVS_WAIT_TIMEOUT at once and consumes nothing). Blocks at most ms; NVS_INFINITE: no
// limit. Returns the index of the signalled event (the lowest when several are), which
// alone is consumed, or NVS_WAIT_TIMEOUT. POSIX: polls every 1 ms, so timer marks are
// seen within about 1 ms.
unsigned int WaitForMultipleObjects(unsigned int count, CEvent** events, int waitAll, unsigned int ms);

// ---- Recursive locks -------------------------------------------------------------------

// Room for one OS lock inside the object that uses it: a lock needs no allocation, and
// is never destroyed, so it stays usable while the static objects are torn down.
struct COsLockStorage {
    alignas(16) unsigned char bytes[64];
};
// Makes a recursive lock in storage; there is no matching destroy.
void OsLockInit(COsLockStorage* storage);
// Blocks until the calling thread holds the lock (it may hold it already).
void OsLock(COsLockStorage* storage);
// Releases one level.
void OsUnlock(COsLockStorage* storage);
// Takes the lock (one more level) when no other thread holds it; never blocks. 1 taken.
int OsTryLock(COsLockStorage* storage);

// ---- Threads ---------------------------------------------------------------------------

// Starts routine(argument) with default attributes and stores its handle in *handle.
// 1 on success, 0 on failure (null handle or routine, or the thread could not start).
int CreateThread(THREAD_HANDLE* handle, void* (*routine)(void*), void* argument);
// Releases the handle of a thread that is joined elsewhere (POSIX: nothing, the join
// reclaims it). No effect on a running thread.
void CloseThread(THREAD_HANDLE handle);
// Blocks without limit until the thread has returned. A handle of 0 does nothing.
void WaitForThread(THREAD_HANDLE handle);
// Blocks at most ms for the thread's end. true: it has ended and is joined (as by
// WaitForThread; also for a handle of 0). false: it still runs after ms; it is not
// stopped, it keeps the library's code loaded until it ends, and its handle stays valid
// for a later WaitForThread, which joins it. POSIX backends join without limit.
bool WaitForThreadBounded(THREAD_HANDLE handle, unsigned int ms);
// The scheduling class a library thread asks for itself.
enum class OsThreadPriority { Normal, BelowNormal, TimeCritical };
// The calling thread asks for priority for itself (the paced threads do so as their
// first step); true when granted. A refusal leaves the thread as it ran.
bool SetCurrentThreadPriority(OsThreadPriority priority);
// True when the caller is the thread with this handle.
bool IsCurrentThread(THREAD_HANDLE handle);
// True on a thread that CreateThread started: one of the library's own threads, on which
// the host's callbacks run. A call that would wait for a library thread must not wait
// when it comes from one (it could be the very thread it waits for).
bool IsLibraryThread();

// Closes a port handle: 1 on success, 0 on failure (also for NVS_NO_PORT and other
// negative values). Never retried: the handle is gone either way.
int CloseHandle(PORT_HANDLE handle);

// ---- Sleeps and the clock --------------------------------------------------------------

// Blocks ms milliseconds (resuming after signals for the time that is left). 0 yields:
// the caller gives way to every thread ready to run, of lower priority too (POSIX: a
// 50 us sleep, since a zero sleep does not yield a real-time thread).
void SleepEx(unsigned int ms);
// Monotonic time (arbitrary origin) in milliseconds and in microseconds.
uint64_t GetMonotonicMs();
uint64_t GetMonotonicUs();

// ---- Periodic timers -------------------------------------------------------------------
// A timer marks its event (OsEventMark) once per period, the first mark one period after
// the start (macOS: a full OsEventSet per tick, the first at once). The event holds at most one mark: ticks that come while a mark is unconsumed
// are lost and never made up.

typedef struct CPeriodicTimer* TIMER_HANDLE;  // null: no timer
// The numbers that select timer 1 (g_hSigTimer1Event, 20 ms pacing of the output threads
// and the playback simulation) and timer 2 (g_hSigTimer2Event, the playback reporter).
unsigned int TimerSignal1();
unsigned int TimerSignal2();
// A timer on timer 1's or timer 2's event, chosen by signalNumber; null for any other
// number (macOS: a timer that marks nothing), a period of 0, or when it cannot be made.
TIMER_HANDLE CreateNewTimer(unsigned int periodMs, unsigned int& signalNumber);
// Stops and frees the timer when the handle is not null (blocks until a tick under way
// has finished) and sets the handle to null. The event keeps whatever mark it has.
void DeleteTimer(unsigned int signalNumber, TIMER_HANDLE& timer);
// The same on an event of the caller's own: a paced thread that must not share its
// ticks with another thread makes its own event and timer.
TIMER_HANDLE CreateTimerForEvent(unsigned int periodMs, CSystemEvent* event);
void DeleteTimerForEvent(TIMER_HANDLE& timer);

// ---- Working directory -----------------------------------------------------------------

// The folder put in front of the calibration convert-table files, ending in its
// separator ("./" on Linux and macOS: the process's current directory).
std::string OsWorkingDirectory();

// ---- Files -----------------------------------------------------------------------------

// Reads the whole regular file at path into a new char array (array new, the caller
// deletes it; null for an empty file) and its byte count. 1 when done; 0, with *buffer
// null and *size 0, for a null path, a path that cannot be opened, one that is not a
// regular file (a FIFO, a device, a folder), a file larger than maxBytes, a failed read
// or no memory. The open never waits for a FIFO's writer. Blocks for the file's reads.
int OsReadRegularFile(const char* path, uint32_t maxBytes, char** buffer, uint32_t* size);
