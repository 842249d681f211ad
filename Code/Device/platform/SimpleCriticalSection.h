// Recursive locks and their scope guard.
//
// The mutex is never destroyed, so a lock stays usable while the library's static
// objects are torn down at unload. There is no try-lock.
#pragma once

#include <pthread.h>

class CSimpleCriticalSection {
public:
    CSimpleCriticalSection();
    ~CSimpleCriticalSection() {}
    CSimpleCriticalSection(const CSimpleCriticalSection&) = delete;
    CSimpleCriticalSection& operator=(const CSimpleCriticalSection&) = delete;

    void Lock();
    void Unlock();

private:
    pthread_mutex_t m_mutex;
};

class CAutoCriticalSection {
public:
    explicit CAutoCriticalSection(CSimpleCriticalSection& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CAutoCriticalSection() { m_lock.Unlock(); }
    CAutoCriticalSection(const CAutoCriticalSection&) = delete;
    CAutoCriticalSection& operator=(const CAutoCriticalSection&) = delete;

private:
    CSimpleCriticalSection& m_lock;
};
