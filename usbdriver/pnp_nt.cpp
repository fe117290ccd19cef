// Plug and Play, Windows 2000/XP build: the child is reported on bus relations, answers every query
// of a bus driver's child, and goes with the function device.
#include "pnp.h"

// {E676F854-D87D-11D0-92B2-00A0C9055FC5}: the bus type of ISA Plug and Play.
static const GUID UScsi_BusTypeIsaPnp = {0xE676F854, 0xD87D, 0x11D0, {0x92, 0xB2, 0x00, 0xA0, 0xC9, 0x05, 0x5F, 0xC5}};

NTSTATUS UScsi_QueryRemoveAccepted(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS UScsi_DeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) return UScsi_PassDown(DeviceObject, Irp);
    if (CommonScsiPDO != NULL) {
        // A bus that leaves out a child it has tells Plug and Play that the child is gone, so the
        // child is reported again, with a reference of its own for the list.
        NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
        PDEVICE_RELATIONS relations =
            static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), USCSI_TAG));
        if (relations != NULL) {
            ObReferenceObject(CommonScsiPDO);
            relations->Count = 1;
            relations->Objects[0] = CommonScsiPDO;
            Irp->IoStatus.Information = (ULONG_PTR)relations;
            status = STATUS_SUCCESS;
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        UScsi_DecrementIoCount(DeviceObject);
        return status;
    }
    PDEVICE_RELATIONS relations = NULL;
    NTSTATUS status = UScsi_CreateChild(FILE_DEVICE_CONTROLLER, FILE_DEVICE_SECURE_OPEN, &relations);
    Irp->IoStatus.Status = status;
    if (NT_SUCCESS(status)) Irp->IoStatus.Information = (ULONG_PTR)relations;
    return UScsi_PassDown(DeviceObject, Irp);
}

VOID UScsi_RemoveChildWithParent() {
    if (CommonScsiPDO != NULL) {
        IoDeleteDevice(CommonScsiPDO);
        CommonScsiPDO = NULL;
    }
}

/*
 * UScsi_ScsiTargetRelation: the child itself, with a reference for the receiver.
 */
static NTSTATUS UScsi_ScsiTargetRelation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_RELATIONS relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), USCSI_TAG));
    if (relations == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    ObReferenceObject(DeviceObject);
    relations->Count = 1;
    relations->Objects[0] = DeviceObject;
    Irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

/*
 * UScsi_ScsiResourceRequirements: one I/O port range that the child does not really use, so that
 * the SCSI port driver finds the access range it expects.
 */
static NTSTATUS UScsi_ScsiResourceRequirements(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    ULONG size = sizeof(IO_RESOURCE_REQUIREMENTS_LIST);
    PIO_RESOURCE_REQUIREMENTS_LIST list =
        static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(ExAllocatePoolWithTag(PagedPool, size, USCSI_TAG));
    if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, size);
    list->ListSize = size;
    list->InterfaceType = Isa;
    list->BusNumber = 0;
    list->SlotNumber = 0;
    list->AlternativeLists = 1;
    list->List[0].Version = 1;
    list->List[0].Revision = 1;
    list->List[0].Count = 1;
    PIO_RESOURCE_DESCRIPTOR port = &list->List[0].Descriptors[0];
    port->Option = 0;
    port->Type = CmResourceTypePort;
    port->ShareDisposition = CmResourceShareDeviceExclusive;
    port->Flags = CM_RESOURCE_PORT_IO;
    port->u.Port.Length = 0;
    port->u.Port.Alignment = 1;
    port->u.Port.MinimumAddress.QuadPart = 0;
    port->u.Port.MaximumAddress.QuadPart = 0xFFFF;
    Irp->IoStatus.Information = (ULONG_PTR)list;
    return STATUS_SUCCESS;
}

static NTSTATUS UScsi_ScsiBusInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PPNP_BUS_INFORMATION info =
        static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), USCSI_TAG));
    if (info == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    info->BusTypeGuid = UScsi_BusTypeIsaPnp;
    info->LegacyBusType = Isa;
    info->BusNumber = 0;
    Irp->IoStatus.Information = (ULONG_PTR)info;
    return STATUS_SUCCESS;
}

/*
 * UScsi_ScsiPnpIrp: everything the child answers; it completes every request itself.
 * PASSIVE_LEVEL.
 */
NTSTATUS UScsi_ScsiPnpIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UScsi_IncrementIoCount(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN unchanged = FALSE;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (DeviceObject->AttachedDevice != NULL) DeviceObject->AttachedDevice->Flags |= DO_POWER_PAGABLE;
        ext->Started = TRUE;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE: Irp->IoStatus.Information = 0; break;
    case IRP_MN_REMOVE_DEVICE: ext->RemovePending = TRUE; break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE: break;
    case IRP_MN_STOP_DEVICE: ext->Started = FALSE; break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            status = UScsi_ScsiTargetRelation(DeviceObject, Irp);
        } else {
            unchanged = TRUE;
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        UScsi_ChildCapabilities(stack->Parameters.DeviceCapabilities.Capabilities, TRUE);
        break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: status = UScsi_ScsiResourceRequirements(DeviceObject, Irp); break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            Irp->IoStatus.Information = (ULONG_PTR)UScsi_ChildText(USCSI_DEVICE_TEXT, 1);
        } else {
            unchanged = TRUE;
        }
        break;
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
    case IRP_MN_EJECT:
    case IRP_MN_SET_LOCK: status = STATUS_NOT_SUPPORTED; break;
    case IRP_MN_QUERY_ID:
        if (PCSTR id = UScsi_ChildId(stack->Parameters.QueryId.IdType)) {
            Irp->IoStatus.Information = (ULONG_PTR)UScsi_ChildText(id, 2);
        } else {
            unchanged = TRUE;
        }
        break;
    case IRP_MN_QUERY_BUS_INFORMATION: status = UScsi_ScsiBusInformation(DeviceObject, Irp); break;
    default: unchanged = TRUE; break;
    }
    if (unchanged) status = Irp->IoStatus.Status;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    UScsi_DecrementIoCount(DeviceObject);
    return status;
}
