// A deadline for code that could deadlock: a hang fails the suite instead of stalling it.
#pragma once

#include <functional>
#include <string>

// Runs fn on a thread of its own; aborts the test program when fn has not returned
// within `seconds` (naming `what`), since a deadlocked thread cannot be ended otherwise.
void RunWithWatchdog(const std::function<void()>& fn, unsigned seconds, const char* what);

// A deadline per thread for code where several threads could deadlock one another: each
// thread names itself and says which call it is in; when any call has not returned
// within `seconds`, every thread then inside a call too long is named with that call on
// stderr and the test program aborts (its threads cannot be ended otherwise).
class StallWatch {
public:
    StallWatch(unsigned seconds, const char* what);
    ~StallWatch();  // stops watching; every watched thread must have left its calls
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // A watched thread's number, for Enter and Leave.
    int Watch(const std::string& name);
    // The thread enters a call (`call` must outlive it: a string literal) or leaves it.
    void Enter(int thread, const char* call);
    void Leave(int thread);

private:
    struct Impl;
    Impl* impl_;
};
