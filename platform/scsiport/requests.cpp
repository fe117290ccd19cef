// Requests: the synchronised context, the queue and its one-at-a-time start, the miniport's
// notifications, its timer, and the completion of SRBs.
#include <algorithm>
#include <cstdarg>
#include <utility>

#include "port.h"

namespace scsiport::detail {
namespace {

// Abort and bus-reset SRBs reach the miniport even while their unit is busy.
bool Bypasses(const PortRequest* request) {
    UCHAR function = request->srb->Function;
    return function == SRB_FUNCTION_ABORT_COMMAND || function == SRB_FUNCTION_RESET_BUS;
}

bool SameUnit(const SCSI_REQUEST_BLOCK* a, const SCSI_REQUEST_BLOCK* b) {
    return a->PathId == b->PathId && a->TargetId == b->TargetId && a->Lun == b->Lun;
}

bool UnitBusy(const Adapter* adapter, const SCSI_REQUEST_BLOCK* srb) {
    return std::any_of(adapter->active.begin(), adapter->active.end(),
                       [srb](const PortRequest* r) { return r->holds_lu && SameUnit(r->srb, srb); });
}

// An abort's NextSrb names the class driver's SRB; the miniport knows its own (a copy in the 9x port).
void NameAbortedSrb(const Adapter* adapter, PSCSI_REQUEST_BLOCK abort) {
    for (const PortRequest* request : adapter->active)
        if (request->original == abort->NextSrb) abort->NextSrb = request->srb;
}

void StartNextLocked(Adapter* adapter) {
    while (adapter->started && adapter->ready && !adapter->hold && !adapter->removed) {
        auto next = std::find_if(adapter->queue.begin(), adapter->queue.end(), [adapter](const PortRequest* r) {
            return Bypasses(r) || !UnitBusy(adapter, r->srb);
        });
        if (next == adapter->queue.end()) return;
        PortRequest* request = *next;
        adapter->queue.erase(next);
        request->holds_lu = !Bypasses(request);
        if (adapter->active.empty()) KeClearEvent(&adapter->idle);
        adapter->active.push_back(request);
        adapter->ready = false;
        if (request->srb->Function == SRB_FUNCTION_ABORT_COMMAND) NameAbortedSrb(adapter, request->srb);
        request->srb->SrbStatus = SRB_STATUS_PENDING;
        adapter->hw.HwStartIo(adapter->extension, request->srb);
    }
}

void TakeActive(Adapter* adapter, std::vector<PortRequest*>::iterator at) {
    adapter->done.push_back(*at);
    adapter->active.erase(at);
    if (adapter->active.empty()) KeSetEvent(&adapter->idle, IO_NO_INCREMENT, FALSE);
}

NTSTATUS StatusOf(UCHAR srb_status) {
    switch (SRB_STATUS(srb_status)) {
    case SRB_STATUS_SUCCESS: return STATUS_SUCCESS;
    case SRB_STATUS_ABORTED: return STATUS_CANCELLED;
    case SRB_STATUS_BUSY: return STATUS_DEVICE_BUSY;
    case SRB_STATUS_INVALID_REQUEST:
    case SRB_STATUS_BAD_FUNCTION: return STATUS_INVALID_DEVICE_REQUEST;
    case SRB_STATUS_NO_DEVICE:
    case SRB_STATUS_NO_HBA:
    case SRB_STATUS_SELECTION_TIMEOUT:
    case SRB_STATUS_INVALID_PATH_ID:
    case SRB_STATUS_INVALID_TARGET_ID:
    case SRB_STATUS_INVALID_LUN: return STATUS_NO_SUCH_DEVICE;
    case SRB_STATUS_TIMEOUT:
    case SRB_STATUS_COMMAND_TIMEOUT: return STATUS_IO_TIMEOUT;
    case SRB_STATUS_DATA_OVERRUN: return STATUS_DATA_OVERRUN;
    default: return STATUS_IO_DEVICE_ERROR;
    }
}

void Finish(PortRequest* request) {
    FinishSrb(*request);
    PIRP irp = request->irp;
    PSCSI_REQUEST_BLOCK srb = request->original;
    ExFreePoolWithTag(request, kRequestTag);
    irp->IoStatus.Status = StatusOf(srb->SrbStatus);
    irp->IoStatus.Information = srb->DataTransferLength;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

const char* NotificationName(SCSI_NOTIFICATION_TYPE type) {
    switch (type) {
    case RequestComplete: return "RequestComplete";
    case NextRequest: return "NextRequest";
    case NextLuRequest: return "NextLuRequest";
    case ResetDetected: return "ResetDetected";
    case CallDisableInterrupts: return "CallDisableInterrupts";
    case CallEnableInterrupts: return "CallEnableInterrupts";
    case RequestTimerCall: return "RequestTimerCall";
    case BusChangeDetected: return "BusChangeDetected";
    case WMIEvent: return "WMIEvent";
    case WMIReregister: return "WMIReregister";
    }
    return "unknown";
}

// The adapter of a call that only the synchronised context may make; NULL (with a fault) otherwise.
Adapter* InContext(PVOID extension, const char* who) {
    Adapter* adapter = FromExtension(extension, who);
    if (adapter && adapter->sync_thread != sched::Current()) {
        kernel::Fault("%s outside the port's synchronised context of %s", who, adapter->info.name.c_str());
        return nullptr;
    }
    return adapter;
}

void CompleteFromMiniport(Adapter* adapter, PSCSI_REQUEST_BLOCK srb) {
    auto at = std::find_if(adapter->active.begin(), adapter->active.end(),
                           [srb](const PortRequest* r) { return r->srb == srb; });
    if (at == adapter->active.end()) {
        kernel::Fault("ScsiPortNotification(RequestComplete) of SRB %p, which the miniport of %s does not hold "
                      "(completed already, or never given)",
                      static_cast<void*>(srb), adapter->info.name.c_str());
        return;
    }
    if (SRB_STATUS(srb->SrbStatus) == SRB_STATUS_PENDING)
        kernel::Fault("ScsiPortNotification(RequestComplete) of SRB %p with SrbStatus SRB_STATUS_PENDING",
                      static_cast<void*>(srb));
    TakeActive(adapter, at);
}

void ArmTimer(Adapter* adapter, PHW_TIMER routine, ULONG microseconds) {
    if (adapter->timer_dead) return;
    if (!routine || microseconds == 0) return CancelTimerLocked(adapter);
    sched::Time delay = static_cast<sched::Time>(microseconds) * sched::kMicrosecond;
    adapter->timer_routine = routine;
    adapter->timer_due = sched::Now() + delay;
    LARGE_INTEGER due;
    due.QuadPart = -delay;
    KeSetTimer(&adapter->timer->timer, due, &adapter->timer->dpc);
}

}  // namespace

void EnterSync(Adapter* adapter, KIRQL* old) {
    KeAcquireSpinLock(&adapter->lock, old);
    adapter->sync_thread = sched::Current();
}

void LeaveSync(Adapter* adapter, KIRQL old) {
    StartNextLocked(adapter);
    std::vector<PortRequest*> done = std::exchange(adapter->done, {});
    adapter->sync_thread = nullptr;
    KeReleaseSpinLock(&adapter->lock, old);
    for (PortRequest* request : done) Finish(request);
}

void FailQueueLocked(Adapter* adapter, UCHAR srb_status) {
    for (PortRequest* request : adapter->queue) {
        request->srb->SrbStatus = srb_status;
        adapter->done.push_back(request);
    }
    adapter->queue.clear();
}

void TakeBackLocked(Adapter* adapter, UCHAR srb_status) {
    while (!adapter->active.empty()) {
        adapter->active.front()->srb->SrbStatus = srb_status;
        TakeActive(adapter, adapter->active.begin());
    }
}

void CancelTimerLocked(Adapter* adapter) {
    adapter->timer_routine = nullptr;
    KeCancelTimer(&adapter->timer->timer);
}

void RetireTimer(Adapter* adapter) {
    TimerBlock* timer = adapter->timer;
    timer->adapter = nullptr;
    KeCancelTimer(&timer->timer);
    KeRemoveQueueDpc(&timer->dpc);
    while (timer->running.load() != 0) {
        LARGE_INTEGER pause;
        pause.QuadPart = -10;  // 1 us
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

VOID NTAPI TimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* timer = static_cast<TimerBlock*>(context);
    timer->running += 1;
    if (Adapter* adapter = timer->adapter.load()) {
        Synchronized(adapter, [adapter] {
            // A DPC of an expiry that a later arming or a cancel replaced finds nothing to do.
            if (!adapter->timer_routine || sched::Now() < adapter->timer_due) return;
            std::exchange(adapter->timer_routine, nullptr)(adapter->extension);
        });
    }
    timer->running -= 1;
}

NTSTATUS NTAPI DispatchScsi(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PSCSI_REQUEST_BLOCK srb = stack->Parameters.Scsi.Srb;
    if (!srb || srb->Length != sizeof(SCSI_REQUEST_BLOCK)) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    Adapter* adapter = Enter(device);
    if (!adapter) {
        srb->SrbStatus = SRB_STATUS_NO_DEVICE;
        return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    }
    switch (srb->Function) {
    case SRB_FUNCTION_CLAIM_DEVICE:
    case SRB_FUNCTION_RELEASE_DEVICE:
    case SRB_FUNCTION_RELEASE_QUEUE:
    case SRB_FUNCTION_FLUSH_QUEUE:
        // The port's own business; it never freezes a queue.
        Leave(adapter);
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        return CompleteIrp(irp, STATUS_SUCCESS);
    default: break;
    }
    // A request that comes before the start gets the larger of the sizes the miniport may ask for.
    ULONG extension_size = std::max(adapter->hw.SrbExtensionSize, adapter->config.SrbExtensionSize);
    auto* request = static_cast<PortRequest*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PortRequest) + extension_size, kRequestTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (request) {
        RtlZeroMemory(request, sizeof(PortRequest) + extension_size);
        request->irp = irp;
        request->original = srb;
        status = PrepareSrb(*request, SentPacket(stack->Parameters.Others.Argument2));
        if (!NT_SUCCESS(status)) ExFreePoolWithTag(request, kRequestTag);
    }
    if (!NT_SUCCESS(status)) {
        Leave(adapter);
        srb->SrbStatus = SRB_STATUS_ERROR;
        return CompleteIrp(irp, status);
    }
    request->srb->SrbExtension = extension_size ? request + 1 : nullptr;
    IoMarkIrpPending(irp);
    Synchronized(adapter, [adapter, request] {
        if (adapter->removed) {
            request->srb->SrbStatus = SRB_STATUS_NO_DEVICE;
            adapter->done.push_back(request);
        } else {
            adapter->queue.push_back(request);
        }
    });
    Leave(adapter);
    return STATUS_PENDING;
}

}  // namespace scsiport::detail

namespace scsiport {

bool ResetBus(PDEVICE_OBJECT device, ULONG path) {
    detail::Adapter* adapter = detail::Enter(device);
    if (!adapter) return false;
    bool reset = detail::Synchronized(adapter, [adapter, path] {
        return adapter->started && !adapter->removed && adapter->hw.HwResetBus(adapter->extension, path);
    });
    detail::Leave(adapter);
    return reset;
}

}  // namespace scsiport

using namespace scsiport::detail;

VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...) {
    std::string who = std::string("ScsiPortNotification(") + NotificationName(NotificationType) + ")";
    Adapter* adapter = InContext(HwDeviceExtension, who.c_str());
    if (!adapter) return;
    va_list arguments;
    va_start(arguments, HwDeviceExtension);
    switch (NotificationType) {
    case RequestComplete: CompleteFromMiniport(adapter, va_arg(arguments, PSCSI_REQUEST_BLOCK)); break;
    case NextRequest: adapter->ready = true; break;
    case NextLuRequest: {
        SCSI_REQUEST_BLOCK unit{};
        unit.PathId = static_cast<UCHAR>(va_arg(arguments, int));
        unit.TargetId = static_cast<UCHAR>(va_arg(arguments, int));
        unit.Lun = static_cast<UCHAR>(va_arg(arguments, int));
        adapter->ready = true;
        for (PortRequest* request : adapter->active)
            if (SameUnit(request->srb, &unit)) request->holds_lu = false;
        break;
    }
    case RequestTimerCall: {
        auto routine = va_arg(arguments, PHW_TIMER);
        ArmTimer(adapter, routine, va_arg(arguments, ULONG));
        break;
    }
    case ResetDetected:
    case BusChangeDetected:
    case WMIEvent:
    case WMIReregister: DbgPrint("%s: %s\n", adapter->info.name.c_str(), NotificationName(NotificationType)); break;
    default: kernel::Fault("%s: this port does not provide it", who.c_str()); break;
    }
    va_end(arguments);
}

VOID ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun, UCHAR SrbStatus) {
    Adapter* adapter = InContext(HwDeviceExtension, "ScsiPortCompleteRequest");
    if (!adapter) return;
    auto matches = [&](const SCSI_REQUEST_BLOCK* srb) {
        return (PathId == SP_UNTAGGED || srb->PathId == PathId) && (TargetId == SP_UNTAGGED || srb->TargetId == TargetId) &&
               (Lun == SP_UNTAGGED || srb->Lun == Lun);
    };
    for (auto at = adapter->active.begin(); at != adapter->active.end();) {
        if (!matches((*at)->srb)) {
            ++at;
            continue;
        }
        (*at)->srb->SrbStatus = SrbStatus;
        std::ptrdiff_t index = at - adapter->active.begin();
        TakeActive(adapter, at);
        at = adapter->active.begin() + index;
    }
}
