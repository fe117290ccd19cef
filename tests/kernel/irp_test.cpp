// The I/O manager's IRP semantics that the drivers depend on.
#include <cstdio>

#include "fixture.h"

namespace {

using kt::Complete;
using kt::KernelTest;

// Completes an IRP later, from a DPC (DISPATCH_LEVEL), as a host controller would.
struct LaterCompletion {
    KTIMER timer;
    KDPC dpc;
    PIRP irp = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    bool use_cancel_routine = false;
    int completions = 0;

    // With a cancel routine the IRP is handed over under the cancel spin lock: whoever takes it from
    // `irp` first (this DPC, or the cancel routine) completes it.
    static VOID NTAPI Fire(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<LaterCompletion*>(context);
        if (self->use_cancel_routine) {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            PIRP irp = self->irp;
            self->irp = nullptr;
            bool mine = irp && IoSetCancelRoutine(irp, nullptr) != nullptr;
            IoReleaseCancelSpinLock(irql);
            if (!mine) return;
            self->completions += 1;
            Complete(irp, self->status);
            return;
        }
        self->completions += 1;
        Complete(self->irp, self->status);
    }

    void Disarm() {
        KeCancelTimer(&timer);
        KeRemoveQueueDpc(&dpc);
    }

    void Arm(PIRP target, LONGLONG delay) {
        irp = target;
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Fire, this);
        LARGE_INTEGER due;
        due.QuadPart = -delay;
        KeSetTimer(&timer, due, &dpc);
    }
};

struct Log {
    std::vector<std::string> lines;
    void Add(const std::string& s) { lines.push_back(s); }
};

struct RoutineContext {
    Log* log;
    const char* name;
    NTSTATUS result;
    KIRQL irql_seen;
};

NTSTATUS NTAPI LoggingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* c = static_cast<RoutineContext*>(context);
    c->irql_seen = KeGetCurrentIrql();
    c->log->Add(std::string(c->name) + " sees " + kt::Label(device) + (irp->PendingReturned ? " pending" : ""));
    if (irp->PendingReturned && c->result != STATUS_MORE_PROCESSING_REQUIRED) IoMarkIrpPending(irp);
    return c->result;
}

NTSTATUS NTAPI FreeAtTop(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<NTSTATUS*>(context) = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A pass-through layer that watches completion with a routine of its own.
kt::Dispatch PassDown(PDEVICE_OBJECT* lower, RoutineContext* context) {
    return [lower, context](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LoggingCompletion, context, TRUE, TRUE, TRUE);
        return IoCallDriver(*lower, irp);
    };
}

TEST_F(KernelTest, CompletionRunsFromTheBottomUpWithEachSettersDevice) {
    Log log;
    PDEVICE_OBJECT bottom = MakeDevice("bottom", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 7); });
    RoutineContext middle_ctx{&log, "middle's routine", STATUS_SUCCESS, 0};
    PDEVICE_OBJECT below_middle = bottom;
    PDEVICE_OBJECT middle = MakeDevice("middle", PassDown(&below_middle, &middle_ctx), "", bottom);
    RoutineContext top_ctx{&log, "top's routine", STATUS_SUCCESS, 0};
    PDEVICE_OBJECT below_top = middle;
    PDEVICE_OBJECT top = MakeDevice("top", PassDown(&below_top, &top_ctx), "", middle);
    ASSERT_EQ(top->StackSize, 3);

    NTSTATUS final_status = -1;
    PIRP irp = IoAllocateIrp(top->StackSize + 1, FALSE);
    IoSetNextIrpStackLocation(irp);  // the sender's own location
    IoSetCompletionRoutine(irp, FreeAtTop, &final_status, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"middle's routine sees middle", "top's routine sees top"}));
    EXPECT_EQ(final_status, STATUS_SUCCESS);
    EXPECT_EQ(kernel::LiveIrps(), 0u);
}

