// The USB stack stand-in: a host controller with a root hub, its ports, and the physical device
// object that the hub reports for a device on a port. Drivers reach it only through that device
// object, with internal device-control requests; the machine (and tests) use this header to plug
// device models in and out and to watch the bus.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sched/sched.h"
#include "usbdlib.h"
#include "usbioctl.h"

namespace usb {

class Capture;

// How a device answered one transaction.
enum class Reply : std::uint8_t {
    Ack,      // done; `length` bytes moved
    Stall,    // the endpoint answered STALL
    NoReply,  // the device never answers: the request stays pending until it is cancelled
    Error,    // a bus error; `error` says which USBD status the host reports
};

struct Result {
    Reply reply = Reply::Ack;
    std::uint32_t length = 0;
    USBD_STATUS error = USBD_STATUS_DEV_NOT_RESPONDING;
};

// A device model on the far side of the cable. Calls arrive one at a time, when the transfer
// completes on the bus (at the end of its bus time), at DISPATCH_LEVEL: they must not block.
class Device {
public:
    virtual ~Device() = default;
    // A control transfer on endpoint 0. `data` holds setup.wLength bytes: the payload of an OUT
    // transfer, or the room for an IN transfer's answer.
    virtual Result Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data) = 0;
    // A bulk or interrupt transfer on another endpoint (with 0x80 for IN).
    virtual Result Transfer(std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length) = 0;
    // The port was reset: the device returns to its default state (address 0, not configured).
    virtual void BusReset() = 0;
};

struct PortStatus {
    bool connected = false;
    bool enabled = false;
};

// Full-speed bus time (12 Mbit/s, 1 ms frames): a transfer starts at a frame boundary and takes
// whole frames; a frame carries at most 19 bulk packets of 64 bytes, and a control transfer takes at
// least one frame.
struct Timing {
    static constexpr sched::Time kFrame = sched::kMillisecond;
    static constexpr std::uint32_t kBulkPacketsPerFrame = 19;
    static std::uint32_t Frames(bool control, std::uint32_t length, std::uint32_t max_packet);
};

class HostController {
public:
    // Loads the hub's driver; the kernel must be running.
    explicit HostController(int ports = 1);
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // Connects a device to a port and enumerates it as the hub does: port reset, SET_ADDRESS, the
    // device descriptor. Returns the physical device object the hub reports, or NULL when the device
    // did not enumerate. The model must outlive its stay on the port.
    PDEVICE_OBJECT Plug(int port, Device* device);
    // Pulls the cable: outstanding requests fail as the device is gone. The physical device object
    // stays until Plug and Play's last IRP_MN_REMOVE_DEVICE for it, on which the hub deletes it.
    void Unplug(int port);
    void DisablePort(int port);
    // The device signals a remote wakeup: the hub completes the wait-wake request it holds for the
    // port with success. False when none was held.
    bool RemoteWakeup(int port);
    bool WaitWakeHeld(int port) const;
    DEVICE_POWER_STATE DevicePower(int port) const;  // as the last device set-power request left it
    bool PowerChanging(int port) const;              // a device set-power request is under way
    PortStatus Status(int port) const;
    PDEVICE_OBJECT PhysicalDevice(int port) const;
    // Deletes the physical device object of a port whose device has left, when Plug and Play never
    // had it (a device that was not reported).
    void Forget(int port);

    // The capabilities that the hub reports for the device on a port (a test may change the device
    // state table and the wake states); a port starts with DefaultCapabilities.
    void SetCapabilities(int port, const DEVICE_CAPABILITIES& capabilities);
    static DEVICE_CAPABILITIES DefaultCapabilities(int port);

    void SetCapture(Capture* capture);
    // Transfers in flight or parked, over all ports.
    std::size_t Outstanding() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace usb
