// Plug and Play of the function device, and the creation of the child "USB to SCSI Device". The
// flavors differ in how the child is reported, removed and answered: pnp_nt.cpp, pnp_9x.cpp.
#include "pnp.h"

NTSTATUS UScsi_PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}

PWCHAR UScsi_ChildText(PCSTR Text, ULONG Zeros) {
    SIZE_T length = strlen(Text);
    PWCHAR buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (length + Zeros) * sizeof(WCHAR), USCSI_TAG));
    if (buffer == NULL) return NULL;
    for (SIZE_T i = 0; i < length; ++i) buffer[i] = (UCHAR)Text[i];
    for (ULONG i = 0; i < Zeros; ++i) buffer[length + i] = 0;
    return buffer;
}

VOID UScsi_ChildCapabilities(PDEVICE_CAPABILITIES Capabilities, BOOLEAN UniqueId) {
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->LockSupported = FALSE;
    Capabilities->EjectSupported = FALSE;
    Capabilities->DockDevice = FALSE;
    Capabilities->Removable = TRUE;
    Capabilities->UniqueID = UniqueId;
    Capabilities->SystemWake = PowerSystemUnspecified;
    Capabilities->DeviceWake = PowerDeviceUnspecified;
    Capabilities->D1Latency = 0;
    Capabilities->D2Latency = 0;
    Capabilities->D3Latency = 0;
}

PCSTR UScsi_ChildId(BUS_QUERY_ID_TYPE IdType) {
    switch (IdType) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs: return USCSI_DEVICE_ID;
    case BusQueryCompatibleIDs: return USCSI_COMPATIBLE_ID;
    case BusQueryInstanceID: return USCSI_INSTANCE_ID;
    default: return NULL;
    }
}

static NTSTATUS UScsi_FinishPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    UScsi_DecrementIoCount(DeviceObject);
    return Status;
}

/*
 * UScsi_CreateChild: the child device "\Device\TVQRPDO" and the relations list that reports it.
 * The list is returned through *Relations (NULL when not wanted). On a failed list the child is
 * deleted again, so that a later query can create it anew under the same name.
 */
NTSTATUS UScsi_CreateChild(ULONG DeviceType, ULONG Characteristics, PDEVICE_RELATIONS* Relations) {
    char name[32];
    sprintf(name, "\\Device\\TVQRPDO");
    ANSI_STRING ansiName;
    UNICODE_STRING deviceName;
    RtlInitAnsiString(&ansiName, name);
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&deviceName, &ansiName, TRUE))) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT child = NULL;
    NTSTATUS status = IoCreateDevice(UScsi_DriverObject, sizeof(USCSI_DEVICE_EXTENSION), &deviceName, DeviceType,
                                     Characteristics, FALSE, &child);
    RtlFreeUnicodeString(&deviceName);
    if (!NT_SUCCESS(status)) {
        KdPrint(("UScsi_CreateChild: IoCreateDevice failed 0x%08X\n", (unsigned)status));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UScsi_InitializeExtension(child);
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    child->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

    PDEVICE_RELATIONS relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), USCSI_TAG));
    if (relations == NULL) {
        IoDeleteDevice(child);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ObReferenceObject(child);  // the list's reference, which Plug and Play takes over
    relations->Count = 1;
    relations->Objects[0] = child;
    CommonScsiPDO = child;
    *Relations = relations;
    return STATUS_SUCCESS;
}

/*
 * UScsi_ProcessPnPIrp: Plug and Play of the function device; the child's requests go to
 * UScsi_ScsiPnpIrp. PASSIVE_LEVEL, one request at a time.
 */
NTSTATUS UScsi_ProcessPnPIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == CommonScsiPDO) return UScsi_ScsiPnpIrp(DeviceObject, Irp);
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UScsi_IncrementIoCount(DeviceObject);

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, UScsi_IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->LowerDevice, Irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        return UScsi_FinishPnp(DeviceObject, Irp, UScsi_StartDevice(DeviceObject));
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (!ext->Started) return UScsi_PassDown(DeviceObject, Irp);
        ext->RemovePending = TRUE;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        UScsi_DecrementIoCount(DeviceObject);
        KeWaitForSingleObject(&ext->IdleEvent, Executive, KernelMode, FALSE, NULL);
        return UScsi_QueryRemoveAccepted(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        UScsi_DecrementIoCount(DeviceObject);
        ext->Removed = TRUE;
        UScsi_CancelPendingIo(DeviceObject);
        UScsi_AbortPipes(DeviceObject);
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
        UScsi_DecrementIoCount(DeviceObject);  // the base reference from AddDevice
        KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, NULL);
        UScsi_RemoveDevice(DeviceObject);
        IoDetachDevice(ext->LowerDevice);
        for (ULONG i = 0; i < USCSI_MAX_DEVICES; ++i) {
            if (AddedDevice[i] == DeviceObject) AddedDevice[i] = NULL;
        }
        IoDeleteDevice(DeviceObject);
        UScsi_RemoveChildWithParent();
        return status;
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (ext->Started) ext->RemovePending = FALSE;
        return UScsi_PassDown(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE: {
        UScsi_CancelPendingIo(DeviceObject);
        NTSTATUS status = UScsi_StopDevice(DeviceObject);
        if (!NT_SUCCESS(status)) return UScsi_FinishPnp(DeviceObject, Irp, status);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return UScsi_PassDown(DeviceObject, Irp);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
        if (!ext->Started) return UScsi_PassDown(DeviceObject, Irp);
        if (ext->ChainStagesLeft != 0) return UScsi_FinishPnp(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
        ext->StopPending = TRUE;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return UScsi_PassDown(DeviceObject, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (ext->Started) ext->StopPending = FALSE;
        return UScsi_PassDown(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS: return UScsi_DeviceRelations(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        UScsi_DecrementIoCount(DeviceObject);
        ext->Removed = TRUE;
        UScsi_CancelPendingIo(DeviceObject);
        UScsi_AbortPipes(DeviceObject);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(ext->LowerDevice, Irp);
    default: return UScsi_PassDown(DeviceObject, Irp);
    }
}
