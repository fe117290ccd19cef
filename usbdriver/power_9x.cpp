// Power, Windows 98/Me build: the child refuses every power request other than set-power and
// query-power.
#include "usbscsi.h"

NTSTATUS UScsi_ChildOtherPowerAnswer(UCHAR MinorFunction, NTSTATUS Arrived) {
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(Arrived);
    return STATUS_NOT_IMPLEMENTED;
}
