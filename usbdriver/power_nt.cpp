// Power, Windows 2000/XP build: what the child answers to the power requests it does not handle.
#include "usbscsi.h"

NTSTATUS UScsi_ChildOtherPowerAnswer(UCHAR MinorFunction, NTSTATUS Arrived) {
    if (MinorFunction == IRP_MN_WAIT_WAKE || MinorFunction == IRP_MN_POWER_SEQUENCE) return STATUS_NOT_IMPLEMENTED;
    return Arrived;
}
