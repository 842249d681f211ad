// Threads, handle closing, sleeps and the monotonic clock on POSIX.
#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "Platform.h"

int CreateThread(unsigned long* handle, void* (*routine)(void*), void* argument) {
    if (handle == nullptr || routine == nullptr)
        return 0;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, routine, argument) != 0)
        return 0;
    *handle = static_cast<unsigned long>(thread);
    return 1;
}

void CloseThread(unsigned long) {}

void WaitForThread(unsigned long handle) {
    if (handle != 0)
        pthread_join(static_cast<pthread_t>(handle), nullptr);
}

bool IsCurrentThread(unsigned long handle) {
    return handle != 0 && pthread_equal(static_cast<pthread_t>(handle), pthread_self());
}

int CloseHandle(long descriptor) {
    if (descriptor < 0)
        return 0;
    // Linux releases the descriptor even when close reports EINTR: never retry.
    return close(static_cast<int>(descriptor)) == 0 ? 1 : 0;
}

void SleepEx(unsigned int ms) {
    timespec request;
    request.tv_sec = static_cast<time_t>(ms / 1000);
    request.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
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
