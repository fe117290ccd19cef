// The USB driver library: select-configuration requests and configuration descriptor parsing.
#include "usbdlib.h"

namespace {

constexpr ULONG kUsbdTag = ' DBU';  // "UBD " in memory

// The descriptor after `at`, or NULL past the end or at a malformed length.
PUSB_COMMON_DESCRIPTOR Next(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_COMMON_DESCRIPTOR at) {
    auto* end = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
    auto* next = reinterpret_cast<PUCHAR>(at) + at->bLength;
    if (at->bLength == 0 || next + sizeof(USB_COMMON_DESCRIPTOR) > end) return nullptr;
    auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(next);
    return next + d->bLength <= end && d->bLength ? d : nullptr;
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
    auto* d = static_cast<PUSB_COMMON_DESCRIPTOR>(StartPosition);
    for (; d; d = Next(ConfigurationDescriptor, d)) {
        if (d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE || d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
            continue;
        auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        if (Matches(InterfaceNumber, i->bInterfaceNumber) && Matches(AlternateSetting, i->bAlternateSetting) &&
            Matches(InterfaceClass, i->bInterfaceClass) && Matches(InterfaceSubClass, i->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, i->bInterfaceProtocol))
            return i;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz,
                                     std::source_location Site) {
    *Siz = 0;
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
    if (!interface) return nullptr;
    ULONG pipes = interface->bNumEndpoints;
    // Room for at least one pipe entry, as the record declares one.
    ULONG size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipes ? pipes : 1);
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag, Site));
    if (!urb) return nullptr;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes ? pipes : 1));
    info->InterfaceNumber = interface->bInterfaceNumber;
    info->AlternateSetting = interface->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    *Siz = static_cast<USHORT>(size);
    return urb;
}
