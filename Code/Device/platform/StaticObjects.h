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
