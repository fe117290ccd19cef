// An emulated PC: the kernel, the USB host controller with the camera on port 1, and the drivers of
// its flavor, which Plug and Play loads for the camera. It runs under the scheduler that its owner
// created.
#pragma once

#include <functional>
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

    // Plugs the camera in and lets Plug and Play load its drivers; a camera still on the bus whose
    // stack was removed gets a new one.
    bool Plug(std::string* error);
    void Unplug();
    bool Plugged() const;
    usb::PortStatus Port() const;

    // A wait-wake request for the camera on behalf of the system: STATUS_PENDING once the hub holds
    // it, else the status it completed with.
    NTSTATUS ArmWake();
    // The camera signals a remote wakeup; a sleeping system returns to S0. False when no wait-wake
    // request was held.
    bool RemoteWakeup();

    // Lets the machine come to rest after a command: Plug and Play idle, the system's work items
    // done and no power change of the camera under way (each for at most a virtual second).
    void Settle();

    camera::Camera& Camera() { return *camera_; }
    usb::HostController& Host() { return *host_; }
    PDEVICE_OBJECT CameraDevice() const;
    // The started SCSI adapter that the miniport serves on the camera's child, or NULL.
    PDEVICE_OBJECT ScsiAdapter() const;
    const MachineConfig& Config() const { return config_; }
    const std::string& HomePath() const { return home_; }

private:
    static void RunPortFault(void* context);
    void WaitForWake(PDEVICE_OBJECT pdo, const std::function<bool()>& enough);

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
    sched::Thread* port_fault_thread_ = nullptr;
};

}  // namespace machine
