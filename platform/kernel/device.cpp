// The I/O manager's devices, drivers, object namespace, files and device interfaces.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"

namespace kernel {
namespace {

struct DeviceInfo {
    std::string name;
    std::string instance_path;
    bool deleted = false;
};

// A name in the object namespace: a device, or a symbolic link to a name or to a device.
struct NameEntry {
    PDEVICE_OBJECT device = nullptr;
    std::string target;
};

std::unordered_map<PVOID, DeviceInfo> g_devices;
std::map<std::string, NameEntry> g_names;  // by folded name
std::vector<InterfaceLink> g_interfaces;
std::unordered_set<PFILE_OBJECT> g_open_files;  // files whose create succeeded
// Drivers whose unload waits for device objects that were deleted but are still referenced.
std::unordered_set<PDRIVER_OBJECT> g_unload_pending;

constexpr ULONG kDeviceTag = detail::MakeTag("Devi");
constexpr ULONG kDriverTag = detail::MakeTag("Driv");
constexpr ULONG kFileTag = detail::MakeTag("File");
constexpr ULONG kNameTag = detail::MakeTag("ObNm");

std::string Fold(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// A counted string in pool memory that the caller frees with RtlFreeUnicodeString.
bool MakePoolString(const std::string& text, POOL_TYPE type, ULONG tag, PUNICODE_STRING out) {
    std::u16string wide = ToUtf16(text);
    std::size_t bytes = wide.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(detail::Allocate(type, bytes + sizeof(WCHAR), tag, "I/O manager"));
    if (!buffer) return false;
    std::memcpy(buffer, wide.data(), bytes);
    buffer[wide.size()] = 0;
    out->Buffer = buffer;
    out->Length = static_cast<USHORT>(bytes);
    out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return true;
}

void FreePoolString(PUNICODE_STRING text) {
    if (text->Buffer) detail::Free(text->Buffer, "I/O manager");
    *text = UNICODE_STRING{};
}

// The device that `path` names and the rest of the path after that name.
PDEVICE_OBJECT Resolve(std::string path, std::string* rest) {
    detail::Guard g(detail::RegistryLock());
    for (int hops = 0; hops < 16; ++hops) {
        std::string folded = Fold(path);
        const NameEntry* found = nullptr;
        std::size_t length = 0;
        for (std::size_t i = folded.size(); i > 0; --i) {
            if (i < folded.size() && folded[i] != '\\') continue;
            auto it = g_names.find(folded.substr(0, i));
            if (it != g_names.end()) {
                found = &it->second;
                length = i;
                break;
            }
        }
        if (!found) return nullptr;
        if (found->device) {
            *rest = path.substr(length);
            return found->device;
        }
        path = found->target + path.substr(length);
    }
    return nullptr;
}

DeviceInfo* InfoOf(PVOID device) {
    auto it = g_devices.find(device);
    return it == g_devices.end() ? nullptr : &it->second;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Sends IRP_MJ_CLEANUP or IRP_MJ_CLOSE for a file and waits for it.
void SendFileRequest(PFILE_OBJECT file, UCHAR major) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = detail::AllocateIrp(top->StackSize, "file close", true);
    if (!irp) {
        Fault("no IRP for closing file %p", static_cast<void*>(file));
        return;
    }
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags |= IRP_SYNCHRONOUS_API | (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    CallAndWait(top, irp);
}

}  // namespace

namespace detail {

void DeleteDeviceObject(PDEVICE_OBJECT device) {
    PDRIVER_OBJECT driver = device->DriverObject;
    if (device->AttachedDevice)
        Fault("device object %p \"%s\" freed while %p is still attached above it", static_cast<void*>(device),
              DeviceName(device).c_str(), static_cast<void*>(device->AttachedDevice));
    ForgetDevice(device);
    FreeObject(device);
    bool unload;
    {
        Guard g(RegistryLock());
        unload = g_unload_pending.count(driver) && !DriverHasDevices(driver);
        if (unload) g_unload_pending.erase(driver);
    }
    if (unload) FinishUnload(driver);
}

// Under the registry lock.
bool DriverHasDevices(PDRIVER_OBJECT driver) {
    for (auto& [body, info] : g_devices)
        if (static_cast<PDEVICE_OBJECT>(body)->DriverObject == driver) return true;
    return false;
}

void FinishUnload(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload) driver->DriverUnload(driver);
    FreePoolString(&driver->DriverName);
    FreeObject(driver);
}

void ForgetDevice(PVOID body) {
    ForgetPowerRecord(static_cast<PDEVICE_OBJECT>(body));
    Guard g(RegistryLock());
    g_devices.erase(body);
}

void CloseFileObject(PFILE_OBJECT file) {
    bool opened;
    {
        Guard g(RegistryLock());
        opened = g_open_files.erase(file) != 0;
    }
    if (opened) {
        SendFileRequest(file, IRP_MJ_CLEANUP);
        SendFileRequest(file, IRP_MJ_CLOSE);
    }
    PDEVICE_OBJECT device = file->DeviceObject;
    std::atomic_ref<LONG>(device->ReferenceCount).fetch_sub(1);
    FreePoolString(&file->FileName);
    FreeObject(file);
    ObDereferenceObject(device);
    if (opened) FileClosed();
}

bool DeviceDeleted(PDEVICE_OBJECT device) {
    Guard g(RegistryLock());
    DeviceInfo* info = InfoOf(device);
    return !info || info->deleted;
}

bool StackHasOpenFiles(PDEVICE_OBJECT pdo) {
    Guard g(RegistryLock());
    for (PFILE_OBJECT file : g_open_files)
        for (PDEVICE_OBJECT device = pdo; device; device = device->AttachedDevice)
            if (file->DeviceObject == device) return true;
    return false;
}

}  // namespace detail

PDRIVER_OBJECT LoadDriver(const char* name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    std::size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    auto* driver = static_cast<PDRIVER_OBJECT>(detail::NewObject(detail::ObjectType::Driver, size, kDriverTag,
                                                                 std::string("driver ") + name));
    NTSTATUS result = STATUS_INSUFFICIENT_RESOURCES;
    if (driver) {
        driver->Type = IO_TYPE_DRIVER;
        driver->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
        driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
        driver->DriverExtension->DriverObject = driver;
        driver->DriverInit = entry;
        for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
        UNICODE_STRING registry_path{};
        if (MakePoolString(std::string("\\Driver\\") + name, PagedPool, kNameTag, &driver->DriverName) &&
            MakePoolString(std::string("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + name,
                           PagedPool, kNameTag, &registry_path)) {
            result = entry(driver, &registry_path);
        }
        FreePoolString(&registry_path);
        if (!NT_SUCCESS(result)) {
            FreePoolString(&driver->DriverName);
            detail::FreeObject(driver);
            driver = nullptr;
        }
    }
    if (status) *status = result;
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject)
        Fault("driver %s unloaded while it still has device objects", ToUtf8(&driver->DriverName).c_str());
    {
        // A deleted device that someone still references keeps its driver loaded, as on the
        // platform: its requests (a close, say) still reach the driver's routines.
        detail::Guard g(detail::RegistryLock());
        if (detail::DriverHasDevices(driver)) {
            g_unload_pending.insert(driver);
            return;
        }
    }
    detail::FinishUnload(driver);
}

NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    IO_STATUS_BLOCK status_block{};
    if (!irp->UserEvent) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp->UserEvent = &done;
        irp->UserIosb = &status_block;
    }
    PKEVENT event = irp->UserEvent;
    PIO_STATUS_BLOCK result = irp->UserIosb;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = result->Status;
    }
    return status;
}

