#include "SimpleCriticalSection.h"

CSimpleCriticalSection::CSimpleCriticalSection() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void CSimpleCriticalSection::Lock() { pthread_mutex_lock(&m_mutex); }

void CSimpleCriticalSection::Unlock() { pthread_mutex_unlock(&m_mutex); }
