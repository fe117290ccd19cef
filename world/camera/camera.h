// The camera as a USB full-speed device: its descriptors, the transport its drive is reached by, and
// the faults a test can make it show.
//
// Transport. A command block arrives as a class request to interface 0 (bmRequestType 0x21,
// bRequest 0x00, the block as data); data moves on the bulk pipes (0x81 IN, 0x01 OUT); the two
// status bytes are read with a vendor request (bmRequestType 0xC0, bRequest 0x00, 2 bytes).
//
// Status bytes the camera gives (byte 0, byte 1):
//   40 00  the command, or the data chunk just received, was accepted; the command went well
//   40 01  the command is complete and its data stage ended early: the camera stalled the bulk IN
//          pipe because it had no more data than it sent (the host counts the transfer as done)
//   80 00  the command failed (CHECK CONDITION); sense data waits for REQUEST SENSE
//   20 02  a phase error: data on a pipe that the current command does not use, or more data than it
//          takes; the pipe is stalled
//   FF FF  not ready to report (only when a fault script says so)
//   01 00  a failure without sense (only when a fault script says so)
// A command block reset (1D 04 FF FF FF FF) empties the interpreter: no data is pending and the
// status reads 40 00. It does not reach the drive and raises no unit attention.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "camera/drive/drive.h"
#include "camera/faults.h"
#include "usb/usb_stack.h"

namespace camera {

inline constexpr std::uint16_t kVendorId = 0xE7A4;

struct CameraOptions {
    std::uint16_t product = 0x0004;
    // The drive's identity; by default the one that goes with the product (0x0004: RC-TVQR1,
    // 0x0015 and any other: DVD-RAM TV-QR2).
    std::optional<Model> model;
    std::string disc_image;  // empty: no disc in the drive
    // Test variants of the descriptors.
    std::uint16_t configuration_length = 0;  // pad with vendor descriptors to this wTotalLength
    std::uint8_t interface_class = 0xFF;
    std::uint8_t interface_subclass = 0xFF;
    std::uint8_t interface_protocol = 0xFF;
    std::uint8_t extra_pipes = 0;        // interrupt IN endpoints after the two bulk ones
    std::uint16_t bulk_packet_size = 64;
};

class Camera : public usb::Device {
public:
    explicit Camera(CameraOptions options);

    usb::Result Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data) override;
    usb::Result Transfer(std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length) override;
    void BusReset() override;

    // Adds the rules of a fault script (see faults.h).
    bool AddFaults(const std::string& script, std::string* error);
    std::vector<std::string> PendingFaults() const;
    // Receives the faults that act on the port (unplug, disable-port). It is called on the bus's
    // completion path and must defer the act itself.
    void SetPortHook(std::function<void(FaultAction)> hook) { port_hook_ = std::move(hook); }

    Drive& drive() { return drive_; }
    const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const { return device_descriptor_; }
    const std::vector<std::uint8_t>& ConfigurationDescriptor() const { return configuration_; }
    std::uint8_t Address() const { return address_; }
    std::uint8_t Configuration() const { return configuration_value_; }
    std::uint8_t StatusByte(int i) const { return status_[i]; }
    std::uint64_t Commands() const { return commands_; }

private:
    enum class Phase : std::uint8_t { Idle, DataIn, DataOut, Done };

    // What the fault script made of the command now being served.
    struct Armed {
        bool stall_data = false;
        bool stall_data_good = true;
        bool hang_data = false;
        bool hang_status = false;
        std::uint32_t busy = 0;
    };

    usb::Result CommandBlock(const std::uint8_t* block, std::uint16_t length);
    usb::Result ReadStatus(std::uint8_t* data, std::uint16_t length);
    usb::Result Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data);
    usb::Result DataIn(std::uint8_t* data, std::uint32_t length);
    usb::Result DataOut(const std::uint8_t* data, std::uint32_t length);
    usb::Result StallDataStage(std::uint8_t endpoint);
    void SetStatus(std::uint8_t b0, std::uint8_t b1);
    std::vector<FaultRule> TakeStriking(std::uint8_t opcode);
    bool* HaltOf(std::uint8_t endpoint);
    void BuildDescriptors();

    CameraOptions options_;
    Drive drive_;
    USB_DEVICE_DESCRIPTOR device_descriptor_{};
    std::vector<std::uint8_t> configuration_;
    std::vector<std::string> strings_;
    std::uint8_t address_ = 0;
    std::uint8_t configuration_value_ = 0;
    std::map<std::uint8_t, bool> halted_;  // by endpoint address, for every endpoint but 0

    Phase phase_ = Phase::Idle;
    std::vector<std::uint8_t> in_data_;
    std::size_t in_sent_ = 0;
    std::vector<std::uint8_t> out_data_;
    std::uint32_t out_expected_ = 0;
    std::uint8_t status_[2] = {0x40, 0x00};
    std::uint64_t commands_ = 0;

    std::vector<FaultRule> faults_;
    Armed armed_;
    std::function<void(FaultAction)> port_hook_;
};

}  // namespace camera
