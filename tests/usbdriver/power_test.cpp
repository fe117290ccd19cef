// The function driver's power policy on the emulated PC: system states turned into camera states,
// self-suspend between the last close and the next open, wait-wake, and the child's own answers.
#include "fixture.h"
#include "kernel/power.h"

namespace udt {
namespace {

// The pool tag of IRPs, for failing their allocation.
constexpr ULONG kIrpTag = 'I' | 'r' << 8 | 'p' << 16 | ' ' << 24;

class PowerTest : public UsbDriverTest {
protected:
    // A power request of the test's own to the top of `device`'s stack, waited for.
    NTSTATUS SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
        PDEVICE_OBJECT top = IoGetAttachedDevice(device);
        KEVENT done;
        PIRP irp = machine::AllocateOwnIrp(top, &done);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = minor;
        next->Parameters.Power.Type = type;
        if (type == SystemPowerState)
            next->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        else
            next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
        if (PoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return status;
    }

    // Plugs the camera in again with another capability table.
    void Replug(const DEVICE_CAPABILITIES& caps) {
        Unplug();
        host_->SetCapabilities(1, caps);
        Plug();
    }

    DEVICE_POWER_STATE Camera() { return host_->DevicePower(1); }

    void Settle() {
        for (int i = 0; i < 100 && host_->PowerChanging(1); ++i) sched::Sleep(sched::kMillisecond);
    }

