// Request dispatch, Windows 98/Me build: no refused commands beyond the lists, a shorter time-out, a
// start routine that does not look at the request buffer, a bus reset that also resynchronises and
// ends the request at the USB driver, and every failure logged with the adapter as its unique id.
#include "tvscsi.h"

// About 600 seconds of 2000-microsecond ticks.
const ULONG WatchdogTickLimit = 300000;

BOOLEAN CommandRefusedByModel(PSCSI_REQUEST_BLOCK Srb, USHORT ProductId) {
    UNREFERENCED_PARAMETER(Srb);
    UNREFERENCED_PARAMETER(ProductId);
    return FALSE;
}

BOOLEAN AdapterUnusable(PADAPTER_EXTENSION Adapter) {
    return Adapter->UsbDeviceObject == NULL || Adapter->ConfigHandle == NULL || Adapter->HungCount != 0;
}

VOID ResetBusFlavor(PADAPTER_EXTENSION Adapter, BOOLEAN AfterNextRequest) {
    if (!AfterNextRequest) {
        if (Adapter->UsbDeviceObject != NULL) Adapter->StateFlags &= ~ADAPTER_READY;
    } else {
        CancelCurrentIrp(Adapter);
    }
}

BOOLEAN LogEntryFor(PADAPTER_EXTENSION Adapter, UCHAR SrbStatus, PULONG UniqueId) {
    UNREFERENCED_PARAMETER(SrbStatus);
    *UniqueId = (ULONG)(ULONG_PTR)Adapter;
    return TRUE;
}
