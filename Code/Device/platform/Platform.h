// The platform services the portable code includes: events and locks (Event.h,
// SimpleCriticalSection.h), and through OsServices.h threads, handle closing, sleeps,
// the monotonic clock and the periodic timers. The library joins every thread it starts
// (WaitForThread).
#pragma once

#include "Event.h"
#include "OsServices.h"
#include "SimpleCriticalSection.h"

// Timer events: timer 1 paces the output threads and the playback simulation (20 ms),
// timer 2 the playback reporter (10 ms). Created at load (StaticObjects.cpp).
extern CAutoResetEvent g_hSigTimer1Event;
extern CAutoResetEvent g_hSigTimer2Event;
