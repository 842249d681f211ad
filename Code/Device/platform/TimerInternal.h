// Timers on an event of the caller's own (a paced thread that must not share its marks
// with another thread makes its own event and timer). Each platform's timer file
// supplies these; CreateNewTimer/DeleteTimer are the same on the process-wide events.
#pragma once

#include "Event.h"
#include "Platform.h"

TIMER_HANDLE CreateTimerForEvent(unsigned int periodMs, CPosixEvent* event);
void DeleteTimerForEvent(TIMER_HANDLE& timer);
