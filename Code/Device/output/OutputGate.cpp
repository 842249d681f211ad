// The bounded stop's agreement with the output thread (see OutputGate.h).
//
// The stopper and the thread decide with one atomic word who is first: the thread sets
// kEndSteps before its end steps, the stopper that gives up sets kMuted. Whoever comes
// second sees the other's bit. A stopper that finds the end steps begun waits for them
// (they are bounded by the port's time-outs and call no host code) before it mutes the
// thread's writes; a thread that finds itself muted skips them.
#include "output/OutputGate.h"

#include <atomic>
#include <mutex>

#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"

namespace output {

namespace {

constexpr int kMuted = 1;
constexpr int kEndSteps = 2;

std::atomic<int> s_gate{0};
std::atomic<int> s_writesMuted{0};  // the transport's flag for the output threads
std::atomic<THREAD_HANDLE> s_late{0};
std::mutex s_joining;  // never held while calling out but for the join itself

// The flags go before the slot: a start that finds the slot empty starts an unmuted thread.
void Forget() {
    s_writesMuted.store(0);
    s_gate.store(0);
    s_late.store(0);
}

}  // namespace

void RegisterOutputThread() { TransportMuteThreadWhile(&s_writesMuted); }

void UnregisterOutputThread() { TransportMuteThreadWhile(nullptr); }

bool OutputMuted() { return (s_gate.load() & kMuted) != 0; }

bool EnterEndSteps() { return (s_gate.fetch_or(kEndSteps) & kMuted) == 0; }

void LeaveEndSteps() { s_gate.fetch_and(~kEndSteps); }

bool JoinOutputThreadWithinBound(THREAD_HANDLE thread) {
    if (WaitForThreadBounded(thread, kStopBoundMs)) {
        return true;
    }
    const int before = s_gate.fetch_or(kMuted);
    if ((before & kEndSteps) != 0) {
        // The end steps began before the bound ran out: they finish under this stopper's lock.
        while ((s_gate.load() & kEndSteps) != 0) {
            SleepEx(1);
        }
    }
    s_writesMuted.store(1);
    s_late.store(thread);
    return false;
}

bool LateOutputThreadLeft() { return s_late.load() != 0; }

bool JoinLateOutputThread() {
    const THREAD_HANDLE late = s_late.load();
    if (late == 0) {
        return true;
    }
    if (IsLibraryThread() || g_CriticalSection.HeldByCurrentThread()) {
        return false;
    }
    // Host threads may race here: one joins, the others wait for that join.
    std::lock_guard<std::mutex> guard(s_joining);
    const THREAD_HANDLE still = s_late.load();
    if (still != 0) {
        WaitForThread(still);
        Forget();
    }
    return true;
}

void ReleaseLateOutputThread() {
    const THREAD_HANDLE late = s_late.load();
    if (late != 0) {
        WaitForThread(late);
        Forget();
    }
}

}  // namespace output
