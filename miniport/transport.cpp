// The camera transport: one SRB carried over the camera's pipes (the command as a class request on
// the control pipe, data on the bulk pipes in chunks, two status bytes read with a vendor request),
// with stall handling, port repair and the device recovery sequence. Runs on a system worker thread.
#include "tvscsi.h"

static BOOLEAN IsStall(USBD_STATUS Status) { return (Status & 0x0FFFFFFF) == 4; }

static NTSTATUS SendUrb(PADAPTER_EXTENSION Adapter) {
    Adapter->RequestKind = REQUEST_KIND_URB;
    return SendUsbRequest(Adapter, Adapter->UsbDeviceObject, reinterpret_cast<PURB>(Adapter->UrbBuffer));
}

static NTSTATUS SendPortRequest(PADAPTER_EXTENSION Adapter, ULONG Kind) {
    Adapter->RequestKind = Kind;
    return SendUsbRequest(Adapter, Adapter->UsbDeviceObject, NULL);
}

// The first bulk pipe of the table with the endpoint address, or NULL.
static PUSBD_PIPE_INFORMATION FindBulkPipe(PADAPTER_EXTENSION Adapter, UCHAR Address) {
    PUSBD_INTERFACE_INFORMATION interface = Adapter->InterfaceInfo;
    if (interface == NULL) return NULL;
    for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
        PUSBD_PIPE_INFORMATION pipe = &interface->Pipes[i];
        if (pipe->PipeType == UsbdPipeTypeBulk && pipe->EndpointAddress == Address) return pipe;
    }
    return NULL;
}

// The control requests are built over whatever the buffer held, as the platform's build macros do:
// a request the USB driver refuses then shows the previous request's status.
static NTSTATUS SendClassOrVendor(PADAPTER_EXTENSION Adapter, USHORT Function, ULONG Flags, PVOID Buffer, ULONG Length) {
    PURB urb = reinterpret_cast<PURB>(Adapter->UrbBuffer);
    UsbBuildVendorRequest(urb, Function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), Flags, 0, 0, 0, 0, Buffer,
                          NULL, Length, NULL);
    return SendUrb(Adapter);
}

NTSTATUS SendCommandBlock(PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb) {
    return SendClassOrVendor(Adapter, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, Srb->Cdb, Srb->CdbLength);
}

static NTSTATUS ReadCameraStatus(PADAPTER_EXTENSION Adapter) {
    return SendClassOrVendor(Adapter, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                             &Adapter->CameraStatus, sizeof(Adapter->CameraStatus));
}

static NTSTATUS ReadBulkInStatus(PADAPTER_EXTENSION Adapter) {
    PURB urb = reinterpret_cast<PURB>(Adapter->UrbBuffer);
    urb->UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    urb->UrbControlGetStatusRequest.TransferBufferLength = sizeof(Adapter->BulkInStatus);
    urb->UrbControlGetStatusRequest.TransferBuffer = &Adapter->BulkInStatus;
    urb->UrbControlGetStatusRequest.TransferBufferMDL = NULL;
    urb->UrbControlGetStatusRequest.UrbLink = NULL;
    urb->UrbControlGetStatusRequest.Index = 0x0081;
    return SendUrb(Adapter);
}

static NTSTATUS ClearEndpointZeroHalt(PADAPTER_EXTENSION Adapter) {
    PURB urb = reinterpret_cast<PURB>(Adapter->UrbBuffer);
    urb->UrbHeader.Function = URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    urb->UrbControlFeatureRequest.UrbLink = NULL;
    urb->UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_ENDPOINT_STALL;
    urb->UrbControlFeatureRequest.Index = 0;
    return SendUrb(Adapter);
}

static NTSTATUS ResetPipe(PADAPTER_EXTENSION Adapter, PUSBD_PIPE_INFORMATION Pipe) {
    PURB urb = reinterpret_cast<PURB>(Adapter->UrbBuffer);
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = Pipe->PipeHandle;
    return SendUrb(Adapter);
}

