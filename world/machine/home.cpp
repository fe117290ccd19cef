#include "machine/home.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace machine {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::uint64_t kBlock = 2048;

std::string ConfigPath(const std::string& home) { return (fs::path(home) / "machine.json").string(); }

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// Writes a file so that it is either wholly old or wholly new.
bool WriteAtomically(const std::string& path, const std::string& text, std::string* error) {
    std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultHome(const std::string& option) {
    if (!option.empty()) return option;
    if (const char* v = std::getenv("TVQR_HOME"); v && *v) return v;
    if (const char* v = std::getenv("XDG_STATE_HOME"); v && *v) return (fs::path(v) / "tvqr").string();
    const char* home = std::getenv("HOME");
    return (fs::path(home && *home ? home : ".") / ".local" / "state" / "tvqr").string();
}

std::optional<std::uint64_t> ParseSize(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    double number = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !(number > 0) || !std::isfinite(number)) return std::nullopt;
    std::string unit(end);
    double scale = 1;
    if (unit == "" || unit == "B") {
        scale = 1;
    } else if (unit == "K" || unit == "KB") {
        scale = 1e3;
    } else if (unit == "M" || unit == "MB") {
        scale = 1e6;
    } else if (unit == "G" || unit == "GB") {
        scale = 1e9;
    } else if (unit == "T" || unit == "TB") {
        scale = 1e12;
    } else if (unit == "Ki" || unit == "KiB") {
        scale = 1024.0;
    } else if (unit == "Mi" || unit == "MiB") {
        scale = 1024.0 * 1024;
    } else if (unit == "Gi" || unit == "GiB") {
        scale = 1024.0 * 1024 * 1024;
    } else {
        return std::nullopt;
    }
    double bytes = number * scale;
    if (bytes > 1e13) return std::nullopt;  // larger than any disc of this drive
    auto blocks = static_cast<std::uint64_t>(bytes) / kBlock;
    if (blocks == 0) return std::nullopt;
    return blocks * kBlock;
}

bool LoadConfig(const std::string& home, MachineConfig* config, std::string* error) {
    std::string path = ConfigPath(home);
    std::ifstream in(path);
    if (!in) {
        *error = "no machine at " + home + " (run 'tvqr init' first)";
        return false;
    }
    try {
        json j = json::parse(in);
        MachineConfig c;
        c.flavor = j.value("flavor", "nt");
        std::string product = j.value("product", "0x0004");
        c.product = static_cast<std::uint16_t>(std::stoul(product, nullptr, 16));
        c.plugged = j.value("plugged", true);
        c.disc_image = j.value("disc_image", "");
        c.disc_size = j.value("disc_size", std::uint64_t{0});
        if (c.flavor != "nt" && c.flavor != "9x") {
            *error = path + ": flavor must be nt or 9x";
            return false;
        }
        *config = c;
        return true;
    } catch (const std::exception& e) {
        *error = path + ": " + e.what();
        return false;
    }
}

bool SaveConfig(const std::string& home, const MachineConfig& c, std::string* error) {
    json j = {{"flavor", c.flavor},
              {"product", Hex4(c.product)},
              {"plugged", c.plugged},
              {"disc_image", c.disc_image},
              {"disc_size", c.disc_size}};
    return WriteAtomically(ConfigPath(home), j.dump(2) + "\n", error);
}

bool CreateHome(const std::string& home, const MachineConfig& config, std::string* error) {
    std::error_code ec;
    fs::create_directories(home, ec);
    if (ec) {
        *error = "cannot create " + home + ": " + ec.message();
        return false;
    }
    if (fs::exists(ConfigPath(home))) {
        *error = "a machine exists already at " + home;
        return false;
    }
    if (!config.disc_image.empty()) {
        std::string image = DiscPath(home, config);
        int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(config.disc_size)) != 0) {
            *error = "cannot make the disc image " + image + ": " + std::strerror(errno);
            if (fd >= 0) ::close(fd);
            return false;
        }
        ::close(fd);
    }
    return SaveConfig(home, config, error);
}

std::string DiscPath(const std::string& home, const MachineConfig& config) {
    if (config.disc_image.empty()) return "";
    fs::path image(config.disc_image);
    return image.is_absolute() ? image.string() : (fs::path(home) / image).string();
}

}  // namespace machine
