// What the files of the Windows backend share: the Win32 headers (included here and
// nowhere above platform/windows, since the portable CreateThread, CloseHandle, SleepEx,
// SetEvent and WaitFor... names would meet Win32's), and the helpers between them.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "../OsServices.h"

struct COsEvent {
    HANDLE handle;
};

// The Win32 handle of a port handle; null for none.
inline HANDLE PortWin32Handle(PORT_HANDLE port) {
    return port == NVS_NO_PORT || port == 0 ? nullptr : reinterpret_cast<HANDLE>(port);
}

// True while the DLL is being unloaded (the loader lock is held): no thread's exit may be
// waited for then, since an ending thread needs that lock.
bool WinUnloading();
// True when the unload is the process's exit: every other thread is already gone.
bool WinProcessExiting();
// Waits at most ms for a library thread's routine to return (not for the thread's exit,
// which needs the loader lock); true when it has.
bool WinWaitForRoutineEnd(THREAD_HANDLE handle, DWORD ms);
// Closes a thread's handles and frees its record once its routine has returned; a thread
// still running keeps them (it may still use its record).
void WinReleaseThread(THREAD_HANDLE handle);

// The handles this backend holds open (events, threads, the port, the reads' and writes'
// events): each one made is counted by WinHandleOpened (null and INVALID_HANDLE_VALUE are
// not handles), and closed through WinCloseCounted. Read by the tests, since wine's
// GetProcessHandleCount reads 0.
void WinHandleOpened(HANDLE handle);
BOOL WinCloseCounted(HANDLE handle);
long WinOpenHandleCount();
// The priority requests SetCurrentThreadPriority has had granted, per class (wine's
// GetThreadPriority reads 0).
long WinPrioritiesGranted(OsThreadPriority priority);
