// Threads, handle closing, sleeps, the monotonic clock and the working directory on Win32.
//
// A thread handle points to the library's record of the thread: its Win32 handle, its id
// and an event its start routine sets as its last step. The joiner (WaitForThread) alone
// closes the handles and frees the record, once.
//
// Quirks:
// - An unload runs under the loader lock, and a thread cannot finish exiting while
//   another holds it: a join made then waits for the routine's end event instead of the
//   thread handle, and at process exit (every other thread already gone) waits for
//   nothing.
// - Threads start through the runtime's _beginthreadex, so the runtime's per-thread
//   state is set up and freed.
// - A bounded join that runs out hands the thread a reference to this DLL: the thread
//   ends alone and drops it as its very last step (FreeLibraryAndExitThread), so the
//   code it runs stays mapped until then even when the host unloads the library. A
//   thread is never terminated where it stands (it could hold a lock or be half-way
//   through an exchange).
// - wine reads 0 from GetThreadPriority and GetProcessHandleCount: the priorities
//   granted and the handles this backend holds open are counted here instead.
#include <cstdio>
#include <new>
#include <process.h>

#include "../SleepSeam.h"
#include "Win32.h"

namespace {

// What a bounded join and the routine's end agree on, once (interlocked).
enum : LONG { kRunning = 0, kRoutineDone = 1, kLeftRunning = 2 };

struct CThreadRecord {
    HANDLE thread;
    HANDLE finished;  // manual reset: the routine has returned
    DWORD id;
    void* (*routine)(void*);
    void* argument;
    volatile LONG state;  // kRunning until the routine's end or a bound's expiry
    HMODULE module;       // the reference a thread left running holds
};

volatile LONG s_openHandles = 0;
volatile LONG s_priorities[3] = {0, 0, 0};  // granted requests per OsThreadPriority

// The library's threads are marked in a TLS slot, made at its first use (a load-time
// object may start a thread before this file's objects are made) and never freed.
DWORD LibraryThreadSlot() {
    static const DWORD slot = TlsAlloc();
    return slot;
}

volatile LONG s_unloading = 0;
volatile LONG s_processExit = 0;

unsigned __stdcall Trampoline(void* arg) {
    CThreadRecord* record = static_cast<CThreadRecord*>(arg);
    TlsSetValue(LibraryThreadSlot(), reinterpret_cast<void*>(1));
    record->routine(record->argument);
    if (InterlockedCompareExchange(&record->state, kRoutineDone, kRunning) == kLeftRunning) {
        // Its joiner gave up waiting: the DLL stays mapped for this thread alone, which
        // leaves it without returning into its code. A later join (or the unload that
        // this last reference lets run) frees the record.
        const HMODULE module = record->module;
        TlsSetValue(LibraryThreadSlot(), nullptr);
        ::SetEvent(record->finished);  // the record may be freed from here on
        FreeLibraryAndExitThread(module, 0);
    }
    ::SetEvent(record->finished);  // the record may be freed from here on
    return 0;
}

void FreeRecord(CThreadRecord* record) {
    WinCloseCounted(record->thread);
    WinCloseCounted(record->finished);
    delete record;
}

}  // namespace

bool WinUnloading() { return s_unloading != 0; }

bool WinProcessExiting() { return s_unloading != 0 && s_processExit != 0; }

bool WinWaitForRoutineEnd(THREAD_HANDLE handle, DWORD ms) {
    return handle != 0 &&
           ::WaitForSingleObject(reinterpret_cast<CThreadRecord*>(handle)->finished, ms) == WAIT_OBJECT_0;
}

void WinReleaseThread(THREAD_HANDLE handle) {
    if (!WinWaitForRoutineEnd(handle, 0))
        return;
    FreeRecord(reinterpret_cast<CThreadRecord*>(handle));
}

void WinHandleOpened(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        InterlockedIncrement(&s_openHandles);
}

BOOL WinCloseCounted(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return FALSE;
    const BOOL closed = ::CloseHandle(handle);
    if (closed)
        InterlockedDecrement(&s_openHandles);
    return closed;
}

long WinOpenHandleCount() { return s_openHandles; }

long WinPrioritiesGranted(OsThreadPriority priority) { return s_priorities[static_cast<int>(priority)]; }

// Tells the unload from the process's exit (reserved is not null then).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH) {
        InterlockedExchange(&s_processExit, reserved != nullptr ? 1 : 0);
        InterlockedExchange(&s_unloading, 1);
    }
    return TRUE;
}

