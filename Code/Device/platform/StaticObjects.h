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

// The playback engine's events and locks, made at load after the two timer events. The
// engine's threads use them (playback/PlayThreads.h); the lock order is g_CriticalSection,
// g_PlayRawCriticalSection, g_InterruptCriticalSection, then the transport's read lock;
// g_DataCriticalSection is taken alone.
extern CManualResetEvent g_hStopPlayEvent;        // the run is to end; the reporter drains
extern CManualResetEvent g_hForceStopPlayEvent;   // the run is to end at once, no drain
extern CAutoResetEvent g_hSendEvent;              // a data request arrived
extern CAutoResetEvent g_hReadEvent;              // a batch went out: read the next request
extern CManualResetEvent g_hProcessRequestEvent;  // the producer serves a request or tick
extern CManualResetEvent g_hPlayLaunchedEvent;    // every thread of the run has been started
extern CSimpleCriticalSection g_PlayRawCriticalSection;
extern CSimpleCriticalSection g_InterruptCriticalSection;
extern CSimpleCriticalSection g_DataCriticalSection;

// The function that the unload runs before any load-time object is destroyed, or null.
// The connection layer sets it: it ends every thread the library started (the presence
// monitor excepted, which its own destructor ends), so that no thread of the library runs
// on once its code has gone. A library linked into a program runs it at the program's
// exit. Set it before any thread starts; the last one set counts.
typedef void (*PFN_UNLOAD_HOOK)();
void SetUnloadHook(PFN_UNLOAD_HOOK hook);
