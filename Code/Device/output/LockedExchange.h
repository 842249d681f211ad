// Exchanges that an output thread makes under the global lock, without ever blocking on
// that lock.
//
// The output thread switches the instrument on (and, with apnea, respiration off and on)
// under the sampling pause and g_CriticalSection, like every exported function. But the
// stop holds g_CriticalSection while it joins the output thread, so an output thread
// blocked on the lock would never finish. The lock has no try-lock, so the blocking
// acquisition is left to a short-lived helper thread; the output thread waits for the
// helper's exchange or for the stop event, whichever comes first, and gives up on the
// stop. A helper that was given up on finds that out once it holds the lock and leaves
// without sending anything.
//
// Owns: the helper threads. Each is started with CreateThread and counted from before
// its start until it has been joined: by the output thread that asked for it, once its
// exchange is done; or, when the output thread gave up on it, by WaitForLockedExchanges,
// which the common stop calls after it has released the lock and ORVFree calls before it
// returns. So no helper outlives ORVFree, nor the stop that gave up on it unless that
// stop's caller still held g_CriticalSection (the helper cannot leave before it has had
// the lock once).
#pragma once

#include <cstddef>
#include <functional>

class CEvent;

namespace output {

enum class LockedRun {
    Done,     // fn ran under the pause and the lock
    Stopped,  // the stop event came first (its mark is consumed); fn did not run, or ran to its end
    Failed,   // no helper thread could be started; fn did not run
};

// Runs fn on a helper thread under CAutoPauseSampling and g_CriticalSection and waits
// for it, or for `stop`. fn may use the caller's stack: it never runs after this returns.
LockedRun RunLockedUnlessStopped(CEvent* stop, std::function<void()> fn);

// Joins the helpers that were given up on before the call. A helper given up on blocks
// on nothing but g_CriticalSection, and once it holds the lock it leaves at once; so
// while the caller does not hold g_CriticalSection this ends, without a time-out, as
// soon as the current holders of the lock let go of it (their exchanges are bounded by
// the transport's time-outs). A caller that still holds the lock would wait for ever,
// and the lock cannot say who holds it: a caller that may be holding it passes a grace
// (ms) within which each helper must have got the lock; a helper that has not is left,
// still counted, to the next waiter. Helpers of running output threads are joined by
// those threads.
constexpr unsigned kNoLockGrace = 0xFFFFFFFFu;
void WaitForLockedExchanges(unsigned lockGraceMs = kNoLockGrace);

// Helper threads started and not yet joined (for tests).
size_t LockedExchangeHelpers();

}  // namespace output
