// The output thread's exchanges under the global lock (see LockedExchange.h).
#include "output/LockedExchange.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <new>

#include "api/AutoPauseSampling.h"
#include "platform/Event.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"

namespace output {

namespace {

// The handle type that CreateThread hands back, as the platform defines it.
template <typename Handle>
Handle HandleOf(int (*)(Handle*, void* (*)(void*), void*));
using ThreadHandle = decltype(HandleOf(&CreateThread));

struct Job {
    // Abandoned: given up on while Pending; Leaving: abandoned and past the lock, so a
    // join ends at once.
    enum class State { Pending, Running, Done, Abandoned, Leaving };
    // Who joins the helper: the output thread that asked for it, or (given up on) a
    // waiter, which marks it Joining while it joins.
    enum class Joiner { Caller, GivenUp, Joining };

    uint64_t number = 0;       // in start order
    ThreadHandle thread = {};  // written by CreateThread; read by the joiner
    State state = State::Pending;
    Joiner joiner = Joiner::Caller;
    std::function<void()> fn;
    CManualResetEvent done;  // fn has run
};

// Every helper from before its start until it has been joined. The mutex is innermost:
// never held while calling out, waiting for a lock or joining.
struct Registry {
    std::mutex mu;
    std::condition_variable changed;  // a job was given up on, is leaving, or left the list
    std::list<std::unique_ptr<Job>> jobs;
    uint64_t started = 0;
};

Registry& TheRegistry() {
    // Never destroyed: it stays usable while static objects are torn down at unload. Made
    // in the library's own storage, not on the heap, so that an unload (which leaves no
    // helper, so no list node) leaks nothing.
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry* registry = new (storage) Registry;
    return *registry;
}

void* Helper(void* arg) {
    Job* job = static_cast<Job*>(arg);  // lives until this thread has been joined
    Registry& r = TheRegistry();
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    {
        std::lock_guard<std::mutex> guard(r.mu);
        if (job->state == Job::State::Abandoned) {
            // The output thread has ended (or is ending) without this exchange.
            job->state = Job::State::Leaving;
            r.changed.notify_all();
            return nullptr;
        }
        job->state = Job::State::Running;
    }
    job->fn();
    {
        std::lock_guard<std::mutex> guard(r.mu);
        job->state = Job::State::Done;
    }
    job->done.SetEvent();
    return nullptr;
}

// Takes a joined job off the list.
void Forget(Registry& r, Job* job) {
    std::lock_guard<std::mutex> guard(r.mu);
    r.jobs.remove_if([job](const std::unique_ptr<Job>& j) { return j.get() == job; });
    r.changed.notify_all();
}

}  // namespace

LockedRun RunLockedUnlessStopped(CEvent* stop, std::function<void()> fn) {
    Registry& r = TheRegistry();
    Job* job;
    {
        std::lock_guard<std::mutex> guard(r.mu);
        r.jobs.push_back(std::make_unique<Job>());
        job = r.jobs.back().get();
        job->number = r.started++;
        job->fn = std::move(fn);
    }
    if (!CreateThread(&job->thread, Helper, job)) {
        Forget(r, job);
        return LockedRun::Failed;
    }
    CEvent* events[2] = {stop, &job->done};
    for (;;) {
        const unsigned int w = WaitForMultipleObjects(2, events, 0, NVS_INFINITE);
        if (w == 1) {
            break;  // done: the helper is on its way out
        }
        if (w != 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(r.mu);
            if (job->state == Job::State::Pending) {
                // Still waiting for the lock, which the stopper holds: leave it to a waiter.
                job->state = Job::State::Abandoned;
                job->joiner = Job::Joiner::GivenUp;
                r.changed.notify_all();
                return LockedRun::Stopped;
            }
        }
        // Already under way: the helper holds the lock, so its exchange ends by itself.
        job->done.Wait();
        WaitForThread(job->thread);
        Forget(r, job);
        return LockedRun::Stopped;
    }
    WaitForThread(job->thread);
    Forget(r, job);
    return LockedRun::Done;
}

void WaitForLockedExchanges(unsigned lockGraceMs) {
    Registry& r = TheRegistry();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockGraceMs);
    std::unique_lock<std::mutex> guard(r.mu);
    const uint64_t before = r.started;
    for (;;) {
        Job* leaving = nullptr;
        bool waiting = false;  // a helper given up on still waits for the lock
        for (const std::unique_ptr<Job>& j : r.jobs) {
            if (j->number >= before || j->joiner != Job::Joiner::GivenUp) {
                continue;
            }
            if (j->state == Job::State::Leaving) {
                leaving = j.get();
                break;
            }
            waiting = true;
        }
        if (leaving != nullptr) {
            leaving->joiner = Job::Joiner::Joining;
            guard.unlock();
            WaitForThread(leaving->thread);  // past every lock: ends at once
            Forget(r, leaving);
            guard.lock();
            continue;
        }
        if (!waiting) {
            return;
        }
        if (lockGraceMs == kNoLockGrace) {
            r.changed.wait(guard);
        } else if (r.changed.wait_until(guard, deadline) == std::cv_status::timeout) {
            return;  // the caller may hold the lock: the rest is left to a later waiter
        }
    }
}

size_t LockedExchangeHelpers() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> guard(r.mu);
    return r.jobs.size();
}

}  // namespace output