static NTSTATUS ResetBulkInPipe(PADAPTER_EXTENSION Adapter) {
    PUSBD_PIPE_INFORMATION pipe = FindBulkPipe(Adapter, 0x81);
    return pipe == NULL ? STATUS_SUCCESS : ResetPipe(Adapter, pipe);
}

// Every pipe is reset even after a failure; the first failure is the result.
static NTSTATUS ResetAllPipes(PADAPTER_EXTENSION Adapter) {
    NTSTATUS result = STATUS_SUCCESS;
    PUSBD_INTERFACE_INFORMATION interface = Adapter->InterfaceInfo;
    if (interface == NULL) return result;
    for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
        NTSTATUS status = ResetPipe(Adapter, &interface->Pipes[i]);
        if (result == STATUS_SUCCESS) result = status;
    }
    return result;
}

/*
 * TransferDataChunk: one bulk transfer of the current chunk, by the chunk rule. A chunk of whole
 * packets goes straight from the SRB's buffer; a short odd chunk goes as whole packets through the
 * bounce area.
 */
static NTSTATUS TransferDataChunk(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request, PSCSI_REQUEST_BLOCK Srb) {
    PURB urb = reinterpret_cast<PURB>(Adapter->UrbBuffer);
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    BOOLEAN in = (Srb->SrbFlags & SRB_FLAGS_UNSPECIFIED_DIRECTION) == SRB_FLAGS_DATA_IN;
    PUSBD_PIPE_INFORMATION pipe = FindBulkPipe(Adapter, in ? 0x81 : 0x01);
    if (pipe == NULL) {
        Adapter->CurrentRequest->Srb->SrbStatus = SRB_STATUS_ERROR;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG n = Request->ChunkLength;
    ULONG p = pipe->MaximumPacketSize;
    PVOID buffer = Request->ChunkPointer;
    ULONG length = n;
    BOOLEAN bounce = FALSE;
    if (n > Adapter->MaxTransferSize) {
        length = Adapter->MaxTransferSize;
        Request->ChunkLength = length;
    } else if (p == 0 || n % p == 0) {
        length = n;
    } else if (n >= 128) {
        length = p * (n / p);
        Request->ChunkLength = length;
    } else {
        length = p * (n / p + 1);
        if (length > sizeof(Adapter->BounceBuffer)) {
            // A packet size no full-speed bulk pipe has: the chunk cannot be padded safely.
            Adapter->CurrentRequest->Srb->SrbStatus = SRB_STATUS_ERROR;
            return STATUS_INVALID_PARAMETER;
        }
        RtlZeroMemory(Adapter->BounceBuffer, length);
        if (!in) RtlCopyMemory(Adapter->BounceBuffer, Request->ChunkPointer, n);
        buffer = Adapter->BounceBuffer;
        bounce = TRUE;
    }
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->PipeHandle, buffer,
                                           NULL, length,
                                           (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                                               USBD_SHORT_TRANSFER_OK,
                                           NULL);
    NTSTATUS status = SendUrb(Adapter);
    if (bounce && in && !(Adapter->StateFlags & ADAPTER_ABANDONED)) RtlCopyMemory(Request->ChunkPointer, Adapter->BounceBuffer, n);
    return status;
}

// The driver's own commands, on the adapter's internal SRB.
static NTSTATUS InternalCommand(PADAPTER_EXTENSION Adapter, UCHAR B0, UCHAR B1, UCHAR B2, UCHAR B3, UCHAR B4, UCHAR B5) {
    PSCSI_REQUEST_BLOCK srb = &Adapter->InternalSrb;
    RtlZeroMemory(srb, sizeof(*srb));
    srb->Length = sizeof(*srb);
    srb->CdbLength = 6;
    srb->Cdb[0] = B0;
    srb->Cdb[1] = B1;
    srb->Cdb[2] = B2;
    srb->Cdb[3] = B3;
    srb->Cdb[4] = B4;
    srb->Cdb[5] = B5;
    return SendCommandBlock(Adapter, srb);
}

static NTSTATUS InternalRequestSense(PADAPTER_EXTENSION Adapter) {
    NTSTATUS status = InternalCommand(Adapter, 0x03, 0, 0, 0, MINIPORT_SENSE_LENGTH, 0);
    if (status != STATUS_SUCCESS) return status;
    PSCSI_REQUEST_BLOCK srb = &Adapter->InternalSrb;
    srb->SrbFlags = SRB_FLAGS_DATA_IN;
    srb->DataBuffer = Adapter->InternalSenseBuffer;
    srb->DataTransferLength = MINIPORT_SENSE_LENGTH;
    PREQUEST_RECORD record = Adapter->CurrentRequest;
    record->DataBuffer = record->ChunkPointer = Adapter->InternalSenseBuffer;
    record->TotalLength = record->ChunkLength = MINIPORT_SENSE_LENGTH;
    record->Srb = srb;
    return TransferDataChunk(Adapter, record, srb);
}

/*
 * RecoverCamera: brings the camera's command interpreter and bulk IN pipe back into a known state and
 * reads its pending sense. Up to three attempts.
 */
NTSTATUS RecoverCamera(PADAPTER_EXTENSION Adapter) {
    PREQUEST_RECORD saved = Adapter->CurrentRequest;
    Adapter->CurrentRequest = &Adapter->InternalRequestRecord;
    NTSTATUS st = STATUS_SUCCESS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (st == STATUS_TIMEOUT) break;
        st = InternalCommand(Adapter, 0x1D, 0x04, 0xFF, 0xFF, 0xFF, 0xFF);  // command block reset
        if (st != STATUS_SUCCESS) continue;
        st = ResetBulkInPipe(Adapter);
        if (st != STATUS_SUCCESS) continue;
        st = ClearEndpointZeroHalt(Adapter);
        if (st != STATUS_SUCCESS) continue;
        st = InternalRequestSense(Adapter);
        if (st != STATUS_SUCCESS) continue;
        st = InternalCommand(Adapter, 0, 0, 0, 0, 0, 0);  // TEST UNIT READY
        ClearEndpointZeroHalt(Adapter);
        ReadBulkInStatus(Adapter);
        if (st == STATUS_SUCCESS) break;
        st = ReadCameraStatus(Adapter);
        if (st == STATUS_SUCCESS) st = InternalRequestSense(Adapter);
    }
    if (st == STATUS_TIMEOUT) {
        Adapter->HungCount = 2;
    } else if (st == STATUS_SUCCESS) {
        Adapter->ErrorCount = 0;
        Adapter->StateFlags |= ADAPTER_SYNCED_ONCE | ADAPTER_READY;
    }
    Adapter->CurrentRequest = saved;
    return st;
}

