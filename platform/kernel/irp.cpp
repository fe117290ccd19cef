// IRPs: allocation with the verifier's tracking, sending, completion, cancellation and the requests
// that the I/O manager builds.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <unordered_map>

#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define POISON(address, size) ((void)(address), (void)(size))
#define UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace kernel {
namespace {

struct IrpRecord {
    std::string site;
    std::uint64_t serial;
    bool io_manager_owned;
    ULONG output_length;  // of a buffered device-control request, for the copy back
    std::size_t size;
    // Locations whose dispatch routine returned STATUS_PENDING before the IRP was marked pending there;
    // the mark must be in place when completion reaches them (a completion routine may set it).
    std::uint64_t pending_owed = 0;
};

std::unordered_map<PIRP, IrpRecord> g_live;
// Freed IRPs stay allocated (and poisoned under the address sanitizer) for a while, so that a late
// use is reported as such and not as a use of whatever reused the memory.
std::deque<std::pair<PIRP, std::size_t>> g_quarantine;
std::unordered_map<PIRP, std::string> g_freed;
std::uint64_t g_serial = 0;
KSPIN_LOCK g_cancel_lock = 0;

constexpr std::size_t kQuarantine = 1024;
constexpr ULONG kIrpTag = detail::MakeTag("Irp ");
constexpr ULONG kBufferTag = detail::MakeTag("IoSb");

std::size_t IrpSize(CCHAR stack_size) { return sizeof(IRP) + stack_size * sizeof(IO_STACK_LOCATION); }

void Initialize(PIRP irp, std::size_t size, CCHAR stack_size) {
    std::memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
    InitializeListHead(&irp->ThreadListEntry);
}

// Frees an IRP; false (with a fault) when it is not a live IRP.
bool Release(PIRP irp, const char* who) {
    std::string problem;
    {
        detail::Guard g(detail::RegistryLock());
        auto it = g_live.find(irp);
        if (it == g_live.end()) {
            auto freed = g_freed.find(irp);
            problem = freed != g_freed.end() ? "freed already (allocated at " + freed->second + ")"
                                             : std::string("not an IRP");
        } else {
            std::size_t size = it->second.size;
            g_freed[irp] = it->second.site;
            g_live.erase(it);
            std::memset(irp, 0xDF, size);
            POISON(irp, size);
            g_quarantine.push_back({irp, size});
            if (g_quarantine.size() > kQuarantine) {
                auto [old, old_size] = g_quarantine.front();
                g_quarantine.pop_front();
                g_freed.erase(old);
                UNPOISON(old, old_size);
                std::free(old);
            }
        }
    }
    if (!problem.empty()) {
        Fault("%s of IRP %p: %s", who, static_cast<void*>(irp), problem.c_str());
        return false;
    }
    return true;
}

// Takes back the pending obligation of one location; true when there was one.
bool PendingOwed(PIRP irp, int location) {
    detail::Guard g(detail::RegistryLock());
    std::uint64_t bit = std::uint64_t(1) << (location - 1);
    IrpRecord& record = g_live.at(irp);
    bool owed = (record.pending_owed & bit) != 0;
    record.pending_owed &= ~bit;
    return owed;
}

// The I/O manager's own end of an IRP it built: status block, buffered output, event, and free.
void FinishOwnedIrp(PIRP irp) {
    ULONG output_length = 0;
    {
        detail::Guard g(detail::RegistryLock());
        output_length = g_live.at(irp).output_length;
    }
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) &&
        irp->UserBuffer) {
        std::size_t bytes = std::min<std::size_t>(irp->IoStatus.Information, output_length);
        std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
        detail::Free(irp->AssociatedIrp.SystemBuffer, "I/O manager");
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    Release(irp, "I/O completion");
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

namespace detail {

PIRP AllocateIrp(CCHAR stack_size, const std::string& site, bool io_manager_owned) {
    if (stack_size < 1 || stack_size > 64) {  // the verifier keeps one bit per location
        Fault("IRP of %d stack locations requested at %s", stack_size, site.c_str());
        return nullptr;
    }
    if (ShouldFail(kIrpTag)) return nullptr;
    std::size_t size = IrpSize(stack_size);
    auto* irp = static_cast<PIRP>(std::malloc(size));
    if (!irp) return nullptr;
    Initialize(irp, size, stack_size);
    Guard g(RegistryLock());
    g_live[irp] = IrpRecord{site, ++g_serial, io_manager_owned, 0, size, 0};
    g_freed.erase(irp);
    return irp;
}

bool CheckIrp(PIRP irp, const char* who) {
    std::string problem;
    {
        Guard g(RegistryLock());
        if (g_live.count(irp)) return true;
        auto freed = g_freed.find(irp);
        problem = freed != g_freed.end() ? "after it was freed (allocated at " + freed->second + ")"
                                         : std::string("which is not an IRP");
    }
    Fault("%s on IRP %p %s", who, static_cast<void*>(irp), problem.c_str());
    return false;
}

bool IrpOwnedByIoManager(PIRP irp) {
    Guard g(RegistryLock());
    auto it = g_live.find(irp);
    return it != g_live.end() && it->second.io_manager_owned;
}

std::uint64_t IrpSerial(PIRP irp) {
    Guard g(RegistryLock());
    auto it = g_live.find(irp);
    return it == g_live.end() ? 0 : it->second.serial;
}

void ResetIrps(std::vector<std::string>& leaks) {
    Guard g(RegistryLock());
    std::vector<std::pair<std::uint64_t, PIRP>> live;
    for (auto& [irp, record] : g_live) live.push_back({record.serial, irp});
    std::sort(live.begin(), live.end());
    for (auto& [serial, irp] : live) {
        char line[256];
        std::snprintf(line, sizeof line, "IRP %p allocated at %s never freed", static_cast<void*>(irp),
                      g_live[irp].site.c_str());
        leaks.emplace_back(line);
        std::free(irp);
    }
    g_live.clear();
    for (auto& [irp, size] : g_quarantine) {
        UNPOISON(irp, size);
        std::free(irp);
    }
    g_quarantine.clear();
    g_freed.clear();
    g_cancel_lock = 0;
}

}  // namespace detail

std::size_t LiveIrps() {
    detail::Guard g(detail::RegistryLock());
    return g_live.size();
}

}  // namespace kernel

