// Every load-time object of the library, in creation order. Objects in one translation
// unit are constructed in the order of their definitions and destroyed in reverse, so
// the presence monitor (last here) is the first to go at unload and its thread is joined
// before anything it uses is destroyed.
#include "StaticObjects.h"

#include "Instance.h"
#include "Monitor.h"
#include "Platform.h"
#include "Transport.h"

// The notify map (filled only by the Windows build's device-change window).
std::map<unsigned int, PFN_NOTIFY_EVENT> g_mapNotifyEvent;

// The two timer events.
CAutoResetEvent g_hSigTimer1Event;
CAutoResetEvent g_hSigTimer2Event;

// The reply queue (2048 slots of 64 bytes, not cleared) and its read lock.
CAutoPtrData g_pQueueData(2048 * 64);
CSimpleCriticalSection g_ReadCriticalSection;

// The connection's events and the global lock.
CAutoResetEvent g_hStopOutputEvent;
CAutoResetEvent g_hReconnectEvent;
CManualResetEvent g_hSamplingEvent;
CManualResetEvent g_hSamplingPauseEvent;
CAutoResetEvent g_hConnectedEvent;
CSimpleCriticalSection g_CriticalSection;

// Last: the working-directory holder and the presence monitor, whose thread starts paused.
CInstance g_Instance;
CAutoMonitor g_AutoMonitor;
