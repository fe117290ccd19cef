// An emulated PC: the kernel, the USB host controller with the camera on port 1, and (in later
// steps) the drivers. It runs under the scheduler that its owner created.
#pragma once

#include <memory>
#include <string>

#include "camera/camera.h"
#include "kernel/kernel.h"
#include "machine/home.h"
#include "usb/capture.h"
#include "usb/usb_stack.h"

namespace machine {

inline constexpr int kCameraPort = 1;

struct MachineOptions {
    std::string pcap;  // capture the bus to this file
};

class Machine {
public:
    Machine(std::string home, MachineConfig config, MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Boots the kernel, opens the capture, and plugs the camera in when the config says it is.
    bool Boot(std::string* error);
    // Unplugs, stops the kernel and returns what it found (leaks, faults).
    kernel::ShutdownReport Shutdown();

    bool Plug(std::string* error);
    void Unplug();
    bool Plugged() const;
    usb::PortStatus Port() const;

    camera::Camera& Camera() { return *camera_; }
    usb::HostController& Host() { return *host_; }
    PDEVICE_OBJECT CameraDevice() const;
    const MachineConfig& Config() const { return config_; }
    const std::string& HomePath() const { return home_; }

private:
    static void RunPortFault(void* context);

    std::string home_;
    MachineConfig config_;
    MachineOptions options_;
    usb::Capture capture_;
    std::unique_ptr<usb::HostController> host_;
    std::unique_ptr<camera::Camera> camera_;
    bool booted_ = false;
    // A fault that acts on the port runs later, outside the bus's completion path.
    sched::Timer port_fault_timer_{};
    camera::FaultAction port_fault_ = camera::FaultAction::Unplug;
};

}  // namespace machine
