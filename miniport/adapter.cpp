// Adapter setup and binding: registration with the SCSI port, the search for the camera behind the
// USB function driver's named device objects, its configuration, the four-slot binding table, and
// the request primitive that carries every USB request to the camera.
#include "tvscsi.h"

BINDING_SLOT BindingTable[MINIPORT_SLOTS];
WORK_QUEUE_ITEM AdapterWorkItems[MINIPORT_SLOTS];

static ULONG FindCounter;            // what ScsiPortInitialize hands to HwFindAdapter as its context
static PVOID FindContext = &FindCounter;

typedef struct _CALL_CONTEXT {
    PADAPTER_EXTENSION Adapter;
    PIRP Irp;
    PURB Urb;
} CALL_CONTEXT, *PCALL_CONTEXT;

#if defined(__i386__)
static_assert(sizeof(CALL_CONTEXT) == 12);
#endif

/*
 * DriverEntry: registers the miniport with the SCSI port driver.
 */
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    HW_INITIALIZATION_DATA data;
    RtlZeroMemory(&data, sizeof(data));
    data.HwInitialize = HwInitialize;
    data.HwStartIo = HwStartIo;
    data.HwFindAdapter = HwFindAdapter;
    data.HwResetBus = HwResetBus;
    data.DeviceExtensionSize = sizeof(ADAPTER_EXTENSION);
    data.SpecificLuExtensionSize = sizeof(REQUEST_RECORD);
    data.SrbExtensionSize = 0;
    data.MapBuffers = TRUE;
    FillInitializationData(&data);
    for (ULONG i = 0; i < MINIPORT_SLOTS; ++i) {
        // Each slot's work item carries its adapter, set when the adapter binds to the slot.
        ExInitializeWorkItem(&AdapterWorkItems[i], RequestWorker, NULL);
    }
    // Each load starts from a fresh image: nothing of an earlier load's slots remains.
    RtlZeroMemory(BindingTable, sizeof(BindingTable));
    FindCounter = 0;
    return (NTSTATUS)ScsiPortInitialize(DriverObject, RegistryPath, &data, &FindCounter);
}

/*
 * SendUsbRequest: one internal device-control request to the USB driver, waited for without a time
 * limit. PASSIVE_LEVEL. The kind comes from the adapter's RequestKind.
 */
