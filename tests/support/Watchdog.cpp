#include "Watchdog.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

void RunWithWatchdog(const std::function<void()>& fn, unsigned seconds, const char* what) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        fn();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "watchdog: %s did not finish within %u s (deadlock?)\n", what, seconds);
        std::fflush(stderr);
        std::abort();
    }
    worker.join();
}

struct StallWatch::Impl {
    struct Watched {
        std::string name;
        const char* call = nullptr;
        std::chrono::steady_clock::time_point since;
    };
    unsigned seconds;
    const char* what;
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    std::vector<Watched> threads;
    std::thread monitor;

    void Run() {
        std::unique_lock<std::mutex> lock(mu);
        while (!stop) {
            cv.wait_for(lock, std::chrono::milliseconds(200));
            const auto now = std::chrono::steady_clock::now();
            const auto limit = std::chrono::seconds(seconds);
            bool stuck = false;
            for (const Watched& w : threads) {
                stuck = stuck || (w.call != nullptr && now - w.since > limit);
            }
            if (!stuck) {
                continue;
            }
            std::fprintf(stderr, "watchdog: %s: calls not returned within %u s (deadlock?):\n", what, seconds);
            for (const Watched& w : threads) {
                if (w.call != nullptr && now - w.since > limit) {
                    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - w.since).count();
                    std::fprintf(stderr, "  thread %s in %s for %lld ms\n", w.name.c_str(), w.call,
                                 static_cast<long long>(ms));
                }
            }
            std::fflush(stderr);
            std::abort();
        }
    }
};

StallWatch::StallWatch(unsigned seconds, const char* what) : impl_(new Impl) {
    impl_->seconds = seconds;
    impl_->what = what;
    impl_->monitor = std::thread([this] { impl_->Run(); });
}

StallWatch::~StallWatch() {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->stop = true;
    }
    impl_->cv.notify_all();
    impl_->monitor.join();
    delete impl_;
}

int StallWatch::Watch(const std::string& name) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->threads.push_back(Impl::Watched{name, nullptr, {}});
    return static_cast<int>(impl_->threads.size()) - 1;
}

void StallWatch::Enter(int thread, const char* call) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl::Watched& w = impl_->threads.at(static_cast<size_t>(thread));
    w.call = call;
    w.since = std::chrono::steady_clock::now();
}

void StallWatch::Leave(int thread) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->threads.at(static_cast<size_t>(thread)).call = nullptr;
}
