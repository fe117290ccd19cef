#include "camera/faults.h"

#include <cstdio>
#include <sstream>

#include "usbdi.h"

namespace camera {
namespace {

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool Number(const std::string& text, int base, std::uint32_t max, std::uint32_t* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (*end || value > max) return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
}

std::optional<FaultRule> ParseRule(const std::vector<std::string>& w, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<FaultRule> {
        *error = why;
        return std::nullopt;
    };
    FaultRule rule{};
    std::size_t i = 1;
    const std::string& action = w[0];
    auto next_is = [&](const char* word) { return i < w.size() && w[i] == word; };
    if (action == "stall-command") {
        rule.action = FaultAction::StallCommand;
    } else if (action == "stall-data") {
        rule.action = FaultAction::StallData;
        if (next_is("good") || next_is("bad")) rule.good = w[i++] == "good";
    } else if (action == "busy") {
        rule.action = FaultAction::Busy;
        if (i >= w.size() || !Number(w[i], 10, 1000000, &rule.count) || rule.count == 0)
            return fail("busy needs a count of status reads (1 to 1000000)");
        ++i;
    } else if (action == "status") {
        rule.action = FaultAction::Status;
        std::uint32_t value = 0;
        if (i >= w.size() || !Number(w[i], 16, 0xFF, &value) || (value != 0x80 && value != 0x20 && value != 0x01))
            return fail("status needs 80, 20 or 01");
        rule.status = static_cast<std::uint8_t>(value);
        ++i;
    } else if (action == "usb-error") {
        rule.action = FaultAction::UsbError;
        rule.usb_error = static_cast<std::uint32_t>(USBD_STATUS_DEV_NOT_RESPONDING);
        if (next_is("crc")) {
            rule.usb_error = static_cast<std::uint32_t>(USBD_STATUS_CRC);
            ++i;
        } else if (next_is("babble")) {
            rule.usb_error = static_cast<std::uint32_t>(USBD_STATUS_BUFFER_OVERRUN);
            ++i;
        } else if (next_is("no-response")) {
            ++i;
        }
    } else if (action == "hang") {
        rule.action = FaultAction::Hang;
        if (next_is("command") || next_is("data") || next_is("status")) {
            const std::string& s = w[i++];
            rule.stage = s == "command" ? Stage::Command : s == "data" ? Stage::Data : Stage::Status;
        }
    } else if (action == "unplug") {
        rule.action = FaultAction::Unplug;
    } else if (action == "disable-port") {
        rule.action = FaultAction::DisablePort;
    } else {
        return fail("unknown fault '" + action + "'");
    }
    if (next_is("at")) {
        ++i;
        if (i >= w.size() || !Number(w[i], 10, 1000000, &rule.at) || rule.at == 0)
            return fail("'at' needs a command count from 1");
        ++i;
    } else if (next_is("on")) {
        ++i;
        std::uint32_t opcode = 0;
        if (i >= w.size() || !Number(w[i], 16, 0xFF, &opcode)) return fail("'on' needs an opcode in hex (00 to ff)");
        rule.opcode = static_cast<std::uint8_t>(opcode);
        ++i;
    }
    if (i != w.size()) return fail("unexpected '" + w[i] + "' after " + action);
    return rule;
}

}  // namespace

std::optional<std::vector<FaultRule>> ParseFaults(const std::string& script, std::string* error) {
    std::vector<FaultRule> rules;
    std::size_t start = 0;
    while (start <= script.size()) {
        std::size_t end = script.find(';', start);
        if (end == std::string::npos) end = script.size();
        std::vector<std::string> words = Words(script.substr(start, end - start));
        if (!words.empty()) {
            std::optional<FaultRule> rule = ParseRule(words, error);
            if (!rule) return std::nullopt;
            rules.push_back(*rule);
        }
        start = end + 1;
    }
    if (rules.empty()) {
        *error = "the fault script is empty";
        return std::nullopt;
    }
    return rules;
}

std::string Describe(const FaultRule& rule) {
    char text[96];
    const char* where = "";
    char place[32];
    if (rule.opcode) {
        std::snprintf(place, sizeof place, " on %02x", *rule.opcode);
    } else {
        std::snprintf(place, sizeof place, " at %u", rule.at);
    }
    where = place;
    switch (rule.action) {
    case FaultAction::StallCommand: std::snprintf(text, sizeof text, "stall-command%s", where); break;
    case FaultAction::StallData:
        std::snprintf(text, sizeof text, "stall-data %s%s", rule.good ? "good" : "bad", where);
        break;
    case FaultAction::Busy: std::snprintf(text, sizeof text, "busy %u%s", rule.count, where); break;
    case FaultAction::Status: std::snprintf(text, sizeof text, "status %02x%s", rule.status, where); break;
    case FaultAction::UsbError: std::snprintf(text, sizeof text, "usb-error 0x%08X%s", rule.usb_error, where); break;
    case FaultAction::Hang:
        std::snprintf(text, sizeof text, "hang %s%s",
                      rule.stage == Stage::Command ? "command" : rule.stage == Stage::Data ? "data" : "status", where);
        break;
    case FaultAction::Unplug: std::snprintf(text, sizeof text, "unplug%s", where); break;
    case FaultAction::DisablePort: std::snprintf(text, sizeof text, "disable-port%s", where); break;
    }
    return text;
}

}  // namespace camera