NTSTATUS SendUsbRequest(PADAPTER_EXTENSION Adapter, PDEVICE_OBJECT Target, PURB Urb) {
    PCALL_CONTEXT context =
        static_cast<PCALL_CONTEXT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(CALL_CONTEXT), MINIPORT_TAG));
    if (context == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PIRP irp = IoAllocateIrp((CCHAR)(Target->StackSize + 1), FALSE);
    if (irp == NULL) {
        ExFreePool(context);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetNextIrpStackLocation(irp);  // the first location is the miniport's own
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = NULL;
    next->Parameters.Others.Argument2 = NULL;
    switch (Adapter->RequestKind) {
    case REQUEST_KIND_URB:
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = Urb;
        break;
    case REQUEST_KIND_PORT_STATUS:
        Adapter->PortStatus = 0;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        next->Parameters.Others.Argument1 = &Adapter->PortStatus;
        break;
    case REQUEST_KIND_RESET_PORT: next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT; break;
    default: next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_ENABLE_PORT; break;
    }
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    context->Adapter = Adapter;
    context->Irp = irp;
    context->Urb = Urb;
    Adapter->CurrentIrp = irp;
    IoSetCompletionRoutine(irp, CompleteCallUSBD, context, TRUE, TRUE, TRUE);
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PrepareCompletionWait(Adapter);
    return WaitForCompletion(Adapter, IoCallDriver(Target, irp));
}

/*
 * CompleteCallUSBD: the completion routine of every request of SendUsbRequest. Up to DISPATCH_LEVEL.
 *
 * The IRP is freed here unless the watchdog is cancelling it at this moment; then the watchdog frees
 * it once its cancel is done, so the cancel never reaches a freed IRP.
 */
NTSTATUS CompleteCallUSBD(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PCALL_CONTEXT context = static_cast<PCALL_CONTEXT>(Context);
    PADAPTER_EXTENSION adapter = context->Adapter;
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    KIRQL irql;
    KeAcquireSpinLock(&adapter->IrpLock, &irql);
    adapter->CurrentIrp = NULL;
    BOOLEAN freeNow = !adapter->CancelInProgress;
    if (!freeNow) adapter->FreeOwed = Irp;
    KeReleaseSpinLock(&adapter->IrpLock, irql);
    if (freeNow) IoFreeIrp(Irp);
    context->Irp = NULL;
    if (adapter->UrbBuffer != NULL) adapter->LastUsbdStatus = reinterpret_cast<PURB>(adapter->UrbBuffer)->UrbHeader.Status;
    SignalCompletion(adapter);
    ExFreePool(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * CancelCurrentIrp: cancels the request at the USB driver, if any. The port's synchronised context.
 */
VOID CancelCurrentIrp(PADAPTER_EXTENSION Adapter) {
    KIRQL irql;
    KeAcquireSpinLock(&Adapter->IrpLock, &irql);
    PIRP irp = Adapter->CurrentIrp;
    if (irp != NULL) Adapter->CancelInProgress = TRUE;
    KeReleaseSpinLock(&Adapter->IrpLock, irql);
    if (irp == NULL) return;
    IoCancelIrp(irp);
    KeAcquireSpinLock(&Adapter->IrpLock, &irql);
    Adapter->CancelInProgress = FALSE;
    PIRP owed = Adapter->FreeOwed;
    Adapter->FreeOwed = NULL;
    KeReleaseSpinLock(&Adapter->IrpLock, irql);
    if (owed != NULL) IoFreeIrp(owed);
}

static BOOLEAN IsCamera(PUSB_DEVICE_DESCRIPTOR Descriptor) {
    return Descriptor->bDeviceClass == 0 && Descriptor->bDeviceSubClass == 0 && Descriptor->bDeviceProtocol == 0 &&
           Descriptor->idVendor == 0xE7A4 && (Descriptor->idProduct == 0x0004 || Descriptor->idProduct == 0x0015);
}

static VOID PortCheck(PADAPTER_EXTENSION Adapter, PDEVICE_OBJECT Target) {
    Adapter->RequestKind = REQUEST_KIND_PORT_STATUS;
    SendUsbRequest(Adapter, Target, NULL);
    if ((Adapter->PortStatus & USBD_PORT_CONNECTED) && !(Adapter->PortStatus & USBD_PORT_ENABLED)) {
        Adapter->RequestKind = REQUEST_KIND_ENABLE_PORT;
        SendUsbRequest(Adapter, Target, NULL);
    }
}

/*
 * FindCamera: opens "\Device\RERAREV-1" to "-4" in turn, and configures every camera found there.
 * Returns 1 when a camera was configured, 2 when a buffer could not be allocated, else 0.
 */
ULONG FindCamera(PADAPTER_EXTENSION Adapter) {
    PUCHAR scanBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, MINIPORT_URB_SIZE, MINIPORT_TAG));
    if (scanBuffer == NULL) return 2;
    RtlZeroMemory(scanBuffer, MINIPORT_URB_SIZE);
    ULONG result = 0;
    for (ULONG n = 1; n <= MINIPORT_SLOTS; ++n) {
        PBINDING_SLOT slot = &BindingTable[n - 1];
        char name[32];
        sprintf(name, "\\Device\\RERAREV-%d", (int)n);
        ANSI_STRING ansiName;
        UNICODE_STRING unicodeName;
        RtlInitAnsiString(&ansiName, name);
        if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&unicodeName, &ansiName, TRUE))) {
            slot->UsbDeviceObject = NULL;
            continue;
        }
        PFILE_OBJECT file = NULL;
        PDEVICE_OBJECT device = NULL;
        NTSTATUS status = IoGetDeviceObjectPointer(&unicodeName, NamedDeviceAccess, &file, &device);
        RtlFreeUnicodeString(&unicodeName);
        if (!NT_SUCCESS(status)) {
            slot->UsbDeviceObject = NULL;
            continue;
        }
        ObDereferenceObject(file);  // the device object pointer is kept without a reference

        PUSB_DEVICE_DESCRIPTOR descriptor =
            static_cast<PUSB_DEVICE_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, 50, MINIPORT_TAG));
        if (descriptor == NULL) {
            result = 2;
            continue;
        }
        PortCheck(Adapter, device);
        PURB urb = reinterpret_cast<PURB>(scanBuffer);
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                     0, descriptor, NULL, 50, NULL);
        Adapter->RequestKind = REQUEST_KIND_URB;
        Adapter->UrbBuffer = scanBuffer;
        status = SendUsbRequest(Adapter, device, urb);
        if (status != STATUS_SUCCESS || urb->UrbHeader.Status != USBD_STATUS_SUCCESS || !IsCamera(descriptor)) {
            slot->UsbDeviceObject = NULL;
        } else {
            slot->ConfigHandle = Adapter->ConfigHandle;
            slot->InterfaceInfo = NULL;
            Adapter->UsbDeviceObject = device;
            Adapter->ProductId = descriptor->idProduct;
            if (ConfigureCamera(Adapter, n - 1) == STATUS_SUCCESS) {
                if (slot->UsbDeviceObject != device) slot->Replaced = TRUE;  // new, or another object
                slot->ConfigHandle = Adapter->ConfigHandle;
                slot->InterfaceInfo = Adapter->InterfaceInfo;
                slot->UsbDeviceObject = device;
                result = 1;
                CountCameras(FindContext, 1);
            }
        }
        ExFreePool(descriptor);
    }
    // The scan's buffer goes; HwFindAdapter gives the adapter its lasting one.
    if (Adapter->UrbBuffer == scanBuffer) Adapter->UrbBuffer = NULL;
    ExFreePool(scanBuffer);
    return result;
}

