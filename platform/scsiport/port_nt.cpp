// The Windows 2000/XP port: either layout of the initialisation data, HwAdapterControl where the
// miniport gives one, and the class driver's own SRB handed to the miniport.
#include "port.h"

namespace scsiport::detail {

bool KnowsInitDataSize(ULONG size) {
    return size == sizeof(HW_INITIALIZATION_DATA) || size == HW_INITIALIZATION_DATA_SIZE_9X;
}

bool CallsAdapterControl(const HW_INITIALIZATION_DATA& data) {
    return data.HwInitializationDataSize == sizeof(HW_INITIALIZATION_DATA) && data.HwAdapterControl;
}

NTSTATUS PrepareSrb(PortRequest& request, const PacketRequest*) {
    request.srb = request.original;
    return STATUS_SUCCESS;
}

void FinishSrb(PortRequest&) {}

}  // namespace scsiport::detail
