// The USB side of the function device: descriptors, configuration, synchronous request blocks,
// pipes and the hub port. Everything here waits, so it runs at PASSIVE_LEVEL only.
#include "usbscsi.h"

/*
 * UScsi_IrpCompletionRoutine: wakes the sender of a request that it waits for, and keeps the
 * request for the sender to finish.
 */
NTSTATUS UScsi_IrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// An internal device-control request to the lower device, built and waited for; returns its final
// status.
static NTSTATUS UScsi_LowerRequest(PDEVICE_OBJECT DeviceObject, ULONG Code, PVOID Argument) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Code, ext->LowerDevice, NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;
    NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

/*
 * UScsi_CallUSBD: submits one request block to the lower device and waits for it. Returns the
 * request's final status; the block's own USB status is the caller's to read.
 */
NTSTATUS UScsi_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    return UScsi_LowerRequest(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

/*
 * UScsi_StartDevice: reads the device descriptor, configures the device and, once started, asks
 * Plug and Play for the bus relations through which the child device is reported.
 */
NTSTATUS UScsi_StartDevice(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    NTSTATUS status;
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USCSI_TAG));
    PUSB_DEVICE_DESCRIPTOR descriptor =
        static_cast<PUSB_DEVICE_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), USCSI_TAG));
    if (urb == NULL || descriptor == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        if (descriptor) ExFreePool(descriptor);
    } else {
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                     0, descriptor, NULL, sizeof(USB_DEVICE_DESCRIPTOR), NULL);
        status = UScsi_CallUSBD(DeviceObject, urb);
        if (NT_SUCCESS(status)) {
            // A start after a stop reads the device again; the earlier copy goes.
            if (ext->DeviceDescriptor) ExFreePool(ext->DeviceDescriptor);
            ext->DeviceDescriptor = descriptor;
        } else {
            KdPrint(("UScsi_StartDevice: device descriptor read failed 0x%08X\n", (unsigned)status));
            ExFreePool(descriptor);
        }
    }
    if (urb) ExFreePool(urb);
    if (!NT_SUCCESS(status)) return status;

    status = UScsi_ConfigureDevice(DeviceObject);
    if (NT_SUCCESS(status)) {
        ext->Started = TRUE;
        if (CommonScsiPDO == NULL) IoInvalidateDeviceRelations(ext->PhysicalDevice, BusRelations);
    }
    return status;
}

/*
 * UScsi_ConfigureDevice: reads the whole configuration descriptor (521 bytes first, then its
 * wTotalLength when longer) and selects the configuration.
 */
NTSTATUS UScsi_ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USCSI_TAG));
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    // The descriptor of an earlier start is replaced.
    if (ext->ConfigDescriptor) {
        ExFreePool(ext->ConfigDescriptor);
        ext->ConfigDescriptor = NULL;
    }
    ULONG size = USCSI_FIRST_CONFIG_SIZE;
    NTSTATUS status;
    for (;;) {
        ext->ConfigDescriptor =
            static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, USCSI_TAG));
        if (ext->ConfigDescriptor == NULL) {
            ExFreePool(urb);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, ext->ConfigDescriptor, NULL, size, NULL);
        status = UScsi_CallUSBD(DeviceObject, urb);
        ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (received > 0 && ext->ConfigDescriptor->wTotalLength > size) {
            size = ext->ConfigDescriptor->wTotalLength;
            ExFreePool(ext->ConfigDescriptor);
            ext->ConfigDescriptor = NULL;
            continue;
        }
        // A descriptor that did not arrive whole is not selected from: the start fails instead.
        if (NT_SUCCESS(status) && (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
                                   received < ext->ConfigDescriptor->wTotalLength)) {
            status = STATUS_DEVICE_DATA_ERROR;
        }
        break;
    }
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        KdPrint(("UScsi_ConfigureDevice: configuration descriptor read failed 0x%08X\n", (unsigned)status));
        ExFreePool(ext->ConfigDescriptor);
        ext->ConfigDescriptor = NULL;
        return status;
    }
    return UScsi_SelectInterface(DeviceObject, ext->ConfigDescriptor);
}

/*
 * UScsi_SelectInterface: selects the configuration with its first interface and keeps a copy of
 * the interface information with its pipe table.
 */
