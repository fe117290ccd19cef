// The USB driver interface: request blocks (URBs), their function codes, pipe and interface
// information, and USBD status values.
//
// Record shapes: every record here has its i386 layout checked below, byte for byte. On x86-64 the
// fields that hold an address (pointers and handles) are pointer-sized and the records grow
// accordingly; that widening is the only difference between the two.
#pragma once

#include "usb100.h"
#include "wdm.h"

typedef LONG USBD_STATUS;
typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

// Status classes live in the top two bits: 00 success, 01 pending, 10 error, 11 halted (error).
#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)

#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_HALTED ((USBD_STATUS)0xC0000000L)
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000L)
#define USBD_STATUS_CRC ((USBD_STATUS)0xC0000001L)
#define USBD_STATUS_BTSTUFF ((USBD_STATUS)0xC0000002L)
#define USBD_STATUS_DATA_TOGGLE_MISMATCH ((USBD_STATUS)0xC0000003L)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_PID_CHECK_FAILURE ((USBD_STATUS)0xC0000006L)
#define USBD_STATUS_UNEXPECTED_PID ((USBD_STATUS)0xC0000007L)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xC0000008L)
#define USBD_STATUS_DATA_UNDERRUN ((USBD_STATUS)0xC0000009L)
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xC000000CL)
#define USBD_STATUS_BUFFER_UNDERRUN ((USBD_STATUS)0xC000000DL)
#define USBD_STATUS_NOT_ACCESSED ((USBD_STATUS)0xC000000FL)
#define USBD_STATUS_FIFO ((USBD_STATUS)0xC0000010L)
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xC0000030L)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100L)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200L)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_ERROR_BUSY ((USBD_STATUS)0x80000400L)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600L)
#define USBD_STATUS_NO_BANDWIDTH ((USBD_STATUS)0x80000700L)
#define USBD_STATUS_INTERNAL_HC_ERROR ((USBD_STATUS)0x80000800L)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900L)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0x80007000L)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0x00010000L)

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define USBD_SHORT_TRANSFER_OK 2
#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 4096

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B
#define URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT 0x0012
#define URB_FUNCTION_GET_STATUS_FROM_DEVICE 0x0013
#define URB_FUNCTION_GET_STATUS_FROM_INTERFACE 0x0014
#define URB_FUNCTION_GET_STATUS_FROM_ENDPOINT 0x0015
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001A
#define URB_FUNCTION_CLASS_INTERFACE 0x001B
#define URB_FUNCTION_CLASS_ENDPOINT 0x001C
#define URB_FUNCTION_RESET_PIPE 0x001E

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;  // bytes, including every pipe entry
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // NULL unconfigures the device
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PMDL Reserved5;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

typedef union _URB {
    struct _URB_HEADER UrbHeader;
    struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    struct _URB_PIPE_REQUEST UrbPipeRequest;
    struct _URB_CONTROL_TRANSFER UrbControlTransfer;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    struct _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
    struct _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
} URB, *PURB;

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                     \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                 \
     ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                             \
     ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))
#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
    (sizeof(USBD_INTERFACE_INFORMATION) + ((numEndpoints) - 1) * sizeof(USBD_PIPE_INFORMATION))

#if defined(__i386__)
// The platform's 32-bit layouts.
static_assert(sizeof(struct _URB_HEADER) == 16);
static_assert(offsetof(struct _URB_HEADER, Status) == 4 && offsetof(struct _URB_HEADER, UsbdFlags) == 12);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4 && offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 12 &&
              offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 16);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36 && offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 16);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8 &&
              offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 12);
static_assert(GET_USBD_INTERFACE_SIZE(2) == 56);  // header and two pipes: fits the miniport's 64 bytes
static_assert(sizeof(struct _URB_HCD_AREA) == 32);
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60);
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 24);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 80 && offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) == 72);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 24 &&
              offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 28);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80);
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 74 &&
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 75 &&
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 76);
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 80 &&
              offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, Index) == 76);
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 80 &&
              offsetof(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector) == 74 &&
              offsetof(struct _URB_CONTROL_FEATURE_REQUEST, Index) == 76);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80 &&
              offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 72 &&
              offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 74 &&
              offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 76);
static_assert(sizeof(URB) == 80);
#endif
