// Adapter setup, Windows 2000/XP build: the initialisation data with HwAdapterControl, the port
// configuration, the named devices opened without keeping a reference, and the completion event.
#include "tvscsi.h"

const ULONG NamedDeviceAccess = 0x1F01FF;

VOID FillInitializationData(PHW_INITIALIZATION_DATA Data) {
    Data->HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    Data->AdapterInterfaceType = Isa;
    Data->HwAdapterControl = HwAdapterControl;
    Data->NumberOfAccessRanges = 1;
    Data->AutoRequestSense = TRUE;
}

VOID SetPortConfiguration(PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
    ConfigInfo->NumberOfAccessRanges = 1;
    ConfigInfo->ScatterGather = FALSE;
    ConfigInfo->Master = FALSE;
    ConfigInfo->BufferAccessScsiPortControlled = FALSE;
}

VOID CountCameras(PVOID HwContext, LONG Change) {
    UNREFERENCED_PARAMETER(HwContext);
    UNREFERENCED_PARAMETER(Change);
}

VOID PrepareCompletionWait(PADAPTER_EXTENSION Adapter) {
    KeInitializeEvent(&Adapter->CompletionEvent, NotificationEvent, FALSE);
}

NTSTATUS WaitForCompletion(PADAPTER_EXTENSION Adapter, NTSTATUS CallStatus) {
    if (CallStatus != STATUS_PENDING) return CallStatus;
    return KeWaitForSingleObject(&Adapter->CompletionEvent, Suspended, KernelMode, FALSE, NULL);
}

VOID SignalCompletion(PADAPTER_EXTENSION Adapter) { KeSetEvent(&Adapter->CompletionEvent, 1, FALSE); }

// From the pool: the stop frees it and the restart makes a new one.
PUCHAR NewRequestBuffer(ULONG Slot) {
    UNREFERENCED_PARAMETER(Slot);
    PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, MINIPORT_URB_SIZE, MINIPORT_TAG));
    if (buffer != NULL) RtlZeroMemory(buffer, MINIPORT_URB_SIZE);
    return buffer;
}

/*
 * HwAdapterControl: stop frees the request buffer, restart makes a new one. The slot follows the
 * adapter's buffer, so that a later HwFindAdapter never hands back a freed one.
 */
SCSI_ADAPTER_CONTROL_STATUS HwAdapterControl(PVOID DeviceExtension, SCSI_ADAPTER_CONTROL_TYPE ControlType,
                                             PVOID Parameters) {
    PADAPTER_EXTENSION adapter = static_cast<PADAPTER_EXTENSION>(DeviceExtension);
    PBINDING_SLOT slot = &BindingTable[adapter->AdapterIndex];
    BOOLEAN owner = slot->Owner == adapter;
    switch (ControlType) {
    case ScsiQuerySupportedControlTypes: {
        PSCSI_SUPPORTED_CONTROL_TYPE_LIST list = static_cast<PSCSI_SUPPORTED_CONTROL_TYPE_LIST>(Parameters);
        static const BOOLEAN supported[] = {TRUE, TRUE, TRUE, FALSE, FALSE};
        for (ULONG i = 0; i < list->MaxControlType && i < 5; ++i) list->SupportedTypeList[i] = supported[i];
        return ScsiAdapterControlSuccess;
    }
    case ScsiStopAdapter:
        if (adapter->UrbBuffer != NULL) ExFreePool(adapter->UrbBuffer);
        if (owner && slot->UrbBuffer == adapter->UrbBuffer) slot->UrbBuffer = NULL;
        adapter->UrbBuffer = NULL;
        return ScsiAdapterControlSuccess;
    case ScsiRestartAdapter: {
        PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, MINIPORT_URB_SIZE, MINIPORT_TAG));
        if (buffer == NULL) return ScsiAdapterControlUnsuccessful;
        RtlZeroMemory(buffer, MINIPORT_URB_SIZE);
        adapter->UrbBuffer = buffer;
        if (owner) slot->UrbBuffer = buffer;
        return ScsiAdapterControlSuccess;
    }
    default: return ScsiAdapterControlUnsuccessful;
    }
}
