// The I/O reference count that guards removal: 1 while idle (the base reference from AddDevice),
// 0 only during removal.
#include "usbscsi.h"

/*
 * UScsi_IncrementIoCount: any IRQL up to DISPATCH_LEVEL. The lock makes the count and the idle
 * event change together.
 */
VOID UScsi_IncrementIoCount(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    if (InterlockedIncrement(&ext->IoCount) == 2) KeResetEvent(&ext->IdleEvent);
    KeReleaseSpinLock(&ext->IoCountLock, irql);
}

/*
 * UScsi_DecrementIoCount: returns the new count; 1 signals IdleEvent, 0 signals RemoveEvent.
 */
LONG UScsi_DecrementIoCount(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    LONG count = InterlockedDecrement(&ext->IoCount);
    if (count == 1) KeSetEvent(&ext->IdleEvent, 1, FALSE);
    if (count == 0) KeSetEvent(&ext->RemoveEvent, 1, FALSE);
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    return count;
}

BOOLEAN UScsi_CanAcceptIoRequests(PDEVICE_OBJECT DeviceObject) {
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(DeviceObject);
    return !ext->Removed && ext->Started && !ext->RemovePending && !ext->StopPending;
}
