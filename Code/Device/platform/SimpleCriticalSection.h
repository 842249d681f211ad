// Recursive locks and their scope guard.
//
// The OS lock lives inside the object (OsServices.h) and is never destroyed, so a lock
// stays usable while the library's static objects are torn down at unload. There is no
// try-lock.
#pragma once

#include "OsServices.h"

class CSimpleCriticalSection {
public:
    CSimpleCriticalSection() { OsLockInit(&m_lock); }
    ~CSimpleCriticalSection() {}
    CSimpleCriticalSection(const CSimpleCriticalSection&) = delete;
    CSimpleCriticalSection& operator=(const CSimpleCriticalSection&) = delete;

    void Lock() { OsLock(&m_lock); }
    void Unlock() { OsUnlock(&m_lock); }

private:
    COsLockStorage m_lock;
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
