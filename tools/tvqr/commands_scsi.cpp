// scsi, errlog: SRBs to the camera's drive through the SCSI port, as a class driver sends them.
#include <cstdio>
#include <fstream>

#include "scsiport.h"
#include "session.h"

namespace tvqr {
namespace {

const char* SrbStatusName(UCHAR status) {
    static const struct {
        UCHAR value;
        const char* name;
    } kNames[] = {
        {SRB_STATUS_PENDING, "SRB_STATUS_PENDING"},
        {SRB_STATUS_SUCCESS, "SRB_STATUS_SUCCESS"},
        {SRB_STATUS_ABORTED, "SRB_STATUS_ABORTED"},
        {SRB_STATUS_ABORT_FAILED, "SRB_STATUS_ABORT_FAILED"},
        {SRB_STATUS_ERROR, "SRB_STATUS_ERROR"},
        {SRB_STATUS_BUSY, "SRB_STATUS_BUSY"},
        {SRB_STATUS_INVALID_REQUEST, "SRB_STATUS_INVALID_REQUEST"},
        {SRB_STATUS_INVALID_PATH_ID, "SRB_STATUS_INVALID_PATH_ID"},
        {SRB_STATUS_NO_DEVICE, "SRB_STATUS_NO_DEVICE"},
        {SRB_STATUS_TIMEOUT, "SRB_STATUS_TIMEOUT"},
        {SRB_STATUS_SELECTION_TIMEOUT, "SRB_STATUS_SELECTION_TIMEOUT"},
        {SRB_STATUS_COMMAND_TIMEOUT, "SRB_STATUS_COMMAND_TIMEOUT"},
        {SRB_STATUS_BUS_RESET, "SRB_STATUS_BUS_RESET"},
        {SRB_STATUS_INVALID_LUN, "SRB_STATUS_INVALID_LUN"},
        {SRB_STATUS_INVALID_TARGET_ID, "SRB_STATUS_INVALID_TARGET_ID"},
    };
    for (const auto& n : kNames)
        if (n.value == SRB_STATUS(status)) return n.name;
    return "SRB_STATUS_?";
}

const char* ScsiStatusName(UCHAR status) {
    switch (status) {
    case SCSISTAT_GOOD: return "GOOD";
    case SCSISTAT_CHECK_CONDITION: return "CHECK CONDITION";
    case SCSISTAT_CONDITION_MET: return "CONDITION MET";
    case SCSISTAT_BUSY: return "BUSY";
    case SCSISTAT_RESERVATION_CONFLICT: return "RESERVATION CONFLICT";
    default: return "?";
    }
}

std::string Hex(const std::uint8_t* data, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        text += byte;
        if (i + 1 < length) text += (i % 16 == 15) ? "\n  " : " ";
    }
    return text;
}

bool ParseNumber(const std::string& text, unsigned long long limit, unsigned long long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtoull(text.c_str(), &end, 0);
    return *end == 0 && *value <= limit;
}

bool ParseHexBytes(const std::string& text, std::vector<UCHAR>* bytes) {
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':') digits += c;
    if (digits.empty() || digits.size() % 2) return false;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        unsigned long long v = 0;
        if (!ParseNumber("0x" + digits.substr(i, 2), 0xFF, &v)) return false;
        bytes->push_back(static_cast<UCHAR>(v));
    }
    return true;
}

struct Planned {
    scsiport::Request request;
    std::vector<UCHAR> data;
    std::string out_file;  // data in: write it here
    bool show_data = false;
};

// Turns the words after "scsi" into a request; a usage error otherwise.
bool Plan(const std::vector<std::string>& args, Planned* p, std::string* error) {
    const std::string& what = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    auto option = [&](const std::string& name, std::string* value) {
        for (std::size_t i = 0; i + 1 < rest.size(); ++i)
            if (rest[i] == name) {
                *value = rest[i + 1];
                rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i), rest.begin() + static_cast<std::ptrdiff_t>(i) + 2);
                return true;
            }
        return false;
    };
    std::string out, in, read;
    option("--out", &out);
    option("--in", &in);
    option("--read", &read);
    auto data_in = [&](ULONG length) {
        p->data.assign(length, 0);
        p->request.flags = SRB_FLAGS_DATA_IN;
        p->show_data = out.empty();
        p->out_file = out;
    };
    auto data_from_file = [&](const std::string& file) {
        std::ifstream f(file, std::ios::binary);
        if (!f) return false;
        p->data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        p->request.flags = SRB_FLAGS_DATA_OUT;
        return true;
    };
    unsigned long long a = 0, b = 0;
    if (what == "tur" && rest.empty()) {
        p->request.cdb = {0x00, 0, 0, 0, 0, 0};
    } else if (what == "inquiry" && rest.empty()) {
        p->request.cdb = {0x12, 0, 0, 0, 36, 0};
        data_in(36);
    } else if (what == "sense" && rest.empty()) {
        p->request.cdb = {0x03, 0, 0, 0, 18, 0};
        data_in(18);
    } else if (what == "capacity" && rest.empty()) {
        p->request.cdb = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        data_in(8);
    } else if (what == "read" && rest.size() == 2 && ParseNumber(rest[0], 0xFFFFFFFF, &a) &&
               ParseNumber(rest[1], 0xFFFF, &b) && b > 0) {
        p->request.cdb = {0x28, 0, UCHAR(a >> 24), UCHAR(a >> 16), UCHAR(a >> 8), UCHAR(a), 0, UCHAR(b >> 8), UCHAR(b), 0};
        data_in(static_cast<ULONG>(b * 2048));
    } else if (what == "write" && rest.size() == 1 && ParseNumber(rest[0], 0xFFFFFFFF, &a) && !in.empty()) {
        if (!data_from_file(in)) {
            *error = "cannot read " + in;
            return false;
        }
        if (p->data.empty() || p->data.size() % 2048) {
            *error = "the data to write must be a whole number of 2048-byte blocks";
            return false;
        }
        unsigned long long blocks = p->data.size() / 2048;
        if (blocks > 0xFFFF) {
            *error = "at most 65535 blocks at a time";
            return false;
        }
        p->request.cdb = {0x2A, 0, UCHAR(a >> 24), UCHAR(a >> 16), UCHAR(a >> 8), UCHAR(a), 0, UCHAR(blocks >> 8),
                          UCHAR(blocks), 0};
    } else if (what == "raw" && rest.size() == 1 && ParseHexBytes(rest[0], &p->request.cdb) &&
               p->request.cdb.size() <= 16) {
        if (!read.empty()) {
            if (!ParseNumber(read, 1 << 24, &a)) {
                *error = "--read needs a byte count";
                return false;
            }
            data_in(static_cast<ULONG>(a));
        } else if (!in.empty() && !data_from_file(in)) {
            *error = "cannot read " + in;
            return false;
        }
    } else if (what == "abort" && rest.empty()) {
        p->request.function = SRB_FUNCTION_ABORT_COMMAND;
    } else {
        *error = "scsi needs: inquiry | tur | sense | capacity | read LBA COUNT [--out F] | write LBA --in F |\n"
                 "  raw HEXCDB [--read N | --in F] | abort | reset-bus";
        return false;
    }
    p->request.data = p->data.empty() ? nullptr : p->data.data();
    p->request.length = static_cast<ULONG>(p->data.size());
    return true;
}

}  // namespace

