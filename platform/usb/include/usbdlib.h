// The USB driver library: building request blocks and parsing configuration descriptors.
#pragma once

#include "usbdi.h"

// Builds a select-configuration request for the first interface (alternate setting 0) of the
// descriptor, from non-paged pool; the caller frees it with ExFreePool. NULL when the descriptor has
// no interface or the pool is out of memory. *Siz receives the request's size.
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz,
                                     std::source_location Site = std::source_location::current());

// The first interface descriptor at or after StartPosition whose number, alternate setting, class,
// subclass and protocol match (-1 matches anything); NULL when there is none.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

inline VOID UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType, UCHAR descriptorIndex,
                                         USHORT languageId, PVOID transferBuffer, PMDL transferBufferMDL,
                                         ULONG transferBufferLength, PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = length;
    urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
    urb->UrbControlDescriptorRequest.Index = descriptorIndex;
    urb->UrbControlDescriptorRequest.LanguageId = languageId;
    urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline VOID UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer, PMDL transferBufferMDL,
                                                   ULONG transferBufferLength, ULONG transferFlags, PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = length;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMDL;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
    urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

inline VOID UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMDL, ULONG transferBufferLength,
                                  PURB link) {
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = length;
    urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
    urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
    urb->UrbControlVendorClassRequest.Request = request;
    urb->UrbControlVendorClassRequest.Value = value;
    urb->UrbControlVendorClassRequest.Index = index;
    urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb->UrbControlVendorClassRequest.UrbLink = link;
}
