// Internal device-control requests: single request blocks passed down unchanged, URB chains
// issued stage by stage, and the system-control pass-through.
#include "usbscsi.h"

static NTSTATUS UScsi_CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/*
 * UScsi_InernalDeviceIOCTL: the miniport's requests. A URB with Argument2 above 1 starts a chain;
 * everything else goes to the USB stack unchanged. PASSIVE_LEVEL or DISPATCH_LEVEL; never waits.
 */
NTSTATUS UScsi_InernalDeviceIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == CommonScsiPDO) {
        // The child has no USB device below it; its SCSI port stack reaches the camera through the
        // named function device.
        return UScsi_CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    if (!UScsi_CanAcceptIoRequests(DeviceObject) || ext->PowerChangePending)
        return UScsi_CompleteIrp(Irp, STATUS_DELETE_PENDING, 0);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        (ULONG_PTR)stack->Parameters.Others.Argument2 > 1) {
        return UScsi_StagedReadWrite(DeviceObject, Irp, static_cast<PURB>(stack->Parameters.Others.Argument1),
                                     (ULONG)(ULONG_PTR)stack->Parameters.Others.Argument2);
    }
    UScsi_IncrementIoCount(DeviceObject);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}

/*
 * UScsi_StagedReadWrite: issues the N URBs of a chain back to back, each as its own request, and
 * completes the parent when the last has completed.
 *
 * The parent is marked pending before the first stage goes out, and after that only the one who
 * brings ChainStagesLeft to zero touches it: the last stage completion, or this routine when it
 * takes back the stages it could not issue. Every stage request is allocated before any is issued,
 * so a shortage fails the whole chain at once. A stage that could not be issued counts as a failed
 * one: the first URB then reports USBD_STATUS_REQUEST_FAILED unless an earlier failure is there.
 * A second chain while one is in progress is refused with STATUS_DEVICE_BUSY.
 */