int CreateThread(THREAD_HANDLE* handle, void* (*routine)(void*), void* argument) {
    if (handle == nullptr || routine == nullptr)
        return 0;
    CThreadRecord* record = new (std::nothrow) CThreadRecord{nullptr, nullptr, 0, routine, argument, kRunning, nullptr};
    if (record == nullptr)
        return 0;
    record->finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (record->finished == nullptr) {
        delete record;
        return 0;
    }
    WinHandleOpened(record->finished);
    unsigned id = 0;
    const uintptr_t thread = _beginthreadex(nullptr, 0, Trampoline, record, CREATE_SUSPENDED, &id);
    if (thread == 0) {
        WinCloseCounted(record->finished);
        delete record;
        return 0;
    }
    record->thread = reinterpret_cast<HANDLE>(thread);
    WinHandleOpened(record->thread);
    record->id = id;
    *handle = reinterpret_cast<THREAD_HANDLE>(record);
    ResumeThread(record->thread);
    return 1;
}

bool IsLibraryThread() { return TlsGetValue(LibraryThreadSlot()) != nullptr; }

void CloseThread(THREAD_HANDLE) {}  // the joiner closes, once

void WaitForThread(THREAD_HANDLE handle) {
    if (handle == 0)
        return;
    CThreadRecord* record = reinterpret_cast<CThreadRecord*>(handle);
    if (!WinUnloading()) {
        ::WaitForSingleObject(record->thread, INFINITE);
    } else if (s_processExit == 0) {
        ::WaitForSingleObject(record->finished, INFINITE);
    } else {
        return;  // process exit: the thread is gone, and its record with the process
    }
    FreeRecord(record);
}

bool WaitForThreadBounded(THREAD_HANDLE handle, unsigned int ms) {
    if (handle == 0)
        return true;
    CThreadRecord* record = reinterpret_cast<CThreadRecord*>(handle);
    if (WinUnloading() || ::WaitForSingleObject(record->thread, ms) == WAIT_OBJECT_0) {
        WaitForThread(handle);  // the unload cannot leave code under a running thread
        return true;
    }
    // The thread runs on: it gets its own reference to this DLL, unless its routine has
    // ended meanwhile.
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&Trampoline), &module)) {
        WaitForThread(handle);  // without a reference it must not outlive the wait
        return true;
    }
    record->module = module;
    if (InterlockedCompareExchange(&record->state, kLeftRunning, kRunning) == kRoutineDone) {
        FreeLibrary(module);  // the host's own reference keeps the DLL loaded
        WaitForThread(handle);
        return true;
    }
    return false;
}

bool SetCurrentThreadPriority(OsThreadPriority priority) {
    int value = THREAD_PRIORITY_NORMAL;
    if (priority == OsThreadPriority::TimeCritical)
        value = THREAD_PRIORITY_TIME_CRITICAL;
    else if (priority == OsThreadPriority::BelowNormal)
        value = THREAD_PRIORITY_BELOW_NORMAL;
    if (!SetThreadPriority(GetCurrentThread(), value))
        return false;
    InterlockedIncrement(&s_priorities[static_cast<int>(priority)]);
    return true;
}

bool IsCurrentThread(THREAD_HANDLE handle) {
    return handle != 0 && reinterpret_cast<CThreadRecord*>(handle)->id == GetCurrentThreadId();
}

int CloseHandle(PORT_HANDLE handle) {
    HANDLE h = PortWin32Handle(handle);
    return h != nullptr && WinCloseCounted(h) ? 1 : 0;
}

// Win32 SleepEx, not Sleep: a zero wait then also lets threads of lower priority run.
// A pause ceiling (set only by test builds) shortens longer pauses, to whole milliseconds.
void SleepEx(unsigned int ms) {
    const uint64_t us = PauseUnderCeilingUs(ms);
    ::SleepEx(static_cast<DWORD>((us + 999u) / 1000u), FALSE);
}

uint64_t GetMonotonicUs() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t f = static_cast<uint64_t>(frequency);
    return ticks / f * 1000000u + ticks % f * 1000000u / f;
}

uint64_t GetMonotonicMs() { return GetMonotonicUs() / 1000u; }

// The folder of the library file itself, with its last backslash; empty when the name
// holds none.
std::string OsWorkingDirectory() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OsWorkingDirectory), &module);
    char name[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(module, name, sizeof name);
    std::string folder(name, length < sizeof name ? length : 0);
    const size_t slash = folder.rfind('\\');
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}
