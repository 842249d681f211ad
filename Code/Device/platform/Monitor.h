// The device-presence monitor: while an instrument is connected, checks every 1.2 s or
// so that its port still exists and has not hung up; when it has gone, closes the port
// and wakes the connection thread. One thread, from load to unload; it starts paused.
// (Windows has no polling monitor: there the same class owns the device-change window,
// platform/windows.)
//
// Owns: the monitor thread, its enable event, g_bStopMonitor, the notify map.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "Event.h"

class CAutoMonitor {
public:
    CAutoMonitor();
    ~CAutoMonitor();
    CAutoMonitor(const CAutoMonitor&) = delete;
    CAutoMonitor& operator=(const CAutoMonitor&) = delete;

    void StartMonitor();
    void PauseMonitor();
    bool IsMonitored();

private:
    THREAD_HANDLE m_hThread;
    CManualResetEvent m_hEnableEvent;
};

// Both parameters are pointer-sized, as a window message's are.
typedef void (*PFN_NOTIFY_EVENT)(unsigned int message, uintptr_t wParam, uintptr_t lParam);

extern CAutoMonitor g_AutoMonitor;  // the one instance, see StaticObjects.cpp
extern std::atomic<int> g_bStopMonitor;
extern std::map<unsigned int, PFN_NOTIFY_EVENT> g_mapNotifyEvent;  // only the Windows build reads it
extern std::mutex g_notifyMapMutex;                                // guards g_mapNotifyEvent

// The notify map is written and read under its own lock (the Windows window thread reads
// it while the connection thread writes it); a callback is called outside that lock.
void RegisterNotifyEvent(unsigned int message, PFN_NOTIFY_EVENT callback);
// The callback registered for message; null when none.
PFN_NOTIFY_EVENT LookupNotifyEvent(unsigned int message);
void* MonitorDeviceThread(void*);

// Wakes the connection thread (sets g_hReconnectEvent) after the monitor closed a
// vanished port.
void ReconnectDevice();
