#include "machine/machine.h"

#include "kernel/pnp.h"
#include "kernel/power.h"
#include "machine/drivers.h"
#include "scsiport.h"

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
    RegisterDrivers();
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

// The timer only starts the fault's thread: an unplug runs Plug and Play's removal, which waits for
// the drivers' requests, whose bus time the timer thread keeps.
void Machine::RunPortFault(void* context) {
    auto* self = static_cast<Machine*>(context);
    if (self->port_fault_ != camera::FaultAction::Unplug) {
        self->host_->DisablePort(kCameraPort);
        return;
    }
    if (self->port_fault_thread_) {
        if (!sched::IsSignalled(sched::ThreadObject(self->port_fault_thread_))) return;  // one is on its way
        sched::Join(self->port_fault_thread_);
    }
    self->port_fault_thread_ = sched::Start("port fault", [self] { self->Unplug(); });
}

kernel::ShutdownReport Machine::Shutdown() {
    if (!booted_) return {};
    sched::CancelTimer(&port_fault_timer_);
    if (port_fault_thread_) {
        sched::Join(port_fault_thread_);
        port_fault_thread_ = nullptr;
    }
    Settle();  // a driver's work still under way finishes before its devices go
    Unplug();
    host_.reset();
    camera_.reset();
    booted_ = false;
    capture_.Close();
    return kernel::Shutdown();
}

bool Machine::Plug(std::string* error) {
    if (Plugged()) {
        // Still on the bus after its stack was removed (a surprise removal of a failed device):
        // Plug and Play builds the stack again.
        PDEVICE_OBJECT pdo = CameraDevice();
        std::optional<kernel::pnp::NodeInfo> node = kernel::pnp::Find(pdo);
        if (!node || node->state == kernel::pnp::State::Started) return true;
        NTSTATUS status = kernel::pnp::Start(pdo);
        kernel::pnp::WaitIdle();
        if (!NT_SUCCESS(status)) {
            *error = "Plug and Play could not start the camera: " + kernel::StatusName(status);
            return false;
        }
        return true;
    }
    camera_->BusReset();
    PDEVICE_OBJECT pdo = host_->Plug(kCameraPort, camera_.get());
    if (!pdo) {
        *error = "the camera did not enumerate";
        return false;
    }
    NTSTATUS status = kernel::pnp::ReportDevice(pdo);
    kernel::pnp::WaitIdle();
    if (!NT_SUCCESS(status)) {
        *error = "Plug and Play refused the camera: " + kernel::StatusName(status);
        return false;
    }
    std::optional<kernel::pnp::NodeInfo> node = kernel::pnp::Find(pdo);
    if (node && node->state == kernel::pnp::State::Failed) {
        *error = "the camera is on the bus, but Plug and Play could not start it: " + node->problem;
        return false;
    }
    return true;
}

// The cable is pulled: the hub fails what is outstanding, and Plug and Play takes the stacks apart
// (at once, or once the programs have closed their handles); its last removal request makes the hub
// delete the physical device object.
void Machine::Unplug() {
    PDEVICE_OBJECT pdo = CameraDevice();
    if (!pdo) return;
    host_->Unplug(kCameraPort);
    if (kernel::pnp::Find(pdo)) kernel::pnp::DeviceLeft(pdo);
    kernel::pnp::WaitIdle();
    kernel::power::ForgetWake(pdo);  // removal ended the system's wait-wake request
}

NTSTATUS Machine::ArmWake() {
    PDEVICE_OBJECT pdo = CameraDevice();
    std::optional<kernel::pnp::NodeInfo> node = pdo ? kernel::pnp::Find(pdo) : std::nullopt;
    if (!node) return STATUS_NO_SUCH_DEVICE;
    SYSTEM_POWER_STATE wake = node->capabilities ? node->capabilities->SystemWake : PowerSystemUnspecified;
    NTSTATUS status = kernel::power::ArmWake(pdo, wake);
    if (status != STATUS_PENDING) return status;
    // The request travels down the stack on a power thread of its own; it either reaches the hub,
    // which holds it, or a driver on the way completes it.
    WaitForWake(pdo, [this] { return host_->WaitWakeHeld(kCameraPort); });
    kernel::power::Wake w = kernel::power::WakeOf(pdo);
    return w.done ? w.status : STATUS_PENDING;
}

// Lets the power threads run (for at most a virtual second) until the wait-wake request of `pdo`
// has completed or `enough` says so.
void Machine::WaitForWake(PDEVICE_OBJECT pdo, const std::function<bool()>& enough) {
    for (int i = 0; i < 1000; ++i) {
        if (kernel::power::WakeOf(pdo).done || enough()) return;
        sched::Sleep(sched::kMillisecond);
    }
}

void Machine::Settle() {
    kernel::pnp::WaitIdle();
    kernel::WorkQueuesIdle(sched::kSecond);
    for (int i = 0; i < 1000 && host_->PowerChanging(kCameraPort); ++i) sched::Sleep(sched::kMillisecond);
}

bool Machine::RemoteWakeup() {
    if (!host_->RemoteWakeup(kCameraPort)) return false;
    WaitForWake(CameraDevice(), [] { return false; });
    if (kernel::power::SystemState() != PowerSystemWorking) kernel::power::SetSystemState(PowerSystemWorking);
    return true;
}

bool Machine::Plugged() const { return host_ && host_->Status(kCameraPort).connected; }

usb::PortStatus Machine::Port() const { return host_->Status(kCameraPort); }

PDEVICE_OBJECT Machine::ScsiAdapter() const {
    PDEVICE_OBJECT found = nullptr;
    for (const scsiport::AdapterInfo& a : scsiport::Adapters())
        if (a.started && a.device) found = a.device;
    return found;
}

PDEVICE_OBJECT Machine::CameraDevice() const { return host_ ? host_->PhysicalDevice(kCameraPort) : nullptr; }

}  // namespace machine
