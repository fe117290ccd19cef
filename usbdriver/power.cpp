// Power. The function device owns the camera's power policy: it turns system requests into device
// requests of its own, records device states, suspends the camera while no pipe is bound and wakes
// it when one is. The child answers its own power requests and never passes one on.
#include "usbscsi.h"

static BOOLEAN UScsi_IsSleepState(DEVICE_POWER_STATE State) {
    return State == PowerDeviceD1 || State == PowerDeviceD2 || State == PowerDeviceD3;
}

// Every power request is followed by PoStartNextPowerIrp before it goes on.
static NTSTATUS UScsi_PassPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(UScsi_Extension(DeviceObject)->LowerDevice, Irp);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}

/*
 * The wait-wake request waits here, at PASSIVE_LEVEL, until the drivers below complete it: the
 * device woke, the request was cancelled, or the device left.
 */
static NTSTATUS UScsi_WaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    ext->SuspendLevel = ext->Capabilities.DeviceWake;
    if (ext->DevicePower == PowerDeviceD0 || ext->Capabilities.DeviceWake > ext->DevicePower) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
        PoStartNextPowerIrp(Irp);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        UScsi_DecrementIoCount(DeviceObject);
        return STATUS_INVALID_DEVICE_STATE;
    }
    ext->WakeArmed = TRUE;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UScsi_IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    if (PoCallDriver(ext->LowerDevice, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    UScsi_SelfSuspendOrActivate(DeviceObject, FALSE);
    ext->WakeArmed = FALSE;
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}

/*
 * A system state: the device state it calls for is requested first, and the system request is
 * held until that request's completion function passes it on. The reference taken at dispatch stays
 * with the held request.
 */
static NTSTATUS UScsi_SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    DEVICE_POWER_STATE wanted = PowerDeviceD3;
    if (system == PowerSystemWorking)
        wanted = PowerDeviceD0;
    else if (ext->WakeArmed && system > PowerSystemUnspecified && system < PowerSystemMaximum)
        wanted = ext->Capabilities.DeviceState[system];
    if (wanted == ext->DevicePower) return UScsi_PassPowerDown(DeviceObject, Irp);

    ext->PowerChangePending = TRUE;
    ext->HeldSystemPowerIrp = Irp;
    // Marked before the device request goes out: its completion may pass the held request on
    // before PoRequestPowerIrp returns.
    IoMarkIrpPending(Irp);
    POWER_STATE state;
    state.DeviceState = wanted;
    NTSTATUS status =
        PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, state, UScsi_PoRequestCompletion, DeviceObject, NULL);
    if (status != STATUS_PENDING) {
        // No device request: its completion function will never run. The system request goes on
        // with the device left where it was, since a system set-power request may not be failed.
        KdPrint(("UScsi_ProcessPowerIrp: PoRequestPowerIrp failed 0x%08X\n", (unsigned)status));
        ext->HeldSystemPowerIrp = NULL;
        ext->PowerChangePending = FALSE;
        UScsi_PassPowerDown(DeviceObject, Irp);
    }
    return STATUS_PENDING;
}

static NTSTATUS UScsi_DeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    BOOLEAN goingToD0 = UScsi_SetDevicePowerState(DeviceObject, state);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (goingToD0) IoSetCompletionRoutine(Irp, UScsi_PowerIrp_Complete, DeviceObject, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(ext->LowerDevice, Irp);
    ext->PowerChangePending = FALSE;
    if (!goingToD0) UScsi_DecrementIoCount(DeviceObject);
    return status;
}

/*
 * UScsi_ProcessPowerIrp: IRP_MJ_POWER of both device objects. PASSIVE_LEVEL (DO_POWER_PAGABLE).
 */
NTSTATUS UScsi_ProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == CommonScsiPDO) return UScsi_ScsiPowerIrp(DeviceObject, Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UScsi_IncrementIoCount(DeviceObject);
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE) return UScsi_WaitWake(DeviceObject, Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState)
        return UScsi_SystemSetPower(DeviceObject, Irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
        return UScsi_DeviceSetPower(DeviceObject, Irp);
    return UScsi_PassPowerDown(DeviceObject, Irp);
}

/*
 * UScsi_SetDevicePowerState: a state below D0 is recorded before its request goes down; D0 only
 * when its request has completed (UScsi_PowerIrp_Complete). Returns TRUE for D0.
 */
BOOLEAN UScsi_SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    if (State == PowerDeviceD0) {
        // Back at full power without a child: let Plug and Play ask for it.
        if (CommonScsiPDO == NULL) IoInvalidateDeviceRelations(ext->PhysicalDevice, BusRelations);
        return TRUE;
    }
    if (UScsi_IsSleepState(State)) ext->DevicePower = State;
    return FALSE;
}

