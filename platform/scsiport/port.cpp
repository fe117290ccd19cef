// The port's records: ScsiPortInitialize and AddDevice, the adapters and the error log of a boot, and
// the services a miniport may call from any context.
#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

#include "port.h"

namespace scsiport::detail {
namespace {

constexpr ULONG kHeaderMagic = 0x64417053;  // "SpAd"

// The port's part of an adapter's device extension; the miniport's part follows at kHeaderSize.
struct Header {
    ULONG magic;
    Adapter* adapter;
};
constexpr ULONG kHeaderSize = (sizeof(Header) + 15) & ~15u;

struct Miniport {
    HW_INITIALIZATION_DATA hw;
    PVOID context;
    PDRIVER_UNLOAD unload;  // the miniport's own, run after the port's
};

// Made by the first ScsiPortInitialize of a boot with the port's own driver object, and dropped when
// that driver unloads, which every shutdown does.
struct Boot {
    int next_number = 0;
    std::map<PDRIVER_OBJECT, Miniport> miniports;
    std::vector<Adapter*> adapters;
    std::vector<AdapterInfo> removed;
    std::vector<TimerBlock*> timers;
    std::vector<ErrorLogEntry> log;
};

std::mutex g_mutex;
Boot* g_boot = nullptr;

using Guard = std::lock_guard<std::mutex>;

VOID NTAPI PortUnload(PDRIVER_OBJECT) {
    Boot* boot;
    {
        Guard g(g_mutex);
        boot = std::exchange(g_boot, nullptr);
    }
    if (!boot) return;
    // Adapters still here leaked their device objects (the kernel lists those); their timers must not
    // fire into what is freed now.
    for (TimerBlock* timer : boot->timers) {
        KeCancelTimer(&timer->timer);
        KeRemoveQueueDpc(&timer->dpc);
        delete timer;
    }
    for (Adapter* adapter : boot->adapters) delete adapter;
    delete boot;
}

NTSTATUS NTAPI PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = PortUnload;
    return STATUS_SUCCESS;
}

bool EnsureBoot() {
    {
        Guard g(g_mutex);
        if (g_boot) return true;
        g_boot = new Boot;
    }
    if (kernel::LoadDriver("ScsiPort", PortEntry)) return true;
    Guard g(g_mutex);
    delete std::exchange(g_boot, nullptr);
    return false;
}

VOID NTAPI MiniportUnload(PDRIVER_OBJECT driver) {
    PDRIVER_UNLOAD own = nullptr;
    {
        Guard g(g_mutex);
        if (g_boot) {
            auto it = g_boot->miniports.find(driver);
            if (it != g_boot->miniports.end()) {
                own = it->second.unload;
                g_boot->miniports.erase(it);
            }
        }
    }
    if (own) own(driver);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Miniport miniport;
    int number;
    {
        Guard g(g_mutex);
        if (!g_boot) return STATUS_NO_SUCH_DEVICE;
        auto it = g_boot->miniports.find(driver);
        if (it == g_boot->miniports.end()) return STATUS_NO_SUCH_DEVICE;
        miniport = it->second;
        number = g_boot->next_number++;
    }
    char name[32];
    std::snprintf(name, sizeof name, "\\Device\\ScsiPort%d", number);
    std::u16string text = kernel::ToUtf16(name);
    UNICODE_STRING counted{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
    ULONG size = kHeaderSize + miniport.hw.DeviceExtensionSize;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, size, &counted, FILE_DEVICE_CONTROLLER, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory(device->DeviceExtension, size);

    auto* adapter = new Adapter;
    adapter->device = device;
    adapter->extension = static_cast<PUCHAR>(device->DeviceExtension) + kHeaderSize;
    adapter->hw = miniport.hw;
    adapter->context = miniport.context;
    adapter->adapter_control = CallsAdapterControl(miniport.hw);
    KeInitializeEvent(&adapter->idle, NotificationEvent, TRUE);
    KeInitializeSpinLock(&adapter->lock);
    adapter->timer = new TimerBlock{};
    KeInitializeTimer(&adapter->timer->timer);
    KeInitializeDpc(&adapter->timer->dpc, TimerDpc, adapter->timer);
    adapter->timer->adapter = adapter;
    adapter->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!adapter->lower) {
        IoDeleteDevice(device);
        delete adapter->timer;
        delete adapter;
        return STATUS_NO_SUCH_DEVICE;
    }
    *static_cast<Header*>(device->DeviceExtension) = Header{kHeaderMagic, adapter};

    AdapterInfo& info = adapter->info;
    info.number = number;
    info.name = name;
    info.device = device;
    info.extension = adapter->extension;
    std::string driver_name = kernel::ToUtf8(&driver->DriverName);
    info.service = driver_name.substr(driver_name.rfind('\\') + 1);
    info.init_data_size = miniport.hw.HwInitializationDataSize;

    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Guard g(g_mutex);
    g_boot->adapters.push_back(adapter);
    g_boot->timers.push_back(adapter->timer);
    return STATUS_SUCCESS;
}

Adapter* Lookup(PVOID extension) {
    if (!g_boot) return nullptr;
    for (Adapter* adapter : g_boot->adapters)
        if (adapter->extension == extension) return adapter;
    return nullptr;
}

}  // namespace