NTSTATUS UScsi_StagedReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB FirstUrb, ULONG Stages) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (!UScsi_CanAcceptIoRequests(DeviceObject)) return UScsi_CompleteIrp(Irp, STATUS_DELETE_PENDING, 0);
    if (ext->ChainIrp != NULL) return UScsi_CompleteIrp(Irp, STATUS_DEVICE_BUSY, 0);
    if (FirstUrb == NULL) return UScsi_CompleteIrp(Irp, STATUS_INVALID_PARAMETER, 0);

    SIZE_T tableSize = (SIZE_T)(Stages + 1) * sizeof(USCSI_STAGE_ENTRY);
    PUSCSI_STAGE_ENTRY table = static_cast<PUSCSI_STAGE_ENTRY>(ExAllocatePoolWithTag(NonPagedPool, tableSize, USCSI_TAG));
    if (table == NULL) return UScsi_CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(table, tableSize);

    // The stage requests, kept in the entries until each is issued.
    CCHAR stackSize = (CCHAR)(ext->LowerDevice->StackSize + 1);
    for (ULONG i = 0; i < Stages; ++i) {
        table[i].StageIrp = IoAllocateIrp(stackSize, FALSE);
        if (table[i].StageIrp == NULL) {
            for (ULONG j = 0; j < i; ++j) IoFreeIrp(table[j].StageIrp);
            ExFreePool(table);
            return UScsi_CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
    }
    ext->ChainBytes = 0;
    KeClearEvent(&ext->ChainDoneEvent);  // a cancel waits for this chain, not an earlier one
    ext->ChainTable = table;
    ext->ChainIrp = Irp;
    ext->ChainStagesLeft = Stages;
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;

    NTSTATUS status = STATUS_SUCCESS;
    ULONG issued = 0;
    PURB urb = FirstUrb;
    while (issued < Stages) {
        if (!UScsi_CanAcceptIoRequests(DeviceObject)) {
            status = STATUS_DELETE_PENDING;
            break;
        }
        PUSCSI_STAGE_ENTRY entry = &table[issued];
        PIRP stageIrp = entry->StageIrp;
        entry->Urb = urb;
        entry->Device = DeviceObject;
        entry->FirstUrb = FirstUrb;
        IoSetNextIrpStackLocation(stageIrp);  // the driver's own location
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(stageIrp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(stageIrp, UScsi_AsyncReadWrite_Complete, entry, TRUE, TRUE, TRUE);
        // The next URB is read before this stage goes out: once issued, it may complete at once.
        PURB nextUrb = reinterpret_cast<PURB>(reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
        ++issued;
        UScsi_IncrementIoCount(DeviceObject);
        status = IoCallDriver(ext->LowerDevice, stageIrp);
        if (!NT_SUCCESS(status)) break;
        urb = nextUrb;
    }

    if (issued < Stages) {
        // The stages never issued are ours to free and to take off the count.
        for (ULONG i = issued; i < Stages; ++i) {
            IoFreeIrp(table[i].StageIrp);
            table[i].StageIrp = NULL;
        }
        if (issued == 0) {
            ext->ChainIrp = NULL;
            ext->ChainTable = NULL;
            ExFreePool(table);
            UScsi_CompleteIrp(Irp, status, 0);
            return STATUS_PENDING;  // marked pending above; the caller learns the status on completion
        }
        if (FirstUrb->UrbHeader.Status == USBD_STATUS_SUCCESS) FirstUrb->UrbHeader.Status = USBD_STATUS_REQUEST_FAILED;
        LONG unissued = (LONG)(Stages - issued);
        if (InterlockedExchangeAdd((LONG volatile*)&ext->ChainStagesLeft, -unissued) == unissued) {
            // Every issued stage has completed already: the parent is this routine's to finish.
            PIRP parent = ext->ChainIrp;
            ext->ChainIrp = NULL;
            ext->ChainTable = NULL;
            ULONG bytes = ext->ChainBytes;
            ExFreePool(table);
            UScsi_CompleteIrp(parent, STATUS_SUCCESS, bytes);
            KeSetEvent(&ext->ChainDoneEvent, 1, FALSE);
        }
    }
    return STATUS_PENDING;
}

/*
 * UScsi_AsyncReadWrite_Complete: one stage is done. Up to DISPATCH_LEVEL, possibly at the same time
 * as other stages and the chain issue.
 */
NTSTATUS UScsi_AsyncReadWrite_Complete(PDEVICE_OBJECT DeviceObject, PIRP StageIrp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PUSCSI_STAGE_ENTRY entry = static_cast<PUSCSI_STAGE_ENTRY>(Context);
    PDEVICE_OBJECT device = entry->Device;
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(device);
    if (StageIrp->PendingReturned) IoMarkIrpPending(StageIrp);
    if (entry->FirstUrb->UrbHeader.Status == USBD_STATUS_SUCCESS)
        entry->FirstUrb->UrbHeader.Status = entry->Urb->UrbHeader.Status;
    InterlockedExchangeAdd((LONG volatile*)&ext->ChainBytes, (LONG)entry->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
    IoFreeIrp(StageIrp);
    entry->StageIrp = NULL;
    if (InterlockedDecrement((LONG volatile*)&ext->ChainStagesLeft) != 0) {
        UScsi_DecrementIoCount(device);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    PIRP parent = ext->ChainIrp;
    PUSCSI_STAGE_ENTRY table = ext->ChainTable;
    ext->ChainIrp = NULL;
    ext->ChainTable = NULL;
    UScsi_CompleteIrp(parent, STATUS_SUCCESS, ext->ChainBytes);
    ExFreePool(table);
    KeSetEvent(&ext->ChainDoneEvent, 1, FALSE);
    UScsi_DecrementIoCount(device);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * UScsi_CancelPendingIo: cancels the stages of the chain in progress and waits until the chain has
 * completed its parent. Returns how many stages it cancelled. PASSIVE_LEVEL.
 *
 * Every issued stage still out is cancelled, also behind stages that have completed: a removal
 * waits for the chain's references, and a stage left out would keep it waiting for good.
 */
UCHAR UScsi_CancelPendingIo(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    if (ext->ChainTable == NULL) return 0;
    UCHAR cancelled = 0;
    BOOLEAN last = FALSE;
    // The table is read afresh for every entry: cancelling the last stage completes the chain, whose
    // completion frees the table. An issued entry has its URB; the table ends with an empty entry.
    for (ULONG i = 0;; ++i) {
        PUSCSI_STAGE_ENTRY table = ext->ChainTable;
        if (table == NULL || table[i].Urb == NULL) break;
        if (table[i].StageIrp == NULL) continue;  // this stage has completed
        last = IoCancelIrp(table[i].StageIrp);
        if (!last) break;
        ++cancelled;
    }
    if (cancelled > 0 && last) KeWaitForSingleObject(&ext->ChainDoneEvent, Executive, KernelMode, FALSE, NULL);
    return cancelled;
}

/*
 * UScsi_ProcessSysControlIrp: the function device passes it down; the child completes it as it came.
 */
NTSTATUS UScsi_ProcessSysControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == CommonScsiPDO) {
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    UScsi_IncrementIoCount(DeviceObject);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, Irp);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}
