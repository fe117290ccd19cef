// The USB camera function driver's private header: the device extension shared by the function
// device and the child device, the driver-wide state, and the routines grouped by file.
#pragma once

#include <stdio.h>  // sprintf, as the kernel exports it

#include "usbdlib.h"
#include "usbioctl.h"
#include "usbscsi_ioctl.h"
#include "wdm.h"

#define USCSI_TAG ' mdW'  // "Wdm " in the pool tools
#define USCSI_MAX_DEVICES 1
#define USCSI_LINK_CHARS 256
#define USCSI_MAX_TRANSFER_SIZE 8192
#define USCSI_FIRST_CONFIG_SIZE 521

typedef struct _USCSI_STAGE_ENTRY {
    PURB Urb;
    PDEVICE_OBJECT Device;
    PIRP StageIrp;  // NULL once the stage's request has completed
    PURB FirstUrb;
} USCSI_STAGE_ENTRY, *PUSCSI_STAGE_ENTRY;

typedef struct _USCSI_DEVICE_EXTENSION {
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT PhysicalDevice;
    DEVICE_POWER_STATE DevicePower;
    USBD_CONFIGURATION_HANDLE ConfigHandle;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;  // each pipe's PipeFlags: 1 while bound to an open file
    DEVICE_CAPABILITIES Capabilities;
    PIRP HeldSystemPowerIrp;
    PIRP ChainIrp;
    ULONG ChainStagesLeft;
    ULONG ChainBytes;
    KEVENT RemoveEvent;
    KEVENT ChainDoneEvent;
    KEVENT IdleEvent;
    KEVENT SelfPowerEvent;
    KSPIN_LOCK IoCountLock;
    LONG IoCount;
    ULONG OpenPipeCount;
    PUSCSI_STAGE_ENTRY ChainTable;
    WCHAR InterfaceLinkName[USCSI_LINK_CHARS];
    BOOLEAN PowerChangePending;
    BOOLEAN Removed;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;
    BOOLEAN Started;
    BOOLEAN WakeArmed;
    BOOLEAN SelfPowerIrpPending;
    DEVICE_POWER_STATE SuspendLevel;
    ULONG MaxTransferSize;
} USCSI_DEVICE_EXTENSION, *PUSCSI_DEVICE_EXTENSION;

// Driver-wide state.
extern PDEVICE_OBJECT AddedDevice[USCSI_MAX_DEVICES];
extern PDEVICE_OBJECT CommonScsiPDO;
extern PDRIVER_OBJECT UScsi_DriverObject;

inline PUSCSI_DEVICE_EXTENSION UScsi_Extension(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PUSCSI_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// driver.cpp
DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE UScsi_PnPAddDevice;
DRIVER_UNLOAD UScsi_Unload;
NTSTATUS UScsi_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PDEVICE_OBJECT* DeviceObject);
NTSTATUS UScsi_SymbolicLink(PDEVICE_OBJECT PhysicalDeviceObject, PUNICODE_STRING LinkName);
NTSTATUS UScsi_QueryCapabilities(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_CAPABILITIES Capabilities);
VOID UScsi_InitializeExtension(PDEVICE_OBJECT DeviceObject);

// usb.cpp
IO_COMPLETION_ROUTINE UScsi_IrpCompletionRoutine;
NTSTATUS UScsi_StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS UScsi_ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS UScsi_SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor);
NTSTATUS UScsi_StopDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS UScsi_RemoveDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS UScsi_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS UScsi_ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
NTSTATUS UScsi_AbortPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS UScsi_GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus);
NTSTATUS UScsi_ResetParentPort(PDEVICE_OBJECT DeviceObject);
NTSTATUS UScsi_ResetDevice(PDEVICE_OBJECT DeviceObject);

// iocount.cpp
VOID UScsi_IncrementIoCount(PDEVICE_OBJECT DeviceObject);
LONG UScsi_DecrementIoCount(PDEVICE_OBJECT DeviceObject);
BOOLEAN UScsi_CanAcceptIoRequests(PDEVICE_OBJECT DeviceObject);

// passthrough.cpp
DRIVER_DISPATCH UScsi_InernalDeviceIOCTL;
DRIVER_DISPATCH UScsi_ProcessSysControlIrp;
NTSTATUS UScsi_StagedReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB FirstUrb, ULONG Stages);
IO_COMPLETION_ROUTINE UScsi_AsyncReadWrite_Complete;
UCHAR UScsi_CancelPendingIo(PDEVICE_OBJECT DeviceObject);

// ioctl.cpp
DRIVER_DISPATCH UScsi_Create;
DRIVER_DISPATCH UScsi_Close;
DRIVER_DISPATCH UScsi_ProcessIOCTL;

// pnp.cpp
DRIVER_DISPATCH UScsi_ProcessPnPIrp;

// power.cpp
DRIVER_DISPATCH UScsi_ProcessPowerIrp;
DRIVER_DISPATCH UScsi_ScsiPowerIrp;
BOOLEAN UScsi_SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
IO_COMPLETION_ROUTINE UScsi_PowerIrp_Complete;
REQUEST_POWER_COMPLETE UScsi_PoRequestCompletion;
NTSTATUS UScsi_SelfSuspendOrActivate(PDEVICE_OBJECT DeviceObject, BOOLEAN Suspend);
NTSTATUS UScsi_SelfRequestPowerIrp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
REQUEST_POWER_COMPLETE UScsi_PoSelfRequestCompletion;

// power_nt.cpp, power_9x.cpp: the child's answer to a power request it does not handle, given the
// status the request arrived with.
NTSTATUS UScsi_ChildOtherPowerAnswer(UCHAR MinorFunction, NTSTATUS Arrived);