static VOID SaveError(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request) {
    Adapter->PhaseCode |= PHASE_RECOVERY;
    Request->RequestFlags |= REQUEST_ERROR_SAVED;
    Adapter->SavedError.NtStatus = Adapter->LastNtStatus;
    Adapter->SavedError.UsbdStatus = Adapter->LastUsbdStatus;
    Adapter->SavedError.BulkInStatus = Adapter->BulkInStatus;
    Adapter->SavedError.StatusByte0 = Adapter->CameraStatus.StatusByte0;
    Adapter->SavedError.StatusByte1 = Adapter->CameraStatus.StatusByte1;
}

static VOID RestoreError(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request) {
    Request->RequestFlags &= ~REQUEST_ERROR_SAVED;
    Adapter->LastNtStatus = Adapter->SavedError.NtStatus;
    Adapter->LastUsbdStatus = Adapter->SavedError.UsbdStatus;
    Adapter->BulkInStatus = Adapter->SavedError.BulkInStatus;
    Adapter->CameraStatus.StatusByte0 = Adapter->SavedError.StatusByte0;
    Adapter->CameraStatus.StatusByte1 = Adapter->SavedError.StatusByte1;
}

// A request whose SRB a bus reset or the watchdog completed stops here, writing nothing.
static BOOLEAN StopIfAbandoned(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request) {
    if (!(Adapter->StateFlags & ADAPTER_ABANDONED)) return FALSE;
    Request->State = StateFinished;
    return TRUE;
}

