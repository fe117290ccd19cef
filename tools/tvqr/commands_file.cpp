// open, close, ioctl: a program's handle on the function driver's device interface.
#include <cstdio>

#include "kernel/pnp.h"
#include "session.h"
#include "usbscsi_ioctl.h"

namespace tvqr {
namespace {

// The enabled link of the camera's device interface, or empty.
std::string InterfaceLink() {
    for (const kernel::InterfaceLink& l : kernel::InterfaceLinks())
        if (l.enabled && IsEqualGUID(l.guid, GUID_CLASS_USBSCSI_BULK)) return l.link;
    return "";
}

// `--handle N` among the words, else the handle opened last.
bool PickHandle(Session& session, const std::vector<std::string>& args, std::size_t from, int* handle,
                Output* out) {
    *handle = session.Files().empty() ? 0 : session.Files().rbegin()->first;
    for (std::size_t i = from; i < args.size(); ++i) {
        if (args[i] != "--handle" || i + 1 == args.size()) {
            *out = Usage("unexpected '" + args[i] + "' (the only option is --handle N)");
            return false;
        }
        *handle = std::atoi(args[++i].c_str());
    }
    if (!session.Files().count(*handle)) {
        *out = Usage(*handle ? "no open handle " + std::to_string(*handle) : "no handle is open (use open NAME)");
        return false;
    }
    return true;
}

}  // namespace

Output CommandOpen(Session& session, const std::vector<std::string>& args) {
    if (args.size() != 1)
        return Usage("open needs one NAME: a pipe such as PIPE0 (on the camera's interface) or a full path");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    kernel::pnp::WaitIdle();
    const std::string& name = args[0];
    std::string path;
    if (name.rfind("\\Device\\", 0) == 0 || name.rfind("\\??\\", 0) == 0) {
        path = name;
    } else {
        std::string link = InterfaceLink();
        if (link.empty()) return Failure("the camera's device interface is not enabled (is the camera plugged in?)");
        path = link + (name.empty() || name[0] == '\\' ? "" : "\\") + name;
    }
    auto file = std::make_unique<machine::UserFile>();
    NTSTATUS status = file->Open(path);
    out.json = {{"path", path}, {"status", StatusJson(status)}};
    if (!NT_SUCCESS(status)) {
        out.code = kFailed;
        out.text = "open " + path + ": " + StatusText(status);
        return out;
    }
    int handle = session.NextHandle();
    session.Files()[handle] = std::move(file);
    out.text = "handle " + std::to_string(handle) + ": " + path;
    out.json["handle"] = handle;
    return out;
}

Output CommandClose(Session& session, const std::vector<std::string>& args) {
    Output out;
    int handle = 0;
    if (!PickHandle(session, args, 0, &handle, &out)) return out;
    session.Files().erase(handle);
    out.text = "handle " + std::to_string(handle) + " closed";
    out.json = {{"handle", handle}};
    return out;
}

Output CommandIoctl(Session& session, const std::vector<std::string>& args) {
    static const struct {
        const char* name;
        ULONG code;
    } kCodes[] = {{"get-config", IOCTL_USCSI_GET_CONFIG_DESCRIPTOR},
                  {"reset-device", IOCTL_USCSI_RESET_DEVICE},
                  {"reset-pipe", IOCTL_USCSI_RESET_PIPE}};
    if (args.empty()) return Usage("ioctl needs get-config, reset-device or reset-pipe [--handle N]");
    ULONG code = 0;
    for (const auto& c : kCodes)
        if (args[0] == c.name) code = c.code;
    if (!code) return Usage("ioctl: unknown request '" + args[0] + "' (get-config, reset-device, reset-pipe)");
    Output out;
    int handle = 0;
    if (!PickHandle(session, args, 1, &handle, &out)) return out;
    std::vector<std::uint8_t> buffer(code == IOCTL_USCSI_GET_CONFIG_DESCRIPTOR ? 4096 : 0);
    ULONG returned = 0;
    NTSTATUS status = session.Files()[handle]->Control(code, nullptr, 0, buffer.data(),
                                                       static_cast<ULONG>(buffer.size()), &returned);
    char head[64];
    std::snprintf(head, sizeof head, "ioctl 0x%06X", static_cast<unsigned>(code));
    out.code = NT_SUCCESS(status) ? kOk : kFailed;
    out.text = "ioctl " + args[0] + " (" + (head + 6) + ") on handle " + std::to_string(handle) + ": " +
               StatusText(status) + ", " + std::to_string(returned) + " bytes";
    out.json = {{"request", args[0]}, {"code", head + 6}, {"handle", handle}, {"status", StatusJson(status)},
                {"bytes", returned}};
    if (returned) {
        std::string hex;
        for (ULONG i = 0; i < returned && i < buffer.size(); ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, "%02x", buffer[i]);
            hex += byte;
            if (i + 1 < returned) hex += (i % 16 == 15) ? "\n  " : " ";
        }
        out.text += "\n  " + hex;
        out.json["data"] = hex;
    }
    return out;
}

}  // namespace tvqr
