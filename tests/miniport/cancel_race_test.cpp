// The watchdog's cancel of the request at the USB driver against that request's own completion, at
// the same instant, in every order the seeds give: the IRP is freed once, and never cancelled after
// it was freed (the kernel reports either as a fault).
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "kernel/fixture.h"
#include "tvscsi.h"

namespace mt {
namespace {

PIRP g_held;      // the request the stand-in USB driver holds; under the cancel spin lock
int g_cancelled;  // how many requests its cancel routine ended

VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    g_held = nullptr;
    ++g_cancelled;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

class CancelRaceTest : public kt::KernelTest {
protected:
    sched::Options SchedOptions() override { return schedule_; }
    void SetUp() override {}

    sched::Options schedule_;
};

TEST_F(CancelRaceTest, TheWatchdogsCancelAndTheCompletionFreeTheIrpOnce) {
    g_cancelled = 0;
    int completed = 0;
    for (std::uint64_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        schedule_ = kt::RandomOrder(seed);
        KernelTest::SetUp();
        PDEVICE_OBJECT usb = MakeDevice("usb", [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, CancelHeld);
            g_held = irp;
            IoReleaseCancelSpinLock(irql);
            return STATUS_PENDING;
        });
        auto adapter = std::make_unique<ADAPTER_EXTENSION>();
        std::memset(adapter.get(), 0, sizeof(ADAPTER_EXTENSION));
        KeInitializeSpinLock(&adapter->IrpLock);

        NTSTATUS sent = STATUS_PENDING;
        sched::Thread* worker = sched::Start("worker", [&] {
            adapter->RequestKind = REQUEST_KIND_PORT_STATUS;
            sent = SendUsbRequest(adapter.get(), usb, nullptr);
        });
        while (g_held == nullptr) sched::Sleep(sched::kMillisecond);

        sched::Thread* stack = sched::Start("usb stack", [&] {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            PIRP irp = std::exchange(g_held, nullptr);
            PDRIVER_CANCEL routine = irp != nullptr ? IoSetCancelRoutine(irp, nullptr) : nullptr;
            IoReleaseCancelSpinLock(irql);
            if (routine == nullptr) return;  // the cancel got there first
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            ++completed;
        });
        sched::Thread* watchdog = sched::Start("watchdog", [&] {
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            CancelCurrentIrp(adapter.get());
            KeLowerIrql(irql);
        });
        sched::Join(stack);
        sched::Join(watchdog);
        sched::Join(worker);

        EXPECT_EQ(sent, STATUS_SUCCESS) << "the worker's wait ended";
        EXPECT_EQ(adapter->CurrentIrp, nullptr);
        EXPECT_EQ(adapter->FreeOwed, nullptr);
        EXPECT_FALSE(adapter->CancelInProgress);
        KernelTest::TearDown();  // no IRP left, no fault
    }
    EXPECT_EQ(g_cancelled + completed, 30);
    EXPECT_GT(g_cancelled, 0) << "some seeds let the cancel win";
    EXPECT_GT(completed, 0) << "some seeds let the completion win";
}

}  // namespace
}  // namespace mt
