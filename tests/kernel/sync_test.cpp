// Events, waits, IRQL, spin locks, Interlocked operations, work items, DPCs, timers and time.
#include <chrono>

#include "fixture.h"

namespace {

using kt::KernelTest;

LARGE_INTEGER Relative(LONGLONG units) {
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

TEST_F(KernelTest, AWaitOfNineHundredSecondsTimesOutInVirtualTime) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(900 * sched::kSecond);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(sched::Now(), 900 * sched::kSecond);
    EXPECT_LT(wall, 0.5);
    std::printf("KeWaitForSingleObject of 900 virtual seconds: %.6f s of wall time\n", wall);

    LARGE_INTEGER absolute;  // an absolute time-out is a system time
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 3 * sched::kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(sched::Now(), 903 * sched::kSecond);
}

TEST_F(KernelTest, EventsReportTheirPreviousStateAndSynchronizationEventsReset) {
    KEVENT n, s;
    KeInitializeEvent(&n, NotificationEvent, FALSE);
    KeInitializeEvent(&s, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeSetEvent(&n, 1, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&n, 1, FALSE), 1);
    EXPECT_EQ(KeReadStateEvent(&n), 1);
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&n), 1) << "a notification event stays set";
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&s), 0) << "a synchronization event resets as it releases";
    EXPECT_EQ(KeResetEvent(&n), 1);
    EXPECT_EQ(KeReadStateEvent(&n), 0);

    PVOID both[] = {&n, &s};
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_TIMEOUT);
    KeSetEvent(&s, 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0 + 1);
}

TEST_F(KernelTest, WaitsAtDispatchLevelAreFaultsButPollsAreNot) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero);
    EXPECT_TRUE(kernel::Faults().empty());
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(kernel::TakeFaults("KeWaitForSingleObject at IRQL 2"), 1);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeLowerIrql(old);
    KeLowerIrql(APC_LEVEL);
    EXPECT_EQ(kernel::TakeFaults("KeLowerIrql to 1, above the current IRQL 0"), 1);
    KeLowerIrql(PASSIVE_LEVEL);
}

// Two threads each add to a counter through a read, a scheduling point and a write, many times,
// under the Random policy; `locked` says whether a spin lock guards the update.
int RaceCounter(std::uint64_t seed, bool locked) {
    sched::Options options;
    options.policy = sched::Policy::Random;
    options.seed = seed;
    sched::Scheduler s(options);
    kernel::Boot();
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    int counter = 0;
    auto body = [&] {
        for (int i = 0; i < 20; ++i) {
            KIRQL old = PASSIVE_LEVEL;
            if (locked) KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(KeGetCurrentIrql(), locked ? DISPATCH_LEVEL : PASSIVE_LEVEL);
            int seen = counter;
            sched::Yield();
            counter = seen + 1;
            if (locked) KeReleaseSpinLock(&lock, old);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
    };
    sched::Thread* a = sched::Start("a", body);
    sched::Thread* b = sched::Start("b", body);
    sched::Join(a);
    sched::Join(b);
    kernel::ShutdownReport report = kernel::Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
    return counter;
}

TEST(KernelSpinLock, GuardsAnUpdateThatTheSweepOtherwiseBreaks) {
    bool lost_unlocked = false;
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        EXPECT_EQ(RaceCounter(seed, true), 40) << "seed " << seed;
        if (RaceCounter(seed, false) != 40) lost_unlocked = true;
    }
    EXPECT_TRUE(lost_unlocked) << "without the lock some schedule loses an update";
}

TEST_F(KernelTest, ReleasingASpinLockThatIsNotHeldIsAFault) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
    EXPECT_EQ(kernel::TakeFaults("released by a thread that does not hold it"), 1);
}

class RandomKernelTest : public KernelTest {
protected:
    sched::Options SchedOptions() override {
        sched::Options o;
        o.policy = sched::Policy::Random;
        o.seed = 99;
        o.record_trace = true;
        return o;
    }
};

TEST_F(RandomKernelTest, InterlockedOperationsAreAtomicSchedulingPoints) {
    LONG count = 0;
    LONG high_water = 0;
    auto body = [&] {
        for (int i = 0; i < 50; ++i) {
            LONG now = InterlockedIncrement(&count);
            if (now > high_water) high_water = now;
            InterlockedDecrement(&count);
            InterlockedExchangeAdd(&count, 2);
            InterlockedExchangeAdd(&count, -2);
        }
    };
    std::uint64_t before = scheduler_->Switches();
    sched::Thread* a = sched::Start("a", body);
    sched::Thread* b = sched::Start("b", body);
    sched::Join(a);
    sched::Join(b);
    EXPECT_EQ(count, 0);
    EXPECT_GE(high_water, 2) << "the two threads interleaved between their operations";
    EXPECT_GT(scheduler_->Switches() - before, 20u);
    LONG target = 5;
    EXPECT_EQ(InterlockedCompareExchange(&target, 9, 4), 5);
    EXPECT_EQ(target, 5);
    EXPECT_EQ(InterlockedCompareExchange(&target, 9, 5), 5);
    EXPECT_EQ(target, 9);
    EXPECT_EQ(InterlockedExchange(&target, 1), 9);
}

