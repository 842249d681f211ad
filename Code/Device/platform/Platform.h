// What an operating system supplies to the portable code, besides events and locks:
// threads, handle closing, sleeps, the monotonic clock and the two periodic timers.
//
// Threads are POSIX threads; their handle is the thread id, kept by the caller, and the
// library joins every thread it starts (WaitForThread). Every blocking call here resumes
// after EINTR.
#pragma once

#include <cstdint>

#include "Event.h"

// Timer events: timer 1 paces the output threads and the playback simulation (20 ms),
// timer 2 the playback reporter (10 ms). Created at load (StaticObjects.cpp).
extern CAutoResetEvent g_hSigTimer1Event;
extern CAutoResetEvent g_hSigTimer2Event;

// Starts routine(argument) on a new thread with default attributes; stores its id in
// *handle. 1 on success, 0 on failure (handle null or the thread could not start).
int CreateThread(unsigned long* handle, void* (*routine)(void*), void* argument);
// Nothing on this platform: the join reclaims the thread.
void CloseThread(unsigned long handle);
// Joins the thread (blocks until it has returned). A handle of 0 does nothing.
void WaitForThread(unsigned long handle);
// True when the caller is the thread with this handle.
bool IsCurrentThread(unsigned long handle);

// Closes a descriptor: 1 on success, 0 on failure (also for a negative descriptor).
int CloseHandle(long descriptor);

// Sleeps ms milliseconds, resuming after signals.
void SleepEx(unsigned int ms);

// Monotonic time in milliseconds (arbitrary origin), and in microseconds.
uint64_t GetMonotonicMs();
uint64_t GetMonotonicUs();

// Periodic timers. signalNumber selects the timer: NVS_TIMER1 or NVS_TIMER2 (the
// numbers are kept from the signal-based design for callers' sake). The timer marks
// its event once per period, the first mark one period after the start; at most one
// mark is held, and ticks that come while a mark is unconsumed are lost. A mark does
// not wake a thread blocked in Wait(). Returns null when the timer cannot be made.
typedef struct CPeriodicTimer* TIMER_HANDLE;
unsigned int TimerSignal1();  // the number that selects timer 1
unsigned int TimerSignal2();  // the number that selects timer 2
TIMER_HANDLE CreateNewTimer(unsigned int periodMs, unsigned int& signalNumber);
// Stops and frees the timer when the handle is not null, and sets it to null. The event
// keeps whatever mark it has.
void DeleteTimer(unsigned int signalNumber, TIMER_HANDLE& timer);
