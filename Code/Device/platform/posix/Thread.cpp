// Threads, handle closing, sleeps, the monotonic clock and the working directory on POSIX.
//
// A thread handle is the POSIX thread id; the library joins every thread it starts.
// Every thread starts in a trampoline that marks it as the library's own, so the host's
// callbacks (which run on these threads) can be told from the host's own threads.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <type_traits>
#include <unistd.h>

#include "../OsServices.h"
#include "../SleepSeam.h"
#include "Posix.h"

namespace {

// pthread_t is an integer (Linux) or a pointer (macOS): either fits the handle.
static_assert(std::is_scalar<pthread_t>::value && sizeof(pthread_t) <= sizeof(THREAD_HANDLE),
              "a thread id must fit the handle");

THREAD_HANDLE ToHandle(pthread_t thread) {
    THREAD_HANDLE handle = 0;
    memcpy(&handle, &thread, sizeof thread);
    return handle;
}

pthread_t ToThread(THREAD_HANDLE handle) {
    pthread_t thread;
    memcpy(&thread, &handle, sizeof thread);
    return thread;
}

thread_local bool t_bLibraryThread = false;

struct Start {
    void* (*routine)(void*);
    void* argument;
};

void* Trampoline(void* arg) {
    const Start start = *static_cast<Start*>(arg);
    delete static_cast<Start*>(arg);
    t_bLibraryThread = true;
    return start.routine(start.argument);
}

}  // namespace

int CreateThread(THREAD_HANDLE* handle, void* (*routine)(void*), void* argument) {
    if (handle == nullptr || routine == nullptr)
        return 0;
    Start* start = new (std::nothrow) Start{routine, argument};
    if (start == nullptr)
        return 0;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, Trampoline, start) != 0) {
        delete start;
        return 0;
    }
    *handle = ToHandle(thread);
    return 1;
}

bool IsLibraryThread() { return t_bLibraryThread; }

void CloseThread(THREAD_HANDLE) {}

void WaitForThread(THREAD_HANDLE handle) {
    if (handle != 0)
        pthread_join(ToThread(handle), nullptr);
}

// Without limit: a thread left running past a bound could outlive the library's code
// here, since nothing keeps a shared object loaded for a thread.
bool WaitForThreadBounded(THREAD_HANDLE handle, unsigned int) {
    WaitForThread(handle);
    return true;
}

bool IsCurrentThread(THREAD_HANDLE handle) { return handle != 0 && pthread_equal(ToThread(handle), pthread_self()); }

int CloseHandle(PORT_HANDLE handle) {
    if (handle < 0 || handle > INT32_MAX)
        return 0;
    if (PosixDeferClose(static_cast<int>(handle)))
        return 1;  // the system's folder closes it once that is harmless
    // Linux releases the descriptor even when close reports EINTR: never retry.
    return close(static_cast<int>(handle)) == 0 ? 1 : 0;
}

// SleepEx(0) is the yield of the paced threads' polls, and it must let threads of lower
// priority run as on Windows. A zero or microsecond sleep returns before any other
// thread is scheduled when the caller has real-time priority (its timer has no slack),
// so such a thread would spin and starve the ordinary threads on its core; the shortest
// sleep that lets them in is some tens of microseconds.
constexpr uint64_t kYieldUs = 50;

void SleepEx(unsigned int ms) {
    const uint64_t us = ms == 0 ? kYieldUs : PauseUnderCeilingUs(ms);
    timespec request;
    request.tv_sec = static_cast<time_t>(us / 1000000u);
    request.tv_nsec = static_cast<long>(us % 1000000u) * 1000L;
    timespec remaining;
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
        request = remaining;
}

uint64_t GetMonotonicUs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint64_t GetMonotonicMs() { return GetMonotonicUs() / 1000u; }

std::string OsWorkingDirectory() { return "./"; }
