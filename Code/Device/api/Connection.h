// The connection lifecycle: ORVInit/ORVInitEx/ORVConnect/ORVFree and the connection
// thread that finds the instrument, prepares it after every connection, tells the host's
// listener, waits while the instrument stays present and tears the connection down.
//
// Owns: the connection thread and its state below. The lifecycle calls are serialised
// among host threads by a lifecycle mutex of their own (taken before g_CriticalSection,
// never held while waiting for a connection); the stop flag, listener and filter are
// written under g_CriticalSection as well. The connection thread holds g_CriticalSection
// for each candidate port's handshake and for the steps that talk to the instrument
// before the listener is told, so no host request falls between a request and its reply.
// On a library thread (a host callback) the lifecycle calls never wait; ORVFree there asks
// for the teardown and the next lifecycle call joins the ended thread. The unload hook
// (set at load) frees the library as ORVFree does and ends any output or playback left.
#pragma once

#include <atomic>
#include <cstdint>

#include "api/nvs300.h"
#include "platform/OsServices.h"

// Handle of the connection thread; 0 when there is none.
extern std::atomic<THREAD_HANDLE> g_hConnectDeviceThread;
// 1 asks the connection thread to end.
extern std::atomic<int> g_bStopConnectDeviceThread;
// The listener; null when there is none.
extern std::atomic<PFN_CONNECT_LISTENER> g_Callback;
// -1: every port number; otherwise the one port the connection thread tries.
extern std::atomic<int> g_nPortNumber;

bool DoInit(PFN_CONNECT_LISTENER listener, int serial);
bool ConnectEx(unsigned int port, unsigned int timeout, int serial);
// The listener that ORVConnect installs: sets g_hConnectedEvent on true.
void ConnectedHandler(bool connected);
void* ConnectDeviceThread(void*);
void NotifyListener(bool connected);
// Sets g_hReconnectEvent for the Windows device-change message (537): the connection
// thread registers it in the notify map while connected, and the Windows build's
// device-change window calls it.
void WinEventCb(unsigned int message, uintptr_t wParam, uintptr_t lParam);

// True between a successful connection (before the listener hears true) and the start
// of its teardown.
bool ConnectionIsUp();
// Connections whose stored calibration data has been loaded, since load.
unsigned ConnectionLoadCount();
// The stop flag, listener, port number and connected state back to their load-time
// values, as if the library were loaded afresh (for the test suites; the library never
// calls it). Only with the connection handling ended: the thread handle is then 0
// already. The counts of threads started and loadings ended keep counting.
void ResetConnectionState();

// Runs step(argument) as one lifecycle step on the calling host thread: ends the
// connection handling as ORVFree does, then holds g_CriticalSection while the step runs;
// other threads' ORVInit, ORVInitEx, ORVConnect and ORVFree wait for its end, so no
// connection thread scans beside it. On a library thread (a callback: the connection
// thread cannot end itself) nothing is done and `refused` is returned.
int RunLifecycleStep(int (*step)(void*), void* argument, int refused);
