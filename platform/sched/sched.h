// Threads and time for the whole emulated PC.
//
// Everything that blocks, sleeps, reads a clock or starts a thread goes through here. One interface,
// two modes:
//
//  - Sim: emulated threads run one at a time, handing a baton to each other. Every call below is a
//    scheduling point. When no thread can run, the virtual clock jumps to the earliest deadline (a
//    wait's time-out, a sleep, a stall or a timer). A run is a function of its seed: the Fifo policy
//    lets the running thread go on until it blocks; the Random policy picks among the runnable
//    threads at every scheduling point with the seeded generator, so tests can sweep interleavings.
//    When every thread waits and no deadline is left, the run stops with a report of each thread.
//  - Real: threads run freely; the clock is the steady clock.
//
// Waitable objects and timers are plain records placed in memory the caller owns and are trivially
// destructible, like the platform's dispatcher objects: they can live inside a device extension that
// is freed without running a destructor.
//
// Threads not started here ("foreign" threads, such as an outside program's thread calling into the
// library):
//  - Real mode: any thread may call in at any time. Its record is made on its first call and dropped
//    when the thread ends.
//  - Sim mode: a foreign thread must attach with a ForeignThread guard, which enrols it as an emulated
//    thread: it waits for its turn like any other and leaves the schedule when the guard ends. A call
//    from a thread that is not attached is a programming error and stops the process with a message.
//    The host announces an arriving foreign thread with ExpectForeign(), so that a schedule in which
//    every thread waits for that thread is not mistaken for a deadlock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>

#include "sched/objects.h"

namespace sched {

// Time is kept in 100-nanosecond units, like the platform's own.
inline constexpr Time kMicrosecond = 10;
inline constexpr Time kMillisecond = 10'000;
inline constexpr Time kSecond = 10'000'000;
inline constexpr Time kForever = INT64_MAX;

enum class Mode : std::uint8_t { Sim, Real };
enum class Policy : std::uint8_t { Fifo, Random };

struct Options {
    Mode mode = Mode::Sim;
    Policy policy = Policy::Fifo;
    std::uint64_t seed = 1;
    // Sim only: virtual time may run ahead of wall time by at most this factor (0: as fast as it goes).
    double pace = 0;
    // Sim only: record every scheduling decision (see Scheduler::Trace).
    bool record_trace = false;
    // Sim only: called with the report when every thread waits and no deadline is left. The default
    // prints the report and aborts; a handler that returns also ends the process.
    std::function<void(const std::string& report)> on_deadlock;
};

// The scheduler of this process. Constructing one makes it current and enrols the calling thread as
// its first thread ("main"); destroying it waits until every other thread has ended. One at a time.
class Scheduler {
public:
    explicit Scheduler(Options options = {});
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // The recorded scheduling decisions, one per line (record_trace). Same seed, same bytes.
    std::string Trace() const;
    // How many times the baton passed from one thread to another.
    std::uint64_t Switches() const;
};

// ---- clock --------------------------------------------------------------------------------------
Time Now();                   // since the scheduler started
std::uint32_t TickCountMs();  // milliseconds since the scheduler started, wrapping like the platform's
Mode CurrentMode();

// ---- threads ------------------------------------------------------------------------------------
// Starts a thread. A daemon thread (a system worker, the timer thread) does not keep a sim run from
// being a deadlock. The caller owns one reference: Join or Release it.
Thread* Start(const char* name, std::function<void()> body, bool daemon = false);
void Join(Thread* thread);     // waits for the end, then releases
void Release(Thread* thread);  // drops the reference; the record goes once the thread has ended
Thread* Current();
std::uint32_t ThreadId(const Thread* thread);
const char* ThreadName(const Thread* thread);
Object* ThreadObject(Thread* thread);  // signalled when the thread ends

// ---- waitable objects ---------------------------------------------------------------------------
void InitEvent(Object* event, bool notification, bool signalled);
bool SetEvent(Object* event);    // previous state
bool ResetEvent(Object* event);  // previous state
bool IsSignalled(const Object* object);
void InitSemaphore(Object* semaphore, std::int32_t count, std::int32_t limit);
// Adds `count`; false (and nothing changes) when that would pass the limit.
bool ReleaseSemaphore(Object* semaphore, std::int32_t count, std::int32_t* previous);
void InitMutex(Object* mutex);
bool ReleaseMutex(Object* mutex);  // false when the caller does not own it

inline constexpr int kTimedOut = -1;
inline constexpr int kMaxWaitObjects = 64;
// Waits until one object (all == false; the result is its index) or every object (all == true; the
// result is 0) is signalled, or until the clock reaches `deadline` (kTimedOut). Acquiring a
// synchronization event resets it, a semaphore counts down, a mutex becomes owned. `reason` shows in
// the deadlock report.
int Wait(Object* const* objects, int count, bool all, Time deadline, const char* reason);
inline int WaitOne(Object* object, Time deadline, const char* reason) {
    return Wait(&object, 1, false, deadline, reason);
}
Time DeadlineAfter(Time duration);  // Now() + duration, kForever on overflow or for kForever

void Sleep(Time duration);
// Busy-waits. In sim mode the thread is occupied for `duration` of virtual time.
void Stall(Time duration);
// A scheduling point and nothing else (the kernel's Interlocked operations and spin locks use it).
void Yield();

// ---- timers -------------------------------------------------------------------------------------
void SetTimer(Timer* timer, Time due, void (*callback)(void*), void* context);
bool CancelTimer(Timer* timer);  // true when it was armed

// ---- foreign threads (see above) ----------------------------------------------------------------
void ExpectForeign();
class ForeignThread {
public:
    explicit ForeignThread(const char* name);
    ~ForeignThread();
    ForeignThread(const ForeignThread&) = delete;
    ForeignThread& operator=(const ForeignThread&) = delete;
};

// A report of every thread and what it waits on.
std::string Describe();

}  // namespace sched
