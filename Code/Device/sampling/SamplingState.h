// The sampling state that the photodiode stream and the FPGA report poller share: one
// thread handle, the run and pause events (platform/StaticObjects.h), the callbacks.
//
// Starts and stops are serialised by a control mutex of their own, taken before
// g_CriticalSection and never by the sampling thread: a stop resets both events and
// joins the thread without g_CriticalSection (the thread's exit needs it). A thread that
// ended by itself stays joinable until the next start, disable or ORVFree joins it. On
// the sampling thread itself (a callback) and under g_CriticalSection a stop only resets
// the events; the join is left to the next start or stop.
//
// Owns: g_SamplingDataCallback, g_SamplingErrorCallback, g_nSamplingSkipPacketCount and
// g_hSamplingThread (written under g_CriticalSection), the FPGA callbacks, and the
// handle still to be joined (under the control mutex).
#pragma once

#include <atomic>
#include <mutex>

#include "api/nvs300.h"
#include "platform/OsServices.h"

extern PFN_SAMPLING_CALLBACK g_SamplingDataCallback[4];
extern PFN_SAMPLING_ERROR_CALLBACK g_SamplingErrorCallback;
extern int g_nSamplingSkipPacketCount;
// The running sampling thread; 0 when none (also once a thread ended by itself).
extern std::atomic<THREAD_HANDLE> g_hSamplingThread;
// Read by the poller's handlers outside the lock, hence atomic.
extern std::atomic<PFN_DUT_DETECTION_CALLBACK> g_DUTSignalDetectionCallback;
extern std::atomic<PFN_FPGA_SAMPLING_CALLBACK> g_FPGASamplingCallback;

namespace sampling {

// Held by every start for its whole duration (and by ORVDisableSampling while it joins).
// Lock it before g_CriticalSection.
std::unique_lock<std::mutex> LockControl();
// With the control mutex held and g_CriticalSection not held: resets both events and
// joins the thread still to be joined, if any.
void EndThreadLocked();
// True on the sampling thread (its callbacks run there).
bool OnSamplingThread();
// The body's first step: marks the calling thread as the sampling thread.
void MarkSamplingThread();
// With the control mutex and g_CriticalSection held: sets the run event, resets the
// pause event and starts body(argument) as the sampling thread. False when the thread
// could not start (the run event is reset again).
bool LaunchThread(void* (*body)(void*), void* argument);
// The last step of every sampling thread's exit, under g_CriticalSection: no thread
// handle, the thread's own callbacks null (the photodiode stream's four kinds, or the
// FPGA poller's report and detection callbacks), the run event reset (a thread that
// ended by itself must not look as if sampling still ran).
enum class SamplingThreadKind { Photodiode, FpgaPoller };
void ClearRunningThreadLocked(SamplingThreadKind kind);

}  // namespace sampling
