// A small client of the USB stack: it sends request blocks and port requests to a physical device
// object and waits for them, as a function driver would. The machine's own tools (tvqr's `usb`) and
// the tests use it; the drivers have their own code for this.
#pragma once

#include <cstring>
#include <vector>

#include "kernel/kernel.h"
#include "usb/usb_stack.h"

namespace machine {

struct Outcome {
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG length;  // bytes moved, where the request moves data
};

// An IRP of the caller's own for `target`: one more stack location, the first of which is the
// caller's, with a completion routine that signals `done` and keeps the IRP for the caller to free.
inline PIRP AllocateOwnIrp(PDEVICE_OBJECT target, PKEVENT done) {
    KeInitializeEvent(done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(target->StackSize + 1), FALSE);
    if (!irp) return nullptr;
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        done, TRUE, TRUE, TRUE);
    return irp;
}

class UsbClient {
public:
    explicit UsbClient(PDEVICE_OBJECT pdo) : pdo_(pdo) {}

    // Sends an internal device-control request and waits for it; returns its final status.
    NTSTATUS Call(ULONG code, PVOID argument) {
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, pdo_, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
        NTSTATUS status = IoCallDriver(pdo_, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }

    Outcome Submit(URB& urb) {
        NTSTATUS status = Call(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
        return {status, urb.UrbHeader.Status, 0};
    }

    Outcome GetDescriptor(UCHAR type, UCHAR index, void* buffer, ULONG length, USHORT language = 0) {
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language, buffer,
                                     nullptr, length, nullptr);
        Outcome o = Submit(urb);
        o.length = urb.UrbControlDescriptorRequest.TransferBufferLength;
        return o;
    }

    // Selects the configuration whose descriptor is given; keeps the returned interface information.
    Outcome Configure(std::vector<UCHAR>& configuration) {
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
        if (!urb) return {STATUS_INSUFFICIENT_RESOURCES, 0, 0};
        for (ULONG i = 0; i < urb->UrbSelectConfiguration.Interface.NumberOfPipes; ++i)
            urb->UrbSelectConfiguration.Interface.Pipes[i].MaximumTransferSize = 65536;
        NTSTATUS status = Call(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
        Outcome o{status, urb->UrbHeader.Status, 0};
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
        interface_.assign(reinterpret_cast<UCHAR*>(info), reinterpret_cast<UCHAR*>(info) + info->Length);
        config_handle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        ExFreePool(urb);
        return o;
    }

    PUSBD_INTERFACE_INFORMATION Interface() {
        return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interface_.data());
    }
    USBD_CONFIGURATION_HANDLE ConfigHandle() const { return config_handle_; }

    USBD_PIPE_HANDLE Pipe(UCHAR endpoint) {
        PUSBD_INTERFACE_INFORMATION info = Interface();
        for (ULONG i = 0; i < info->NumberOfPipes; ++i)
            if (info->Pipes[i].EndpointAddress == endpoint) return info->Pipes[i].PipeHandle;
        return nullptr;
    }

    Outcome Bulk(UCHAR endpoint, void* buffer, ULONG length) {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), Pipe(endpoint), buffer,
                                               nullptr, length,
                                               ((endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0) |
                                                   USBD_SHORT_TRANSFER_OK,
                                               nullptr);
        Outcome o = Submit(urb);
        o.length = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        return o;
    }

    // A class or vendor request on the default pipe.
    Outcome Request(USHORT function, bool in, UCHAR request, USHORT value, USHORT index, void* buffer, ULONG length) {
        URB urb{};
        UsbBuildVendorRequest(&urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, request, value, index,
                              buffer, nullptr, length, nullptr);
        Outcome o = Submit(urb);
        o.length = urb.UrbControlVendorClassRequest.TransferBufferLength;
        return o;
    }

    Outcome PipeRequest(USHORT function, UCHAR endpoint) {
        URB urb{};
        urb.UrbHeader.Function = function;
        urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        urb.UrbPipeRequest.PipeHandle = Pipe(endpoint);
        return Submit(urb);
    }

    Outcome EndpointStatus(UCHAR endpoint, USHORT* status) {
        URB urb{};
        urb.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
        urb.UrbHeader.Length = sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
        urb.UrbControlGetStatusRequest.Index = endpoint;
        urb.UrbControlGetStatusRequest.TransferBuffer = status;
        urb.UrbControlGetStatusRequest.TransferBufferLength = 2;
        return Submit(urb);
    }

    ULONG PortStatus() {
        ULONG bits = 0xFFFFFFFF;
        Call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits);
        return bits;
    }

private:
    PDEVICE_OBJECT pdo_;
    std::vector<UCHAR> interface_;
    USBD_CONFIGURATION_HANDLE config_handle_ = nullptr;
};

}  // namespace machine
