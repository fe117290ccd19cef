// The kernel proper: IRQL, spin locks, Interlocked operations, dispatcher objects and waits, DPCs,
// timers, time and threads, all on the scheduler.
#include <atomic>
#include <chrono>

#include "internal.h"

namespace kernel {
namespace {

thread_local KIRQL tls_irql = PASSIVE_LEVEL;
LONGLONG g_system_time_base = kSimEpoch;

constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms per clock tick
constexpr sched::Time kSpinLimit = 10 * sched::kSecond;

const char* WaitReasonText(KWAIT_REASON reason) {
    switch (reason) {
    case Executive: return "KeWait (Executive)";
    case Suspended: return "KeWait (Suspended)";
    case UserRequest: return "KeWait (UserRequest)";
    case DelayExecution: return "KeWait (DelayExecution)";
    default: return "KeWait";
    }
}

sched::Object* HeaderOf(PVOID object) { return static_cast<sched::Object*>(object); }

// A wait that may block is not allowed at DISPATCH_LEVEL or above.
void CheckWaitIrql(const char* who, const LARGE_INTEGER* timeout) {
    if (tls_irql >= DISPATCH_LEVEL && !(timeout && timeout->QuadPart == 0))
        Fault("%s at IRQL %u: only a zero time-out may be used at DISPATCH_LEVEL", who, tls_irql);
}

ULONG_PTR LockToken() { return reinterpret_cast<ULONG_PTR>(sched::Current()); }

void AcquireLock(PKSPIN_LOCK lock) {
    ULONG_PTR token = LockToken();
    sched::Yield();
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load() == token) {
        Fault("spin lock %p acquired again by the thread that holds it", static_cast<void*>(lock));
        KeBugCheckEx(0x0F, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0);
    }
    sched::Time start = sched::Now();
    ULONG_PTR expected = 0;
    while (!word.compare_exchange_strong(expected, token)) {
        expected = 0;
        // Let the holder run: in sim mode this hands the baton on and moves the clock a little.
        sched::Stall(1);
        if (sched::Now() - start > kSpinLimit) {
            Fault("spin lock %p held for more than 10 s by another thread", static_cast<void*>(lock));
            KeBugCheckEx(0x0F, reinterpret_cast<ULONG_PTR>(lock), 1, 0, 0);
        }
    }
}

void ReleaseLock(PKSPIN_LOCK lock) {
    std::atomic_ref<ULONG_PTR> word(*lock);
    ULONG_PTR token = LockToken();
    ULONG_PTR expected = token;
    if (!word.compare_exchange_strong(expected, 0))
        Fault("spin lock %p released by a thread that does not hold it", static_cast<void*>(lock));
    sched::Yield();
}

NTSTATUS WaitResult(int result) { return result == sched::kTimedOut ? STATUS_TIMEOUT : STATUS_WAIT_0 + result; }

VOID RunDpc(void* context) {
    auto* dpc = static_cast<PKDPC>(context);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    if (tls_irql != DISPATCH_LEVEL) {
        Fault("DPC routine %p returned at IRQL %u", reinterpret_cast<void*>(dpc->DeferredRoutine), tls_irql);
        tls_irql = DISPATCH_LEVEL;
    }
    KeLowerIrql(old);
}

VOID TimerExpired(void* context) {
    auto* timer = static_cast<PKTIMER>(context);
    sched::SetEvent(&timer->Header);
    if (timer->Period > 0)
        sched::SetTimer(&timer->PlatformTimer, timer->PlatformTimer.due + timer->Period * sched::kMillisecond,
                        TimerExpired, timer);
    if (timer->Dpc) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        KeInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.LowPart)),
                         reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now.HighPart)));
    }
}

}  // namespace

namespace detail {

KIRQL& Irql() { return tls_irql; }

LONGLONG SystemTimeBase() { return g_system_time_base; }

void SetSystemTimeBase() {
    if (sched::CurrentMode() == sched::Mode::Sim) {
        g_system_time_base = kSimEpoch;
        return;
    }
    constexpr LONGLONG k1601To1970 = 116444736000000000LL;
    auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count() /
                     100;
    g_system_time_base = k1601To1970 + since1970 - sched::Now();
}

}  // namespace detail

sched::Time DeadlineOf(const LARGE_INTEGER* timeout) {
    if (!timeout) return sched::kForever;
    LONGLONG value = timeout->QuadPart;
    if (value < 0) return sched::DeadlineAfter(-value);
    sched::Time now = sched::Now();
    if (value == 0) return now;
    return std::max(now, value - g_system_time_base);
}

}  // namespace kernel

using namespace kernel;

// ---- IRQL ---------------------------------------------------------------------------------------

KIRQL KeGetCurrentIrql() { return tls_irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (NewIrql < tls_irql) Fault("KeRaiseIrql to %u, below the current IRQL %u", NewIrql, tls_irql);
    *OldIrql = tls_irql;
    tls_irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > tls_irql) Fault("KeLowerIrql to %u, above the current IRQL %u", NewIrql, tls_irql);
    tls_irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ---- spin locks ---------------------------------------------------------------------------------

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    if (tls_irql > DISPATCH_LEVEL) Fault("KeAcquireSpinLock at IRQL %u", tls_irql);
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    AcquireLock(SpinLock);
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ReleaseLock(SpinLock);
    KeLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (tls_irql < DISPATCH_LEVEL) Fault("KeAcquireSpinLockAtDpcLevel at IRQL %u", tls_irql);
    AcquireLock(SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (tls_irql < DISPATCH_LEVEL) Fault("KeReleaseSpinLockFromDpcLevel at IRQL %u", tls_irql);
    ReleaseLock(SpinLock);
}

