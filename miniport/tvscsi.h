// The camera transport miniport's private header: the adapter record, the request record, the
// binding table and the routines grouped by file (adapter.cpp: setup, binding and the USB request
// primitive; transport.cpp: the camera protocol; dispatch.cpp: requests, command lists, watchdog).
#pragma once

#include <stdio.h>  // sprintf, as the kernel exports it

#include "srb.h"
#include "usbdlib.h"
#include "usbioctl.h"

#define MINIPORT_TAG ' mdW'  // "Wdm " in the pool tools
#define MINIPORT_SLOTS 4
#define MINIPORT_URB_SIZE 160
#define MINIPORT_MAX_TRANSFER 65536
// The slot's copy of the interface information: room for every pipe an interface can have (30
// endpoints), so that a camera with more than its two bulk pipes loses none and nothing is allocated.
#define MINIPORT_MAX_PIPES 32
#define MINIPORT_INTERFACE_COPY \
    (sizeof(USBD_INTERFACE_INFORMATION) + (MINIPORT_MAX_PIPES - 1) * sizeof(USBD_PIPE_INFORMATION))
// A short chunk goes out as whole packets through the bounce area. 128 bytes covers 64-byte packets;
// the area is made big enough for two of the largest bulk packets so a camera with bigger packets
// cannot overrun it.
#define MINIPORT_BOUNCE_SIZE 1024
#define MINIPORT_SENSE_LENGTH 14

static_assert(sizeof(URB) <= MINIPORT_URB_SIZE);

// StateFlags.
#define ADAPTER_SYNCED_ONCE 0x1
#define ADAPTER_READY 0x2
#define ADAPTER_ABANDONED 0x10

// RequestFlags.
#define REQUEST_DATA_OUT 0x1
#define REQUEST_SEGMENTED 0x8000
#define REQUEST_ERROR_SAVED 0x800000

// PhaseCode bits.
#define PHASE_STALL_CLEARED 0x01
#define PHASE_COMMAND_SENT 0x02
#define PHASE_DATA_SENT 0x04
#define PHASE_RECOVERY 0x10

// RequestKind of SendUsbRequest.
#define REQUEST_KIND_URB 0
#define REQUEST_KIND_PORT_STATUS 1
#define REQUEST_KIND_RESET_PORT 2
#define REQUEST_KIND_ENABLE_PORT 3

// Transport states.
enum {
    StateStart = 0,
    StateCommandDone = 1,
    StateReadStatus = 2,
    StateStatusDone = 3,
    StateSendData = 4,
    StateDataDone = 5,
    StateAbortDone = 6,
    StateReadDataStatus = 7,
    StateCheckDataStatus = 8,
    StateSaveError = 9,
    StateQueryPort = 10,
    StateRepairPort = 11,
    StateRecoverDevice = 12,
    StateRestoreError = 13,
    StateFinish = 14,
    StateFinished = 15,
    StateCompleted = 16,
    StateTimedOut = 17,
    StateAbort = 18,
};

typedef struct _REQUEST_RECORD {
    ULONG State;
    ULONG WatchdogTicks;
    PUCHAR DataBuffer;
    ULONG TotalLength;
    ULONG BlockSize;
    ULONG DoneLength;
    PUCHAR ChunkPointer;
    ULONG ChunkLength;
    ULONG RequestFlags;
    ULONG BusyPolls;
    PSCSI_REQUEST_BLOCK Srb;
} REQUEST_RECORD, *PREQUEST_RECORD;

typedef struct _SAVED_ERROR {
    NTSTATUS NtStatus;
    USBD_STATUS UsbdStatus;
    USHORT BulkInStatus;
    UCHAR StatusByte0;
    UCHAR StatusByte1;
} SAVED_ERROR;

// The camera's two status bytes, read with the status request.
typedef struct _CAMERA_STATUS {
    UCHAR StatusByte0;
    UCHAR StatusByte1;
} CAMERA_STATUS;
static_assert(sizeof(CAMERA_STATUS) == 2);

typedef struct _ADAPTER_EXTENSION {
    ULONG AdapterIndex;
    PDEVICE_OBJECT UsbDeviceObject;
    PUCHAR UrbBuffer;
    USBD_CONFIGURATION_HANDLE ConfigHandle;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    PIRP CurrentIrp;
    PREQUEST_RECORD CurrentRequest;
    UCHAR PathId;
    ULONG MaxTransferSize;
    ULONG RequestKind;
    KEVENT CompletionEvent;
    ULONG CompletionSemaphore;  // the 9x build waits on a VMM semaphore instead
    ULONG StateFlags;
    USHORT ErrorCount;
    ULONG HungCount;
    NTSTATUS LastNtStatus;
    ULONG PortStatus;
    USBD_STATUS LastUsbdStatus;
    USHORT BulkInStatus;
    CAMERA_STATUS CameraStatus;
    SAVED_ERROR SavedError;
    USHORT ProductId;

    // Per adapter, so that two cameras never share them.
    ULONG PhaseCode;
    REQUEST_RECORD InternalRequestRecord;
    SCSI_REQUEST_BLOCK InternalSrb;
    UCHAR InternalSenseBuffer[MINIPORT_SENSE_LENGTH];
    UCHAR BounceBuffer[MINIPORT_BOUNCE_SIZE];
    // The hand-off between the watchdog's cancel and the completion routine's free of CurrentIrp.
    KSPIN_LOCK IrpLock;
    BOOLEAN CancelInProgress;
    PIRP FreeOwed;
    // Workers queued or running: a new request waits until an abandoned one has stopped.
    LONG WorkerBusy;
    // The record of the SRB that the watchdog watches. CurrentRequest is the transport's, and points
    // at the internal record while the recovery sequence runs.
    PREQUEST_RECORD WatchedRequest;
} ADAPTER_EXTENSION, *PADAPTER_EXTENSION;

