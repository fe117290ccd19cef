#include "machine/machine.h"

namespace machine {

Machine::Machine(std::string home, MachineConfig config, MachineOptions options)
    : home_(std::move(home)), config_(std::move(config)), options_(std::move(options)) {}

Machine::~Machine() {
    if (booted_) Shutdown();
}

bool Machine::Boot(std::string* error) {
    if (!options_.pcap.empty() && !capture_.Open(options_.pcap, error)) return false;
    kernel::Boot();
    booted_ = true;
    host_ = std::make_unique<usb::HostController>(1);
    if (capture_.IsOpen()) host_->SetCapture(&capture_);
    camera::CameraOptions camera_options;
    camera_options.product = config_.product;
    camera_options.disc_image = DiscPath(home_, config_);
    camera_ = std::make_unique<camera::Camera>(camera_options);
    camera_->SetPortHook([this](camera::FaultAction action) {
        port_fault_ = action;
        sched::SetTimer(&port_fault_timer_, sched::Now(), RunPortFault, this);
    });
    if (config_.plugged && !Plug(error)) return false;
    return true;
}

void Machine::RunPortFault(void* context) {
    auto* self = static_cast<Machine*>(context);
    if (self->port_fault_ == camera::FaultAction::Unplug) {
        self->Unplug();
    } else {
        self->host_->DisablePort(kCameraPort);
    }
}

kernel::ShutdownReport Machine::Shutdown() {
    if (!booted_) return {};
    sched::CancelTimer(&port_fault_timer_);
    host_.reset();  // unplugs and removes the physical device objects
    camera_.reset();
    booted_ = false;
    capture_.Close();
    return kernel::Shutdown();
}

bool Machine::Plug(std::string* error) {
    if (Plugged()) return true;
    // A device that left keeps its physical device object until it is forgotten.
    host_->Forget(kCameraPort);
    camera_->BusReset();
    if (!host_->Plug(kCameraPort, camera_.get())) {
        *error = "the camera did not enumerate";
        return false;
    }
    return true;
}

void Machine::Unplug() { host_->Unplug(kCameraPort); }

bool Machine::Plugged() const { return host_ && host_->Status(kCameraPort).connected; }

usb::PortStatus Machine::Port() const { return host_->Status(kCameraPort); }

PDEVICE_OBJECT Machine::CameraDevice() const { return host_ ? host_->PhysicalDevice(kCameraPort) : nullptr; }

}  // namespace machine
