// The power manager of the kernel stand-in, as the machine, the bus stand-ins and the tests see it.
// Drivers see only what wdm.h declares (PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp,
// PoSetPowerState).
//
// System transitions go down the device tree as the platform sends them: to a sleeping state (S1 to
// S5) every stack gets IRP_MN_QUERY_POWER, then IRP_MN_SET_POWER, children before their parents; back
// to PowerSystemWorking parents go first. Each request is sent to the top of the stack of a node that
// has a started (or stopped) driver stack and waited for before the next.
//
// Power requests that a driver asks for with PoRequestPowerIrp run on the caller's thread when it is at
// PASSIVE_LEVEL; a wait-wake request, and a request for a DO_POWER_PAGABLE device passed on at
// DISPATCH_LEVEL or queued behind another, runs on a power thread of its own.
#pragma once

#include <optional>

#include "wdm.h"

namespace kernel::power {

const char* SystemStateName(SYSTEM_POWER_STATE state);  // "S0" ... "S5"
const char* DeviceStateName(DEVICE_POWER_STATE state);  // "D0" ... "D3", "unspecified"

// Takes the machine to `state`. STATUS_SUCCESS when every stack was told (a stack that fails the
// set-power request is listed as a fault: the platform does not let a driver refuse it); the status of
// a stack that refused the query, after which nothing was set and the stacks that had agreed get a
// set-power request for the state the system stays in. Must be called at PASSIVE_LEVEL
// outside any Plug and Play operation.
NTSTATUS SetSystemState(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE SystemState();

// What a device told with PoSetPowerState (PowerDeviceUnspecified and PowerSystemUnspecified before).
DEVICE_POWER_STATE RecordedDeviceState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE RecordedSystemState(PDEVICE_OBJECT device);

// A wait-wake request for the device of `pdo` on behalf of the system, able to wake it from `wake`.
// STATUS_PENDING once sent; STATUS_DEVICE_BUSY while an earlier one is outstanding.
NTSTATUS ArmWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE wake);
struct Wake {
    bool requested = false;  // an ArmWake was made and its result not yet forgotten
    bool done = false;       // it has completed, with `status`
    NTSTATUS status = STATUS_PENDING;
};
Wake WakeOf(PDEVICE_OBJECT pdo);
// Cancels an outstanding wait-wake request (its drivers complete it, normally with STATUS_CANCELLED).
void CancelWake(PDEVICE_OBJECT pdo);
// Drops the record of a completed wait-wake request.
void ForgetWake(PDEVICE_OBJECT pdo);

}  // namespace kernel::power
