// Plug and Play of the function driver: what pnp.cpp shares with the flavor's own file.
#pragma once

#include "usbscsi.h"

// Passes a request down unchanged and drops the reference the dispatch took.
NTSTATUS UScsi_PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS UScsi_CreateChild(ULONG DeviceType, ULONG Characteristics, PDEVICE_RELATIONS* Relations);
// A child text in a new paged-pool buffer: the text and `Zeros` terminating zero characters.
PWCHAR UScsi_ChildText(PCSTR Text, ULONG Zeros);
// What the child reports of itself.
VOID UScsi_ChildCapabilities(PDEVICE_CAPABILITIES Capabilities, BOOLEAN UniqueId);
PCSTR UScsi_ChildId(BUS_QUERY_ID_TYPE IdType);  // NULL for an identifier type the child has none of

// The flavor's part (pnp_nt.cpp, pnp_9x.cpp).
DRIVER_DISPATCH UScsi_ScsiPnpIrp;
// A query-remove on a started device, after the device went idle (the reference is dropped).
NTSTATUS UScsi_QueryRemoveAccepted(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS UScsi_DeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The function device has been removed: what becomes of the child.
VOID UScsi_RemoveChildWithParent();

// The child's texts.
#define USCSI_DEVICE_ID "DAVIZU\\TVQRSCSI"
#define USCSI_COMPATIBLE_ID "TVQRSCSIMPD"
#define USCSI_INSTANCE_ID "TVQRSCSI"
#define USCSI_DEVICE_TEXT "USB to SCSI Device"
