// The miniport on the emulated PC, for the tests: the function driver and the miniport registered
// with Plug and Play, a camera on port 1 behind a recorder that writes down what crosses the bus, and
// the SCSI port's adapter to send SRBs to. Every test ends with a clean shutdown.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "kernel/fixture.h"
#include "kernel/pnp.h"
#include "machine/drivers.h"
#include "tvscsi.h"
#include "scsiport.h"
#include "sched/sched.h"

namespace mt {

using Bytes = std::vector<std::uint8_t>;

// Forwards to the camera and writes each transfer down: "cmd 28 00 ...", "status", "in 65536",
// "out 64", "clear-halt 81", "get-status 81", "get-descriptor 0200 137", "setup XX YY" for other
// control requests.
class Recorder : public usb::Device {
public:
    explicit Recorder(usb::Device* device) : device_(device) {}
    usb::Result Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data) override {
        char text[96];
        if (setup.bmRequestType == 0x21 && setup.bRequest == 0) {
            std::string cmd = "cmd";
            for (int i = 0; i < setup.wLength; ++i) {
                std::snprintf(text, sizeof text, " %02x", data[i]);
                cmd += text;
            }
            log.push_back(cmd);
        } else if (setup.bmRequestType == 0xC0 && setup.bRequest == 0) {
            log.push_back("status");
        } else if (setup.bmRequestType == 0x02 && setup.bRequest == USB_REQUEST_CLEAR_FEATURE) {
            std::snprintf(text, sizeof text, "clear-halt %02x", setup.wIndex);
            log.push_back(text);
        } else if (setup.bmRequestType == 0x80 && setup.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
            std::snprintf(text, sizeof text, "get-descriptor %04x %u", setup.wValue, setup.wLength);
            log.push_back(text);
        } else if (setup.bmRequestType == 0x82 && setup.bRequest == USB_REQUEST_GET_STATUS) {
            std::snprintf(text, sizeof text, "get-status %02x", setup.wIndex);
            log.push_back(text);
        } else {
            std::snprintf(text, sizeof text, "setup %02x %02x", setup.bmRequestType, setup.bRequest);
            log.push_back(text);
        }
        return device_->Control(setup, data);
    }
    usb::Result Transfer(std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length) override {
        if (endpoint & 0x80) {
            log.push_back("in " + std::to_string(length));
        } else {
            log.push_back("out " + std::to_string(length));
            out_data.assign(data, data + length);
        }
        return device_->Transfer(endpoint, data, length);
    }
    void BusReset() override { device_->BusReset(); }

    std::vector<std::string> log;
    Bytes out_data;  // the last bulk OUT transfer's bytes

private:
    usb::Device* device_;
};

// An 8 MiB disc image at `path` whose every byte of block b is (b * 7 + seed) & 0xFF, so that two
// images and their blocks differ.
inline void MakeImage(const std::string& path, std::uint8_t seed) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    Bytes block(2048);
    for (int b = 0; b < 4096; ++b) {
        std::fill(block.begin(), block.end(), static_cast<std::uint8_t>(b * 7 + seed));
        ASSERT_EQ(::write(fd, block.data(), block.size()), ssize_t(block.size()));
    }
    ::close(fd);
}

// A second camera on another hub port, with a disc of its own. A relay driver gives it a named
// device at another of the names the scan opens (it stands for a second function device, which the
// one-camera function driver never makes), and on request a bus PDO with the miniport's hardware id,
// on which Plug and Play starts a second adapter.
class SecondCamera {
public:
    SecondCamera(usb::HostController* host, int port, std::uint16_t product, const char* name, std::uint8_t seed)
        : host_(host), port_(port) {
        image_ = ::testing::TempDir() + "miniport_port" + std::to_string(port) + "_" + std::to_string(::getpid()) +
                 ".img";
        MakeImage(image_, seed);
        camera::CameraOptions options;
        options.product = product;
        options.disc_image = image_;
        camera_ = std::make_unique<camera::Camera>(options);
        target_ = host_->Plug(port_, camera_.get());
        driver_ = kernel::LoadDriver(("relay" + std::to_string(port)).c_str(), Entry);
        named_ = Create(name, target_, static_cast<CCHAR>(target_->StackSize + 1));
    }

    ~SecondCamera() {
        if (pdo_ != nullptr) {
            EXPECT_EQ(kernel::pnp::DeviceLeft(pdo_), STATUS_SUCCESS);
            kernel::pnp::WaitIdle();
            IoDeleteDevice(pdo_);
        }
        IoDeleteDevice(named_);
        host_->Unplug(port_);
        host_->Forget(port_);
        kernel::UnloadDriver(driver_);
        std::remove(image_.c_str());
    }

    // Reports the bus PDO; returns the adapter the port made on it (NULL if none).
    PDEVICE_OBJECT StartAdapter() {
        pdo_ = Create(nullptr, nullptr, 1);
        EXPECT_EQ(kernel::pnp::ReportDevice(pdo_), STATUS_SUCCESS);
        kernel::pnp::WaitIdle();
        return pdo_->AttachedDevice;
    }

