// The power manager: system transitions down the device tree, power IRPs requested by drivers, the
// one-at-a-time rule of set-power and query-power IRPs per device, the states devices record, and
// wait-wake requests made for the system (see power.h).
#include "power.h"

#include <atomic>
#include <deque>
#include <unordered_map>

#include "internal.h"

namespace kernel::power {
namespace {

// A device's queue for one kind of serialised power IRP (system or device state).
struct Slot {
    PIRP active = nullptr;
    std::deque<PIRP> waiting;
};

struct DeviceRecord {
    Slot slots[2];  // [0] system-state requests, [1] device-state requests
    SYSTEM_POWER_STATE system = PowerSystemUnspecified;
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
};

struct Holder {
    PDEVICE_OBJECT device;
    int slot;
};

// A request made by PoRequestPowerIrp, from its sending to its completion function.
struct Request {
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT top;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE function;
    PVOID context;
    bool for_system;  // ArmWake's: the IRP stays until its record is forgotten
};

struct WakeRecord {
    PIRP irp;
    bool done;
    NTSTATUS status;
};

// Under the registry lock.
std::unordered_map<PDEVICE_OBJECT, DeviceRecord> g_devices;
std::unordered_map<PIRP, Holder> g_holders;  // IRPs at a device that has not yet called PoStartNextPowerIrp
std::unordered_map<PDEVICE_OBJECT, WakeRecord> g_wakes;
SYSTEM_POWER_STATE g_system = PowerSystemWorking;
std::atomic<int> g_threads{0};

std::string Label(PDEVICE_OBJECT device) {
    std::string name = DeviceName(device);
    if (!name.empty()) return name;
    char text[32];
    std::snprintf(text, sizeof text, "device %p", static_cast<void*>(device));
    return text;
}

int SlotOf(const IO_STACK_LOCATION& stack) {
    if (stack.MajorFunction != IRP_MJ_POWER) return -1;
    if (stack.MinorFunction != IRP_MN_SET_POWER && stack.MinorFunction != IRP_MN_QUERY_POWER) return -1;
    return stack.Parameters.Power.Type == SystemPowerState ? 0 : 1;
}

// Sends an IRP that holds its slot at `device` from a power thread, at PASSIVE_LEVEL.
void DispatchLater(PDEVICE_OBJECT device, PIRP irp, bool through_po) {
    ObReferenceObject(device);
    ++g_threads;
    sched::Thread* thread = sched::Start("power request", [device, irp, through_po] {
        if (through_po)
            PoCallDriver(device, irp);
        else
            IoCallDriver(device, irp);
        ObDereferenceObject(device);
        --g_threads;
    });
    sched::Release(thread);
}

// Frees the slot that `irp` holds and sends the next IRP waiting for it.
void ReleaseSlot(PIRP irp) {
    PDEVICE_OBJECT device = nullptr;
    PIRP next = nullptr;
    {
        detail::Guard g(detail::RegistryLock());
        auto held = g_holders.find(irp);
        if (held == g_holders.end()) return;
        device = held->second.device;
        Slot& slot = g_devices[device].slots[held->second.slot];
        int index = held->second.slot;
        g_holders.erase(held);
        slot.active = nullptr;
        if (!slot.waiting.empty()) {
            next = slot.waiting.front();
            slot.waiting.pop_front();
            slot.active = next;
            g_holders[next] = Holder{device, index};
        }
    }
    if (next) DispatchLater(device, next, false);
}

NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<Request*>(context);
    if (request->function)
        request->function(request->pdo, request->minor, request->state, request->context, &irp->IoStatus);
    if (request->for_system) {
        detail::Guard g(detail::RegistryLock());
        auto wake = g_wakes.find(request->pdo);
        if (wake != g_wakes.end() && !wake->second.done) {
            wake->second.irp = irp;
            wake->second.done = true;
            wake->second.status = irp->IoStatus.Status;
        }
    } else {
        IoFreeIrp(irp);
    }
    ObDereferenceObject(request->top);
    ObDereferenceObject(request->pdo);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS MakeRequest(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE function,
                     PVOID context, PIRP* out, bool for_system) {
    if (detail::Irql() > DISPATCH_LEVEL) Fault("PoRequestPowerIrp at IRQL %u", detail::Irql());
    if (!detail::IsObject(pdo, detail::ObjectType::Device) || pdo->DeviceObjectExtension->AttachedTo) {
        Fault("PoRequestPowerIrp for %p, which is not a physical device object", static_cast<void*>(pdo));
        return STATUS_INVALID_PARAMETER_1;
    }
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ObReferenceObject(pdo);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = state;
        stack->Parameters.Power.ShutdownType = PowerActionNone;
    }
    auto* request = new Request{pdo, top, minor, state, function, context, for_system};
    IoSetCompletionRoutine(irp, RequestDone, request, TRUE, TRUE, TRUE);
    if (out) *out = irp;
    if (for_system) {
        // In the record before it goes out, so that a CancelWake from now on finds it.
        detail::Guard g(detail::RegistryLock());
        g_wakes[pdo].irp = irp;
    }
    // A wait-wake request stays at its drivers until the device wakes: its sender must not wait.
    if (minor == IRP_MN_WAIT_WAKE)
        DispatchLater(top, irp, true);
    else
        PoCallDriver(top, irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI Finished(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

POWER_ACTION ActionOf(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemWorking: return PowerActionNone;
    case PowerSystemHibernate: return PowerActionHibernate;
    case PowerSystemShutdown: return PowerActionShutdownOff;
    default: return PowerActionSleep;
    }
}

// One system-state request to the top of the stack of `pdo`, waited for.
NTSTATUS SendSystem(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
    stack->Parameters.Power.ShutdownType = ActionOf(state);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, Finished, &done, TRUE, TRUE, TRUE);
    PoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

}  // namespace

const char* SystemStateName(SYSTEM_POWER_STATE state) {
    static const char* const names[] = {"unspecified", "S0", "S1", "S2", "S3", "S4", "S5"};
    return state >= PowerSystemUnspecified && state < PowerSystemMaximum ? names[state] : "invalid";
}

const char* DeviceStateName(DEVICE_POWER_STATE state) {
    static const char* const names[] = {"unspecified", "D0", "D1", "D2", "D3"};
    return state >= PowerDeviceUnspecified && state < PowerDeviceMaximum ? names[state] : "invalid";
}

NTSTATUS SetSystemState(SYSTEM_POWER_STATE state) {
    if (state < PowerSystemWorking || state > PowerSystemShutdown) return STATUS_INVALID_PARAMETER;
    return detail::WithStartedStacks("power::SetSystemState", [state](const std::vector<PDEVICE_OBJECT>& pdos) {
        if (state == g_system) return STATUS_SUCCESS;
        bool sleeping = state != PowerSystemWorking;
        std::vector<PDEVICE_OBJECT> order(pdos);
        if (sleeping) {
            order.assign(pdos.rbegin(), pdos.rend());
            for (std::size_t i = 0; i < order.size(); ++i) {
                NTSTATUS status = SendSystem(order[i], IRP_MN_QUERY_POWER, state);
                if (NT_SUCCESS(status)) continue;
                // The stacks that agreed hear that the system stays where it is.
                for (std::size_t j = 0; j < i; ++j) SendSystem(order[j], IRP_MN_SET_POWER, g_system);
                return status;
            }
        }
        for (PDEVICE_OBJECT pdo : order) {
            NTSTATUS status = SendSystem(pdo, IRP_MN_SET_POWER, state);
            if (!NT_SUCCESS(status))
                Fault("the stack of %s failed the set-power request for %s with 0x%08X", InstancePath(pdo).c_str(),
                      SystemStateName(state), static_cast<unsigned>(status));
        }
        g_system = state;
        return STATUS_SUCCESS;
    });
}

SYSTEM_POWER_STATE SystemState() { return g_system; }

DEVICE_POWER_STATE RecordedDeviceState(PDEVICE_OBJECT device) {
    detail::Guard g(detail::RegistryLock());
    auto found = g_devices.find(device);
    return found == g_devices.end() ? PowerDeviceUnspecified : found->second.device;
}

SYSTEM_POWER_STATE RecordedSystemState(PDEVICE_OBJECT device) {
    detail::Guard g(detail::RegistryLock());
    auto found = g_devices.find(device);
    return found == g_devices.end() ? PowerSystemUnspecified : found->second.system;
}

NTSTATUS ArmWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE wake) {
    {
        detail::Guard g(detail::RegistryLock());
        auto found = g_wakes.find(pdo);
        if (found != g_wakes.end() && !found->second.done) return STATUS_DEVICE_BUSY;
    }
    ForgetWake(pdo);
    POWER_STATE state;
    state.SystemState = wake;
    // The record exists before the request is sent: its completion may come at once.
    {
        detail::Guard g(detail::RegistryLock());
        g_wakes[pdo] = WakeRecord{nullptr, false, STATUS_PENDING};
    }
    NTSTATUS status = MakeRequest(pdo, IRP_MN_WAIT_WAKE, state, nullptr, nullptr, nullptr, true);
    if (status != STATUS_PENDING) {
        detail::Guard g(detail::RegistryLock());
        g_wakes.erase(pdo);
    }
    return status;
}

Wake WakeOf(PDEVICE_OBJECT pdo) {
    detail::Guard g(detail::RegistryLock());
    auto found = g_wakes.find(pdo);
    if (found == g_wakes.end()) return {};
    return Wake{true, found->second.done, found->second.status};
}

void CancelWake(PDEVICE_OBJECT pdo) {
    PIRP irp = nullptr;
    {
        detail::Guard g(detail::RegistryLock());
        auto found = g_wakes.find(pdo);
        if (found == g_wakes.end() || found->second.done) return;
        irp = found->second.irp;
    }
    // The IRP stays allocated until its record is forgotten, so cancelling one that has just
    // completed is harmless.
    if (irp) IoCancelIrp(irp);
}

void ForgetWake(PDEVICE_OBJECT pdo) {
    PIRP irp = nullptr;
    {
        detail::Guard g(detail::RegistryLock());
        auto found = g_wakes.find(pdo);
        if (found == g_wakes.end() || !found->second.done) return;
        irp = found->second.irp;
        g_wakes.erase(found);
    }
    IoFreeIrp(irp);
}

}  // namespace kernel::power

