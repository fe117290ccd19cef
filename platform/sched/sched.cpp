#include "sched/sched.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace sched {

struct WaitBlock {
    Thread* thread;
    Object* object;
    WaitBlock* next;
    WaitBlock* prev;
};

namespace {

enum class State : std::uint8_t { Runnable, Running, Blocked, Finished };

const char* StateName(State s) {
    switch (s) {
    case State::Runnable: return "runnable";
    case State::Running: return "running";
    case State::Blocked: return "waiting";
    case State::Finished: return "ended";
    }
    return "?";
}

}  // namespace

struct Thread {
    std::uint32_t id = 0;
    std::string name;
    bool daemon = false;
    bool foreign = false;
    bool owns_os_thread = false;
    State state = State::Runnable;
    std::condition_variable cv;
    bool baton = false;  // sim: this thread may run
    bool woken = false;  // real: the wait has ended
    WaitBlock blocks[kMaxWaitObjects]{};
    int wait_count = 0;
    bool wait_all = false;
    Time deadline = kForever;
    const char* reason = nullptr;
    int result = 0;
    Object exit{};
    std::function<void()> body;
    int refs = 0;
};

namespace {

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

struct Impl {
    Options opt;
    std::uint64_t generation = 0;
    std::mutex m;
    Clock::time_point wall_start;
    Time now = 0;  // sim clock
    Thread* current = nullptr;
    std::vector<Thread*> runnable;  // sim, in the order they became runnable
    std::vector<Thread*> threads;   // every record, in id order
    std::uint32_t next_id = 1;
    std::uint64_t rng = 0;
    std::string trace;
    std::uint64_t switches = 0;
    Timer* timers = nullptr;  // armed timers by (due, sequence)
    std::uint64_t timer_sequence = 0;
    Object timer_changed{};
    bool stopping = false;
    Thread* main = nullptr;
    Thread* timer_thread = nullptr;
    int os_threads = 0;
    std::condition_variable os_cv;
    int foreign_expected = 0;
    std::condition_variable foreign_cv;
};

Impl* g = nullptr;
std::uint64_t g_generations = 0;
thread_local Thread* tls_self = nullptr;
thread_local std::uint64_t tls_generation = 0;

[[noreturn]] void Fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("sched: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

Impl& The() {
    if (!g) Fatal("no scheduler: construct a sched::Scheduler first");
    return *g;
}

bool Sim() { return g->opt.mode == Mode::Sim; }

Time NowLocked() {
    if (Sim()) return g->now;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - g->wall_start).count() / 100;
}

Clock::time_point WallAt(Time t) { return g->wall_start + std::chrono::nanoseconds(t) * 100; }

void TraceLine(const char* format, ...) {
    if (!g->opt.record_trace) return;
    char line[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g->trace += line;
    g->trace += '\n';
}

std::uint64_t NextRandom() {  // splitmix64: fixed by the seed on every machine
    std::uint64_t z = (g->rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Thread* NewRecord(const char* name) {
    auto* t = new Thread;
    t->id = g->next_id++;
    t->name = name ? name : "";
    t->exit.kind = ObjectKind::Thread;
    g->threads.push_back(t);
    return t;
}

void Unref(Thread* t) {
    if (--t->refs > 0) return;
    g->threads.erase(std::find(g->threads.begin(), g->threads.end(), t));
    delete t;
}

// A foreign thread in real mode is enrolled on its first call and leaves when it ends.
struct ForeignRecord {
    Thread* thread = nullptr;
    std::uint64_t generation = 0;
    ~ForeignRecord() {
        if (!thread || !g || g->generation != generation) return;
        Lock lk(g->m);
        thread->state = State::Finished;
        thread->exit.state = 1;
        Unref(thread);
    }
};
thread_local ForeignRecord tls_foreign;

Thread* Self() {
    if (tls_self && tls_generation == g->generation) return tls_self;
    if (Sim()) Fatal("a thread that the scheduler does not know called in; attach it with sched::ForeignThread");
    Thread* t = NewRecord("foreign");
    t->foreign = true;
    t->state = State::Running;
    t->refs = 1;
    tls_self = t;
    tls_generation = g->generation;
    tls_foreign.thread = t;
    tls_foreign.generation = g->generation;
    return t;
}

// ---- objects ------------------------------------------------------------------------------------

bool Ready(const Object* o, const Thread* t) {
    if (o->kind == ObjectKind::Mutex) return o->state > 0 || o->owner == t;
    return o->state > 0;
}

void Acquire(Object* o, Thread* t) {
    switch (o->kind) {
    case ObjectKind::SynchronizationEvent: o->state = 0; break;
    case ObjectKind::Semaphore: o->state -= 1; break;
    case ObjectKind::Mutex:
        o->owner = t;
        o->recursion += 1;
        o->state = 0;
        break;
    default: break;
    }
}

void CheckObject(const Object* o) {
    if (!o || o->kind == ObjectKind::None || o->kind > ObjectKind::Thread)
        Fatal("wait on an object that was never initialised (%p)", static_cast<const void*>(o));
}

void Unlink(Thread* t) {
    for (int i = 0; i < t->wait_count; ++i) {
        WaitBlock* b = &t->blocks[i];
        Object* o = b->object;
        (b->prev ? b->prev->next : o->first) = b->next;
        (b->next ? b->next->prev : o->last) = b->prev;
        b->next = b->prev = nullptr;
    }
    t->wait_count = 0;
}

void MakeRunnable(Thread* t) {
    if (Sim()) {
        t->state = State::Runnable;
        g->runnable.push_back(t);
    } else {
        t->state = State::Running;
        t->woken = true;
        t->cv.notify_one();
    }
}

void EndWait(Thread* t, int result) {
    Unlink(t);
    t->result = result;
    t->deadline = kForever;
    MakeRunnable(t);
}

// Takes the objects for a waiting thread if its wait can be satisfied now; returns the wait result
// or kTimedOut when it cannot.
int TryTake(Object* const* objects, int count, bool all, Thread* t) {
    if (all) {
        if (count == 0) return kTimedOut;
        for (int i = 0; i < count; ++i)
            if (!Ready(objects[i], t)) return kTimedOut;
        for (int i = 0; i < count; ++i) Acquire(objects[i], t);
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        if (Ready(objects[i], t)) {
            Acquire(objects[i], t);
            return i;
        }
    }
    return kTimedOut;
}

bool TrySatisfy(Thread* t) {
    Object* objects[kMaxWaitObjects];
    for (int i = 0; i < t->wait_count; ++i) objects[i] = t->blocks[i].object;
    int r = TryTake(objects, t->wait_count, t->wait_all, t);
    if (r == kTimedOut) return false;
    EndWait(t, r);
    return true;
}

// The object became signalled: release waiters in arrival order while it stays signalled.
void Signal(Object* o) {
    bool progress = true;
    while (progress && o->state > 0) {
        progress = false;
        for (WaitBlock* b = o->first; b; b = b->next) {
            if (TrySatisfy(b->thread)) {
                progress = true;
                break;
            }
        }
    }
}

// ---- the baton ----------------------------------------------------------------------------------

Thread* Pick(Thread* self) {
    bool self_can = self->state == State::Running;  // a scheduling point that does not block
    auto& q = g->runnable;
    if (q.empty()) return self_can ? self : nullptr;
    if (g->opt.policy == Policy::Fifo) {
        if (self_can) return self;
        Thread* next = q.front();
        q.erase(q.begin());
        return next;
    }
    std::size_t n = q.size() + (self_can ? 1 : 0);
    std::size_t k = NextRandom() % n;
    if (k == q.size()) return self;
    Thread* next = q[k];
    q.erase(q.begin() + static_cast<std::ptrdiff_t>(k));
    if (self_can) {
        self->state = State::Runnable;
        q.push_back(self);
    }
    return next;
}

void Pace(Time target) {
    if (g->opt.pace <= 0) return;
    auto wall = WallAt(static_cast<Time>(static_cast<double>(target) / g->opt.pace));
    if (wall > Clock::now()) std::this_thread::sleep_until(wall);
}

// No thread can run: move the clock to the earliest deadline and wake whoever waits for it.
bool AdvanceClock() {
    Time earliest = kForever;
    for (Thread* t : g->threads)
        if (t->state == State::Blocked && t->deadline < earliest) earliest = t->deadline;
    if (earliest == kForever) return false;
    Pace(earliest);
    g->now = std::max(g->now, earliest);
    TraceLine("%lld clock", static_cast<long long>(g->now));
    for (Thread* t : g->threads)
        if (t->state == State::Blocked && t->deadline <= g->now) EndWait(t, kTimedOut);
    return true;
}

std::string DescribeLocked() {
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "virtual time %lld (100 ns units)\n", static_cast<long long>(NowLocked()));
    out += line;
    for (const Thread* t : g->threads) {
        std::snprintf(line, sizeof line, "  thread %u %s%s%s: %s", t->id, t->name.c_str(), t->daemon ? " (daemon)" : "",
                      t->foreign ? " (foreign)" : "", StateName(t->state));
        out += line;
        if (t->state == State::Blocked) {
            std::snprintf(line, sizeof line, " in %s", t->reason ? t->reason : "wait");
            out += line;
            for (int i = 0; i < t->wait_count; ++i) {
                std::snprintf(line, sizeof line, "%s object %p", i ? "," : (t->wait_all ? " for all of" : " for"),
                              static_cast<const void*>(t->blocks[i].object));
                out += line;
            }
            if (t->deadline != kForever) {
                std::snprintf(line, sizeof line, " until %lld", static_cast<long long>(t->deadline));
                out += line;
            }
        }
        out += '\n';
    }
    return out;
}

[[noreturn]] void Deadlock(Lock& lk) {
    std::string report = "deadlock: every thread waits and no deadline is left\n" + DescribeLocked();
    auto handler = g->opt.on_deadlock;
    lk.unlock();
    if (handler) {
        handler(report);
    } else {
        std::fputs(report.c_str(), stderr);
    }
    std::abort();
}

// Gives the baton to the next thread (maybe `self` again) and returns once `self` holds it again.
void Switch(Lock& lk, Thread* self) {
    Thread* next = nullptr;
    for (;;) {
        next = Pick(self);
        if (next) break;
        if (AdvanceClock()) continue;
        if (g->foreign_expected > 0) {
            g->foreign_cv.wait(lk);
            continue;
        }
        Deadlock(lk);
    }
    if (next != self) {
        ++g->switches;
        TraceLine("%lld run %u %s", static_cast<long long>(g->now), next->id, next->name.c_str());
        self->baton = false;
        g->current = next;
        next->state = State::Running;
        next->baton = true;
        next->cv.notify_one();
        if (self->state == State::Finished) return;
        self->cv.wait(lk, [self] { return self->baton; });
    }
    self->state = State::Running;
    g->current = self;
}

void Reschedule(Lock& lk, Thread* self) {
    if (Sim()) Switch(lk, self);
}

void Block(Lock& lk, Thread* self) {
    if (Sim()) {
        Switch(lk, self);
        return;
    }
    while (!self->woken) {
        if (self->deadline == kForever) {
            self->cv.wait(lk);
        } else if (self->cv.wait_until(lk, WallAt(self->deadline)) == std::cv_status::timeout && !self->woken) {
            Unlink(self);
            self->result = kTimedOut;
            self->deadline = kForever;
            break;
        }
    }
    self->state = State::Running;
}

void ExitLocked(Lock& lk, Thread* t) {
    t->state = State::Finished;
    t->exit.state = 1;
    TraceLine("%lld exit %u %s", static_cast<long long>(NowLocked()), t->id, t->name.c_str());
    Signal(&t->exit);
    if (Sim()) Switch(lk, t);
}

void Entry(Thread* t) {
    {
        Lock lk(g->m);
        tls_self = t;
        tls_generation = g->generation;
        if (Sim()) t->cv.wait(lk, [t] { return t->baton; });
    }
    t->body();
    t->body = nullptr;
    Lock lk(g->m);
    ExitLocked(lk, t);
    Unref(t);
    tls_self = nullptr;
    g->os_threads -= 1;
    g->os_cv.notify_all();
}

void TimerLoop() {
    for (;;) {
        void (*callback)(void*) = nullptr;
        void* context = nullptr;
        Time due = kForever;
        bool stop;
        {
            Lock lk(g->m);
            Timer* t = g->timers;
            if (t && t->due <= NowLocked()) {
                g->timers = t->next;
                if (t->next) t->next->prev = nullptr;
                t->next = t->prev = nullptr;
                t->armed = false;
                callback = t->callback;
                context = t->context;
            } else if (t) {
                due = t->due;
            }
            stop = g->stopping;
        }
        if (callback) {
            callback(context);
            continue;
        }
        if (stop) return;
        WaitOne(&g->timer_changed, due, "timer queue");
    }
}

void UnlinkTimer(Timer* t) {
    (t->prev ? t->prev->next : g->timers) = t->next;
    if (t->next) t->next->prev = t->prev;
    t->next = t->prev = nullptr;
    t->armed = false;
}

}  // namespace

// ---- Scheduler ----------------------------------------------------------------------------------

Scheduler::Scheduler(Options options) {
    if (g) Fatal("a scheduler already exists; only one runs at a time");
    g = new Impl;
    g->opt = std::move(options);
    g->generation = ++g_generations;
    g->rng = g->opt.seed;
    g->wall_start = Clock::now();
    Thread* main = NewRecord("main");
    main->refs = 1;
    main->state = State::Running;
    main->baton = true;
    g->main = main;
    g->current = main;
    tls_self = main;
    tls_generation = g->generation;
    g->timer_changed.kind = ObjectKind::SynchronizationEvent;
    g->timer_thread = Start("timer", TimerLoop, true);
}

Scheduler::~Scheduler() {
    {
        Lock lk(g->m);
        g->stopping = true;
    }
    SetEvent(&g->timer_changed);
    Join(g->timer_thread);
    // Every other thread must end; one that never does shows in a deadlock report (sim).
    for (;;) {
        Thread* other = nullptr;
        {
            Lock lk(g->m);
            for (Thread* t : g->threads) {
                if (t != g->main && !t->foreign && t->state != State::Finished) {
                    other = t;
                    other->refs += 1;
                    break;
                }
            }
        }
        if (!other) break;
        WaitOne(&other->exit, kForever, "scheduler shutdown");
        Release(other);
    }
    {
        Lock lk(g->m);
        g->os_cv.wait(lk, [] { return g->os_threads == 0; });
    }
    for (Thread* t : g->threads) delete t;
    delete g;
    g = nullptr;
    tls_self = nullptr;
}

std::string Scheduler::Trace() const {
    Lock lk(g->m);
    return g->trace;
}

std::uint64_t Scheduler::Switches() const {
    Lock lk(g->m);
    return g->switches;
}

// ---- clock --------------------------------------------------------------------------------------

Time Now() {
    Lock lk(The().m);
    return NowLocked();
}

std::uint32_t TickCountMs() { return static_cast<std::uint32_t>(Now() / kMillisecond); }

Mode CurrentMode() { return The().opt.mode; }

Time DeadlineAfter(Time duration) {
    if (duration == kForever) return kForever;
    Time now = Now();
    return duration > kForever - now ? kForever : now + duration;
}

// ---- threads ------------------------------------------------------------------------------------

Thread* Start(const char* name, std::function<void()> body, bool daemon) {
    Lock lk(The().m);
    Thread* self = Self();
    Thread* t = NewRecord(name);
    t->daemon = daemon;
    t->body = std::move(body);
    t->refs = 2;  // the caller's handle and the running thread
    t->owns_os_thread = true;
    g->os_threads += 1;
    TraceLine("%lld start %u %s", static_cast<long long>(NowLocked()), t->id, t->name.c_str());
    if (Sim()) {
        t->state = State::Runnable;
        g->runnable.push_back(t);
    } else {
        t->state = State::Running;
    }
    std::thread([t] { Entry(t); }).detach();
    Reschedule(lk, self);
    return t;
}

void Join(Thread* thread) {
    WaitOne(&thread->exit, kForever, "join");
    Release(thread);
}

void Release(Thread* thread) {
    Lock lk(The().m);
    Unref(thread);
}

Thread* Current() {
    Lock lk(The().m);
    return Self();
}

std::uint32_t ThreadId(const Thread* thread) { return thread->id; }
const char* ThreadName(const Thread* thread) { return thread->name.c_str(); }
Object* ThreadObject(Thread* thread) { return &thread->exit; }

// ---- objects ------------------------------------------------------------------------------------

void InitEvent(Object* event, bool notification, bool signalled) {
    *event = Object{};
    event->kind = notification ? ObjectKind::NotificationEvent : ObjectKind::SynchronizationEvent;
    event->state = signalled ? 1 : 0;
}

bool SetEvent(Object* event) {
    Lock lk(The().m);
    Thread* self = Self();
    bool previous = event->state > 0;
    event->state = 1;
    Signal(event);
    Reschedule(lk, self);
    return previous;
}

bool ResetEvent(Object* event) {
    Lock lk(The().m);
    Thread* self = Self();
    bool previous = event->state > 0;
    event->state = 0;
    Reschedule(lk, self);
    return previous;
}

bool IsSignalled(const Object* object) {
    Lock lk(The().m);
    return object->state > 0;
}

void InitSemaphore(Object* semaphore, std::int32_t count, std::int32_t limit) {
    *semaphore = Object{};
    semaphore->kind = ObjectKind::Semaphore;
    semaphore->state = count;
    semaphore->limit = limit;
}

bool ReleaseSemaphore(Object* semaphore, std::int32_t count, std::int32_t* previous) {
    Lock lk(The().m);
    Thread* self = Self();
    if (previous) *previous = semaphore->state;
    if (count <= 0 || semaphore->state > semaphore->limit - count) return false;
    semaphore->state += count;
    Signal(semaphore);
    Reschedule(lk, self);
    return true;
}

void InitMutex(Object* mutex) {
    *mutex = Object{};
    mutex->kind = ObjectKind::Mutex;
    mutex->state = 1;
}

bool ReleaseMutex(Object* mutex) {
    Lock lk(The().m);
    Thread* self = Self();
    if (mutex->owner != self || mutex->recursion == 0) return false;
    if (--mutex->recursion == 0) {
        mutex->owner = nullptr;
        mutex->state = 1;
        Signal(mutex);
    }
    Reschedule(lk, self);
    return true;
}

int Wait(Object* const* objects, int count, bool all, Time deadline, const char* reason) {
    Lock lk(The().m);
    Thread* self = Self();
    if (count < 0 || count > kMaxWaitObjects) Fatal("wait on %d objects (at most %d)", count, kMaxWaitObjects);
    for (int i = 0; i < count; ++i) CheckObject(objects[i]);
    int result = TryTake(objects, count, all, self);
    if (result != kTimedOut || deadline <= NowLocked()) {
        Reschedule(lk, self);
        return result;
    }
    for (int i = 0; i < count; ++i) {
        WaitBlock* b = &self->blocks[i];
        Object* o = objects[i];
        b->thread = self;
        b->object = o;
        b->next = nullptr;
        b->prev = o->last;
        (o->last ? o->last->next : o->first) = b;
        o->last = b;
    }
    self->wait_count = count;
    self->wait_all = all;
    self->deadline = deadline;
    self->reason = reason;
    self->woken = false;
    self->state = State::Blocked;
    Block(lk, self);
    return self->result;
}

void Sleep(Time duration) { Wait(nullptr, 0, false, DeadlineAfter(duration), "sleep"); }

void Stall(Time duration) {
    if (CurrentMode() == Mode::Sim) {
        Wait(nullptr, 0, false, DeadlineAfter(duration), "stall");
        return;
    }
    Time until = DeadlineAfter(duration);
    while (Now() < until) {
    }
}

void Yield() {
    if (The().opt.mode == Mode::Real) return;
    Lock lk(g->m);
    Reschedule(lk, Self());
}

// ---- timers -------------------------------------------------------------------------------------

void SetTimer(Timer* timer, Time due, void (*callback)(void*), void* context) {
    Lock lk(The().m);
    Thread* self = Self();
    if (timer->armed) UnlinkTimer(timer);
    timer->callback = callback;
    timer->context = context;
    timer->due = due;
    timer->sequence = ++g->timer_sequence;
    Timer* prev = nullptr;
    Timer* at = g->timers;
    while (at && (at->due < due || (at->due == due && at->sequence < timer->sequence))) {
        prev = at;
        at = at->next;
    }
    timer->prev = prev;
    timer->next = at;
    (prev ? prev->next : g->timers) = timer;
    if (at) at->prev = timer;
    timer->armed = true;
    if (g->timers == timer) {
        g->timer_changed.state = 1;
        Signal(&g->timer_changed);
    }
    Reschedule(lk, self);
}

bool CancelTimer(Timer* timer) {
    Lock lk(The().m);
    Thread* self = Self();
    bool was = timer->armed;
    if (was) UnlinkTimer(timer);
    Reschedule(lk, self);
    return was;
}

// ---- foreign threads ----------------------------------------------------------------------------

void ExpectForeign() {
    Lock lk(The().m);
    g->foreign_expected += 1;
}

ForeignThread::ForeignThread(const char* name) {
    Lock lk(The().m);
    if (!Sim()) {
        Self();
        return;
    }
    if (tls_self && tls_generation == g->generation) Fatal("thread %s is attached already", tls_self->name.c_str());
    Thread* t = NewRecord(name);
    t->foreign = true;
    t->refs = 1;
    tls_self = t;
    tls_generation = g->generation;
    if (g->foreign_expected > 0) g->foreign_expected -= 1;
    TraceLine("%lld attach %u %s", static_cast<long long>(g->now), t->id, t->name.c_str());
    t->state = State::Runnable;
    g->runnable.push_back(t);
    g->foreign_cv.notify_all();
    t->cv.wait(lk, [t] { return t->baton; });
}

ForeignThread::~ForeignThread() {
    Lock lk(The().m);
    if (!Sim()) return;
    Thread* t = tls_self;
    ExitLocked(lk, t);
    Unref(t);
    tls_self = nullptr;
}

std::string Describe() {
    Lock lk(The().m);
    return DescribeLocked();
}

}  // namespace sched
