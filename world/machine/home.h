// A machine's home folder: machine.json and the disc images.
//
// machine.json holds what the machine is made of: the flavor of its drivers, the camera's product id,
// whether the camera is plugged in, and its disc image (a sparse file in the home; none when the
// drive is empty). Files are written atomically (write, flush, rename), so a process that dies
// mid-write leaves the old file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace machine {

struct MachineConfig {
    std::string flavor = "nt";  // nt or 9x
    std::uint16_t product = 0x0004;
    bool plugged = true;
    std::string disc_image = "disc.img";  // relative to the home; empty: no disc
    std::uint64_t disc_size = 0;          // bytes, when the image was made
};

// --home, else $TVQR_HOME, else $XDG_STATE_HOME/tvqr, else ~/.local/state/tvqr.
std::string DefaultHome(const std::string& option);

// Parses sizes such as "4.7G", "600M", "1048576" (bytes; K, M, G and T are powers of 1000,
// Ki, Mi, Gi powers of 1024); the result is a whole number of 2048-byte blocks.
std::optional<std::uint64_t> ParseSize(const std::string& text);

bool LoadConfig(const std::string& home, MachineConfig* config, std::string* error);
bool SaveConfig(const std::string& home, const MachineConfig& config, std::string* error);

// Makes a home: the folder, a sparse disc image of `disc_size` bytes (unless the config has no disc)
// and machine.json. Refuses to overwrite an existing machine.json.
bool CreateHome(const std::string& home, const MachineConfig& config, std::string* error);

std::string DiscPath(const std::string& home, const MachineConfig& config);

}  // namespace machine