/*
 * ConfigureCamera: port check, then the configuration is read and selected.
 */
NTSTATUS ConfigureCamera(PADAPTER_EXTENSION Adapter, ULONG Slot) {
    Adapter->RequestKind = REQUEST_KIND_PORT_STATUS;
    NTSTATUS status = SendUsbRequest(Adapter, Adapter->UsbDeviceObject, NULL);
    if (status == STATUS_SUCCESS && (Adapter->PortStatus & USBD_PORT_CONNECTED) &&
        !(Adapter->PortStatus & USBD_PORT_ENABLED)) {
        Adapter->RequestKind = REQUEST_KIND_ENABLE_PORT;
        status = SendUsbRequest(Adapter, Adapter->UsbDeviceObject, NULL);
    }
    if (status == STATUS_SUCCESS) status = ReadConfiguration(Adapter, Slot);
    if (status != STATUS_SUCCESS) {
        Adapter->ConfigHandle = NULL;
        Adapter->InterfaceInfo = NULL;
    }
    return status;
}

/*
 * ReadConfiguration: reads the whole configuration descriptor (137 bytes first, then as many as it
 * says) and selects it.
 */
NTSTATUS ReadConfiguration(PADAPTER_EXTENSION Adapter, ULONG Slot) {
    ULONG size = 137;
    PUSB_CONFIGURATION_DESCRIPTOR descriptor;
    for (;;) {
        descriptor =
            static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, MINIPORT_TAG));
        if (descriptor == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        PURB urb = reinterpret_cast<PURB>(Adapter->UrbBuffer);
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, NULL, size, NULL);
        Adapter->RequestKind = REQUEST_KIND_URB;
        SendUsbRequest(Adapter, Adapter->UsbDeviceObject, urb);
        if (urb->UrbControlDescriptorRequest.TransferBufferLength != 0 && descriptor->wTotalLength > size) {
            size = descriptor->wTotalLength;
            ExFreePool(descriptor);
            continue;
        }
        break;
    }
    NTSTATUS status = SelectCameraConfiguration(Adapter, descriptor, Slot);
    ExFreePool(descriptor);
    return status;
}

