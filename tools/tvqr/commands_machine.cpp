// init, plug, unplug, port, fault.
#include <cstdio>

#include "session.h"

namespace tvqr {
namespace {

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

nlohmann::json PortJson(const usb::PortStatus& s) {
    return {{"connected", s.connected}, {"enabled", s.enabled},
            {"bits", (s.connected ? USBD_PORT_CONNECTED : 0) | (s.enabled ? USBD_PORT_ENABLED : 0)}};
}

std::string PortText(const usb::PortStatus& s) {
    char text[96];
    std::snprintf(text, sizeof text, "port 1: %s, %s (status 0x%x)", s.connected ? "connected" : "not connected",
                  s.enabled ? "enabled" : "disabled",
                  (s.connected ? USBD_PORT_CONNECTED : 0) | (s.enabled ? USBD_PORT_ENABLED : 0));
    return text;
}

}  // namespace

Output CommandInit(Session& session, const std::vector<std::string>& args) {
    machine::MachineConfig config;
    config.disc_size = 2'295'104ull * 2048;  // a 4.7 GB DVD-RAM disc: 2295104 blocks of 2048 bytes
    if (!session.Options().flavor.empty()) config.flavor = session.Options().flavor;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
        if (a == "--product") {
            const std::string* v = value();
            if (!v) return Usage("--product needs an id such as 0x0004");
            char* end = nullptr;
            unsigned long id = std::strtoul(v->c_str(), &end, 0);
            if (v->empty() || *end || id > 0xFFFF) return Usage("--product needs an id from 0x0000 to 0xffff");
            config.product = static_cast<std::uint16_t>(id);
        } else if (a == "--disc-size") {
            const std::string* v = value();
            std::optional<std::uint64_t> size = v ? machine::ParseSize(*v) : std::nullopt;
            if (!size) return Usage("--disc-size needs a size such as 4.7G, 600M or 1Gi (at least one 2048-byte block)");
            config.disc_size = *size;
        } else if (a == "--no-disc") {
            config.disc_image.clear();
            config.disc_size = 0;
        } else {
            return Usage("init: unknown option '" + a + "'");
        }
    }
    std::string error;
    if (!machine::CreateHome(session.Options().home, config, &error)) return Failure(error);
    Output out;
    char text[256];
    std::snprintf(text, sizeof text, "machine made at %s: flavor %s, camera %04x:%04x, %s",
                  session.Options().home.c_str(), config.flavor.c_str(), camera::kVendorId, config.product,
                  config.disc_image.empty() ? "no disc" : ("disc of " + std::to_string(config.disc_size) + " bytes").c_str());
    out.text = text;
    out.json = {{"home", session.Options().home},
                {"flavor", config.flavor},
                {"product", Hex4(config.product)},
                {"disc_size", config.disc_size},
                {"disc_image", config.disc_image}};
    return out;
}

Output CommandPlug(Session& session, const std::vector<std::string>& args) {
    if (!args.empty()) return Usage("plug takes no arguments");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    std::string error;
    if (!session.Machine()->Plug(&error)) return Failure(error);
    session.SavePlugged(true);
    out.text = "camera plugged in: " + PortText(session.Machine()->Port());
    out.json = {{"port", PortJson(session.Machine()->Port())}};
    return out;
}

Output CommandUnplug(Session& session, const std::vector<std::string>& args) {
    if (!args.empty()) return Usage("unplug takes no arguments");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    session.Machine()->Unplug();
    session.SavePlugged(false);
    out.text = "camera unplugged: " + PortText(session.Machine()->Port());
    out.json = {{"port", PortJson(session.Machine()->Port())}};
    return out;
}

Output CommandPort(Session& session, const std::vector<std::string>& args) {
    if (!args.empty()) return Usage("port takes no arguments");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    out.text = PortText(session.Machine()->Port());
    out.json = {{"port", PortJson(session.Machine()->Port())}};
    return out;
}

Output CommandFault(Session& session, const std::vector<std::string>& args) {
    if (args.empty()) return Usage("fault needs a script, such as: fault \"stall-command at 2\"");
    std::string script;
    for (const std::string& a : args) script += (script.empty() ? "" : " ") + a;
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    std::string error;
    if (!session.Machine()->Camera().AddFaults(script, &error)) return Usage("fault: " + error);
    std::vector<std::string> pending = session.Machine()->Camera().PendingFaults();
    out.text = "faults pending:";
    for (const std::string& p : pending) out.text += "\n  " + p;
    out.json = {{"pending", pending}};
    return out;
}

}  // namespace tvqr
