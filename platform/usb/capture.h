// A capture of what crosses the bus, in the pcap format with the Linux usbmon memory-mapped
// header (link type 220), so that Wireshark and tshark read it: a submission and a completion record
// per transfer, with setup packet, data, status and the clock's time (virtual time in sim mode).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "sched/sched.h"

namespace usb {

enum class TransferType : std::uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

// Completion statuses as usbmon reports them (negative errno values).
inline constexpr std::int32_t kInProgress = -115;
inline constexpr std::int32_t kStalled = -32;
inline constexpr std::int32_t kCancelled = -2;
inline constexpr std::int32_t kGone = -108;
inline constexpr std::int32_t kProtocolError = -71;

struct CaptureEvent {
    std::uint64_t id;          // the same for a transfer's submission and completion
    bool submit;               // 'S', else 'C'
    TransferType type;
    std::uint8_t endpoint;     // with 0x80 for IN
    std::uint8_t device;       // bus address
    std::uint16_t bus;
    const std::uint8_t* setup; // 8 bytes for a control submission, else NULL
    std::int32_t status;
    std::uint32_t length;      // submission: requested; completion: moved
    const std::uint8_t* data;  // the bytes that travel with this record (may be NULL)
    std::uint32_t data_length;
    std::uint32_t transfer_flags;
    sched::Time time;
};

class Capture {
public:
    Capture() = default;
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Creates the file and writes the pcap header; false with a reason when it cannot.
    bool Open(const std::string& path, std::string* error);
    void Record(const CaptureEvent& event);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    std::uint64_t Records() const { return records_; }

private:
    std::FILE* file_ = nullptr;
    std::uint64_t records_ = 0;
};

}  // namespace usb
