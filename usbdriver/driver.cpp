// Driver entry, AddDevice, and the creation of the function device.
#include "usbscsi.h"

PDEVICE_OBJECT AddedDevice[USCSI_MAX_DEVICES];
PDEVICE_OBJECT CommonScsiPDO;
PDRIVER_OBJECT UScsi_DriverObject;

/*
 * DriverEntry: clears the device table, remembers the driver object and fills the dispatch table.
 * PASSIVE_LEVEL.
 */
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG i = 0; i < USCSI_MAX_DEVICES; ++i) AddedDevice[i] = NULL;
    CommonScsiPDO = NULL;
    UScsi_DriverObject = DriverObject;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = UScsi_Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = UScsi_Close;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UScsi_ProcessIOCTL;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = UScsi_InernalDeviceIOCTL;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = UScsi_ProcessSysControlIrp;
    DriverObject->MajorFunction[IRP_MJ_PNP] = UScsi_ProcessPnPIrp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = UScsi_ProcessPowerIrp;
    DriverObject->DriverUnload = UScsi_Unload;
    DriverObject->DriverExtension->AddDevice = UScsi_PnPAddDevice;
    return STATUS_SUCCESS;
}

VOID UScsi_Unload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

/*
 * UScsi_PnPAddDevice: creates the function device, attaches it above the physical device and
 * reads the capabilities that decide the self-suspend level. PASSIVE_LEVEL.
 */
NTSTATUS UScsi_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = UScsi_CreateDeviceObject(DriverObject, PhysicalDeviceObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        KdPrint(("UScsi_PnPAddDevice: UScsi_CreateDeviceObject failed 0x%08X\n", (unsigned)status));
        return status;
    }
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(deviceObject);
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    ext->PhysicalDevice = PhysicalDeviceObject;
    ext->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);

    UScsi_QueryCapabilities(PhysicalDeviceObject, &ext->Capabilities);

    // The deepest sleeping state's device state that still keeps the device powered wins.
    ext->SuspendLevel = PowerDeviceUnspecified;
    static const SYSTEM_POWER_STATE sleeping[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3};
    for (SYSTEM_POWER_STATE state : sleeping) {
        if (ext->Capabilities.DeviceState[state] < PowerDeviceD3) ext->SuspendLevel = ext->Capabilities.DeviceState[state];
    }
    ext->PowerChangePending = FALSE;
    UScsi_IncrementIoCount(deviceObject);  // the base reference, dropped by removal
    return STATUS_SUCCESS;
}

/*
 * UScsi_InitializeExtension: the events, the lock and the transfer size of a new device object, for
 * the function device and the child alike.
 */
VOID UScsi_InitializeExtension(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    ext->MaxTransferSize = USCSI_MAX_TRANSFER_SIZE;
    KeInitializeEvent(&ext->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->SelfPowerEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->ChainDoneEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&ext->IdleEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&ext->IoCountLock);
}

/*
 * UScsi_CreateDeviceObject: registers the device interface, takes the one slot of AddedDevice and
 * creates the named function device "\Device\RERAREV-<slot+1>". PASSIVE_LEVEL.
 */
NTSTATUS UScsi_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PDEVICE_OBJECT* DeviceObject) {
    UNICODE_STRING linkName = {0, 0, NULL};
    NTSTATUS status = UScsi_SymbolicLink(PhysicalDeviceObject, &linkName);
    if (!NT_SUCCESS(status)) return status;

    ULONG slot = USCSI_MAX_DEVICES;
    for (ULONG i = 0; i < USCSI_MAX_DEVICES; ++i) {
        if (AddedDevice[i] == NULL) {
            slot = i;
            break;
        }
    }
    if (slot == USCSI_MAX_DEVICES) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (linkName.Length / sizeof(WCHAR) >= USCSI_LINK_CHARS) {
        // The extension keeps the link name with its terminating zero in 256 characters.
        status = STATUS_NAME_TOO_LONG;
    } else {
        char name[32];
        sprintf(name, "\\Device\\RERAREV-%d", (int)(slot + 1));
        ANSI_STRING ansiName;
        UNICODE_STRING deviceName;
        RtlInitAnsiString(&ansiName, name);
        status = RtlAnsiStringToUnicodeString(&deviceName, &ansiName, TRUE);
        if (NT_SUCCESS(status)) {
            status = IoCreateDevice(DriverObject, sizeof(USCSI_DEVICE_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                    FALSE, DeviceObject);
            RtlFreeUnicodeString(&deviceName);
        }
    }
    if (!NT_SUCCESS(status)) {
        // Nothing keeps the interface of a device that was not created.
        KdPrint(("UScsi_CreateDeviceObject: failed 0x%08X\n", (unsigned)status));
        IoSetDeviceInterfaceState(&linkName, FALSE);
        RtlFreeUnicodeString(&linkName);
        return status;
    }
    AddedDevice[slot] = *DeviceObject;
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(*DeviceObject);
    UScsi_InitializeExtension(*DeviceObject);
    RtlCopyMemory(ext->InterfaceLinkName, linkName.Buffer, linkName.Length);
    RtlFreeUnicodeString(&linkName);
    return STATUS_SUCCESS;
}

/*
 * UScsi_SymbolicLink: registers and enables GUID_CLASS_USBSCSI_BULK on the physical device.
 */
NTSTATUS UScsi_SymbolicLink(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING LinkName) {
    NTSTATUS status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_CLASS_USBSCSI_BULK, NULL, LinkName);
    if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(LinkName, TRUE);
    return status;
}

/*
 * UScsi_QueryCapabilities: asks the physical device for its capabilities with a request of our own.
 * PASSIVE_LEVEL.
 */
NTSTATUS UScsi_QueryCapabilities(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_CAPABILITIES Capabilities) {
    PIRP irp = IoAllocateIrp(PhysicalDeviceObject->StackSize, FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = (ULONG)-1;
    Capabilities->UINumber = (ULONG)-1;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what an unanswered Plug and Play request reports
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
    IoSetCompletionRoutine(irp, UScsi_IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(PhysicalDeviceObject, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
    IoFreeIrp(irp);
    return status;
}