Output CommandScsi(Session& session, const std::vector<std::string>& args) {
    if (args.empty()) return Usage("scsi needs a request (try tvqr --help)");
    Planned plan;
    std::string error;
    bool reset = args[0] == "reset-bus" && args.size() == 1;
    if (!reset && !Plan(args, &plan, &error)) return Usage(error);
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    PDEVICE_OBJECT adapter = session.Machine()->ScsiAdapter();
    if (!adapter) return Failure("no SCSI adapter is started (is the camera plugged in?)");
    if (reset) {
        bool done = scsiport::ResetBus(adapter, 0);
        out.code = done ? kOk : kFailed;
        out.text = done ? "bus reset" : "the adapter is not started";
        out.json = {{"reset", done}};
        return out;
    }
    scsiport::Result r = scsiport::Execute(adapter, plan.request);
    char text[200];
    std::snprintf(text, sizeof text, "%s (0x%02x), scsi %s (0x%02x), %u bytes, %.6f s", SrbStatusName(r.srb_status),
                  r.srb_status, ScsiStatusName(r.scsi_status), r.scsi_status, static_cast<unsigned>(r.transferred),
                  static_cast<double>(r.took) / sched::kSecond);
    out.text = text;
    out.code = SRB_STATUS(r.srb_status) == SRB_STATUS_SUCCESS ? kOk : kFailed;
    out.json = {{"srb_status", {{"name", SrbStatusName(r.srb_status)}, {"value", r.srb_status}}},
                {"scsi_status", {{"name", ScsiStatusName(r.scsi_status)}, {"value", r.scsi_status}}},
                {"transferred", r.transferred},
                {"seconds", static_cast<double>(r.took) / sched::kSecond}};
    std::size_t shown = std::min<std::size_t>(r.transferred, plan.data.size());
    if (plan.request.flags == SRB_FLAGS_DATA_IN && !plan.out_file.empty()) {
        std::ofstream f(plan.out_file, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(plan.data.data()), static_cast<std::streamsize>(shown));
        if (!f) return Failure("cannot write " + plan.out_file);
        out.text += "\n  written to " + plan.out_file;
    } else if (plan.show_data && shown) {
        out.text += "\n  " + Hex(plan.data.data(), std::min<std::size_t>(shown, 512));
        out.json["data"] = Hex(plan.data.data(), shown);
    }
    return out;
}

Output CommandErrlog(Session& session, const std::vector<std::string>& args) {
    if (!args.empty() && !(args.size() == 1 && args[0] == "--clear")) return Usage("errlog takes only --clear");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    nlohmann::json entries = nlohmann::json::array();
    for (const scsiport::ErrorLogEntry& e : scsiport::ErrorLog()) {
        char line[160];
        std::snprintf(line, sizeof line, "%.6f s  %s  %s (%u)  unique id 0x%08x  opcode %s  path %u target %u lun %u",
                      static_cast<double>(e.time) / sched::kSecond, e.adapter.c_str(),
                      e.error_code == SP_PROTOCOL_ERROR   ? "SP_PROTOCOL_ERROR"
                      : e.error_code == SP_REQUEST_TIMEOUT ? "SP_REQUEST_TIMEOUT"
                                                           : "SP_?",
                      static_cast<unsigned>(e.error_code), static_cast<unsigned>(e.unique_id),
                      e.opcode < 0 ? "-" : (std::to_string(e.opcode)).c_str(), e.path, e.target, e.lun);
        out.text += std::string(line) + "\n";
        entries.push_back({{"seconds", static_cast<double>(e.time) / sched::kSecond},
                           {"adapter", e.adapter},
                           {"error_code", e.error_code},
                           {"unique_id", e.unique_id},
                           {"opcode", e.opcode}});
    }
    if (entries.empty()) out.text = "the error log is empty";
    if (!args.empty()) scsiport::ClearErrorLog();
    out.json = {{"entries", entries}};
    return out;
}

}  // namespace tvqr