    // Opens a pipe and closes it again: the camera suspends itself to SuspendLevel.
    void OpenAndClose() {
        machine::UserFile pipe;
        ASSERT_EQ(pipe.Open(InterfaceLink() + "\\PIPE0"), STATUS_SUCCESS);
        pipe.Close();
        Settle();
    }
};

TEST_F(PowerTest, SystemStatesTakeTheCameraToD3OrWithWaitWakeToTheCapabilityTablesState) {
    DEVICE_CAPABILITIES caps = usb::HostController::DefaultCapabilities(1);
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    Replug(caps);
    EXPECT_EQ(Ext()->SuspendLevel, PowerDeviceD2) << "the last of S1..S3 shallower than D3";
    for (bool armed : {false, true}) {
        SCOPED_TRACE(armed ? "wait-wake armed" : "no wait-wake");
        OpenAndClose();
        ASSERT_EQ(Camera(), PowerDeviceD2);
        if (armed) {
            ASSERT_EQ(kernel::power::ArmWake(pdo_, PowerSystemSleeping3), STATUS_PENDING);
            for (int i = 0; i < 100 && !host_->WaitWakeHeld(1); ++i) sched::Sleep(sched::kMillisecond);
            ASSERT_TRUE(Ext()->WakeArmed);
        }
        ASSERT_EQ(kernel::power::SetSystemState(PowerSystemSleeping1), STATUS_SUCCESS);
        EXPECT_EQ(Ext()->DevicePower, armed ? PowerDeviceD1 : PowerDeviceD3);
        EXPECT_EQ(Camera(), armed ? PowerDeviceD1 : PowerDeviceD3);
        EXPECT_EQ(kernel::power::RecordedSystemState(pdo_), PowerSystemSleeping1) << "the system request went on";
        EXPECT_EQ(Ext()->HeldSystemPowerIrp, nullptr);
        EXPECT_FALSE(Ext()->PowerChangePending);

        ASSERT_EQ(kernel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
        EXPECT_EQ(Camera(), PowerDeviceD0);
        EXPECT_EQ(Ext()->IoCount, armed ? 2 : 1) << "only the armed wait-wake keeps its reference";
        if (armed) {
            // The camera wakes the system: the wait-wake request ends with success.
            EXPECT_TRUE(host_->RemoteWakeup(1));
            for (int i = 0; i < 100 && !kernel::power::WakeOf(pdo_).done; ++i) sched::Sleep(sched::kMillisecond);
            EXPECT_EQ(kernel::power::WakeOf(pdo_).status, STATUS_SUCCESS);
            EXPECT_FALSE(Ext()->WakeArmed);
            EXPECT_EQ(Ext()->IoCount, 1);
            kernel::power::ForgetWake(pdo_);
        }
    }
}

TEST_F(PowerTest, WorkingWhileAtD0PassesDownAndHoldsNothing) {
    OpenAndClose();
    machine::UserFile pipe;
    ASSERT_EQ(pipe.Open(InterfaceLink() + "\\PIPE0"), STATUS_SUCCESS);  // back at D0
    ASSERT_EQ(Ext()->DevicePower, PowerDeviceD0);
    sched::Time before = sched::Now();
    EXPECT_EQ(SendPower(Fdo(), IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(sched::Now(), before) << "no device request was made";
    EXPECT_EQ(Ext()->HeldSystemPowerIrp, nullptr);
    EXPECT_EQ(kernel::power::RecordedSystemState(pdo_), PowerSystemWorking);
}

TEST_F(PowerTest, TheLastCloseSuspendsWithoutWaitingAndTheNextOpenWaitsForD0) {
    machine::UserFile pipe;
    ASSERT_EQ(pipe.Open(InterfaceLink() + "\\PIPE0"), STATUS_SUCCESS);
    EXPECT_EQ(Camera(), PowerDeviceD0);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);

    pipe.Close();
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD2) << "recorded before the request goes down";
    EXPECT_TRUE(host_->PowerChanging(1)) << "the close did not wait for the suspend";
    EXPECT_FALSE(Ext()->SelfPowerIrpPending);
    Settle();
    EXPECT_EQ(Camera(), PowerDeviceD2);

    sched::Time before = sched::Now();
    ASSERT_EQ(pipe.Open(InterfaceLink() + "\\PIPE1"), STATUS_SUCCESS);
    EXPECT_EQ(Camera(), PowerDeviceD0) << "the open waited for the camera to resume";
    EXPECT_GE(sched::Now() - before, 30 * sched::kMillisecond);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);

    // A second pipe open at D0 changes nothing; closing one of two keeps the camera up.
    machine::UserFile second;
    ASSERT_EQ(second.Open(InterfaceLink() + "\\PIPE0"), STATUS_SUCCESS);
    second.Close();
    Settle();
    EXPECT_EQ(Camera(), PowerDeviceD0);
    EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_F(PowerTest, WithSuspendLevelD0OrUnspecifiedTheCameraNeverSuspendsItself) {
    struct Case {
        DEVICE_POWER_STATE sleeping;
        DEVICE_POWER_STATE level;
    } cases[] = {{PowerDeviceD3, PowerDeviceUnspecified}, {PowerDeviceD0, PowerDeviceD0}};
    for (const Case& c : cases) {
        DEVICE_CAPABILITIES caps = usb::HostController::DefaultCapabilities(1);
        for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) caps.DeviceState[s] = c.sleeping;
        Replug(caps);
        EXPECT_EQ(Ext()->SuspendLevel, c.level);
        OpenAndClose();
        EXPECT_EQ(Camera(), PowerDeviceD0);
        EXPECT_EQ(Ext()->DevicePower, PowerDeviceUnspecified) << "no power request was made";
    }
}

TEST_F(PowerTest, WaitWakeAtD0FailsButTakesTheWakeStateAsSuspendLevel) {
    DEVICE_CAPABILITIES caps = usb::HostController::DefaultCapabilities(1);
    caps.DeviceWake = PowerDeviceD1;
    Replug(caps);
    machine::UserFile pipe;
    ASSERT_EQ(pipe.Open(InterfaceLink() + "\\PIPE0"), STATUS_SUCCESS);
    ASSERT_EQ(kernel::power::ArmWake(pdo_, PowerSystemSleeping3), STATUS_PENDING);
    for (int i = 0; i < 100 && !kernel::power::WakeOf(pdo_).done; ++i) sched::Sleep(sched::kMillisecond);
    EXPECT_EQ(kernel::power::WakeOf(pdo_).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Ext()->SuspendLevel, PowerDeviceD1);
    EXPECT_FALSE(Ext()->WakeArmed);
    kernel::power::ForgetWake(pdo_);
    pipe.Close();  // the next suspend goes to the new level
    Settle();
    EXPECT_EQ(Camera(), PowerDeviceD1);
}

TEST_F(PowerTest, ACloseDuringAHeldSystemRequestLeavesTheCameraToTheSystem) {
    machine::UserFile pipe;
    ASSERT_EQ(pipe.Open(InterfaceLink() + "\\PIPE0"), STATUS_SUCCESS);
    NTSTATUS sleep = -1;
    sched::Thread* system = sched::Start("system", [&] { sleep = kernel::power::SetSystemState(PowerSystemSleeping3); });
    sched::Sleep(sched::kMillisecond);  // the camera takes 3 ms to suspend
    ASSERT_NE(Ext()->HeldSystemPowerIrp, nullptr);
    EXPECT_FALSE(Ext()->PowerChangePending) << "cleared once the device request went down";
    pipe.Close();  // would ask for D2, but the system's D3 is under way
    sched::Join(system);
    EXPECT_EQ(sleep, STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(Camera(), PowerDeviceD3);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD3);
    EXPECT_EQ(Ext()->IoCount, 1);
    ASSERT_EQ(kernel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(PowerTest, AD0RequestEndsWithSuccessWhateverTheStackReported) {
    OpenAndClose();
    host_->Unplug(1);  // the hub can no longer resume the camera
    struct Seen {
        bool called = false;
        NTSTATUS status = -1;
    } seen;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    ASSERT_EQ(PoRequestPowerIrp(
                  pdo_, IRP_MN_SET_POWER, d0,
                  [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
                      auto* s = static_cast<Seen*>(context);
                      s->called = true;
                      s->status = io->Status;
                  },
                  &seen, nullptr),
              STATUS_PENDING);
    EXPECT_TRUE(seen.called);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
    // A suspend is not dressed up: the hub's refusal comes through.
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    seen = {};
    ASSERT_EQ(PoRequestPowerIrp(
                  pdo_, IRP_MN_SET_POWER, d2,
                  [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
                      static_cast<Seen*>(context)->status = io->Status;
                  },
                  &seen, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(seen.status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(PowerTest, ARefusedDeviceRequestReleasesTheHeldSystemRequestAndTheSelfRequest) {
    // Of the IRPs of a transition to S1: the query, the system set-power, then the device request.
    kernel::FailPoolAllocations({kIrpTag, 2, 1});
    EXPECT_EQ(kernel::power::SetSystemState(PowerSystemSleeping1), STATUS_SUCCESS);
    kernel::ClearPoolFailures();
    EXPECT_EQ(kernel::power::RecordedSystemState(pdo_), PowerSystemSleeping1) << "the system request went on";
    EXPECT_EQ(Ext()->HeldSystemPowerIrp, nullptr);
    EXPECT_FALSE(Ext()->PowerChangePending);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceUnspecified) << "the camera stayed where it was";
    EXPECT_EQ(Ext()->IoCount, 1);
    ASSERT_EQ(kernel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);

    kernel::FailPoolAllocations({kIrpTag, 0, 1});
    EXPECT_EQ(UScsi_SelfRequestPowerIrp(Fdo(), PowerDeviceD2), STATUS_INSUFFICIENT_RESOURCES);
    kernel::ClearPoolFailures();
    EXPECT_FALSE(Ext()->SelfPowerIrpPending);
    EXPECT_EQ(Ext()->IoCount, 1);
    OpenAndClose();  // later decisions are not blocked
    EXPECT_EQ(Camera(), PowerDeviceD2);
}

TEST_F(PowerTest, TheChildAnswersItsOwnPowerRequests) {
    ASSERT_NE(CommonScsiPDO, nullptr);
    const LONG references = UScsi_Extension(CommonScsiPDO)->IoCount;
#if defined(TV_FLAVOR_NT)
    const NTSTATUS other = STATUS_NOT_SUPPORTED;  // the status it arrived with
#else
    const NTSTATUS other = STATUS_NOT_IMPLEMENTED;
#endif
    struct Case {
        const char* what;
        UCHAR minor;
        POWER_STATE_TYPE type;
        ULONG state;
        NTSTATUS status;
        DEVICE_POWER_STATE child;  // the child's state afterwards
    } cases[] = {
        {"device D2", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS, PowerDeviceD2},
        {"system S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS, PowerDeviceD3},
        {"system S0", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, STATUS_SUCCESS, PowerDeviceD0},
        {"query", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS, PowerDeviceD0},
        {"wait-wake", IRP_MN_WAIT_WAKE, SystemPowerState, 0, STATUS_NOT_IMPLEMENTED, PowerDeviceD0},
        {"power sequence", IRP_MN_POWER_SEQUENCE, SystemPowerState, 0, STATUS_NOT_IMPLEMENTED, PowerDeviceD0},
        {"unknown minor", 0x07, SystemPowerState, 0, other, PowerDeviceD0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SendPower(CommonScsiPDO, c.minor, c.type, c.state), c.status) << c.what;
        EXPECT_EQ(UScsi_Extension(CommonScsiPDO)->DevicePower, c.child) << c.what;
        EXPECT_EQ(kernel::power::RecordedDeviceState(CommonScsiPDO), c.child) << c.what;
    }
    EXPECT_EQ(Camera(), PowerDeviceD0) << "the child never involves the camera";
    EXPECT_EQ(UScsi_Extension(CommonScsiPDO)->IoCount, references);
}

}  // namespace
}  // namespace udt
