// Create and close (with pipe binding by file name) and the user device-control codes.
#include "usbscsi.h"

static NTSTATUS UScsi_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static BOOLEAN UScsi_IsDigit(WCHAR c) { return c >= '0' && c <= '9'; }

/*
 * UScsi_PipeNumber: the number that the last run of decimal digits of the file name gives; the
 * first character never counts. FALSE when there is no digit after it.
 */
static BOOLEAN UScsi_PipeNumber(PCUNICODE_STRING Name, PULONG Number) {
    LONG count = Name->Length / sizeof(WCHAR);
    LONG end = count - 1;
    while (end >= 1 && !UScsi_IsDigit(Name->Buffer[end])) --end;
    if (end < 1) return FALSE;
    LONG start = end;
    while (start - 1 >= 1 && UScsi_IsDigit(Name->Buffer[start - 1])) --start;
    ULONG value = 0;
    for (LONG i = start; i <= end; ++i) {
        ULONG digit = (ULONG)(Name->Buffer[i] - '0');
        if (value > (0xFFFFFFFFul - digit) / 10) return FALSE;  // no pipe has such a number
        value = value * 10 + digit;
    }
    *Number = value;
    return TRUE;
}

/*
 * UScsi_Create: opens the device; a file name ending in digits binds the file to that pipe.
 * PASSIVE_LEVEL.
 */
NTSTATUS UScsi_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == CommonScsiPDO) return UScsi_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NTSTATUS status = STATUS_SUCCESS;
    UScsi_IncrementIoCount(DeviceObject);
    if (!UScsi_CanAcceptIoRequests(DeviceObject) && !ext->Started) {
        if (UScsi_StartDevice(DeviceObject) != STATUS_SUCCESS) status = STATUS_DELETE_PENDING;
    }
    if (NT_SUCCESS(status)) {
        fileObject->FsContext = NULL;
        ULONG pipeNumber = 0;
        if (fileObject->FileName.Length == 0) {
            status = STATUS_SUCCESS;
        } else if (!UScsi_PipeNumber(&fileObject->FileName, &pipeNumber)) {
            status = STATUS_INVALID_PARAMETER;
        } else if (ext->InterfaceInfo == NULL) {
            // No pipe table (its copy could not be kept at start): no pipe can be bound.
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else if (pipeNumber >= ext->InterfaceInfo->NumberOfPipes || ext->InterfaceInfo->Pipes[pipeNumber].PipeFlags) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            PUSBD_PIPE_INFORMATION pipe = &ext->InterfaceInfo->Pipes[pipeNumber];
            fileObject->FsContext = pipe;
            pipe->PipeFlags = 1;
            ext->OpenPipeCount++;
            UScsi_SelfSuspendOrActivate(DeviceObject, FALSE);
        }
    }
    UScsi_CompleteRequest(Irp, status, 0);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}

/*
 * UScsi_Close: unbinds the file's pipe; always succeeds. PASSIVE_LEVEL.
 */
NTSTATUS UScsi_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == CommonScsiPDO) return UScsi_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    UScsi_IncrementIoCount(DeviceObject);
    PUSBD_PIPE_INFORMATION pipe = static_cast<PUSBD_PIPE_INFORMATION>(fileObject->FsContext);
    if (pipe != NULL && pipe->PipeFlags) {
        ext->OpenPipeCount--;
        pipe->PipeFlags = 0;
    }
    UScsi_DecrementIoCount(DeviceObject);
    UScsi_CompleteRequest(Irp, STATUS_SUCCESS, 0);
    UScsi_SelfSuspendOrActivate(DeviceObject, TRUE);
    return STATUS_SUCCESS;
}

/*
 * UScsi_ProcessIOCTL: the three user device-control codes. PASSIVE_LEVEL.
 *
 * A configuration descriptor longer than the output buffer is copied as far as it fits and the
 * request ends with STATUS_BUFFER_OVERFLOW, so that a caller can read wTotalLength and ask again.
 */
NTSTATUS UScsi_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == CommonScsiPDO) return UScsi_CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UScsi_IncrementIoCount(DeviceObject);
    NTSTATUS status;
    ULONG_PTR information = 0;
    if (!UScsi_CanAcceptIoRequests(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else {
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_USCSI_GET_CONFIG_DESCRIPTOR: {
            if (ext->ConfigDescriptor == NULL) {
                status = STATUS_DEVICE_DATA_ERROR;
                break;
            }
            ULONG total = ext->ConfigDescriptor->wTotalLength;
            ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
            ULONG length = total <= room ? total : room;
            RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, ext->ConfigDescriptor, length);
            information = length;
            status = length == total ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
            break;
        }
        case IOCTL_USCSI_RESET_DEVICE: status = UScsi_ResetDevice(DeviceObject); break;
        case IOCTL_USCSI_RESET_PIPE: {
            PUSBD_PIPE_INFORMATION pipe = static_cast<PUSBD_PIPE_INFORMATION>(stack->FileObject->FsContext);
            if (pipe == NULL) {
                status = STATUS_INVALID_PARAMETER;
            } else {
                UScsi_ResetPipe(DeviceObject, pipe);
                status = STATUS_SUCCESS;
            }
            break;
        }
        default: status = STATUS_INVALID_PARAMETER; break;
        }
    }
    UScsi_CompleteRequest(Irp, status, information);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}
