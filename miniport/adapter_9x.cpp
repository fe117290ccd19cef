// Adapter setup, Windows 98/Me build: the 76-byte initialisation data, the camera counter in the
// find context, the port configuration, and the VMM semaphore that SendUsbRequest waits on.
//
// The named devices are opened as in the Windows 2000/XP build and no file reference is kept: this
// build has no stop or unload notice in which to release it, so a kept reference would outlive the
// driver. For the same reason the interface information and the adapter's request buffer live in
// the slot rather than in pool.
#include "tvscsi.h"
#include "vmm.h"

const ULONG NamedDeviceAccess = 0x1F03FF;

VOID FillInitializationData(PHW_INITIALIZATION_DATA Data) {
    Data->HwInitializationDataSize = HW_INITIALIZATION_DATA_SIZE_9X;
    Data->AdapterInterfaceType = Internal;
    Data->NumberOfAccessRanges = 0;
    Data->AutoRequestSense = FALSE;
}

VOID SetPortConfiguration(PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
    ConfigInfo->NumberOfAccessRanges = 0;
    ConfigInfo->ScatterGather = TRUE;
    ConfigInfo->Master = TRUE;
    ConfigInfo->BufferAccessScsiPortControlled = TRUE;
}

/*
 * CountCameras: the find context counts the cameras configured during a scan; at its end it holds
 * the number of slots that have a camera.
 */
VOID CountCameras(PVOID HwContext, LONG Change) {
    PULONG counter = static_cast<PULONG>(HwContext);
    if (counter == NULL) return;
    if (Change == 0) {
        *counter = 0;
    } else if (Change > 0) {
        *counter += (ULONG)Change;
    } else {
        ULONG slots = 0;
        for (ULONG i = 0; i < MINIPORT_SLOTS; ++i)
            if (BindingTable[i].UsbDeviceObject != NULL) ++slots;
        *counter = slots;
    }
}

VOID PrepareCompletionWait(PADAPTER_EXTENSION Adapter) {
    Adapter->CompletionSemaphore = Create_Semaphore(0);
}

NTSTATUS WaitForCompletion(PADAPTER_EXTENSION Adapter, NTSTATUS CallStatus) {
    if (CallStatus == STATUS_PENDING) {
        Wait_Semaphore(Adapter->CompletionSemaphore, BLOCK_THREAD_IDLE);
        CallStatus = STATUS_SUCCESS;
    }
    Destroy_Semaphore(Adapter->CompletionSemaphore);
    Adapter->CompletionSemaphore = 0;
    return CallStatus;
}

VOID SignalCompletion(PADAPTER_EXTENSION Adapter) { Signal_Semaphore(Adapter->CompletionSemaphore); }

PUCHAR NewRequestBuffer(ULONG Slot) {
    PUCHAR buffer = reinterpret_cast<PUCHAR>(BindingTable[Slot].RequestBuffer);
    RtlZeroMemory(buffer, MINIPORT_URB_SIZE);
    return buffer;
}
