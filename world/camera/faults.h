// The camera's fault script: what goes wrong, and at which command.
//
// A script is one or more rules separated by ';'. A rule is an action, its arguments, and where it
// strikes: `at N` (the Nth command block from now, 1 by default) or `on XX` (the next command whose
// opcode is the hex byte XX). Actions:
//
//   stall-command            the command stage answers STALL
//   stall-data [good|bad]    the data stage answers STALL; the status bytes then read 40 01 (good:
//                            the transfer counts as done, the default) or 80 02 (bad)
//   busy N                   the next N status reads of that command answer FF FF
//   status XX                that command's first status byte reads XX (80, 20 or 01)
//   usb-error [crc|no-response|babble]
//                            the command stage fails with that bus error (default no-response)
//   hang [command|data|status]
//                            that stage never completes, until the request is cancelled (default command)
//   unplug                   the cable is pulled as the command arrives
//   disable-port             the hub disables the port as the command arrives
//
// Examples: "stall-command at 2", "busy 3 on 2a; status 20 on 00", "hang on 00".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace camera {

enum class FaultAction : std::uint8_t {
    StallCommand,
    StallData,
    Busy,
    Status,
    UsbError,
    Hang,
    Unplug,
    DisablePort,
};

enum class Stage : std::uint8_t { Command, Data, Status };

struct FaultRule {
    FaultAction action;
    std::uint32_t count = 0;      // Busy: status reads answered FF
    std::uint8_t status = 0;      // Status: the first status byte
    bool good = true;             // StallData: the status that follows
    std::uint32_t usb_error = 0;  // UsbError: the USBD status the host reports
    Stage stage = Stage::Command; // Hang
    std::uint32_t at = 1;         // strike at the Nth command block from now...
    std::optional<std::uint8_t> opcode;  // ...or at the next command with this opcode
};

// Parses a script; on a mistake returns nothing and says what is wrong in `error`.
std::optional<std::vector<FaultRule>> ParseFaults(const std::string& script, std::string* error);
std::string Describe(const FaultRule& rule);

}  // namespace camera
