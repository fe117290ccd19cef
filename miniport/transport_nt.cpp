// Camera transport, Windows 2000/XP build: the command goes out as the SRB gives it.
#include "tvscsi.h"

NTSTATUS StartCommand(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request, PSCSI_REQUEST_BLOCK Srb) {
    Request->ChunkLength = Request->TotalLength;
    Request->ChunkPointer = Request->DataBuffer;
    return SendCommandBlock(Adapter, Srb);
}

BOOLEAN NextSegment(PREQUEST_RECORD Request) {
    UNREFERENCED_PARAMETER(Request);
    return FALSE;
}

// Product 0x0004 needs 200 microseconds after a TEST UNIT READY before it reports.
VOID WaitBeforeStatus(PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb) {
    if (Srb->Cdb[0] == 0x00 && Adapter->ProductId == 0x0004) ScsiPortStallExecution(200);
}
