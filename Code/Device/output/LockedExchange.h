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
// Owns: the helper threads (detached; each ends as soon as it has held the lock once).
#pragma once

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

}  // namespace output