namespace kernel::detail {

void PowerIrpCompleting(PIRP irp) {
    bool held;
    PDEVICE_OBJECT device = nullptr;
    {
        Guard g(RegistryLock());
        auto found = power::g_holders.find(irp);
        held = found != power::g_holders.end();
        if (held) device = found->second.device;
    }
    if (!held) return;
    Fault("%s completed power IRP %p without PoStartNextPowerIrp", power::Label(device).c_str(),
          static_cast<void*>(irp));
    power::ReleaseSlot(irp);
}

void ForgetPowerRecord(PDEVICE_OBJECT device) {
    Guard g(RegistryLock());
    auto found = power::g_devices.find(device);
    if (found == power::g_devices.end()) return;
    for (power::Slot& slot : found->second.slots)
        if (!slot.waiting.empty())
            Fault("device %p was deleted with %zu power IRPs waiting for it", static_cast<void*>(device),
                  slot.waiting.size());
    power::g_devices.erase(found);
    std::erase_if(power::g_holders, [device](const auto& held) { return held.second.device == device; });
}

void StopPower(std::vector<std::string>& leaks) {
    std::vector<PIRP> done;
    {
        Guard g(RegistryLock());
        for (auto& [pdo, wake] : power::g_wakes)
            if (wake.done) done.push_back(wake.irp);
        power::g_wakes.clear();
        power::g_holders.clear();
        power::g_devices.clear();
        power::g_system = PowerSystemWorking;
    }
    for (PIRP irp : done) IoFreeIrp(irp);
    if (int threads = power::g_threads.load())
        leaks.push_back(std::to_string(threads) + " power request threads still running");
}

}  // namespace kernel::detail

