// The contract between the USB camera function driver and its user-mode clients: the device
// interface class and the three device-control codes.
#pragma once

#include "wdm.h"

// {5B1E7C30-2A94-4D6F-8E21-C7F03B9A6D48}
inline constexpr GUID GUID_CLASS_USBSCSI_BULK = {0x5B1E7C30, 0x2A94, 0x4D6F,
                                                 {0x8E, 0x21, 0xC7, 0xF0, 0x3B, 0x9A, 0x6D, 0x48}};

#define IOCTL_USCSI_GET_CONFIG_DESCRIPTOR CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USCSI_RESET_DEVICE CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USCSI_RESET_PIPE CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_USCSI_GET_CONFIG_DESCRIPTOR == 0x220000);
static_assert(IOCTL_USCSI_RESET_DEVICE == 0x220004);
static_assert(IOCTL_USCSI_RESET_PIPE == 0x220008);