/*
 * SelectCameraConfiguration: selects the first interface and keeps a copy of its pipe table in the
 * slot. The interface must be class, subclass and protocol 0xFF.
 *
 * The slot's InterfaceCopy holds every pipe an interface can have.
 */
NTSTATUS SelectCameraConfiguration(PADAPTER_EXTENSION Adapter, PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Slot) {
    Adapter->MaxTransferSize = MINIPORT_MAX_TRANSFER;
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(Descriptor, &size);
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    if (USBD_ParseConfigurationDescriptorEx(Descriptor, Descriptor, -1, -1, -1, -1, -1) == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
        interface->Pipes[i].MaximumTransferSize = MINIPORT_MAX_TRANSFER;
        interface->Pipes[i].PipeFlags = 0;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = Descriptor;
    Adapter->RequestKind = REQUEST_KIND_URB;
    NTSTATUS status = SendUsbRequest(Adapter, Adapter->UsbDeviceObject, urb);
    if (status == STATUS_SUCCESS) {
        PBINDING_SLOT slot = &BindingTable[Slot];
        Adapter->ConfigHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        PUSBD_INTERFACE_INFORMATION copy = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(slot->InterfaceCopy);
        if (interface->Length > sizeof(slot->InterfaceCopy)) {
            status = STATUS_INSUFFICIENT_RESOURCES;  // more pipes than USB allows: not a camera
            Adapter->ConfigHandle = NULL;
            Adapter->InterfaceInfo = NULL;
        } else {
            RtlCopyMemory(copy, interface, interface->Length);
            Adapter->InterfaceInfo = copy;
            if (copy->Class != 0xFF || copy->SubClass != 0xFF || copy->Protocol != 0xFF) {
                Adapter->ConfigHandle = NULL;
                Adapter->InterfaceInfo = NULL;
                status = STATUS_ACCESS_DENIED;
            }
        }
    }
    ExFreePool(urb);
    return status;
}

// Binds the adapter to a slot that a camera has: its own slot first, else a replaced one, else a
// free one. Returns FALSE when no buffer could be had.
static BOOLEAN BindAdapter(PADAPTER_EXTENSION Adapter, PBOOLEAN Bound, PBOOLEAN TookOver) {
    *Bound = FALSE;
    *TookOver = FALSE;
    for (ULONG i = 0; i < MINIPORT_SLOTS; ++i) {
        PBINDING_SLOT slot = &BindingTable[i];
        if (!slot->InUse || slot->UsbDeviceObject == NULL) continue;
        if (slot->Owner == Adapter) {
            Adapter->AdapterIndex = i;
            Adapter->UsbDeviceObject = slot->UsbDeviceObject;
            Adapter->UrbBuffer = slot->UrbBuffer;
            Adapter->HungCount = 0;
            slot->Replaced = FALSE;
            *Bound = TRUE;
        } else if (slot->Replaced) {
            slot->Owner = Adapter;
            Adapter->AdapterIndex = i;
            Adapter->UsbDeviceObject = slot->UsbDeviceObject;
            Adapter->UrbBuffer = slot->UrbBuffer;
            Adapter->ConfigHandle = slot->ConfigHandle;
            Adapter->InterfaceInfo = slot->InterfaceInfo;
            Adapter->HungCount = 0;
            slot->Replaced = FALSE;
            *TookOver = TRUE;
        } else {
            continue;
        }
        // A slot whose buffer was freed by a stop gets a new one.
        if (Adapter->UrbBuffer == NULL) {
            Adapter->UrbBuffer = NewRequestBuffer(i);
            if (Adapter->UrbBuffer == NULL) return FALSE;
            slot->UrbBuffer = Adapter->UrbBuffer;
        }
    }
    if (*Bound) return TRUE;
    for (ULONG i = 0; i < MINIPORT_SLOTS; ++i) {
        PBINDING_SLOT slot = &BindingTable[i];
        if (slot->UsbDeviceObject == NULL || slot->InUse) continue;
        PUCHAR buffer = NewRequestBuffer(i);
        if (buffer == NULL) return FALSE;
        Adapter->AdapterIndex = i;
        Adapter->UsbDeviceObject = slot->UsbDeviceObject;
        Adapter->ConfigHandle = slot->ConfigHandle;
        Adapter->InterfaceInfo = slot->InterfaceInfo;
        Adapter->UrbBuffer = buffer;
        Adapter->HungCount = 0;
        slot->Owner = Adapter;
        slot->UrbBuffer = buffer;
        slot->InUse = TRUE;
        slot->Replaced = FALSE;
        *Bound = TRUE;
        break;
    }
    return TRUE;
}

/*
 * HwFindAdapter: finds the camera, binds the adapter to its slot and sets the port configuration.
 * PASSIVE_LEVEL.
 *
 * An adapter for which every camera is bound to another adapter is still reported as found, but
 * left unbound (no device object, configuration or buffer), so that it refuses every request.
 */
ULONG HwFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation, PCHAR ArgumentString,
                    PPORT_CONFIGURATION_INFORMATION ConfigInfo, PBOOLEAN Again) {
    UNREFERENCED_PARAMETER(HwContext);
    UNREFERENCED_PARAMETER(BusInformation);
    UNREFERENCED_PARAMETER(ArgumentString);
    PADAPTER_EXTENSION adapter = static_cast<PADAPTER_EXTENSION>(DeviceExtension);
    *Again = FALSE;
    KeInitializeSpinLock(&adapter->IrpLock);
    adapter->CurrentRequest = &adapter->InternalRequestRecord;
    CountCameras(HwContext, 0);
    ULONG found = FindCamera(adapter);
    CountCameras(HwContext, -1);
    if (found != 1) return found == 2 ? SP_RETURN_ERROR : SP_RETURN_NOT_FOUND;
    BOOLEAN bound = FALSE;
    BOOLEAN tookOver = FALSE;
    if (!BindAdapter(adapter, &bound, &tookOver)) return SP_RETURN_ERROR;
    if (!bound && !tookOver) {
        // No slot for it: what the scan left in the record must not be used, and the slots' work
        // items stay their owners'.
        adapter->UsbDeviceObject = NULL;
        adapter->ConfigHandle = NULL;
        adapter->InterfaceInfo = NULL;
        adapter->UrbBuffer = NULL;
    } else {
        AdapterWorkItems[adapter->AdapterIndex].Parameter = adapter;
    }
    ConfigInfo->BusInterruptLevel = 0;
    ConfigInfo->NumberOfBuses = 1;
    ConfigInfo->InitiatorBusId[0] = 7;
    ConfigInfo->MapBuffers = TRUE;
    ConfigInfo->NeedPhysicalAddresses = FALSE;
    SetPortConfiguration(ConfigInfo);
    return SP_RETURN_FOUND;
}

/*
 * HwInitialize: the next request starts with the recovery sequence.
 */
BOOLEAN HwInitialize(PVOID DeviceExtension) {
    PADAPTER_EXTENSION adapter = static_cast<PADAPTER_EXTENSION>(DeviceExtension);
    adapter->StateFlags = 0;
    adapter->CurrentIrp = NULL;
    return TRUE;
}