    PDEVICE_OBJECT named() const { return named_; }

private:
    struct Extension {
        PDEVICE_OBJECT target;  // NULL: the bus PDO
    };

    PDEVICE_OBJECT Create(const char* name, PDEVICE_OBJECT target, CCHAR stack) {
        PDEVICE_OBJECT device = nullptr;
        kt::Name unicode(name ? name : "");
        EXPECT_EQ(IoCreateDevice(driver_, sizeof(Extension), name ? unicode.get() : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                 FALSE, &device),
                  STATUS_SUCCESS);
        static_cast<Extension*>(device->DeviceExtension)->target = target;
        device->StackSize = stack;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        using kt::Complete;
        PDEVICE_OBJECT target = static_cast<Extension*>(device->DeviceExtension)->target;
        if (target != nullptr) {
            if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(target, irp);
        }
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            return Complete(irp, STATUS_SUCCESS);
        }
        if (stack->MajorFunction != IRP_MJ_PNP) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL: return Complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_ID:
            switch (stack->Parameters.QueryId.IdType) {
            case BusQueryDeviceID:
            case BusQueryHardwareIDs: return Complete(irp, STATUS_SUCCESS, kt::PoolStrings({"DAVIZU\\TVQRSCSI"}));
            case BusQueryInstanceID: return Complete(irp, STATUS_SUCCESS, kt::PoolStrings({"2"}));
            default: break;
            }
            break;
        default: break;
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = Dispatch;
        return STATUS_SUCCESS;
    }

    usb::HostController* host_;
    int port_;
    std::string image_;
    std::unique_ptr<camera::Camera> camera_;
    PDEVICE_OBJECT target_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT named_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

class MiniportTest : public ::testing::Test {
protected:
    // Boots with the camera `options` describe (its disc image is the test's); the adapter is the
    // SCSI port's one, started or not.
    void Boot(camera::CameraOptions options, sched::Options schedule = {}) {
        image_ = ::testing::TempDir() + "miniport_test_" + std::to_string(::getpid()) + ".img";
        int fd = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 8 << 20), 0);
        ::close(fd);
        scheduler_ = std::make_unique<sched::Scheduler>(schedule);
        kernel::Boot();
        machine::RegisterDrivers();
        host_ = std::make_unique<usb::HostController>(3);
        options.disc_image = image_;
        camera_ = std::make_unique<camera::Camera>(options);
        wire_ = std::make_unique<Recorder>(camera_.get());
        pdo_ = host_->Plug(1, wire_.get());
        ASSERT_NE(pdo_, nullptr);
        ASSERT_EQ(kernel::pnp::ReportDevice(pdo_), STATUS_SUCCESS);
        kernel::pnp::WaitIdle();
        // The last adapter the port made: the 9x function driver makes its child again after a failed
        // start, so a camera the miniport does not take leaves more than one behind.
        std::vector<scsiport::AdapterInfo> adapters = scsiport::Adapters();
        ASSERT_FALSE(adapters.empty());
        adapter_ = adapters.back().device;
        boot_wire_ = std::exchange(wire_->log, {});
    }

    void SetUp() override {
        Boot({});
        ASSERT_TRUE(scsiport::Find(adapter_)->started);
    }

    // As the machine does: the system's work items finish (an abandoned worker stops) before the
    // devices go.
    void TearDown() override {
        if (kernel::Running()) kernel::WorkQueuesIdle(sched::kSecond);
        if (pdo_) {
            host_->Unplug(1);
            EXPECT_EQ(kernel::pnp::DeviceLeft(pdo_), STATUS_SUCCESS);
            kernel::pnp::WaitIdle();
        }
        host_.reset();
        kernel::ShutdownReport report = kernel::Shutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
        scheduler_.reset();
        std::remove(image_.c_str());
    }

    PADAPTER_EXTENSION Ext() { return static_cast<PADAPTER_EXTENSION>(scsiport::Find(adapter_)->extension); }

    scsiport::Result Scsi(std::vector<UCHAR> cdb, void* data = nullptr, ULONG length = 0,
                          ULONG flags = SRB_FLAGS_NO_DATA_TRANSFER, UCHAR target = 0) {
        scsiport::Request r;
        r.cdb = std::move(cdb);
        r.data = data;
        r.length = length;
        r.flags = flags;
        r.target = target;
        return scsiport::Execute(adapter_, r);
    }

    // The log since the last call.
    std::vector<std::string> Wire() { return std::exchange(wire_->log, {}); }

    std::string image_;
    std::unique_ptr<sched::Scheduler> scheduler_;
    std::unique_ptr<usb::HostController> host_;
    std::unique_ptr<camera::Camera> camera_;
    std::unique_ptr<Recorder> wire_;
    std::vector<std::string> boot_wire_;  // what crossed the bus while the machine came up
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT adapter_ = nullptr;
};

}  // namespace mt
