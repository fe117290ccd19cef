// Plug and Play, Windows 98/Me build: the child is made on the first relations query of any type
// and reported by the function device itself; it answers only what the 9x configuration manager
// asks, and removes itself.
#include "pnp.h"

NTSTATUS UScsi_QueryRemoveAccepted(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // The reference was dropped before the wait; the request goes on down.
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->LowerDevice, Irp);
}

NTSTATUS UScsi_DeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (CommonScsiPDO != NULL) return UScsi_PassDown(DeviceObject, Irp);
    PDEVICE_RELATIONS relations = NULL;
    NTSTATUS status = UScsi_CreateChild(FILE_DEVICE_UNKNOWN, 0, &relations);
    Irp->IoStatus.Status = status;
    if (NT_SUCCESS(status)) Irp->IoStatus.Information = (ULONG_PTR)relations;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}

VOID UScsi_RemoveChildWithParent() {}

/*
 * UScsi_ScsiPnpIrp: the child completes every request with success; it answers start, removal,
 * stop, capabilities, the description and the identifiers.
 */
NTSTATUS UScsi_ScsiPnpIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UScsi_IncrementIoCount(DeviceObject);
    BOOLEAN deleteSelf = FALSE;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: ext->Started = TRUE; break;
    case IRP_MN_REMOVE_DEVICE: deleteSelf = TRUE; break;
    case IRP_MN_STOP_DEVICE: ext->Started = FALSE; break;
    case IRP_MN_QUERY_CAPABILITIES:
        UScsi_ChildCapabilities(stack->Parameters.DeviceCapabilities.Capabilities, FALSE);
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
            Irp->IoStatus.Information = (ULONG_PTR)UScsi_ChildText(USCSI_DEVICE_TEXT, 1);
        break;
    case IRP_MN_QUERY_ID:
        if (PCSTR id = UScsi_ChildId(stack->Parameters.QueryId.IdType))
            Irp->IoStatus.Information = (ULONG_PTR)UScsi_ChildText(id, 2);
        break;
    default: break;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    UScsi_DecrementIoCount(DeviceObject);
    if (deleteSelf) {
        CommonScsiPDO = NULL;
        IoDeleteDevice(DeviceObject);
    }
    return STATUS_SUCCESS;
}
