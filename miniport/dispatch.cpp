// Request dispatch: the start routine with its refusals, the camera models' command lists, the worker
// that runs the transport, the watchdog that completes and times out requests, the bus reset, and
// the mapping of the transport's outcome to the SRB's status with the error log.
#include "tvscsi.h"

// Ascending, each ending with 0xFF: a search may stop at the first greater entry.
static const UCHAR CommandListA[] = {0x00, 0x01, 0x03, 0x04, 0x12, 0x15, 0x1A, 0x1B, 0x1D, 0x1E, 0x23, 0x25, 0x28,
                                     0x2A, 0x2B, 0x2E, 0x2F, 0x35, 0x3B, 0x3C, 0x43, 0x46, 0x4A, 0x51, 0x55, 0x5A,
                                     0xA3, 0xA4, 0xA8, 0xAA, 0xAC, 0xAD, 0xAE, 0xAF, 0xBD, 0xFF};
static const UCHAR CommandListB[] = {0x00, 0x01, 0x03, 0x04, 0x12, 0x15, 0x1A, 0x1B, 0x1D, 0x1E, 0x23, 0x25,
                                     0x28, 0x2A, 0x2B, 0x2E, 0x2F, 0x35, 0x3B, 0x3C, 0x43, 0x46, 0x4A, 0x51,
                                     0x52, 0x53, 0x55, 0x5A, 0x5B, 0xA3, 0xA4, 0xA8, 0xAA, 0xAC, 0xAD, 0xAE,
                                     0xAF, 0xBD, 0xFF};

/*
 * CompleteSrb: completes the SRB and asks for the next one. The synchronised context.
 */
VOID CompleteSrb(PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb) {
    ScsiPortNotification(RequestComplete, Adapter, Srb);
    ScsiPortNotification(NextRequest, Adapter);
}

/*
 * CommandAllowed: the opcode is in the camera model's list and is not one of the model's exceptions.
 */
BOOLEAN CommandAllowed(PSCSI_REQUEST_BLOCK Srb, USHORT ProductId) {
    const UCHAR* list = ProductId == 0x0004 ? CommandListA : CommandListB;
    UCHAR opcode = Srb->Cdb[0];
    if (CommandRefusedByModel(Srb, ProductId)) return FALSE;
    for (ULONG i = 0; list[i] != 0xFF && list[i] <= opcode; ++i)
        if (list[i] == opcode) return TRUE;
    return FALSE;
}

/*
 * HwStartIo: starts or refuses one SRB. The synchronised context; never waits.
 */
