// Request dispatch, Windows 2000/XP build: the model's refused commands and the time-out.
#include "miniport.h"

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