NTSTATUS OpenFile(const std::string& path, ACCESS_MASK access, PFILE_OBJECT* file) {
    *file = nullptr;
    std::string rest;
    PDEVICE_OBJECT device = Resolve(path, &rest);
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    auto* fo = static_cast<PFILE_OBJECT>(
        detail::NewObject(detail::ObjectType::File, sizeof(FILE_OBJECT), kFileTag, "open " + path));
    if (!fo) return STATUS_INSUFFICIENT_RESOURCES;
    fo->Type = IO_TYPE_FILE;
    fo->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
    fo->DeviceObject = device;
    ObReferenceObject(device);
    std::atomic_ref<LONG>(device->ReferenceCount).fetch_add(1);
    if (!rest.empty() && !MakePoolString(rest, NonPagedPool, kNameTag, &fo->FileName)) {
        ObDereferenceObject(fo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = detail::AllocateIrp(top->StackSize, "open " + path, true);
    if (!irp) {
        ObDereferenceObject(fo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = access;
    irp->Tail.Overlay.OriginalFileObject = fo;
    irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->FileObject = fo;
    stack->Parameters.Create.SecurityContext = &security;
    NTSTATUS status = CallAndWait(top, irp);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(fo);
        return status;
    }
    {
        detail::Guard g(detail::RegistryLock());
        g_open_files.insert(fo);
    }
    *file = fo;
    return status;
}

PDEVICE_OBJECT FindDevice(const std::string& name) {
    detail::Guard g(detail::RegistryLock());
    auto it = g_names.find(Fold(name));
    return it == g_names.end() ? nullptr : it->second.device;
}

std::string DeviceName(PDEVICE_OBJECT device) {
    detail::Guard g(detail::RegistryLock());
    DeviceInfo* info = InfoOf(device);
    return info ? info->name : std::string();
}

void SetInstancePath(PDEVICE_OBJECT pdo, const std::string& path) {
    detail::Guard g(detail::RegistryLock());
    if (DeviceInfo* info = InfoOf(pdo)) info->instance_path = path;
}

std::string InstancePath(PDEVICE_OBJECT pdo) {
    detail::Guard g(detail::RegistryLock());
    DeviceInfo* info = InfoOf(pdo);
    return info ? info->instance_path : std::string();
}

std::vector<InterfaceLink> InterfaceLinks() {
    detail::Guard g(detail::RegistryLock());
    return g_interfaces;
}

namespace detail {

void ResetNames() {
    Guard g(RegistryLock());
    g_unload_pending.clear();
    g_names.clear();
    g_interfaces.clear();
    g_open_files.clear();
    g_devices.clear();
}

}  // namespace detail
}  // namespace kernel

using namespace kernel;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    std::string name = DeviceName ? ToUtf8(DeviceName) : std::string();
    std::size_t extension_offset = (sizeof(DEVICE_OBJECT) + sizeof(DEVOBJ_EXTENSION) + 15) & ~std::size_t(15);
    auto* device = static_cast<PDEVICE_OBJECT>(detail::NewObject(
        detail::ObjectType::Device, extension_offset + DeviceExtensionSize, kDeviceTag,
        "IoCreateDevice " + (name.empty() ? std::string("(unnamed)") : name)));
    if (!device) return STATUS_INSUFFICIENT_RESOURCES;
    bool collision;
    {
        detail::Guard g(detail::RegistryLock());
        collision = !name.empty() && g_names.count(Fold(name)) != 0;
        if (!collision) {
            if (!name.empty()) g_names[Fold(name)].device = device;
            g_devices[device].name = name;
        }
    }
    if (collision) {
        detail::FreeObject(device);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (name.empty() ? 0 : DO_DEVICE_HAS_NAME) | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<PCHAR>(device) + extension_offset : nullptr;
    device->DeviceObjectExtension = reinterpret_cast<PDEVOBJ_EXTENSION>(device + 1);
    device->DeviceObjectExtension->Type = 13;
    device->DeviceObjectExtension->Size = static_cast<USHORT>(sizeof(DEVOBJ_EXTENSION));
    device->DeviceObjectExtension->DeviceObject = device;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    std::string problem;
    {
        detail::Guard g(detail::RegistryLock());
        DeviceInfo* info = InfoOf(DeviceObject);
        if (!info) {
            problem = "not a device object";
        } else if (info->deleted) {
            problem = "deleted already";
        } else if (DeviceObject->DeviceObjectExtension->AttachedTo) {
            problem = "it is still attached to a lower device (IoDetachDevice first)";
        } else {
            info->deleted = true;
            for (auto it = g_names.begin(); it != g_names.end();)
                it = it->second.device == DeviceObject ? g_names.erase(it) : std::next(it);
            std::erase_if(g_interfaces, [&](const InterfaceLink& l) { return l.pdo == DeviceObject; });
        }
    }
    // A device still attached to a lower one is left alone: the lower device would keep pointing at
    // it. A bus driver deletes its physical device object while the function device above is still
    // attached (it detaches on its way back); the object goes with its last reference.
    if (!problem.empty()) return Fault("IoDeleteDevice of %p: %s", static_cast<void*>(DeviceObject), problem.c_str());
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link) *link = DeviceObject->NextDevice;
    DeviceObject->NextDevice = nullptr;
    ObDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObReferenceObject(top);
    return top;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    {
        detail::Guard g(detail::RegistryLock());
        DeviceInfo* info = InfoOf(top);
        if (!info || info->deleted) return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    SourceDevice->SectorSize = top->SectorSize;
    ObReferenceObject(top);  // held until IoDetachDevice
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (!upper) return Fault("IoDetachDevice of %p, which has nothing attached", static_cast<void*>(TargetDevice));
    TargetDevice->AttachedDevice = nullptr;
    upper->DeviceObjectExtension->AttachedTo = nullptr;
    ObDereferenceObject(TargetDevice);
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
    if (detail::Irql() != PASSIVE_LEVEL) Fault("IoGetDeviceObjectPointer at IRQL %u", detail::Irql());
    PFILE_OBJECT file;
    NTSTATUS status = OpenFile(ToUtf8(ObjectName), DesiredAccess, &file);
    if (!NT_SUCCESS(status)) return status;
    *FileObject = file;
    *DeviceObject = IoGetRelatedDeviceObject(file);
    return status;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    detail::Guard g(detail::RegistryLock());
    std::string key = Fold(ToUtf8(SymbolicLinkName));
    if (g_names.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    g_names[key].target = ToUtf8(DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    detail::Guard g(detail::RegistryLock());
    auto it = g_names.find(Fold(ToUtf8(SymbolicLinkName)));
    if (it == g_names.end() || it->second.device) return STATUS_OBJECT_NAME_NOT_FOUND;
    g_names.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    if (detail::Irql() != PASSIVE_LEVEL) Fault("IoRegisterDeviceInterface at IRQL %u", detail::Irql());
    std::string instance = InstancePath(PhysicalDeviceObject);
    if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object of Plug and Play
    std::replace(instance.begin(), instance.end(), '\\', '#');
    std::string link = "\\??\\" + instance + "#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString && ReferenceString->Length) link += "\\" + ToUtf8(ReferenceString);
    {
        detail::Guard g(detail::RegistryLock());
        bool known = std::any_of(g_interfaces.begin(), g_interfaces.end(),
                                 [&](const InterfaceLink& l) { return Fold(l.link) == Fold(link); });
        if (!known) g_interfaces.push_back(InterfaceLink{*InterfaceClassGuid, PhysicalDeviceObject, link, false});
    }
    if (!MakePoolString(link, PagedPool, kNameTag, SymbolicLinkName)) return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    std::string key = Fold(ToUtf8(SymbolicLinkName));
    detail::Guard g(detail::RegistryLock());
    auto it = std::find_if(g_interfaces.begin(), g_interfaces.end(),
                           [&](const InterfaceLink& l) { return Fold(l.link) == key; });
    if (it == g_interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable) {
        if (it->enabled) return STATUS_OBJECT_NAME_EXISTS;
        it->enabled = true;
        g_names[key].device = it->pdo;
    } else {
        if (!it->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        it->enabled = false;
        g_names.erase(key);
    }
    return STATUS_SUCCESS;
}
