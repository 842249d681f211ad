// Test stand-in: the few dispatch calls the macOS timers make, declared the way the
// timer code calls them, so that code builds and runs on Linux. Test tooling only; the
// macOS build uses the system's own header and library.
#pragma once

#include <cstdint>

struct dispatch_object_s {};
struct dispatch_queue_s : dispatch_object_s {};
struct dispatch_source_s : dispatch_object_s {};
struct dispatch_source_type_s {};

typedef dispatch_object_s* dispatch_object_t;
typedef dispatch_queue_s* dispatch_queue_t;
typedef dispatch_source_s* dispatch_source_t;
typedef const dispatch_source_type_s* dispatch_source_type_t;
typedef uint64_t dispatch_time_t;
typedef void (*dispatch_function_t)(void*);

extern "C" {

extern const dispatch_source_type_s nvs_standin_source_type_timer;
#define DISPATCH_SOURCE_TYPE_TIMER (&nvs_standin_source_type_timer)
#define DISPATCH_QUEUE_PRIORITY_DEFAULT 0
#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)

dispatch_queue_t dispatch_get_global_queue(intptr_t priority, uintptr_t flags);
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle, uintptr_t mask,
                                         dispatch_queue_t queue);
// DISPATCH_TIME_NOW + delta: a point on the monotonic clock.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_source_set_timer(dispatch_source_t source, dispatch_time_t start, uint64_t interval, uint64_t leeway);
void dispatch_set_context(dispatch_object_t object, void* context);
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler);
void dispatch_source_set_cancel_handler_f(dispatch_source_t source, dispatch_function_t handler);
void dispatch_resume(dispatch_object_t object);
void dispatch_source_cancel(dispatch_source_t source);
void dispatch_release(dispatch_object_t object);

}  // extern "C"