TEST_F(KernelTest, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain) {
    Log log;
    PDEVICE_OBJECT bottom = MakeDevice("bottom", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_UNSUCCESSFUL); });
    RoutineContext hold{&log, "middle's routine", STATUS_MORE_PROCESSING_REQUIRED, 0};
    PDEVICE_OBJECT below_middle = bottom;
    PDEVICE_OBJECT middle = MakeDevice("middle", PassDown(&below_middle, &hold), "", bottom);
    RoutineContext top_ctx{&log, "top's routine", STATUS_SUCCESS, 0};
    PDEVICE_OBJECT below_top = middle;
    PDEVICE_OBJECT top = MakeDevice("top", PassDown(&below_top, &top_ctx), "", middle);

    NTSTATUS final_status = -1;
    PIRP irp = IoAllocateIrp(top->StackSize + 1, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, FreeAtTop, &final_status, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"middle's routine sees middle"}));
    EXPECT_EQ(final_status, -1) << "the walk stopped at the middle layer";
    // The middle layer owns the IRP again and finishes it.
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(log.lines.back(), "top's routine sees top");
    EXPECT_EQ(final_status, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(KernelTest, PendingIrpCompletesLaterAtDispatchLevelAndPendingIsPropagated) {
    LaterCompletion later;
    PDEVICE_OBJECT bottom = MakeDevice("bottom", [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        later.Arm(irp, 5 * sched::kMillisecond);
        return STATUS_PENDING;
    });
    Log log;
    RoutineContext top_ctx{&log, "top's routine", STATUS_SUCCESS, 0};
    PDEVICE_OBJECT below_top = bottom;
    PDEVICE_OBJECT top = MakeDevice("top", PassDown(&below_top, &top_ctx), "", bottom);

    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, top, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(sched::Now(), 5 * sched::kMillisecond);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"top's routine sees top pending"}));
    EXPECT_EQ(top_ctx.irql_seen, DISPATCH_LEVEL);
    EXPECT_EQ(later.completions, 1);
    EXPECT_EQ(kernel::LiveIrps(), 0u) << "the I/O manager freed the request it built";
}

TEST_F(KernelTest, ReturningPendingWithoutMarkingIsReported) {
    LaterCompletion later;
    PDEVICE_OBJECT device = MakeDevice("sloppy", [&](PDEVICE_OBJECT, PIRP irp) {
        later.Arm(irp, 1000);
        return STATUS_PENDING;
    });
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(kernel::TakeFaults("without marking IRP"), 1);
}

// The usual shape of a driver that parks an IRP with a cancel routine.
LaterCompletion* g_parked_with = nullptr;

VOID NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp) {
    if (g_parked_with && g_parked_with->irp == irp) g_parked_with->irp = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

TEST_F(KernelTest, CancelOfAPendingIrpRunsItsCancelRoutine) {
    PDEVICE_OBJECT device = MakeDevice("parker", [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelParked);
        return STATUS_PENDING;
    });
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_FALSE(KeReadStateEvent(&done));
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_TRUE(KeReadStateEvent(&done));
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KernelTest, CancelWithoutACancelRoutineOnlyMarksTheIrp) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
}

// Cancel races completion: the device completes from a DPC at 1 ms while a thread cancels at 1 ms.
// Whatever the interleaving, the IRP completes exactly once and nothing is reported.
NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class CancelRace : public KernelTest {
public:
    explicit CancelRace(std::uint64_t seed) : seed_(seed) {}
    void TestBody() override {}
    sched::Options SchedOptions() override { return kt::RandomOrder(seed_); }

    // Runs one race; returns the IRP's final status.
    NTSTATUS Run() {
        SetUp();
        LaterCompletion later;
        later.use_cancel_routine = true;
        g_parked_with = &later;
        PDEVICE_OBJECT device = MakeDevice("racer", [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelParked);
            later.Arm(irp, sched::kMillisecond);
            return STATUS_PENDING;
        });
        // The sender owns the IRP until its completion routine has run, so the cancel can never reach
        // a freed IRP: the pattern every canceller of this system follows.
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoSetNextIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
        bool cancel_result = false;
        sched::Thread* canceller = sched::Start("canceller", [&] {
            sched::Sleep(sched::kMillisecond);
            cancel_result = IoCancelIrp(irp);
        });
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        sched::Join(canceller);
        NTSTATUS status = irp->IoStatus.Status;
        EXPECT_TRUE(irp->Cancel);
        IoFreeIrp(irp);
        later.Disarm();
        g_parked_with = nullptr;
        if (status == STATUS_CANCELLED) {
            EXPECT_TRUE(cancel_result);
            EXPECT_EQ(later.completions, 0);
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_FALSE(cancel_result) << "the device had taken the cancel routine back";
            EXPECT_EQ(later.completions, 1);
        }
        TearDown();
        return status;
    }

