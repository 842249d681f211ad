// A deadline for code that could deadlock: a hang fails the suite instead of stalling it.
#pragma once

#include <functional>

// Runs fn on a thread of its own; aborts the test program when fn has not returned
// within `seconds` (naming `what`), since a deadlocked thread cannot be ended otherwise.
void RunWithWatchdog(const std::function<void()>& fn, unsigned seconds, const char* what);