struct WorkRecord {
    sched::Thread* thread = nullptr;
    KIRQL irql = 0xFF;
    KEVENT done;
    PDEVICE_OBJECT device_seen = nullptr;
};

VOID NTAPI RecordWork(PVOID context) {
    auto* r = static_cast<WorkRecord*>(context);
    r->thread = sched::Current();
    r->irql = KeGetCurrentIrql();
    KeSetEvent(&r->done, 0, FALSE);
}

TEST_F(KernelTest, WorkItemsRunOnASystemWorkerAtPassiveLevel) {
    WorkRecord r;
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, RecordWork, &r);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    EXPECT_EQ(kernel::TakeFaults("queued again before it ran"), 1);
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_NE(r.thread, sched::Current());
    EXPECT_STREQ(sched::ThreadName(r.thread), "delayed worker");
    EXPECT_EQ(r.irql, PASSIVE_LEVEL);
}

VOID NTAPI ReturnRaised(PVOID context) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
}

TEST_F(KernelTest, AWorkItemThatReturnsAtRaisedIrqlIsAFault) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, ReturnRaised, &done);
    ExQueueWorkItem(&item, CriticalWorkQueue);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    sched::Sleep(1);  // let the worker finish
    EXPECT_EQ(kernel::TakeFaults("returned at IRQL 2"), 1);
}

VOID NTAPI RecordDeviceWork(PDEVICE_OBJECT device, PVOID context) {
    auto* r = static_cast<WorkRecord*>(context);
    r->device_seen = device;
    r->irql = KeGetCurrentIrql();
    KeSetEvent(&r->done, 0, FALSE);
}

TEST_F(KernelTest, AnIoWorkItemKeepsItsDeviceUntilItHasRun) {
    PDEVICE_OBJECT device = MakeDevice("owner", [](PDEVICE_OBJECT, PIRP irp) { return kt::Complete(irp, STATUS_SUCCESS); });
    WorkRecord r;
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    IoQueueWorkItem(item, RecordDeviceWork, DelayedWorkQueue, &r);
    IoDeleteDevice(device);  // before the item runs: the device must stay until it has
    Forget(device);
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(r.device_seen, device);
    EXPECT_EQ(r.irql, PASSIVE_LEVEL);
    sched::Sleep(1);
    IoFreeWorkItem(item);
}

struct DpcRecord {
    std::vector<sched::Time> times;
    KIRQL irql = 0xFF;
};

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* r = static_cast<DpcRecord*>(context);
    r->times.push_back(sched::Now());
    r->irql = KeGetCurrentIrql();
}

TEST_F(KernelTest, TimersSignalAndQueueTheirDpcAtTheDueTime) {
    DpcRecord r;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, &r);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(4000 * sched::kMicrosecond), &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(2000 * sched::kMicrosecond), &dpc)) << "re-arming replaces";
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sched::Now(), 2000 * sched::kMicrosecond);
    sched::Sleep(10 * sched::kMillisecond);
    EXPECT_EQ(r.times, (std::vector<sched::Time>{2000 * sched::kMicrosecond}));
    EXPECT_EQ(r.irql, DISPATCH_LEVEL);

    LARGE_INTEGER start = Relative(sched::kMillisecond);
    KeSetTimerEx(&timer, start, 5, &dpc);  // then every 5 ms
    sched::Sleep(12 * sched::kMillisecond);
    EXPECT_TRUE(KeCancelTimer(&timer));
    sched::Sleep(20 * sched::kMillisecond);
    sched::Time base = 12 * sched::kMillisecond;
    EXPECT_EQ(r.times, (std::vector<sched::Time>{2000 * sched::kMicrosecond, base + sched::kMillisecond,
                                                 base + 6 * sched::kMillisecond, base + 11 * sched::kMillisecond}));
}

TEST_F(KernelTest, TimeAndTicksFollowTheVirtualClock) {
    LARGE_INTEGER t0, ticks;
    KeQuerySystemTime(&t0);
    EXPECT_EQ(t0.QuadPart, kernel::kSimEpoch);
    KeStallExecutionProcessor(200);
    EXPECT_EQ(sched::Now(), 2000);
    LARGE_INTEGER delay = Relative(1 * sched::kSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, (sched::kSecond + 2000) / KeQueryTimeIncrement());
    EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(sched::kSecond + 2000));
    EXPECT_NE(PsGetCurrentThread(), nullptr);
}

}  // namespace
