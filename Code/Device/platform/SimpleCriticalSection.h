// Recursive locks and their scope guard.
//
// The OS lock lives inside the object (OsServices.h) and is never destroyed, so a lock
// stays usable while the library's static objects are torn down at unload. TryLock never
// blocks. A lock knows whether the calling thread holds it (HeldByCurrentThread), so a
// waiter can tell a wait that would deadlock on its own lock from one that ends.
#pragma once

#include <atomic>

#include "OsServices.h"

class CSimpleCriticalSection {
public:
    CSimpleCriticalSection() { OsLockInit(&m_lock); }
    ~CSimpleCriticalSection() {}
    CSimpleCriticalSection(const CSimpleCriticalSection&) = delete;
    CSimpleCriticalSection& operator=(const CSimpleCriticalSection&) = delete;

    void Lock() {
        OsLock(&m_lock);
        if (m_depth++ == 0) {
            m_owner.store(Self(), std::memory_order_relaxed);
        }
    }
    // Takes the lock when no other thread holds it (or this one does); never blocks.
    bool TryLock() {
        if (OsTryLock(&m_lock) == 0) {
            return false;
        }
        if (m_depth++ == 0) {
            m_owner.store(Self(), std::memory_order_relaxed);
        }
        return true;
    }
    void Unlock() {
        if (--m_depth == 0) {
            m_owner.store(nullptr, std::memory_order_relaxed);
        }
        OsUnlock(&m_lock);
    }
    // True when the calling thread holds the lock (at any depth). Only the owner stores
    // its own mark, so a thread reads its own mark exactly and never mistakes another's.
    bool HeldByCurrentThread() const { return m_owner.load(std::memory_order_relaxed) == Self(); }

private:
    // One address per thread: the identity of the calling thread, whatever the OS.
    static const void* Self() {
        static thread_local char mark;
        return &mark;
    }

    COsLockStorage m_lock;
    int m_depth = 0;  // changed only by the holder
    std::atomic<const void*> m_owner{nullptr};
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
