// The library's load-time objects, all defined in StaticObjects.cpp in the one order in
// which they must be created (and, in reverse, destroyed): static initialisation order
// across source files is not defined, so no other file defines an object with a
// constructor that the library's threads or other load-time objects use.
#pragma once

#include "Event.h"
#include "SimpleCriticalSection.h"

// The connection's events and the global lock: every exported function that talks to
// the instrument holds g_CriticalSection for its whole duration.
extern CAutoResetEvent g_hStopOutputEvent;
extern CAutoResetEvent g_hReconnectEvent;
extern CManualResetEvent g_hSamplingEvent;
extern CManualResetEvent g_hSamplingPauseEvent;
extern CAutoResetEvent g_hConnectedEvent;
extern CSimpleCriticalSection g_CriticalSection;

// The function that the unload runs before any load-time object is destroyed, or null.
// The connection layer sets it: it ends every thread the library started (the presence
// monitor excepted, which its own destructor ends), so that no thread of the library runs
// on once its code has gone. A library linked into a program runs it at the program's
// exit. Set it before any thread starts; the last one set counts.
typedef void (*PFN_UNLOAD_HOOK)();
void SetUnloadHook(PFN_UNLOAD_HOOK hook);
