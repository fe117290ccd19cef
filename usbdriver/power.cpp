// Power. The function driver's power policy (held system requests, self-suspend, wait-wake) comes
// with the power manager of the platform; until then power requests go down the stack as they
// came, the child completes them as they came, and the self-suspend decision changes nothing.
#include "usbscsi.h"

NTSTATUS UScsi_ProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == CommonScsiPDO) {
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(UScsi_Extension(DeviceObject)->LowerDevice, Irp);
}

NTSTATUS UScsi_SelfSuspendOrActivate(PDEVICE_OBJECT DeviceObject, BOOLEAN Suspend) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Suspend);
    return STATUS_SUCCESS;
}