using namespace kernel;

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    return power::MakeRequest(DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, Irp, false);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!detail::CheckIrp(Irp, "PoCallDriver")) return STATUS_INVALID_PARAMETER;
    if (Irp->CurrentLocation <= 1) {
        Fault("PoCallDriver to %s: IRP %p has no stack location left", DeviceName(DeviceObject).c_str(),
              static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (next->MajorFunction != IRP_MJ_POWER) {
        Fault("PoCallDriver with major function 0x%02X", next->MajorFunction);
        return STATUS_INVALID_PARAMETER;
    }
    bool held;
    PDEVICE_OBJECT holder = nullptr;
    {
        detail::Guard g(detail::RegistryLock());
        auto found = power::g_holders.find(Irp);
        held = found != power::g_holders.end();
        if (held) holder = found->second.device;
    }
    if (held) {
        Fault("%s passed power IRP %p on without PoStartNextPowerIrp", power::Label(holder).c_str(),
              static_cast<void*>(Irp));
        power::ReleaseSlot(Irp);
    }
    int slot = power::SlotOf(*next);
    if (slot >= 0) {
        detail::Guard g(detail::RegistryLock());
        power::Slot& queue = power::g_devices[DeviceObject].slots[slot];
        if (queue.active) {
            // The caller sees STATUS_PENDING; completion carries the mark up.
            next->Control |= SL_PENDING_RETURNED;
            queue.waiting.push_back(Irp);
            return STATUS_PENDING;
        }
        queue.active = Irp;
        power::g_holders[Irp] = power::Holder{DeviceObject, slot};
    }
    if (detail::Irql() > PASSIVE_LEVEL && (DeviceObject->Flags & DO_POWER_PAGABLE)) {
        next->Control |= SL_PENDING_RETURNED;
        power::DispatchLater(DeviceObject, Irp, false);
        return STATUS_PENDING;
    }
    return IoCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    if (!detail::CheckIrp(Irp, "PoStartNextPowerIrp")) return;
    power::ReleaseSlot(Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    POWER_STATE old;
    detail::Guard g(detail::RegistryLock());
    power::DeviceRecord& record = power::g_devices[DeviceObject];
    if (Type == SystemPowerState) {
        old.SystemState = record.system;
        record.system = State.SystemState;
    } else {
        old.DeviceState = record.device;
        record.device = State.DeviceState;
    }
    return old;
}
