// power.
#include "kernel/power.h"
#include "session.h"

namespace tvqr {

Output CommandPower(Session& session, const std::vector<std::string>& args) {
    if (args.size() > 1)
        return Usage("power takes one of: S0 S1 S2 S3 S4 S5 | wait-wake | wake (nothing: show the state)");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    machine::Machine& m = *session.Machine();
    auto state = [&] {
        PDEVICE_OBJECT pdo = m.CameraDevice();
        kernel::power::Wake wake = pdo ? kernel::power::WakeOf(pdo) : kernel::power::Wake{};
        const char* system = kernel::power::SystemStateName(kernel::power::SystemState());
        const char* camera = pdo ? kernel::power::DeviceStateName(m.Host().DevicePower(machine::kCameraPort)) : "absent";
        std::string armed = !wake.requested ? "none" : wake.done ? "completed with " + StatusText(wake.status) : "armed";
        out.text += std::string("system ") + system + ", camera " + camera + ", wait-wake " + armed;
        out.json["system"] = system;
        out.json["camera"] = camera;
        out.json["wait_wake"] = armed;
    };
    if (args.empty()) {
        state();
        return out;
    }
    const std::string& what = args[0];
    if (what.size() == 2 && what[0] == 'S' && what[1] >= '0' && what[1] <= '5') {
        auto system = static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + (what[1] - '0'));
        NTSTATUS status = kernel::power::SetSystemState(system);
        out.code = NT_SUCCESS(status) ? kOk : kFailed;
        out.text = "power " + what + ": " + StatusText(status) + "; ";
        out.json["status"] = StatusJson(status);
    } else if (what == "wait-wake") {
        NTSTATUS status = m.ArmWake();
        out.code = status == STATUS_PENDING ? kOk : kFailed;
        out.text = status == STATUS_PENDING ? "wait-wake armed; " : "wait-wake refused: " + StatusText(status) + "; ";
        out.json["status"] = StatusJson(status);
    } else if (what == "wake") {
        bool woke = m.RemoteWakeup();
        out.code = woke ? kOk : kFailed;
        out.text = woke ? "the camera signalled a wakeup; " : "no wait-wake request was armed; ";
    } else {
        return Usage("power: unknown state '" + what + "' (S0 to S5, wait-wake, wake)");
    }
    state();
    return out;
}

}  // namespace tvqr
