#include "Watchdog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

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
