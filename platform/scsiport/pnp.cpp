// Plug and Play and power for the adapters: start (find, initialise, restart), stop, queries and
// removal; and the port's answers to creates, closes and device controls.
#include <utility>

#include "port.h"

namespace scsiport::detail {
namespace {

constexpr ULONG kRangesTag = 0x72417053;  // "SpAr"
constexpr ULONG kUnitTag = 0x754C7053;    // "SpLu"

template <typename Update>
void Record(Adapter* adapter, Update&& update) {
    std::lock_guard<std::mutex> g(Mutex());
    update(adapter->info);
}

NTSTATUS PassDown(Adapter* adapter, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(adapter->lower, irp);
}

NTSTATUS NTAPI LowerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits for the devices below; the IRP is the caller's again afterwards.
NTSTATUS ForwardAndWait(Adapter* adapter, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(adapter->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

// Waits until the miniport holds no SRB: for ever, or for kDrainTime at most.
bool Drained(Adapter* adapter, bool bounded) {
    LARGE_INTEGER limit;
    limit.QuadPart = -kDrainTime;
    return KeWaitForSingleObject(&adapter->idle, Executive, KernelMode, FALSE, bounded ? &limit : nullptr) ==
           STATUS_SUCCESS;
}

PORT_CONFIGURATION_INFORMATION DefaultConfig(const HW_INITIALIZATION_DATA& hw, PACCESS_RANGE ranges) {
    PORT_CONFIGURATION_INFORMATION config{};
    config.Length = sizeof config;
    config.AdapterInterfaceType = hw.AdapterInterfaceType;
    config.InterruptMode = Latched;
    config.MaximumTransferLength = SP_UNINITIALIZED_VALUE;
    config.NumberOfPhysicalBreaks = SP_UNINITIALIZED_VALUE;
    config.DmaChannel = SP_UNINITIALIZED_VALUE;
    config.DmaPort = SP_UNINITIALIZED_VALUE;
    config.DmaChannel2 = SP_UNINITIALIZED_VALUE;
    config.DmaPort2 = SP_UNINITIALIZED_VALUE;
    config.NumberOfAccessRanges = hw.NumberOfAccessRanges;
    config.AccessRanges = reinterpret_cast<ACCESS_RANGE(*)[]>(ranges);
    config.NumberOfBuses = 1;
    for (UCHAR& id : config.InitiatorBusId) id = static_cast<UCHAR>(SP_UNINITIALIZED_VALUE);
    config.MapBuffers = hw.MapBuffers;
    config.NeedPhysicalAddresses = hw.NeedPhysicalAddresses;
    config.TaggedQueuing = hw.TaggedQueuing;
    config.AutoRequestSense = hw.AutoRequestSense;
    config.MultipleRequestPerLu = hw.MultipleRequestPerLu;
    config.ReceiveEvent = hw.ReceiveEvent;
    config.MaximumNumberOfTargets = 8;
    config.MaximumNumberOfLogicalUnits = 8;
    config.DeviceExtensionSize = hw.DeviceExtensionSize;
    config.SpecificLuExtensionSize = hw.SpecificLuExtensionSize;
    config.SrbExtensionSize = hw.SrbExtensionSize;
    return config;
}

void QueryControlTypes(Adapter* adapter) {
    alignas(ULONG) UCHAR buffer[offsetof(SCSI_SUPPORTED_CONTROL_TYPE_LIST, SupportedTypeList) + ScsiAdapterControlMax]{};
    auto* list = reinterpret_cast<PSCSI_SUPPORTED_CONTROL_TYPE_LIST>(buffer);
    list->MaxControlType = ScsiAdapterControlMax;
    Synchronized(adapter, [adapter, list] {
        adapter->hw.HwAdapterControl(adapter->extension, ScsiQuerySupportedControlTypes, list);
    });
    const BOOLEAN* supported = list->SupportedTypeList;
    adapter->supports_stop = supported[ScsiStopAdapter] != FALSE;
    adapter->supports_restart = supported[ScsiRestartAdapter] != FALSE;
}

NTSTATUS FindAndInitialize(Adapter* adapter) {
    ULONG count = adapter->hw.NumberOfAccessRanges;
    if (adapter->ranges) ExFreePoolWithTag(std::exchange(adapter->ranges, nullptr), kRangesTag);
    if (count) {
        adapter->ranges =
            static_cast<PACCESS_RANGE>(ExAllocatePoolWithTag(NonPagedPool, count * sizeof(ACCESS_RANGE), kRangesTag));
        if (!adapter->ranges) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(adapter->ranges, count * sizeof(ACCESS_RANGE));
    }
    adapter->config = DefaultConfig(adapter->hw, adapter->ranges);
    BOOLEAN again = FALSE;
    ULONG found =
        adapter->hw.HwFindAdapter(adapter->extension, adapter->context, nullptr, nullptr, &adapter->config, &again);
    Record(adapter, [adapter, found, count](AdapterInfo& info) {
        info.find_result = found;
        info.finds += 1;
        info.config = adapter->config;
        info.config.AccessRanges = nullptr;
        info.access_ranges.assign(adapter->ranges, adapter->ranges + count);
    });
    if (found == SP_RETURN_NOT_FOUND) return STATUS_NO_SUCH_DEVICE;
    if (found != SP_RETURN_FOUND) return STATUS_INSUFFICIENT_RESOURCES;
    if (adapter->adapter_control) QueryControlTypes(adapter);
    bool initialized = Synchronized(adapter, [adapter] { return adapter->hw.HwInitialize(adapter->extension) != FALSE; });
    return initialized ? STATUS_SUCCESS : STATUS_ADAPTER_HARDWARE_ERROR;
}

// The unit 0/0/0 keeps its extension across stops, unless a new find asks for another size.
NTSTATUS MakeUnit(Adapter* adapter) {
    ULONG size = adapter->config.SpecificLuExtensionSize;
    if (adapter->lu_extension && adapter->lu_extension_size == size) return STATUS_SUCCESS;
    if (adapter->lu_extension) ExFreePoolWithTag(std::exchange(adapter->lu_extension, nullptr), kUnitTag);
    adapter->lu_extension = ExAllocatePoolWithTag(NonPagedPool, size, kUnitTag);
    if (!adapter->lu_extension) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(adapter->lu_extension, size);
    adapter->lu_extension_size = size;
    return STATUS_SUCCESS;
}

NTSTATUS StartAdapter(Adapter* adapter) {
    NTSTATUS status;
    if (adapter->stopped_by_control && adapter->supports_restart) {
        SCSI_ADAPTER_CONTROL_STATUS restarted = Synchronized(adapter, [adapter] {
            return adapter->hw.HwAdapterControl(adapter->extension, ScsiRestartAdapter, nullptr);
        });
        status = restarted == ScsiAdapterControlSuccess ? STATUS_SUCCESS : STATUS_ADAPTER_HARDWARE_ERROR;
    } else {
        status = FindAndInitialize(adapter);
    }
    adapter->stopped_by_control = false;
    if (NT_SUCCESS(status)) status = MakeUnit(adapter);
    if (NT_SUCCESS(status)) {
        // What waited for the start goes now.
        Synchronized(adapter, [adapter] {
            adapter->started = true;
            adapter->ready = true;
            adapter->hold = false;
        });
    }
    Record(adapter, [status](AdapterInfo& info) {
        info.start_status = status;
        info.started = NT_SUCCESS(status);
    });
    return status;
}

void Hold(Adapter* adapter, bool hold) {
    Synchronized(adapter, [adapter, hold] { adapter->hold = hold; });
}

// Query-stop and query-remove: nothing new starts; agreed once the miniport holds nothing.
NTSTATUS Quiesce(Adapter* adapter) {
    Hold(adapter, true);
    if (Drained(adapter, true)) return STATUS_SUCCESS;
    Hold(adapter, false);
    return STATUS_DEVICE_BUSY;
}

// In the context: the miniport stops (ScsiStopAdapter where it supports it), and its timer with it.
// True when the miniport agreed to the stop.
bool StopLocked(Adapter* adapter) {
    bool stopped = adapter->started && adapter->supports_stop &&
                   adapter->hw.HwAdapterControl(adapter->extension, ScsiStopAdapter, nullptr) == ScsiAdapterControlSuccess;
    adapter->started = false;
    CancelTimerLocked(adapter);
    return stopped;
}

void StopAdapter(Adapter* adapter) {
    Hold(adapter, true);
    Drained(adapter, false);
    Synchronized(adapter, [adapter] { adapter->stopped_by_control = StopLocked(adapter); });
    Record(adapter, [](AdapterInfo& info) { info.started = false; });
}

// Surprise removal and removal; a second call finds nothing left to do.
void Teardown(Adapter* adapter) {
    Synchronized(adapter, [adapter] {
        adapter->removed = true;
        FailQueueLocked(adapter, SRB_STATUS_NO_DEVICE);
    });
    Drained(adapter, true);
    Synchronized(adapter, [adapter] {
        StopLocked(adapter);
        TakeBackLocked(adapter, SRB_STATUS_NO_DEVICE);
        adapter->timer_dead = true;
    });
    RetireTimer(adapter);
    Record(adapter, [](AdapterInfo& info) { info.started = false; });
}

NTSTATUS Remove(Adapter* adapter, PIRP irp) {
    Teardown(adapter);
    if (adapter->lu_extension) ExFreePoolWithTag(std::exchange(adapter->lu_extension, nullptr), kUnitTag);
    if (adapter->ranges) ExFreePoolWithTag(std::exchange(adapter->ranges, nullptr), kRangesTag);
    PDEVICE_OBJECT device = adapter->device;
    PDEVICE_OBJECT lower = adapter->lower;
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(adapter, irp);
    IoDetachDevice(lower);
    Forget(adapter);
    IoDeleteDevice(device);
    return status;
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Adapter* adapter = Enter(device);
    if (!adapter) return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(adapter, irp);
        if (NT_SUCCESS(status))
            status = StartAdapter(adapter);
        else
            Record(adapter, [status](AdapterInfo& info) { info.start_status = status; });
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        Leave(adapter);
        return status;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = Quiesce(adapter);
        if (!NT_SUCCESS(status)) {
            Leave(adapter);
            return CompleteIrp(irp, status);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        // The devices below go on first.
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = ForwardAndWait(adapter, irp);
        Hold(adapter, false);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        Leave(adapter);
        return status;
    case IRP_MN_STOP_DEVICE:
        StopAdapter(adapter);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        Teardown(adapter);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: return Remove(adapter, irp);
    default: break;
    }
    status = PassDown(adapter, irp);
    Leave(adapter);
    return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    Adapter* adapter = Enter(device);
    if (!adapter) return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = PoCallDriver(adapter->lower, irp);
    Leave(adapter);
    return status;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) { return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST); }

}  // namespace scsiport::detail