BOOLEAN HwStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
    PADAPTER_EXTENSION adapter = static_cast<PADAPTER_EXTENSION>(DeviceExtension);
    if (AdapterUnusable(adapter)) {
        Srb->SrbStatus = SRB_STATUS_ERROR;
        adapter->LastNtStatus = 0;
        CompleteSrb(adapter, Srb);
        return TRUE;
    }
    // An IRP still at the USB driver, or a worker that a bus reset abandoned and that has not stopped
    // yet: the class driver asks again later, so that two workers never share the request record.
    if (adapter->CurrentIrp != NULL || (adapter->WorkerBusy > 0 && (adapter->StateFlags & ADAPTER_ABANDONED))) {
        Srb->SrbStatus = SRB_STATUS_BUSY;
        CompleteSrb(adapter, Srb);
        return TRUE;
    }
    adapter->PathId = Srb->PathId;
    PREQUEST_RECORD request =
        static_cast<PREQUEST_RECORD>(ScsiPortGetLogicalUnit(adapter, Srb->PathId, Srb->TargetId, Srb->Lun));
    adapter->CameraStatus.StatusByte0 = 0xFF;
    adapter->LastNtStatus = 0;
    adapter->LastUsbdStatus = 0;
    adapter->BulkInStatus = 0;
    Srb->SrbStatus = SRB_STATUS_PENDING;
    switch (Srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI:
        if (Srb->TargetId != 0 || Srb->Lun != 0 || request == NULL) {
            Srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
            CompleteSrb(adapter, Srb);
            return TRUE;
        }
        if (!CommandAllowed(Srb, adapter->ProductId)) {
            Srb->SrbStatus = SRB_STATUS_ERROR;
            adapter->LastNtStatus = 0;
            CompleteSrb(adapter, Srb);
            return TRUE;
        }
        adapter->CurrentRequest = adapter->WatchedRequest = request;
        request->State = StateStart;
        request->Srb = Srb;
        request->DataBuffer = static_cast<PUCHAR>(Srb->DataBuffer);
        request->TotalLength = Srb->DataTransferLength;
        request->DoneLength = 0;
        request->RequestFlags = 0;
        request->WatchdogTicks = 2;
        ScsiPortNotification(RequestTimerCall, adapter, TransportWatchdog, (ULONG)4000);
        break;
    case SRB_FUNCTION_ABORT_COMMAND:
    case SRB_FUNCTION_RESET_BUS:
        // The bus is one, so its reset is served by the one logical unit whatever address it carries;
        // an abort for an address without a logical unit has nothing to abort.
        if (request == NULL && Srb->Function == SRB_FUNCTION_RESET_BUS)
            request = static_cast<PREQUEST_RECORD>(ScsiPortGetLogicalUnit(adapter, Srb->PathId, 0, 0));
        if (request == NULL) {
            Srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
            CompleteSrb(adapter, Srb);
            return TRUE;
        }
        adapter->CurrentRequest = adapter->WatchedRequest = request;
        request->State = Srb->Function == SRB_FUNCTION_ABORT_COMMAND ? StateAbort : StateQueryPort;
        request->Srb = Srb;
        request->DoneLength = 0;  // nothing moves; the SRB reports no data
        request->RequestFlags = 0;
        request->WatchdogTicks = 1;
        ScsiPortNotification(RequestTimerCall, adapter, TransportWatchdog, (ULONG)2000);
        break;
    default:
        Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        CompleteSrb(adapter, Srb);
        return TRUE;
    }
    InterlockedIncrement(&adapter->WorkerBusy);
    ExQueueWorkItem(&AdapterWorkItems[adapter->AdapterIndex], DelayedWorkQueue);
    return TRUE;
}

/*
 * RequestWorker: runs the transport of the current request. A system worker thread.
 */
VOID RequestWorker(PVOID Parameter) {
    PADAPTER_EXTENSION adapter = static_cast<PADAPTER_EXTENSION>(Parameter);
    adapter->StateFlags &= ~ADAPTER_ABANDONED;
    PREQUEST_RECORD request = adapter->CurrentRequest;
    RunTransport(adapter, request, request->Srb);
    InterlockedDecrement(&adapter->WorkerBusy);
}

/*
 * TransportWatchdog: completes a finished request, and times out one that never finishes. The
 * synchronised context, every 2000 microseconds while a request is in progress.
 */
VOID TransportWatchdog(PVOID DeviceExtension) {
    PADAPTER_EXTENSION adapter = static_cast<PADAPTER_EXTENSION>(DeviceExtension);
    PREQUEST_RECORD request = adapter->WatchedRequest;
    if (request->State == StateFinished) {
        if (adapter->HungCount != 0) adapter->HungCount -= 1;
        request->State = StateCompleted;
        if (!(adapter->StateFlags & ADAPTER_ABANDONED)) CompleteSrb(adapter, request->Srb);
        return;
    }
    if (request->WatchdogTicks <= WatchdogTickLimit) {
        request->WatchdogTicks += 1;
        ScsiPortNotification(RequestTimerCall, adapter, TransportWatchdog, (ULONG)2000);
        return;
    }
    adapter->StateFlags |= ADAPTER_ABANDONED;
    adapter->PortStatus &= ~USBD_PORT_ENABLED;
    adapter->HungCount += 1;
    CancelCurrentIrp(adapter);
    request->State = StateTimedOut;
    request->Srb->SrbStatus = SRB_STATUS_COMMAND_TIMEOUT;
    request->Srb->ScsiStatus = SCSISTAT_BUSY;
    CompleteSrb(adapter, request->Srb);
}

