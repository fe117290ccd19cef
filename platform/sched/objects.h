// The scheduler's waitable objects and timers as plain records, for headers (such as the kernel's)
// that embed them in records of their own. See sched.h for what they do.
#pragma once

#include <cstdint>
#include <type_traits>

namespace sched {

using Time = std::int64_t;  // 100-nanosecond units

struct Thread;
struct WaitBlock;

enum class ObjectKind : std::uint8_t { None, NotificationEvent, SynchronizationEvent, Semaphore, Mutex, Thread };

// A waitable object. `state` is 1/0 for events and threads, the count for a semaphore, and 1 (free)
// or 0 (owned) for a mutex.
struct Object {
    ObjectKind kind;
    std::uint8_t reserved[3];
    std::int32_t state;
    std::int32_t limit;
    std::uint32_t recursion;
    Thread* owner;
    WaitBlock* first;
    WaitBlock* last;
};
static_assert(std::is_trivially_destructible_v<Object> && std::is_standard_layout_v<Object>);

// A deferred call: `callback(context)` runs on the scheduler's timer thread once the clock reaches
// `due`. Arming an armed timer replaces it.
struct Timer {
    void (*callback)(void* context);
    void* context;
    Time due;
    std::uint64_t sequence;
    Timer* next;
    Timer* prev;
    bool armed;
};
static_assert(std::is_trivially_destructible_v<Timer>);

}  // namespace sched
