// The miniport on the emulated PC, for the tests: the function driver and the miniport registered
// with Plug and Play, a camera on port 1 behind a recorder that writes down what crosses the bus, and
// the SCSI port's adapter to send SRBs to. Every test ends with a clean shutdown.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
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