/*
 * HwResetBus: completes every outstanding SRB of the path with SRB_STATUS_BUS_RESET. The worker is
 * left to stop at its next check.
 */
BOOLEAN HwResetBus(PVOID DeviceExtension, ULONG PathId) {
    PADAPTER_EXTENSION adapter = static_cast<PADAPTER_EXTENSION>(DeviceExtension);
    adapter->StateFlags |= ADAPTER_ABANDONED;
    ResetBusFlavor(adapter, FALSE);
    if (adapter->UsbDeviceObject != NULL)
        ScsiPortCompleteRequest(adapter, (UCHAR)PathId, SP_UNTAGGED, SP_UNTAGGED, SRB_STATUS_BUS_RESET);
    ScsiPortNotification(NextRequest, adapter);
    ResetBusFlavor(adapter, TRUE);
    return TRUE;
}

/*
 * BuildSrbStatus: maps the transport's outcome and the camera's report to SrbStatus and ScsiStatus,
 * keeps the camera error count, and logs what the camera did not explain.
 */
VOID BuildSrbStatus(NTSTATUS Status, PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb) {
    USBD_STATUS u = Adapter->LastUsbdStatus;
    UCHAR srbStatus = SRB_STATUS_SUCCESS;
    UCHAR scsiStatus = SCSISTAT_GOOD;
    ULONG logCode = SP_PROTOCOL_ERROR;
    if ((u & 0x0FFFFFFF) == 4 || Adapter->BulkInStatus != 0) {
        srbStatus = SRB_STATUS_ERROR;
        scsiStatus = SCSISTAT_CHECK_CONDITION;
    } else if (u != 0) {
        switch ((ULONG)u >> 30) {
        case 0: srbStatus = SRB_STATUS_ABORTED; break;
        case 1:
            srbStatus = SRB_STATUS_TIMEOUT;
            scsiStatus = SCSISTAT_BUSY;
            logCode = SP_REQUEST_TIMEOUT;
            break;
        default: srbStatus = SRB_STATUS_SELECTION_TIMEOUT; break;
        }
    } else if (Status == STATUS_TIMEOUT) {
        srbStatus = SRB_STATUS_TIMEOUT;
        scsiStatus = SCSISTAT_BUSY;
        logCode = SP_REQUEST_TIMEOUT;
    } else if (Status != STATUS_SUCCESS) {
        srbStatus = SRB_STATUS_ERROR;
        logCode = SP_REQUEST_TIMEOUT;
    }

    UCHAR byte0 = Adapter->CameraStatus.StatusByte0;
    UCHAR byte1 = Adapter->CameraStatus.StatusByte1;
    if (byte0 != 0xFF) {
        if (byte1 == 2) srbStatus = SRB_STATUS_ERROR;
        if (byte0 & (0x80 | 0x20)) {
            srbStatus = SRB_STATUS_ERROR;
            scsiStatus = SCSISTAT_CHECK_CONDITION;
            Adapter->ErrorCount += 1;
            if ((Adapter->StateFlags & ADAPTER_SYNCED_ONCE) && Adapter->ErrorCount > 3)
                Adapter->StateFlags &= ~ADAPTER_READY;
        } else if (byte0 & 0x01) {
            srbStatus = SRB_STATUS_ERROR;
            scsiStatus = SCSISTAT_CHECK_CONDITION;
        } else if (byte0 & 0x40) {
            Adapter->ErrorCount = 0;
        }
    }
    Srb->SrbStatus = srbStatus;
    Srb->ScsiStatus = scsiStatus;

    ULONG uniqueId = 0;
    if (srbStatus != SRB_STATUS_SUCCESS && LogEntryFor(Adapter, srbStatus, &uniqueId)) {
        if (uniqueId == 0)
            uniqueId = Adapter->PhaseCode = (Adapter->PhaseCode & 0xFF) | (ULONG)byte1 << 8 | (ULONG)byte0 << 16 |
                                            (ULONG)Srb->Cdb[0] << 24;
        ScsiPortLogError(Adapter, Srb, Adapter->PathId, Srb->TargetId, Srb->Lun, logCode, uniqueId);
    }
}
