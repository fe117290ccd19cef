// The USB camera function driver on the emulated PC, for the tests: a booted kernel under a sim
// scheduler, the driver of the test's flavor registered with Plug and Play, and a camera plugged
// into port 1. Every test ends with a shutdown that must find no leak and no fault.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "kernel/pnp.h"
#include "machine/usb_client.h"
#include "machine/user_file.h"
#include "sched/sched.h"
#include "usbscsi.h"

DRIVER_INITIALIZE UScsiDriverEntry;

namespace udt {

using Bytes = std::vector<std::uint8_t>;

class UsbDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = ::testing::TempDir() + "usbdriver_test_" + std::to_string(::getpid()) + ".img";
        int fd = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 4 << 20), 0);
        ::close(fd);
        scheduler_ = std::make_unique<sched::Scheduler>();
        kernel::Boot();
#if defined(TV_FLAVOR_NT)
        const char* service = "tv2kusb";
#else
        const char* service = "tvqrusb";
#endif
        kernel::pnp::RegisterDriver(service, UScsiDriverEntry, {"USB\\VID_E7A4&PID_0004", "USB\\VID_E7A4&PID_0015"});
        host_ = std::make_unique<usb::HostController>(2);
        camera::CameraOptions options;
        options.disc_image = image_;
        camera_ = std::make_unique<camera::Camera>(options);
        Plug();
    }

    void TearDown() override {
        if (pdo_) Unplug();
        host_.reset();
        kernel::ShutdownReport report = kernel::Shutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
        scheduler_.reset();
        std::remove(image_.c_str());
    }

    void Plug() {
        pdo_ = host_->Plug(1, camera_.get());
        ASSERT_NE(pdo_, nullptr);
        ASSERT_EQ(kernel::pnp::ReportDevice(pdo_), STATUS_SUCCESS);
        kernel::pnp::WaitIdle();
    }

    // The cable is pulled: Plug and Play removes the stack, then the hub forgets its device.
    void Unplug() {
        if (host_->Status(1).connected) host_->Unplug(1);
        EXPECT_EQ(kernel::pnp::DeviceLeft(pdo_), STATUS_SUCCESS);
        kernel::pnp::WaitIdle();
        host_->Forget(1);
        pdo_ = nullptr;
    }

    PDEVICE_OBJECT Fdo() { return AddedDevice[0]; }
    PUSCSI_DEVICE_EXTENSION Ext() { return UScsi_Extension(Fdo()); }

    // Sends an internal device-control request to the named function device, as the miniport does.
    NTSTATUS Internal(ULONG code, PVOID argument1, PVOID argument2) {
        return InternalTo(Fdo(), code, argument1, argument2);
    }

    // The same to any device, as a driver above it would send it.
    NTSTATUS InternalTo(PDEVICE_OBJECT target, ULONG code, PVOID argument1, PVOID argument2) {
        KEVENT done;
        PIRP irp = machine::AllocateOwnIrp(target, &done);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument1;
        next->Parameters.Others.Argument2 = argument2;
        NTSTATUS status = IoCallDriver(target, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
        information_ = irp->IoStatus.Information;
        IoFreeIrp(irp);
        return status;
    }

    // Sends a command block on the default pipe, as the miniport's command stage does.
    NTSTATUS CommandBlock(std::vector<std::uint8_t> cdb) {
        URB urb{};
        UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0,
                              0, 0, cdb.data(), nullptr, static_cast<ULONG>(cdb.size()), nullptr);
        return Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, nullptr);
    }

    // A chain of two bulk IN stages that the camera never answers, sent from a thread of its own.
    sched::Thread* HangingChain(URB (&chain)[2], std::vector<std::uint8_t>& data, NTSTATUS* status) {
        std::string error;
        EXPECT_TRUE(camera_->AddFaults("hang data on 28", &error)) << error;
        CommandBlock({0, 0, 0, 0, 0, 0});  // takes the power-on unit attention
        EXPECT_EQ(CommandBlock({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}), STATUS_SUCCESS);
        USBD_PIPE_HANDLE in = Ext()->InterfaceInfo->Pipes[0].PipeHandle;
        data.assign(4096, 0);
        for (int i = 0; i < 2; ++i)
            UsbBuildInterruptOrBulkTransferRequest(&chain[i], sizeof(URB), in, data.data() + 2048 * i, nullptr, 2048,
                                                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        sched::Thread* t = sched::Start("chain", [this, &chain, status] {
            *status = Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &chain[0], reinterpret_cast<PVOID>(2));
        });
        sched::Sleep(10 * sched::kMillisecond);
        EXPECT_EQ(Ext()->ChainStagesLeft, 2u);
        return t;
    }

    std::string InterfaceLink() {
        for (const kernel::InterfaceLink& l : kernel::InterfaceLinks())
            if (l.enabled && IsEqualGUID(l.guid, GUID_CLASS_USBSCSI_BULK)) return l.link;
        return "";
    }

    std::string image_;
    std::unique_ptr<sched::Scheduler> scheduler_;
    std::unique_ptr<usb::HostController> host_;
    std::unique_ptr<camera::Camera> camera_;
    PDEVICE_OBJECT pdo_ = nullptr;
    ULONG_PTR information_ = 0;
};

}  // namespace udt
