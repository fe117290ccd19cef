#include "session.h"

#include <cstdio>
#include <fstream>
#include <iostream>

namespace tvqr {

namespace {

Output Error(int code, const std::string& reason) {
    Output out;
    out.code = code;
    out.text = reason;
    out.json = {{"error", reason}};
    return out;
}

}  // namespace

Output Usage(const std::string& reason) { return Error(kUsage, reason); }
Output Failure(const std::string& reason) { return Error(kFailed, reason); }

Session::Session(GlobalOptions options) : options_(std::move(options)) {
    options_.home = machine::DefaultHome(options_.home);
}

Session::~Session() { Finish(); }

bool Session::EnsureMachine(Output* out) {
    if (machine_) return true;
    machine::MachineConfig config;
    std::string error;
    if (!machine::LoadConfig(options_.home, &config, &error)) {
        *out = Failure(error);
        return false;
    }
    if (!options_.flavor.empty()) config.flavor = options_.flavor;
    if (options_.trace) kernel::SetDebugSink([](const std::string& line) { std::fprintf(stderr, "%s", line.c_str()); });
    machine::MachineOptions machine_options;
    machine_options.pcap = options_.pcap;
    machine_ = std::make_unique<machine::Machine>(options_.home, config, machine_options);
    if (!machine_->Boot(&error)) {
        *out = Failure(error);
        return false;
    }
    return true;
}

void Session::SavePlugged(bool plugged) {
    machine::MachineConfig config;
    std::string error;
    if (machine::LoadConfig(options_.home, &config, &error)) {
        config.plugged = plugged;
        if (!machine::SaveConfig(options_.home, config, &error)) std::fprintf(stderr, "tvqr: %s\n", error.c_str());
    }
}

Output Session::Dispatch(const std::vector<std::string>& words) {
    using Command = Output (*)(Session&, const std::vector<std::string>&);
    static const std::map<std::string, Command> commands = {
        {"init", CommandInit},       {"usb", CommandUsb},     {"plug", CommandPlug},   {"unplug", CommandUnplug},
        {"port", CommandPort},       {"fault", CommandFault}, {"devtree", CommandDevtree}, {"pnp", CommandPnp},
        {"power", CommandPower},     {"open", CommandOpen},   {"close", CommandClose}, {"ioctl", CommandIoctl},
        {"scsi", CommandScsi},       {"errlog", CommandErrlog},
    };
    auto it = commands.find(words[0]);
    if (it == commands.end()) return Usage("unknown command '" + words[0] + "' (try tvqr --help)");
    std::vector<std::string> args(words.begin() + 1, words.end());
    return it->second(*this, args);
}

void Session::Print(const std::string& command, const Output& out) {
    if (options_.json) {
        nlohmann::json line = out.json;
        line["command"] = command;
        line["ok"] = out.code == kOk;
        std::cout << line.dump() << std::endl;
    } else if (out.code == kOk) {
        std::cout << out.text;
        if (!out.text.empty() && out.text.back() != '\n') std::cout << '\n';
        std::cout.flush();
    } else {
        std::cerr << "tvqr: " << out.text << std::endl;
    }
}

int Session::Run(const std::vector<std::string>& words) {
    if (words.empty()) return kOk;
    Output out = Dispatch(words);
    if (machine_) machine_->Settle();
    Print(words[0], out);
    return out.code;
}

int Session::RunScript(const std::string& path) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path);
        if (!file) {
            Output out = Usage("cannot read the script " + path);
            Print("script", out);
            return out.code;
        }
        in = &file;
    }
    std::string line;
    int number = 0;
    while (std::getline(*in, line)) {
        ++number;
        std::vector<std::string> words = SplitWords(line);
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "script") {
            Output out = Usage("line " + std::to_string(number) + ": a script cannot run another script");
            Print("script", out);
            return out.code;
        }
        int code = Run(words);
        if (code != kOk) return code;
    }
    return kOk;
}

int Session::Finish() {
    files_.clear();
    if (!machine_) return kOk;
    kernel::ShutdownReport report = machine_->Shutdown();
    machine_.reset();
    if (report.Clean()) return kOk;
    std::cerr << "tvqr: the machine shut down unclean:\n" << report.Text();
    return kFailed;
}

std::string StatusText(NTSTATUS status) {
    char value[16];
    std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(status));
    std::string name = kernel::StatusName(status);
    return name == value ? name : name + " (" + value + ")";
}

nlohmann::json StatusJson(NTSTATUS status) {
    char value[16];
    std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(status));
    return {{"name", kernel::StatusName(status)}, {"value", value}};
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

}  // namespace tvqr
