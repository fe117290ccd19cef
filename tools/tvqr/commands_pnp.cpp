// devtree, pnp.
#include <cstdio>

#include "kernel/pnp.h"
#include "kernel/power.h"
#include "session.h"

namespace tvqr {
namespace {

std::vector<std::string> FlagNames(ULONG flags) {
    static const struct {
        ULONG flag;
        const char* name;
    } kFlags[] = {
        {DO_BUFFERED_IO, "DO_BUFFERED_IO"},
        {DO_DIRECT_IO, "DO_DIRECT_IO"},
        {DO_DEVICE_INITIALIZING, "DO_DEVICE_INITIALIZING"},
        {DO_POWER_PAGABLE, "DO_POWER_PAGABLE"},
        {DO_POWER_INRUSH, "DO_POWER_INRUSH"},
    };
    std::vector<std::string> names;
    for (const auto& f : kFlags)
        if (flags & f.flag) names.push_back(f.name);
    return names;
}

std::string Join(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : separator) + w;
    return text;
}

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

nlohmann::json CapabilitiesJson(const DEVICE_CAPABILITIES& c) {
    nlohmann::json states = nlohmann::json::object();
    for (int s = PowerSystemWorking; s < PowerSystemMaximum; ++s)
        states[kernel::power::SystemStateName(static_cast<SYSTEM_POWER_STATE>(s))] =
            kernel::power::DeviceStateName(c.DeviceState[s]);
    return {{"removable", c.Removable != 0},
            {"unique_id", c.UniqueID != 0},
            {"silent_install", c.SilentInstall != 0},
            {"surprise_removal_ok", c.SurpriseRemovalOK != 0},
            {"address", c.Address},
            {"ui_number", c.UINumber},
            {"device_state", states},
            {"system_wake", kernel::power::SystemStateName(c.SystemWake)},
            {"device_wake", kernel::power::DeviceStateName(c.DeviceWake)}};
}

nlohmann::json NodeJson(const kernel::pnp::NodeInfo& node) {
    nlohmann::json stack = nlohmann::json::array();
    for (const kernel::pnp::StackEntry& e : node.stack)
        stack.push_back({{"name", e.name},
                         {"driver", e.driver},
                         {"flags", Hex(e.flags)},
                         {"flag_names", FlagNames(e.flags)},
                         {"power", kernel::power::DeviceStateName(kernel::power::RecordedDeviceState(e.device))}});
    nlohmann::json j = {{"instance_path", node.instance_path},
                        {"device_id", node.device_id},
                        {"instance_id", node.instance_id},
                        {"hardware_ids", node.hardware_ids},
                        {"compatible_ids", node.compatible_ids},
                        {"description", node.description},
                        {"location", node.location},
                        {"depth", node.depth},
                        {"state", kernel::pnp::StateName(node.state)},
                        {"service", node.service},
                        {"stack", stack}};
    if (!node.problem.empty()) j["problem"] = node.problem;
    if (node.capabilities) j["capabilities"] = CapabilitiesJson(*node.capabilities);
    if (node.bus_information)
        j["bus_information"] = {{"legacy_bus_type", node.bus_information->LegacyBusType},
                                {"bus_number", node.bus_information->BusNumber}};
    return j;
}

std::string NodeText(const kernel::pnp::NodeInfo& node) {
    std::string indent(static_cast<std::size_t>(node.depth) * 2, ' ');
    std::string text = indent + node.instance_path + "  [" + kernel::pnp::StateName(node.state) + "]";
    text += node.service.empty() ? "  no driver" : "  driver " + node.service;
    if (!node.problem.empty()) text += "  problem: " + node.problem;
    text += "\n";
    if (!node.description.empty() || !node.location.empty())
        text += indent + "  \"" + node.description + "\"" + (node.location.empty() ? "" : " at " + node.location) + "\n";
    text += indent + "  hardware ids: " + Join(node.hardware_ids, ", ") + "\n";
    if (!node.compatible_ids.empty()) text += indent + "  compatible ids: " + Join(node.compatible_ids, ", ") + "\n";
    // The stack from the top down, as the requests meet it.
    for (auto e = node.stack.rbegin(); e != node.stack.rend(); ++e) {
        std::vector<std::string> flags = FlagNames(e->flags);
        text += indent + "  " + (e->name.empty() ? std::string("(unnamed)") : e->name) + "  " + e->driver + "  " +
                (flags.empty() ? Hex(e->flags) : Join(flags, "|")) + "  " +
                kernel::power::DeviceStateName(kernel::power::RecordedDeviceState(e->device)) + "\n";
    }
    return text;
}

struct PnpOperation {
    const char* name;
    NTSTATUS (*run)(PDEVICE_OBJECT);
};

const PnpOperation kOperations[] = {
    {"stop", kernel::pnp::Stop},
    {"start", kernel::pnp::Start},
    {"query-stop", kernel::pnp::QueryStop},
    {"cancel-stop", kernel::pnp::CancelStop},
    {"query-remove", kernel::pnp::QueryRemove},
    {"cancel-remove", kernel::pnp::CancelRemove},
    {"remove", kernel::pnp::Remove},
    {"surprise", kernel::pnp::SurpriseRemove},
};

}  // namespace

Output CommandDevtree(Session& session, const std::vector<std::string>& args) {
    if (!args.empty()) return Usage("devtree takes no arguments");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    kernel::pnp::WaitIdle();
    std::vector<kernel::pnp::NodeInfo> nodes = kernel::pnp::Snapshot();
    out.text = std::string("system power ") + kernel::power::SystemStateName(kernel::power::SystemState()) + "\n";
    nlohmann::json list = nlohmann::json::array();
    for (const kernel::pnp::NodeInfo& node : nodes) {
        out.text += NodeText(node);
        list.push_back(NodeJson(node));
    }
    if (nodes.empty()) out.text += "no devices\n";
    out.json = {{"system_power", kernel::power::SystemStateName(kernel::power::SystemState())}, {"nodes", list}};
    return out;
}

Output CommandPnp(Session& session, const std::vector<std::string>& args) {
    std::string names;
    for (const PnpOperation& op : kOperations) names += (names.empty() ? "" : "|") + std::string(op.name);
    if (args.empty() || args.size() > 2 || (args.size() == 2 && args[1] != "child"))
        return Usage("pnp needs an operation: " + names + " [child]");
    const PnpOperation* operation = nullptr;
    for (const PnpOperation& op : kOperations)
        if (args[0] == op.name) operation = &op;
    if (!operation) return Usage("pnp: unknown operation '" + args[0] + "' (" + names + ")");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    PDEVICE_OBJECT pdo = session.Machine()->CameraDevice();
    if (pdo && args.size() == 2) {
        std::optional<kernel::pnp::NodeInfo> node = kernel::pnp::Find(pdo);
        pdo = node && !node->children.empty() ? node->children.front() : nullptr;
    }
    if (!pdo) return Failure(args.size() == 2 ? "the camera has no child device" : "the camera is not plugged in");
    NTSTATUS status = operation->run(pdo);
    kernel::pnp::WaitIdle();
    std::optional<kernel::pnp::NodeInfo> node = kernel::pnp::Find(pdo);
    std::string state = node ? kernel::pnp::StateName(node->state) : "gone";
    out.code = NT_SUCCESS(status) ? kOk : kFailed;
    out.text = std::string("pnp ") + operation->name + ": " + StatusText(status) + "; the device is " + state;
    out.json = {{"operation", operation->name}, {"status", StatusJson(status)}, {"state", state}};
    return out;
}

}  // namespace tvqr