std::mutex& Mutex() { return g_mutex; }

Adapter* Enter(PDEVICE_OBJECT device) {
    Guard g(g_mutex);
    if (!g_boot) return nullptr;
    for (Adapter* adapter : g_boot->adapters) {
        if (adapter->device == device) {
            adapter->users += 1;
            return adapter;
        }
    }
    return nullptr;
}

void Leave(Adapter* adapter) {
    Guard g(g_mutex);
    adapter->users -= 1;
}

Adapter* FromExtension(PVOID extension, const char* who) {
    Adapter* adapter;
    {
        Guard g(g_mutex);
        adapter = Lookup(extension);
    }
    if (!adapter) kernel::Fault("%s with %p, which is not the device extension of an adapter", who, extension);
    return adapter;
}

void Forget(Adapter* adapter) {
    {
        Guard g(g_mutex);
        std::erase(g_boot->adapters, adapter);
    }
    // The caller is a user too; the others leave soon, since the adapter refuses new work.
    for (;;) {
        {
            Guard g(g_mutex);
            if (adapter->users <= 1) {
                adapter->info.device = nullptr;
                adapter->info.extension = nullptr;
                adapter->info.started = false;
                g_boot->removed.push_back(adapter->info);
                break;
            }
        }
        LARGE_INTEGER pause;
        pause.QuadPart = -10;  // 1 us
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    delete adapter;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace scsiport::detail

namespace scsiport {

using namespace detail;

std::vector<AdapterInfo> Adapters() {
    std::vector<AdapterInfo> all;
    {
        Guard g(g_mutex);
        if (!g_boot) return all;
        all = g_boot->removed;
        for (Adapter* adapter : g_boot->adapters) all.push_back(adapter->info);
    }
    std::sort(all.begin(), all.end(), [](const AdapterInfo& a, const AdapterInfo& b) { return a.number < b.number; });
    return all;
}

std::optional<AdapterInfo> Find(PDEVICE_OBJECT adapter) {
    for (AdapterInfo& info : Adapters())
        if (info.device == adapter) return info;
    return std::nullopt;
}

std::vector<ErrorLogEntry> ErrorLog() {
    Guard g(g_mutex);
    return g_boot ? g_boot->log : std::vector<ErrorLogEntry>{};
}

void ClearErrorLog() {
    Guard g(g_mutex);
    if (g_boot) g_boot->log.clear();
}

}  // namespace scsiport

using namespace scsiport::detail;

ULONG ScsiPortInitialize(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA HwInitializationData,
                         PVOID HwContext) {
    (void)Argument2;
    auto* driver = static_cast<PDRIVER_OBJECT>(Argument1);
    PHW_INITIALIZATION_DATA data = HwInitializationData;
    if (!driver || driver->Type != IO_TYPE_DRIVER || !data) return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
    if (!KnowsInitDataSize(data->HwInitializationDataSize)) return static_cast<ULONG>(STATUS_REVISION_MISMATCH);
    if (!data->HwInitialize || !data->HwStartIo || !data->HwFindAdapter || !data->HwResetBus)
        return static_cast<ULONG>(STATUS_INVALID_PARAMETER);
    if (!EnsureBoot()) return static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES);

    Miniport miniport{};
    std::memcpy(&miniport.hw, data, data->HwInitializationDataSize);
    miniport.context = HwContext;
    miniport.unload = driver->DriverUnload == MiniportUnload ? nullptr : driver->DriverUnload;
    {
        // A later call replaces the data and keeps the miniport's own unload routine.
        Guard g(g_mutex);
        Miniport& slot = g_boot->miniports[driver];
        PDRIVER_UNLOAD own = slot.unload ? slot.unload : miniport.unload;
        slot = miniport;
        slot.unload = own;
    }
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = MiniportUnload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_SCSI] = DispatchScsi;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return static_cast<ULONG>(STATUS_SUCCESS);
}

PVOID ScsiPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun) {
    Adapter* adapter = FromExtension(HwDeviceExtension, "ScsiPortGetLogicalUnit");
    if (!adapter || PathId != 0 || TargetId != 0 || Lun != 0) return nullptr;
    return adapter->lu_extension;
}

VOID ScsiPortLogError(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb, UCHAR PathId, UCHAR TargetId, UCHAR Lun,
                      ULONG ErrorCode, ULONG UniqueId) {
    Adapter* adapter = FromExtension(HwDeviceExtension, "ScsiPortLogError");
    if (!adapter) return;
    int opcode = Srb && Srb->CdbLength ? Srb->Cdb[0] : -1;
    std::string name;
    {
        Guard g(g_mutex);
        name = adapter->info.name;
        g_boot->log.push_back({name, opcode, PathId, TargetId, Lun, ErrorCode, UniqueId, sched::Now()});
    }
    DbgPrint("%s: error 0x%X (id 0x%X) at %u/%u/%u, opcode %d\n", name.c_str(), (unsigned)ErrorCode,
             (unsigned)UniqueId, PathId, TargetId, Lun, opcode);
}

VOID ScsiPortStallExecution(ULONG Delay) { KeStallExecutionProcessor(Delay); }
