// The sampling pause: a scope guard that keeps the photodiode sampling thread from
// starting a read while an exported function changes what the stream depends on. It is
// not counted: when guards nest, the first to end clears the pause (the outer function
// still holds the global lock, which keeps the sampling thread waiting).
#pragma once

#include "platform/StaticObjects.h"

class CAutoPauseSampling {
public:
    CAutoPauseSampling() { g_hSamplingPauseEvent.SetEvent(); }
    ~CAutoPauseSampling() { g_hSamplingPauseEvent.ResetEvent(); }
    CAutoPauseSampling(const CAutoPauseSampling&) = delete;
    CAutoPauseSampling& operator=(const CAutoPauseSampling&) = delete;
};
