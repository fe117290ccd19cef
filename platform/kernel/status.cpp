// The names of the status values that the kernel stand-in's headers define, for reports and tools.
#include <cstdio>

#include "kernel.h"

namespace kernel {

std::string StatusName(NTSTATUS status) {
    struct Entry {
        NTSTATUS status;
        const char* name;
    };
#define TV_STATUS(name) Entry{name, #name}
    static const Entry kNames[] = {
        TV_STATUS(STATUS_ACCESS_DENIED),
        TV_STATUS(STATUS_ADAPTER_HARDWARE_ERROR),
        TV_STATUS(STATUS_BUFFER_OVERFLOW),
        TV_STATUS(STATUS_BUFFER_TOO_SMALL),
        TV_STATUS(STATUS_CANCELLED),
        TV_STATUS(STATUS_DATA_OVERRUN),
        TV_STATUS(STATUS_DELETE_PENDING),
        TV_STATUS(STATUS_DEVICE_BUSY),
        TV_STATUS(STATUS_DEVICE_DATA_ERROR),
        TV_STATUS(STATUS_DEVICE_NOT_CONNECTED),
        TV_STATUS(STATUS_DEVICE_REMOVED),
        TV_STATUS(STATUS_INSUFFICIENT_RESOURCES),
        TV_STATUS(STATUS_INVALID_DEVICE_REQUEST),
        TV_STATUS(STATUS_INVALID_DEVICE_STATE),
        TV_STATUS(STATUS_INVALID_HANDLE),
        TV_STATUS(STATUS_INVALID_PARAMETER),
        TV_STATUS(STATUS_INVALID_PARAMETER_1),
        TV_STATUS(STATUS_INVALID_PARAMETER_2),
        TV_STATUS(STATUS_IO_DEVICE_ERROR),
        TV_STATUS(STATUS_IO_TIMEOUT),
        TV_STATUS(STATUS_MORE_PROCESSING_REQUIRED),
        TV_STATUS(STATUS_MUTANT_NOT_OWNED),
        TV_STATUS(STATUS_NAME_TOO_LONG),
        TV_STATUS(STATUS_NOT_IMPLEMENTED),
        TV_STATUS(STATUS_NOT_SUPPORTED),
        TV_STATUS(STATUS_NO_SUCH_DEVICE),
        TV_STATUS(STATUS_OBJECT_NAME_COLLISION),
        TV_STATUS(STATUS_OBJECT_NAME_EXISTS),
        TV_STATUS(STATUS_OBJECT_NAME_INVALID),
        TV_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
        TV_STATUS(STATUS_PENDING),
        TV_STATUS(STATUS_POWER_STATE_INVALID),
        TV_STATUS(STATUS_REVISION_MISMATCH),
        TV_STATUS(STATUS_SEMAPHORE_LIMIT_EXCEEDED),
        TV_STATUS(STATUS_SUCCESS),
        TV_STATUS(STATUS_TIMEOUT),
        TV_STATUS(STATUS_UNSUCCESSFUL),
    };
#undef TV_STATUS
    for (const Entry& entry : kNames)
        if (entry.status == status) return entry.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace kernel