// ---- Interlocked operations: each one is a scheduling point ---------------------------------------

namespace {
template <typename T>
std::atomic_ref<T> Atomic(T volatile* target) {
    sched::Yield();
    return std::atomic_ref<T>(*const_cast<T*>(target));
}
}  // namespace

LONG InterlockedIncrement(LONG volatile* Addend) { return Atomic(Addend).fetch_add(1) + 1; }
LONG InterlockedDecrement(LONG volatile* Addend) { return Atomic(Addend).fetch_sub(1) - 1; }
LONG InterlockedExchange(LONG volatile* Target, LONG Value) { return Atomic(Target).exchange(Value); }
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) { return Atomic(Addend).fetch_add(Value); }

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    Atomic(Destination).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) { return Atomic(Target).exchange(Value); }

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
    Atomic(Destination).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}

// ---- events, semaphores, mutexes ----------------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    sched::InitEvent(&Event->Header, Type == NotificationEvent, State != FALSE);
}

LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    if (tls_irql > DISPATCH_LEVEL) Fault("KeSetEvent at IRQL %u", tls_irql);
    return sched::SetEvent(&Event->Header) ? 1 : 0;
}

LONG KeResetEvent(PRKEVENT Event) { return sched::ResetEvent(&Event->Header) ? 1 : 0; }
VOID KeClearEvent(PRKEVENT Event) { sched::ResetEvent(&Event->Header); }
LONG KeReadStateEvent(PRKEVENT Event) { return sched::IsSignalled(&Event->Header) ? 1 : 0; }

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    sched::InitSemaphore(&Semaphore->Header, Count, Limit);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, LONG Increment, LONG Adjustment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    std::int32_t previous = 0;
    if (!sched::ReleaseSemaphore(&Semaphore->Header, Adjustment, &previous))
        Fault("KeReleaseSemaphore of %p by %d would pass its limit %d (count %d)", static_cast<void*>(Semaphore),
              Adjustment, Semaphore->Limit, previous);
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) { return Semaphore->Header.state; }

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    (void)Level;
    sched::InitMutex(&Mutex->Header);
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    (void)Wait;
    if (!sched::ReleaseMutex(&Mutex->Header))
        Fault("KeReleaseMutex of %p by a thread that does not own it", static_cast<void*>(Mutex));
    return 0;
}

// ---- waits --------------------------------------------------------------------------------------

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    (void)WaitMode;
    (void)Alertable;
    CheckWaitIrql("KeWaitForSingleObject", Timeout);
    return WaitResult(sched::WaitOne(HeaderOf(Object), DeadlineOf(Timeout), WaitReasonText(WaitReason)));
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PVOID WaitBlockArray) {
    (void)WaitMode;
    (void)Alertable;
    CheckWaitIrql("KeWaitForMultipleObjects", Timeout);
    if (Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)) {
        Fault("KeWaitForMultipleObjects on %u objects without enough wait blocks", Count);
        return STATUS_INVALID_PARAMETER;
    }
    sched::Object* objects[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) objects[i] = HeaderOf(Object[i]);
    int r = sched::Wait(objects, static_cast<int>(Count), WaitType == WaitAll, DeadlineOf(Timeout),
                        WaitReasonText(WaitReason));
    return WaitResult(r);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    CheckWaitIrql("KeDelayExecutionThread", Interval);
    sched::Wait(nullptr, 0, false, DeadlineOf(Interval), "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

// ---- DPCs and timers ----------------------------------------------------------------------------

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    *Dpc = KDPC{};
    Dpc->Type = 0x13;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    if (Dpc->PlatformTimer.armed) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    sched::SetTimer(&Dpc->PlatformTimer, sched::Now(), RunDpc, Dpc);
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) { return sched::CancelTimer(&Dpc->PlatformTimer) ? TRUE : FALSE; }

VOID KeInitializeTimer(PKTIMER Timer) {
    *Timer = KTIMER{};
    sched::InitEvent(&Timer->Header, true, false);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    BOOLEAN was = sched::CancelTimer(&Timer->PlatformTimer) ? TRUE : FALSE;
    sched::ResetEvent(&Timer->Header);
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    sched::Time due = DeadlineOf(&DueTime);
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due + g_system_time_base);
    sched::SetTimer(&Timer->PlatformTimer, due, TimerExpired, Timer);
    return was;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }
BOOLEAN KeCancelTimer(PKTIMER Timer) { return sched::CancelTimer(&Timer->PlatformTimer) ? TRUE : FALSE; }
BOOLEAN KeReadStateTimer(PKTIMER Timer) { return sched::IsSignalled(&Timer->Header) ? TRUE : FALSE; }

// ---- time and threads ---------------------------------------------------------------------------

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) { CurrentCount->QuadPart = sched::Now() / kTimeIncrement; }
ULONG KeQueryTimeIncrement() { return kTimeIncrement; }
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = g_system_time_base + sched::Now(); }
ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(sched::Now()); }
VOID KeStallExecutionProcessor(ULONG MicroSeconds) { sched::Stall(static_cast<sched::Time>(MicroSeconds) * sched::kMicrosecond); }

PKTHREAD KeGetCurrentThread() { return reinterpret_cast<PKTHREAD>(sched::Current()); }
PETHREAD PsGetCurrentThread() { return reinterpret_cast<PETHREAD>(sched::Current()); }
HANDLE PsGetCurrentThreadId() {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(sched::ThreadId(sched::Current())));
}