using namespace kernel;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota, std::source_location Site) {
    (void)ChargeQuota;
    if (detail::Irql() > DISPATCH_LEVEL) Fault("IoAllocateIrp at IRQL %u", detail::Irql());
    return detail::AllocateIrp(StackSize, detail::Site(Site), false);
}

VOID IoFreeIrp(PIRP Irp) { Release(Irp, "IoFreeIrp"); }

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    if (!detail::CheckIrp(Irp, "IoReuseIrp")) return;
    CCHAR stack_size = Irp->StackCount;
    Initialize(Irp, IrpSize(stack_size), stack_size);
    Irp->IoStatus.Status = Status;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!detail::CheckIrp(Irp, "IoCallDriver")) return STATUS_INVALID_PARAMETER;
    if (Irp->CurrentLocation <= 1) {
        Fault("IoCallDriver to %s: IRP %p has no stack location left", DeviceName(DeviceObject).c_str(),
              static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        Fault("IoCallDriver with major function 0x%02X", stack->MajorFunction);
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    std::uint64_t serial = detail::IrpSerial(Irp);
    KIRQL irql = detail::Irql();
    sched::Yield();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (detail::Irql() != irql)
        Fault("dispatch routine %p (major 0x%02X) returned at IRQL %u, called at %u",
              reinterpret_cast<void*>(dispatch), stack->MajorFunction, detail::Irql(), irql);
    // The pending rule: a location whose routine returned STATUS_PENDING is marked pending, now if the
    // IRP has completed past it, or by the time completion reaches it.
    if (status == STATUS_PENDING && detail::IrpSerial(Irp) == serial && !(stack->Control & SL_PENDING_RETURNED)) {
        int location = static_cast<int>(stack - reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1)) + 1;
        if (Irp->CurrentLocation > location) {
            Fault("dispatch routine %p (major 0x%02X) returned STATUS_PENDING without marking IRP %p pending",
                  reinterpret_cast<void*>(dispatch), stack->MajorFunction, static_cast<void*>(Irp));
        } else {
            detail::Guard g(detail::RegistryLock());
            g_live.at(Irp).pending_owed |= std::uint64_t(1) << (location - 1);
        }
    }
    return status;
}

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    if (!detail::CheckIrp(Irp, "IoCompleteRequest")) return;
    if (detail::Irql() > DISPATCH_LEVEL) Fault("IoCompleteRequest at IRQL %u", detail::Irql());
    if (Irp->CurrentLocation > Irp->StackCount)
        return Fault("IoCompleteRequest of IRP %p, which is not at any driver (completed twice?)",
                     static_cast<void*>(Irp));
    if (Irp->IoStatus.Status == STATUS_PENDING)
        return Fault("IoCompleteRequest of IRP %p with STATUS_PENDING", static_cast<void*>(Irp));
    if (Irp->CancelRoutine)
        Fault("IoCompleteRequest of IRP %p with a cancel routine still set", static_cast<void*>(Irp));
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) detail::PowerIrpCompleting(Irp);
    sched::Yield();
    // From the completing driver's location up to the top; each location's routine was set by the
    // driver above it and runs with that driver's device object.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        if (!Irp->PendingReturned && PendingOwed(Irp, Irp->CurrentLocation))
            Fault("a dispatch routine returned STATUS_PENDING without marking IRP %p pending at location %d",
                  static_cast<void*>(Irp), Irp->CurrentLocation);
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT above =
                Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            if (routine(above, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    if (!detail::IrpOwnedByIoManager(Irp))
        return Fault("IRP %p, allocated by a driver, was completed past its top; its completion routine must "
                     "return STATUS_MORE_PROCESSING_REQUIRED",
                     static_cast<void*>(Irp));
    FinishOwnedIrp(Irp);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), reinterpret_cast<PVOID>(CancelRoutine)));
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancel_lock, Irql); }
VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancel_lock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
    if (!detail::CheckIrp(Irp, "IoCancelIrp")) return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    routine(device, Irp);
    // The cancel routine releases the cancel spin lock itself.
    if (std::atomic_ref<KSPIN_LOCK>(g_cancel_lock).load() == reinterpret_cast<ULONG_PTR>(sched::Current())) {
        Fault("cancel routine %p returned holding the cancel spin lock", reinterpret_cast<void*>(routine));
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                                   std::source_location Site) {
    ULONG method = IoControlCode & 3;
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        Fault("IoBuildDeviceIoControlRequest: direct I/O (code 0x%08X) is not carried by this I/O manager",
              IoControlCode);
        return nullptr;
    }
    PIRP irp = detail::AllocateIrp(DeviceObject->StackSize, detail::Site(Site), true);
    if (!irp) return nullptr;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    if (method == METHOD_BUFFERED) {
        ULONG length = std::max(InputBufferLength, OutputBufferLength);
        if (length) {
            PVOID buffer = detail::Allocate(NonPagedPool, length, kBufferTag, detail::Site(Site));
            if (!buffer) {
                Release(irp, "IoBuildDeviceIoControlRequest");
                return nullptr;
            }
            if (InputBuffer && InputBufferLength) std::memcpy(buffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer && OutputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        detail::Guard g(detail::RegistryLock());
        g_live.at(irp).output_length = OutputBufferLength;
    } else {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    return irp;
}