/*
 * UScsi_PowerIrp_Complete: completion of a device set-power to D0, up to DISPATCH_LEVEL. The device
 * is at D0 whatever the drivers below reported.
 */
NTSTATUS UScsi_PowerIrp_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_OBJECT fdo = static_cast<PDEVICE_OBJECT>(Context);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    UScsi_Extension(fdo)->DevicePower = PowerDeviceD0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    UScsi_DecrementIoCount(fdo);
    return STATUS_SUCCESS;
}

/*
 * UScsi_PoRequestCompletion: the device request made for a held system request has completed; the
 * system request goes on. Up to DISPATCH_LEVEL.
 */
VOID UScsi_PoRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                               PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    PDEVICE_OBJECT fdo = static_cast<PDEVICE_OBJECT>(Context);
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(fdo);
    // Taken before it goes on: once PoStartNextPowerIrp is called, the next system request may
    // arrive and be held in its place.
    PIRP held = ext->HeldSystemPowerIrp;
    ext->HeldSystemPowerIrp = NULL;
    IoCopyCurrentIrpStackLocationToNext(held);
    PoStartNextPowerIrp(held);
    PoCallDriver(ext->LowerDevice, held);
    UScsi_DecrementIoCount(fdo);
}

/*
 * UScsi_SelfSuspendOrActivate: suspends the camera to SuspendLevel after the last pipe is unbound,
 * and brings it back to D0 when a pipe is bound again. PASSIVE_LEVEL.
 */
NTSTATUS UScsi_SelfSuspendOrActivate(PDEVICE_OBJECT DeviceObject, BOOLEAN Suspend) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    if (!UScsi_CanAcceptIoRequests(DeviceObject)) return STATUS_DELETE_PENDING;
    if (ext->HeldSystemPowerIrp != NULL || ext->SelfPowerIrpPending) return STATUS_SUCCESS;
    if (Suspend ? ext->OpenPipeCount != 0 : ext->OpenPipeCount == 0) return STATUS_SUCCESS;
    if (!UScsi_IsSleepState(ext->SuspendLevel)) return STATUS_SUCCESS;
    return UScsi_SelfRequestPowerIrp(DeviceObject, Suspend ? ext->SuspendLevel : PowerDeviceD0);
}

/*
 * UScsi_SelfRequestPowerIrp: a device set-power of the driver's own. A power-up is waited for; a
 * suspend is not. PASSIVE_LEVEL.
 */
NTSTATUS UScsi_SelfRequestPowerIrp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    if (State == ext->DevicePower) return STATUS_SUCCESS;
    BOOLEAN powerUp = State < ext->SuspendLevel;
    UScsi_IncrementIoCount(DeviceObject);
    ext->SelfPowerIrpPending = TRUE;
    // Each power-up waits for its own completion, not for an earlier one's.
    if (powerUp) KeClearEvent(&ext->SelfPowerEvent);
    POWER_STATE state;
    state.DeviceState = State;
    NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, state, UScsi_PoSelfRequestCompletion,
                                        DeviceObject, NULL);
    if (status != STATUS_PENDING) {
        // Refused at once: the completion function will never run to release these.
        KdPrint(("UScsi_SelfRequestPowerIrp: PoRequestPowerIrp failed 0x%08X\n", (unsigned)status));
        ext->SelfPowerIrpPending = FALSE;
        UScsi_DecrementIoCount(DeviceObject);
        return status;
    }
    if (powerUp) KeWaitForSingleObject(&ext->SelfPowerEvent, Executive, KernelMode, FALSE, NULL);
    ext->SelfPowerIrpPending = FALSE;
    return STATUS_SUCCESS;
}

VOID UScsi_PoSelfRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                   PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(IoStatus);
    PDEVICE_OBJECT fdo = static_cast<PDEVICE_OBJECT>(Context);
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(fdo);
    if (PowerState.DeviceState < ext->SuspendLevel) KeSetEvent(&ext->SelfPowerEvent, 1, FALSE);
    UScsi_DecrementIoCount(fdo);
}

/*
 * UScsi_ScsiPowerIrp: the child's answers; it completes every request itself. PASSIVE_LEVEL.
 */
NTSTATUS UScsi_ScsiPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UScsi_IncrementIoCount(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) {
            POWER_STATE state;
            state.DeviceState =
                stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
            PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, state, NULL, NULL, NULL);
        } else if (stack->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(DeviceObject, DevicePowerState, stack->Parameters.Power.State);
            ext->DevicePower = stack->Parameters.Power.State.DeviceState;
        } else {
            status = STATUS_NOT_IMPLEMENTED;
        }
        break;
    case IRP_MN_QUERY_POWER: break;
    default: status = UScsi_ChildOtherPowerAnswer(stack->MinorFunction, Irp->IoStatus.Status); break;
    }
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}
