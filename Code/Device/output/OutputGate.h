// What the common stop and the output thread agree on when the stop's join is bounded.
//
// Where the platform bounds a join (Windows), a stop waits at most kStopBoundMs for the
// output thread. A thread still running then is in a host callback that has not
// returned (its own steps are bounded by the port's time-outs). It is not killed: it is
// muted and left to end alone. From the moment the stop gives up on it, it starts no
// host callback, sends nothing, skips its end steps and end markers and leaves its loop
// as soon as the callback returns. The next start waits for it; so does the unload.
//
// Owns: the gate word (muted, in end steps), the transport mute flag of the output
// threads, the slot of the thread a stop left running. Where joins are unbounded
// (POSIX), the stop always joins and none of this ever mutes anything.
#pragma once

#include "platform/OsServices.h"

namespace output {

constexpr unsigned kStopBoundMs = 3000;

// ---- The output thread's side ---------------------------------------------------------

// At the start and at the end of every output thread (mutes its writes once the stop
// gives up on it).
void RegisterOutputThread();
void UnregisterOutputThread();
// True once a stop gave up on the running thread: no callback may start.
bool OutputMuted();
// Brackets the end steps, which talk to the instrument without a lock of their own
// while the stopper holds g_CriticalSection. False: the stop has given up, so the end
// steps and end markers must not happen (LeaveEndSteps is then not called).
bool EnterEndSteps();
void LeaveEndSteps();

// ---- The stopper's side ---------------------------------------------------------------

// Joins the output thread within the bound. True: joined. False: left running, muted,
// and kept in the late slot (the stopper holds g_CriticalSection; it returns after the
// thread's end steps, if they had begun).
bool JoinOutputThreadWithinBound(THREAD_HANDLE thread);
// True while a thread that a stop left running has not been joined: no output thread
// may start then.
bool LateOutputThreadLeft();
// Waits for the thread a stop left running, if any. Refused (false, the thread stays
// left) on a library thread (it may be that very thread, or one its callback waits for)
// and while the caller holds g_CriticalSection (its callback may be waiting for it).
// True when no thread is left.
bool JoinLateOutputThread();
// At unload: the thread's code is still mapped only while the thread runs, and the
// platform's join there waits only for its routine's end.
void ReleaseLateOutputThread();

}  // namespace output
