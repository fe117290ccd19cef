#include "usb/capture.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace usb {
namespace {

constexpr std::uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr std::uint32_t kSnapLength = 0x40000;
// Virtual time 0 is shown as 2005-01-01 00:00 UTC, the emulated PC's boot time.
constexpr std::int64_t kEpochSeconds = 1104537600;

#pragma pack(push, 1)
struct PcapHeader {
    std::uint32_t magic;
    std::uint16_t version_major;
    std::uint16_t version_minor;
    std::int32_t thiszone;
    std::uint32_t sigfigs;
    std::uint32_t snaplen;
    std::uint32_t network;
};

struct PcapRecord {
    std::uint32_t ts_sec;
    std::uint32_t ts_usec;
    std::uint32_t incl_len;
    std::uint32_t orig_len;
};

// The usbmon header that precedes each packet's data.
struct UsbmonHeader {
    std::uint64_t id;
    std::uint8_t type;
    std::uint8_t xfer_type;
    std::uint8_t epnum;
    std::uint8_t devnum;
    std::uint16_t busnum;
    char flag_setup;
    char flag_data;
    std::int64_t ts_sec;
    std::int32_t ts_usec;
    std::int32_t status;
    std::uint32_t length;
    std::uint32_t len_cap;
    std::uint8_t setup[8];
    std::int32_t interval;
    std::int32_t start_frame;
    std::uint32_t xfer_flags;
    std::uint32_t ndesc;
};
#pragma pack(pop)

static_assert(sizeof(PcapHeader) == 24 && sizeof(PcapRecord) == 16);
static_assert(sizeof(UsbmonHeader) == 64);
static_assert(offsetof(UsbmonHeader, busnum) == 12 && offsetof(UsbmonHeader, ts_sec) == 16 &&
              offsetof(UsbmonHeader, status) == 28 && offsetof(UsbmonHeader, setup) == 40 &&
              offsetof(UsbmonHeader, xfer_flags) == 56);

}  // namespace

Capture::~Capture() { Close(); }

bool Capture::Open(const std::string& path, std::string* error) {
    Close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    PcapHeader header{0xA1B2C3D4u, 2, 4, 0, 0, kSnapLength, kLinkTypeUsbLinuxMmapped};
    std::fwrite(&header, sizeof header, 1, file_);
    records_ = 0;
    return true;
}

void Capture::Record(const CaptureEvent& e) {
    if (!file_) return;
    std::int64_t micros = e.time / sched::kMicrosecond;
    std::int64_t seconds = kEpochSeconds + micros / 1000000;
    auto usec = static_cast<std::int32_t>(micros % 1000000);

    UsbmonHeader h{};
    h.id = e.id;
    h.type = e.submit ? 'S' : 'C';
    h.xfer_type = static_cast<std::uint8_t>(e.type);
    h.epnum = e.endpoint;
    h.devnum = e.device;
    h.busnum = e.bus;
    h.flag_setup = e.setup ? 0 : '-';
    std::uint32_t captured = e.data ? e.data_length : 0;
    // '<' and '>' say that no data travels with the record, by direction.
    h.flag_data = captured ? 0 : ((e.endpoint & 0x80) ? '<' : '>');
    h.ts_sec = seconds;
    h.ts_usec = usec;
    h.status = e.status;
    h.length = e.length;
    h.len_cap = captured;
    if (e.setup) std::memcpy(h.setup, e.setup, 8);
    h.xfer_flags = e.transfer_flags;

    PcapRecord r{static_cast<std::uint32_t>(seconds), static_cast<std::uint32_t>(usec),
                 static_cast<std::uint32_t>(sizeof h + captured), static_cast<std::uint32_t>(sizeof h + captured)};
    std::fwrite(&r, sizeof r, 1, file_);
    std::fwrite(&h, sizeof h, 1, file_);
    if (captured) std::fwrite(e.data, 1, captured, file_);
    ++records_;
}

void Capture::Close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

}  // namespace usb
