// The output thread's exchanges under the global lock (see LockedExchange.h).
#include "output/LockedExchange.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "api/AutoPauseSampling.h"
#include "platform/Event.h"
#include "platform/StaticObjects.h"

namespace output {

namespace {

struct Job {
    enum class State { Pending, Running, Done, Abandoned };
    std::mutex mu;  // innermost: never held while calling out
    State state = State::Pending;
    std::function<void()> fn;
    CManualResetEvent done;  // fn has run
};

void Helper(const std::shared_ptr<Job>& job) {
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    {
        std::lock_guard<std::mutex> guard(job->mu);
        if (job->state == Job::State::Abandoned) {
            return;  // the output thread has ended (or is ending) without this exchange
        }
        job->state = Job::State::Running;
    }
    job->fn();
    {
        std::lock_guard<std::mutex> guard(job->mu);
        job->state = Job::State::Done;
    }
    job->done.SetEvent();
}

}  // namespace

LockedRun RunLockedUnlessStopped(CEvent* stop, std::function<void()> fn) {
    auto job = std::make_shared<Job>();
    job->fn = std::move(fn);
    try {
        std::thread(Helper, job).detach();
    } catch (const std::system_error&) {
        return LockedRun::Failed;
    }
    CEvent* events[2] = {stop, &job->done};
    for (;;) {
        const unsigned int r = WaitForMultipleObjects(2, events, 0, NVS_INFINITE);
        if (r == 1) {
            return LockedRun::Done;
        }
        if (r != 0) {
            continue;
        }
        std::unique_lock<std::mutex> guard(job->mu);
        if (job->state == Job::State::Pending) {
            job->state = Job::State::Abandoned;
            return LockedRun::Stopped;
        }
        guard.unlock();
        // Already under way: the helper holds the lock, so its exchange ends by itself.
        job->done.Wait();
        return LockedRun::Stopped;
    }
}

}  // namespace output