NTSTATUS UScsi_SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(ConfigDescriptor, &size);
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    if (USBD_ParseConfigurationDescriptorEx(ConfigDescriptor, ConfigDescriptor, -1, -1, -1, -1, -1) == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
        interface->Pipes[i].MaximumTransferSize = ext->MaxTransferSize;
        interface->Pipes[i].PipeFlags = 0;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigDescriptor;
    NTSTATUS status = UScsi_CallUSBD(DeviceObject, urb);
    ext->ConfigHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    if (NT_SUCCESS(status)) {
        // The table of an earlier start goes, unless files are still bound to its pipes: their
        // handles stay valid across a new selection of the same configuration.
        if (ext->InterfaceInfo == NULL || ext->OpenPipeCount == 0) {
            PUSBD_INTERFACE_INFORMATION copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
                ExAllocatePoolWithTag(NonPagedPool, interface->Length, USCSI_TAG));
            if (copy) RtlCopyMemory(copy, interface, interface->Length);
            if (ext->InterfaceInfo) ExFreePool(ext->InterfaceInfo);
            ext->InterfaceInfo = copy;
        }
    }
    ExFreePool(urb);
    return status;
}

/*
 * UScsi_StopDevice: unconfigures the device (a select-configuration request without a descriptor).
 */
NTSTATUS UScsi_StopDevice(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, USCSI_TAG));
    NTSTATUS status;
    if (urb == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        RtlZeroMemory(urb, size);
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbHeader.Length = (USHORT)size;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
        status = UScsi_CallUSBD(DeviceObject, urb);
        if (NT_SUCCESS(status)) ext->Started = FALSE;
        ExFreePool(urb);
    }
    ext->StopPending = FALSE;
    return status;
}

/*
 * UScsi_RemoveDevice: disables the device interface and frees what the device kept.
 */
NTSTATUS UScsi_RemoveDevice(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->InterfaceLinkName);
    NTSTATUS status = IoSetDeviceInterfaceState(&link, FALSE);
    if (ext->DeviceDescriptor) {
        ExFreePool(ext->DeviceDescriptor);
        ext->DeviceDescriptor = NULL;
    }
    if (ext->InterfaceInfo) {
        ExFreePool(ext->InterfaceInfo);
        ext->InterfaceInfo = NULL;
    }
    if (ext->ConfigDescriptor) {
        ExFreePool(ext->ConfigDescriptor);
        ext->ConfigDescriptor = NULL;
    }
    if (ext->ChainTable) {
        ExFreePool(ext->ChainTable);
        ext->ChainTable = NULL;
    }
    return status;
}

// A pipe request (reset or abort) for one pipe of the table.
static NTSTATUS UScsi_PipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function, USBD_PIPE_HANDLE Pipe) {
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), USCSI_TAG));
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = Pipe;
    NTSTATUS status = UScsi_CallUSBD(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}

NTSTATUS UScsi_ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe) {
    return UScsi_PipeRequest(DeviceObject, URB_FUNCTION_RESET_PIPE, Pipe->PipeHandle);
}

/*
 * UScsi_AbortPipes: aborts every pipe bound to an open file and unbinds it; the first failure ends
 * the walk.
 */
NTSTATUS UScsi_AbortPipes(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    if (ext->InterfaceInfo == NULL) return STATUS_SUCCESS;
    for (ULONG i = 0; i < ext->InterfaceInfo->NumberOfPipes; ++i) {
        PUSBD_PIPE_INFORMATION pipe = &ext->InterfaceInfo->Pipes[i];
        if (!pipe->PipeFlags) continue;
        NTSTATUS status = UScsi_PipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, pipe->PipeHandle);
        if (!NT_SUCCESS(status)) return status;
        pipe->PipeFlags = 0;
        ext->OpenPipeCount--;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UScsi_GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus) {
    *PortStatus = 0;
    return UScsi_LowerRequest(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
}

NTSTATUS UScsi_ResetParentPort(PDEVICE_OBJECT DeviceObject) {
    return UScsi_LowerRequest(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

/*
 * UScsi_ResetDevice: resets the hub port when the camera is connected but the port is disabled.
 */
NTSTATUS UScsi_ResetDevice(PDEVICE_OBJECT DeviceObject) {
    ULONG portStatus;
    NTSTATUS status = UScsi_GetPortStatus(DeviceObject, &portStatus);
    if (!NT_SUCCESS(status)) return status;
    if ((portStatus & USBD_PORT_CONNECTED) && !(portStatus & USBD_PORT_ENABLED))
        return UScsi_ResetParentPort(DeviceObject);
    return status;
}