private:
    std::uint64_t seed_;
};

TEST(KernelCancelRace, EveryInterleavingCompletesTheIrpExactlyOnce) {
    int cancelled = 0, completed = 0;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        CancelRace race(seed);
        NTSTATUS status = race.Run();
        (status == STATUS_CANCELLED ? cancelled : completed) += 1;
        if (HasFailure()) FAIL() << "seed " << seed;
    }
    EXPECT_GT(cancelled, 0) << "some schedules cancel first";
    EXPECT_GT(completed, 0) << "some schedules complete first";
}

TEST_F(KernelTest, FreedTwiceUsedAfterFreeAndNeverFreedIrpsAreReported) {
    PDEVICE_OBJECT device = MakeDevice("any", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_EQ(kernel::TakeFaults("IoFreeIrp of IRP"), 1);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kernel::TakeFaults("IoCallDriver on IRP"), 1);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(kernel::TakeFaults("after it was freed"), 1);

    IoAllocateIrp(2, FALSE);  // never freed
    int line = __LINE__ - 1;
    IoDeleteDevice(device);
    Forget(device);
    kernel::UnloadDriver(driver_);
    kernel::ShutdownReport report = kernel::Shutdown();
    ASSERT_EQ(report.leaks.size(), 1u) << report.Text();
    EXPECT_NE(report.leaks[0].find("irp_test.cpp:" + std::to_string(line) + " never freed"), std::string::npos)
        << report.leaks[0];
    EXPECT_TRUE(report.faults.empty()) << report.Text();
}

TEST_F(KernelTest, DriverAllocatedIrpMustNotBeCompletedPastItsTop) {
    PDEVICE_OBJECT device = MakeDevice("any", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoCallDriver(device, irp);
    EXPECT_EQ(kernel::TakeFaults("completed past its top"), 1);
    IoFreeIrp(irp);
}

TEST_F(KernelTest, CompletingTwiceIsReported) {
    PIRP second_time = nullptr;
    NTSTATUS seen = -1;
    PDEVICE_OBJECT device = MakeDevice("twice", [&](PDEVICE_OBJECT, PIRP irp) {
        second_time = irp;
        return Complete(irp, STATUS_SUCCESS);
    });
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID c) -> NTSTATUS {
        *static_cast<NTSTATUS*>(c) = STATUS_SUCCESS;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, &seen, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    ASSERT_EQ(seen, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);  // back at the top: nothing left to complete
    IoCompleteRequest(second_time, IO_NO_INCREMENT);
    EXPECT_EQ(kernel::TakeFaults("completed twice"), 1);
    IoFreeIrp(irp);
}

TEST_F(KernelTest, BufferedDeviceControlCopiesInputAndOutputThroughTheSystemBuffer) {
    PDEVICE_OBJECT device = MakeDevice("echo", [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, 0x220000u);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 3u);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(std::string(buffer, 3), "abc");
        std::memcpy(buffer, "ABCDEFGH", 8);
        return Complete(irp, STATUS_SUCCESS, 5);
    });
    char out[8] = {};
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220000, device, const_cast<char*>("abc"), 3, out, 8, FALSE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateEvent(&done));
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(std::string(out, 8), std::string("ABCDE\0\0\0", 8)) << "only Information bytes come back";
    EXPECT_EQ(kernel::LiveIrps(), 0u);
}

TEST_F(KernelTest, ArgumentsOverlayTheDeviceControlParameters) {
    int urb = 0;
    PDEVICE_OBJECT device = MakeDevice("usb", [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, 0x220003u);
        EXPECT_EQ(stack->Parameters.Others.Argument1, &urb);
        EXPECT_EQ(stack->Parameters.Others.Argument2, nullptr);
        return Complete(irp, STATUS_SUCCESS);
    });
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = &urb;
    next->Parameters.Others.Argument2 = nullptr;
    next->Parameters.DeviceIoControl.IoControlCode = 0x220003;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
}

}  // namespace
