// One run of tvqr: the global options, the machine booted from the home, and the commands run on it
// (one from the command line, or a script's lines, all on the same running machine).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "machine/user_file.h"

namespace tvqr {

inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

struct GlobalOptions {
    std::string home;
    std::string flavor;  // empty: the machine's own
    std::uint64_t seed = 1;
    double pace = 0;
    std::string pcap;
    bool json = false;
    bool trace = false;
};

// What a command has to say: a line (or lines) for people, an object for --json.
struct Output {
    int code = kOk;
    std::string text;
    nlohmann::json json = nlohmann::json::object();
};

class Session {
public:
    explicit Session(GlobalOptions options);
    ~Session();

    // Runs one command (its words); prints its result.
    int Run(const std::vector<std::string>& words);
    // Runs a script: one command a line; blank lines and lines starting with '#' are skipped.
    // Stops at the first command that fails or is misused and returns its code.
    int RunScript(const std::string& path);
    // Shuts the machine down; a leak or a fault the kernel reports makes the run fail.
    int Finish();

    machine::Machine* Machine() { return machine_.get(); }
    const GlobalOptions& Options() const { return options_; }
    // Boots the machine from the home on first use.
    bool EnsureMachine(Output* out);
    // Keeps the cable's state in machine.json, so that the next run finds it as this one left it.
    void SavePlugged(bool plugged);

    // The handles that `open` made, by number (from 1); closed before the machine shuts down.
    std::map<int, std::unique_ptr<machine::UserFile>>& Files() { return files_; }
    int NextHandle() { return ++last_handle_; }

private:
    Output Dispatch(const std::vector<std::string>& words);
    void Print(const std::string& command, const Output& out);

    GlobalOptions options_;
    std::unique_ptr<machine::Machine> machine_;
    std::map<int, std::unique_ptr<machine::UserFile>> files_;
    int last_handle_ = 0;
};

Output Usage(const std::string& reason);
Output Failure(const std::string& reason);

// The commands, each taking the words after its name.
Output CommandInit(Session& session, const std::vector<std::string>& args);
Output CommandUsb(Session& session, const std::vector<std::string>& args);
Output CommandPlug(Session& session, const std::vector<std::string>& args);
Output CommandUnplug(Session& session, const std::vector<std::string>& args);
Output CommandPort(Session& session, const std::vector<std::string>& args);
Output CommandFault(Session& session, const std::vector<std::string>& args);
Output CommandDevtree(Session& session, const std::vector<std::string>& args);
Output CommandPnp(Session& session, const std::vector<std::string>& args);
Output CommandPower(Session& session, const std::vector<std::string>& args);
Output CommandOpen(Session& session, const std::vector<std::string>& args);
Output CommandClose(Session& session, const std::vector<std::string>& args);
Output CommandIoctl(Session& session, const std::vector<std::string>& args);
Output CommandScsi(Session& session, const std::vector<std::string>& args);
Output CommandErrlog(Session& session, const std::vector<std::string>& args);

// "STATUS_SUCCESS (0x00000000)": a status by name and value.
std::string StatusText(NTSTATUS status);
nlohmann::json StatusJson(NTSTATUS status);

// Splits a script line into words; double quotes group words.
std::vector<std::string> SplitWords(const std::string& line);

}  // namespace tvqr