typedef struct _BINDING_SLOT {
    PADAPTER_EXTENSION Owner;
    BOOLEAN InUse;
    BOOLEAN Replaced;
    PDEVICE_OBJECT UsbDeviceObject;
    PUCHAR UrbBuffer;
    USBD_CONFIGURATION_HANDLE ConfigHandle;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    ULONG_PTR InterfaceCopy[MINIPORT_INTERFACE_COPY / sizeof(ULONG_PTR)];  // aligned for the record
    ULONG_PTR RequestBuffer[MINIPORT_URB_SIZE / sizeof(ULONG_PTR)];        // the 9x build's UrbBuffer
} BINDING_SLOT, *PBINDING_SLOT;

// Driver-wide state.
extern BINDING_SLOT BindingTable[MINIPORT_SLOTS];
extern WORK_QUEUE_ITEM AdapterWorkItems[MINIPORT_SLOTS];

// adapter.cpp
DRIVER_INITIALIZE DriverEntry;
HW_FIND_ADAPTER HwFindAdapter;
HW_INITIALIZE HwInitialize;
HW_ADAPTER_CONTROL HwAdapterControl;
NTSTATUS SendUsbRequest(PADAPTER_EXTENSION Adapter, PDEVICE_OBJECT Target, PURB Urb);
IO_COMPLETION_ROUTINE CompleteCallUSBD;
ULONG FindCamera(PADAPTER_EXTENSION Adapter);
NTSTATUS ConfigureCamera(PADAPTER_EXTENSION Adapter, ULONG Slot);
NTSTATUS ReadConfiguration(PADAPTER_EXTENSION Adapter, ULONG Slot);
NTSTATUS SelectCameraConfiguration(PADAPTER_EXTENSION Adapter, PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG Slot);
VOID CancelCurrentIrp(PADAPTER_EXTENSION Adapter);

// transport.cpp
VOID RunTransport(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request, PSCSI_REQUEST_BLOCK Srb);
NTSTATUS RecoverCamera(PADAPTER_EXTENSION Adapter);

// dispatch.cpp
HW_STARTIO HwStartIo;
HW_RESET_BUS HwResetBus;
HW_TIMER TransportWatchdog;
VOID RequestWorker(PVOID Parameter);
BOOLEAN CommandAllowed(PSCSI_REQUEST_BLOCK Srb, USHORT ProductId);
VOID BuildSrbStatus(NTSTATUS Status, PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb);
VOID CompleteSrb(PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb);

// The flavors' differences: adapter_nt.cpp and adapter_9x.cpp ...
extern const ULONG NamedDeviceAccess;  // desired access when the named devices are opened
VOID FillInitializationData(PHW_INITIALIZATION_DATA Data);
VOID SetPortConfiguration(PPORT_CONFIGURATION_INFORMATION ConfigInfo);
VOID CountCameras(PVOID HwContext, LONG Change);  // Change < 0: set to the slots with a camera
VOID PrepareCompletionWait(PADAPTER_EXTENSION Adapter);
NTSTATUS WaitForCompletion(PADAPTER_EXTENSION Adapter, NTSTATUS CallStatus);
VOID SignalCompletion(PADAPTER_EXTENSION Adapter);
PUCHAR NewRequestBuffer(ULONG Slot);  // zeroed; NULL when there is no memory
// ... transport_nt.cpp and transport_9x.cpp ...
NTSTATUS SendCommandBlock(PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb);
NTSTATUS StartCommand(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN NextSegment(PREQUEST_RECORD Request);
VOID WaitBeforeStatus(PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb);
// ... dispatch_nt.cpp and dispatch_9x.cpp.
extern const ULONG WatchdogTickLimit;
BOOLEAN CommandRefusedByModel(PSCSI_REQUEST_BLOCK Srb, USHORT ProductId);
BOOLEAN AdapterUnusable(PADAPTER_EXTENSION Adapter);
VOID ResetBusFlavor(PADAPTER_EXTENSION Adapter, BOOLEAN AfterNextRequest);
BOOLEAN LogEntryFor(PADAPTER_EXTENSION Adapter, UCHAR SrbStatus, PULONG UniqueId);
