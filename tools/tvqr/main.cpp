// tvqr: boots the emulated PC from its home and runs commands on it.
//
//   tvqr [global options] COMMAND [ARGS]      one command
//   tvqr [global options] script FILE|-       one command a line, all on one running machine
//
// Exit status: 0 success, 1 the operation failed, 2 bad usage or bad input.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <iostream>

#include "machine/drivers.h"
#include "session.h"

namespace {

// Each flavor's drivers live in a tvqr of their own (their names are the same); a run for the other
// flavor goes on in the sibling program, with the same arguments.
int HandOver(const std::string& flavor, char** argv) {
    char self[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string sibling;
    if (length > 0) {
        std::string path(self, static_cast<std::size_t>(length));
        sibling = path.substr(0, path.rfind('/') + 1) + "tvqr-" + flavor;
        if (::access(sibling.c_str(), X_OK) == 0) {
            ::execv(sibling.c_str(), argv);
            std::cerr << "tvqr: cannot run " << sibling << std::endl;
            return tvqr::kFailed;
        }
    }
    std::cerr << "tvqr: this program runs the " << machine::BuiltFlavor() << " flavor, and tvqr-" << flavor
              << " is not built beside it (the 9x flavor is built in the i386 tree)" << std::endl;
    return tvqr::kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    tvqr::GlobalOptions options;
    CLI::App app{
        "tvqr: the emulated PC with the DVD-RAM camera.\n"
        "Commands: init [--product ID] [--disc-size SIZE] [--no-disc] | usb | plug | unplug | port |\n"
        "          fault SCRIPT | devtree | pnp OPERATION [child] | power [S0..S5|wait-wake|wake] |\n"
        "          open NAME | close [--handle N] | ioctl get-config|reset-device|reset-pipe [--handle N] |\n"
        "          scsi inquiry|tur|sense|capacity|read LBA COUNT [--out F]|write LBA --in F|\n"
        "               raw HEXCDB [--read N|--in F]|abort|reset-bus | errlog [--clear] |\n"
        "          script FILE|-"};
    app.add_option("--home", options.home, "the machine's home folder (else $TVQR_HOME, $XDG_STATE_HOME/tvqr)");
    app.add_option("--flavor", options.flavor, "the drivers' flavor for this run")->check(CLI::IsMember({"nt", "9x"}));
    CLI::Option* seed = app.add_option("--seed", options.seed, "interleave threads at random with this seed");
    app.add_option("--pace", options.pace, "keep virtual time within this factor of wall time")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--pcap", options.pcap, "capture the bus to this file (usbmon pcap)");
    app.add_flag("--json", options.json, "one JSON object per result line");
    app.add_flag("--trace", options.trace, "show the drivers' debug output");
    app.prefix_command();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "tvqr: " << e.what() << std::endl;
        return tvqr::kUsage;
    }
    std::vector<std::string> words = app.remaining();
    if (words.empty()) {
        std::cerr << "tvqr: a command is needed (try tvqr --help)" << std::endl;
        return tvqr::kUsage;
    }

    std::string flavor = options.flavor;
    if (flavor.empty()) {
        machine::MachineConfig config;
        std::string error;
        if (machine::LoadConfig(machine::DefaultHome(options.home), &config, &error)) flavor = config.flavor;
    }
    if (!flavor.empty() && flavor != machine::BuiltFlavor()) return HandOver(flavor, argv);

    sched::Options sched_options;
    sched_options.seed = options.seed;
    sched_options.policy = seed->count() ? sched::Policy::Random : sched::Policy::Fifo;
    sched_options.pace = options.pace;
    sched::Scheduler scheduler(sched_options);
    int code;
    {
        tvqr::Session session(options);
        if (words[0] == "script" && words.size() != 2) {
            std::cerr << "tvqr: script needs one FILE, or - for standard input" << std::endl;
            code = tvqr::kUsage;
        } else if (words[0] == "script") {
            code = session.RunScript(words[1]);
        } else {
            code = session.Run(words);
        }
        int finish = session.Finish();
        if (code == tvqr::kOk) code = finish;
    }
    return code;
}