// After a stall: every pipe reset, then endpoint 0's halt cleared.
static NTSTATUS ClearStall(PADAPTER_EXTENSION Adapter) {
    Adapter->PhaseCode |= PHASE_STALL_CLEARED;
    NTSTATUS st = ResetAllPipes(Adapter);
    if (st == STATUS_SUCCESS) st = ClearEndpointZeroHalt(Adapter);
    return st;
}

/*
 * RunTransport: carries the request from its State to StateFinished. PASSIVE_LEVEL, on the worker.
 *
 * Once a bus reset or the watchdog has completed the SRB, its CDB and data buffer may be gone: the
 * states that read the SRB or move its data stop first (besides the checks after the command and
 * data stages), while the status polls and the error recovery, which touch only the adapter, run on.
 */
VOID RunTransport(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request, PSCSI_REQUEST_BLOCK Srb) {
    Adapter->PhaseCode = 0;
    NTSTATUS st = STATUS_SUCCESS;
    for (;;) {
        switch (Request->State) {
        case StateStart:
            if (!(Adapter->StateFlags & ADAPTER_READY)) RecoverCamera(Adapter);
            if (StopIfAbandoned(Adapter, Request)) return;
            if (Srb->SrbFlags & SRB_FLAGS_DATA_OUT) Request->RequestFlags |= REQUEST_DATA_OUT;
            Adapter->LastNtStatus = StartCommand(Adapter, Request, Srb);
            Adapter->PhaseCode |= PHASE_COMMAND_SENT;
            Request->State = StateCommandDone;
            break;
        case StateCommandDone:
            if (StopIfAbandoned(Adapter, Request)) return;
            if (IsStall(Adapter->LastUsbdStatus)) {
                st = ClearStall(Adapter);
                Adapter->LastUsbdStatus = 4;
                Request->State = st == STATUS_SUCCESS ? StateReadStatus : StateSaveError;
            } else if (Adapter->LastUsbdStatus != 0) {
                Request->State = StateSaveError;
            } else {
                Request->State = Request->ChunkLength > 0 ? StateSendData : StateReadStatus;
            }
            break;
        case StateReadStatus:
            if (StopIfAbandoned(Adapter, Request)) return;
            WaitBeforeStatus(Adapter, Srb);
            st = ReadCameraStatus(Adapter);
            if (st != STATUS_SUCCESS) Adapter->LastNtStatus = st;
            Request->State = st == STATUS_SUCCESS ? StateStatusDone : StateSaveError;
            break;
        case StateStatusDone: Request->State = StateFinish; break;
        case StateSendData:
            if (StopIfAbandoned(Adapter, Request)) return;
            Request->BusyPolls = 0;
            if (Request->ChunkLength == 0) {
                Request->State = StateFinish;
                break;
            }
            Adapter->LastNtStatus = TransferDataChunk(Adapter, Request, Srb);
            Adapter->PhaseCode |= PHASE_DATA_SENT;
            Request->State = StateDataDone;
            break;
        case StateDataDone:
            if (StopIfAbandoned(Adapter, Request)) return;
            if (IsStall(Adapter->LastUsbdStatus)) {
                st = ClearStall(Adapter);
                if (st == STATUS_SUCCESS) st = ReadCameraStatus(Adapter);
                if (st != STATUS_SUCCESS) {
                    Adapter->LastNtStatus = st;
                    Request->State = StateSaveError;
                    break;
                }
                if ((Adapter->CameraStatus.StatusByte0 & 0x40) && Adapter->CameraStatus.StatusByte1 == 1) {
                    Adapter->LastUsbdStatus = 0;
                    Request->DoneLength = Request->TotalLength;
                } else {
                    Adapter->LastUsbdStatus = 4;
                }
                Request->State = StateFinish;
            } else if (Adapter->LastUsbdStatus != 0) {
                Request->State = StateSaveError;
            } else if (Request->RequestFlags & REQUEST_DATA_OUT) {
                Request->State = StateReadDataStatus;
            } else {
                Adapter->CameraStatus.StatusByte0 = 0x40;
                Adapter->CameraStatus.StatusByte1 = 0;
                Request->State = StateCheckDataStatus;
            }
            break;
        case StateReadDataStatus:
            st = ReadCameraStatus(Adapter);
            if (st != STATUS_SUCCESS || Adapter->LastUsbdStatus != 0) {
                Adapter->LastNtStatus = st;
                Request->State = StateSaveError;
            } else {
                Request->State = StateCheckDataStatus;
            }
            break;
        case StateCheckDataStatus:
            if ((Adapter->CameraStatus.StatusByte0 & 0x40) && Adapter->CameraStatus.StatusByte1 < 2) {
                Request->DoneLength += Request->ChunkLength;
                if (NextSegment(Request)) {
                    Request->State = StateStart;
                } else if (Request->DoneLength < Request->TotalLength) {
                    Request->ChunkPointer = Request->DataBuffer + Request->DoneLength;
                    Request->ChunkLength = Request->TotalLength - Request->DoneLength;
                    Request->State = StateSendData;
                } else {
                    Request->State = StateFinish;
                }
            } else if (Adapter->CameraStatus.StatusByte0 == 0xFF && Request->BusyPolls < 5000) {
                ScsiPortStallExecution(2);
                Request->BusyPolls += 1;
                Request->State = StateReadDataStatus;
            } else {
                Request->State = StateFinish;
            }
            break;
        case StateSaveError:
            SaveError(Adapter, Request);
            Request->State = StateQueryPort;
            break;
        case StateQueryPort:
            st = SendPortRequest(Adapter, REQUEST_KIND_PORT_STATUS);
            if (st != STATUS_SUCCESS) Adapter->PortStatus &= ~USBD_PORT_ENABLED;
            Request->State = st == STATUS_SUCCESS ? StateRepairPort : StateRestoreError;
            break;
        case StateRepairPort:
            st = STATUS_SUCCESS;
            if (!(Adapter->PortStatus & USBD_PORT_CONNECTED))
                st = SendPortRequest(Adapter, REQUEST_KIND_RESET_PORT);
            else if (!(Adapter->PortStatus & USBD_PORT_ENABLED))
                st = SendPortRequest(Adapter, REQUEST_KIND_ENABLE_PORT);
            Request->State = st == STATUS_SUCCESS ? StateRecoverDevice : StateRestoreError;
            break;
        case StateRecoverDevice:
            if ((Adapter->PortStatus & (USBD_PORT_ENABLED | USBD_PORT_CONNECTED)) ==
                (USBD_PORT_ENABLED | USBD_PORT_CONNECTED))
                st = RecoverCamera(Adapter);
            else
                st = STATUS_INVALID_PARAMETER;
            Request->State = StateRestoreError;
            break;
        case StateRestoreError:
            Adapter->LastNtStatus = st;
            if (Request->RequestFlags & REQUEST_ERROR_SAVED) RestoreError(Adapter, Request);
            Request->State = StateFinish;
            break;
        case StateFinish:
            if (!(Adapter->StateFlags & ADAPTER_ABANDONED)) {
                BuildSrbStatus(Adapter->LastNtStatus, Adapter, Srb);
                Srb->DataTransferLength = Request->DoneLength;
            }
            Request->State = StateFinished;
            return;
        case StateFinished:
        case StateCompleted:
        case StateTimedOut: return;
        case StateAbort:
            if ((Adapter->PortStatus & (USBD_PORT_ENABLED | USBD_PORT_CONNECTED)) ==
                (USBD_PORT_ENABLED | USBD_PORT_CONNECTED)) {
                Request->State = StateAbortDone;
                st = ClearEndpointZeroHalt(Adapter);
                if (st != STATUS_SUCCESS) Request->State = StateSaveError;
            } else {
                Adapter->CameraStatus.StatusByte0 = 0x80;
                Request->State = StateSaveError;
            }
            break;
        default:
            // StateAbortDone and anything unknown.
            if (StopIfAbandoned(Adapter, Request)) return;
            Request->State = StateFinished;
            Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
            return;
        }
    }
}
