// Request dispatch, Windows 2000/XP build: the model's refused commands, the time-out, what the start
// routine refuses, the bus reset, and which failures are logged.
#include "tvscsi.h"

// About 900 seconds of 2000-microsecond ticks.
const ULONG WatchdogTickLimit = 449999;

/*
 * CommandRefusedByModel: product 0x0004 refuses two requests although their opcodes are in its
 * list: INQUIRY for vital product data with allocation length 0xFF, and MODE SENSE(10) of page 0x30.
 */
BOOLEAN CommandRefusedByModel(PSCSI_REQUEST_BLOCK Srb, USHORT ProductId) {
    if (ProductId != 0x0004) return FALSE;
    if (Srb->Cdb[0] == 0x12 && Srb->Cdb[1] == 0x01 && Srb->Cdb[4] == 0xFF) return TRUE;
    return Srb->Cdb[0] == 0x5A && Srb->Cdb[2] == 0x30;
}

BOOLEAN AdapterUnusable(PADAPTER_EXTENSION Adapter) {
    return Adapter->UsbDeviceObject == NULL || Adapter->ConfigHandle == NULL || Adapter->UrbBuffer == NULL ||
           Adapter->HungCount != 0;
}

VOID ResetBusFlavor(PADAPTER_EXTENSION Adapter, BOOLEAN AfterNextRequest) {
    UNREFERENCED_PARAMETER(Adapter);
    UNREFERENCED_PARAMETER(AfterNextRequest);
}

/*
 * LogEntryFor: a failure is logged when the camera did not explain it (no report, a failure byte, or
 * bit 0x20), with the phase code as its unique id (left 0 here: the caller completes it).
 */
BOOLEAN LogEntryFor(PADAPTER_EXTENSION Adapter, UCHAR SrbStatus, PULONG UniqueId) {
    UNREFERENCED_PARAMETER(SrbStatus);
    *UniqueId = 0;
    UCHAR byte0 = Adapter->CameraStatus.StatusByte0;
    UCHAR byte1 = Adapter->CameraStatus.StatusByte1;
    return (byte0 == 0xFF || byte1 > 1 || (byte0 & 0x20)) && !(Adapter->StateFlags & ADAPTER_ABANDONED);
}
