// A booted kernel under a sim scheduler, with a test driver whose devices answer each IRP with a
// function the test gives them. Every test ends with a shutdown that must find no leak and no fault.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "sched/sched.h"

namespace kt {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestExtension {
    Dispatch* dispatch;
    char name[32];
};

inline NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<TestExtension*>(device->DeviceExtension);
    return (*ext->dispatch)(device, irp);
}

inline NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = TestDispatch;
    return STATUS_SUCCESS;
}

// Completes an IRP with a status and length.
inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline const char* Label(PDEVICE_OBJECT device) {
    return device ? static_cast<TestExtension*>(device->DeviceExtension)->name : "(none)";
}

// A counted string that owns its characters.
struct Name {
    std::u16string text;
    UNICODE_STRING counted{};
    explicit Name(const std::string& s) : text(kernel::ToUtf16(s)) {
        counted.Buffer = text.data();
        counted.Length = static_cast<USHORT>(text.size() * 2);
        counted.MaximumLength = counted.Length;
    }
    PUNICODE_STRING get() { return &counted; }
};

// A multi-sz list (or one string) in paged pool, as the platform's buses answer IRP_MN_QUERY_ID and
// IRP_MN_QUERY_DEVICE_TEXT.
inline ULONG_PTR PoolStrings(const std::vector<std::string>& strings, ULONG tag = 'tseT') {
    std::u16string text;
    for (const std::string& s : strings) text += kernel::ToUtf16(s) + u'\0';
    text += u'\0';
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, text.size() * sizeof(WCHAR), tag));
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    return reinterpret_cast<ULONG_PTR>(buffer);
}

// A schedule that picks among the runnable threads at random with `seed`, for the race tests.
inline sched::Options RandomOrder(std::uint64_t seed) {
    sched::Options o;
    o.policy = sched::Policy::Random;
    o.seed = seed;
    return o;
}

class KernelTest : public ::testing::Test {
protected:
    virtual sched::Options SchedOptions() { return {}; }

    void SetUp() override {
        scheduler_ = std::make_unique<sched::Scheduler>(SchedOptions());
        kernel::Boot();
        driver_ = kernel::LoadDriver("ktest", TestDriverEntry);
        ASSERT_NE(driver_, nullptr);
    }

    void TearDown() override {
        if (kernel::Running()) {
            for (PDEVICE_OBJECT d : devices_) {
                if (d->DeviceObjectExtension->AttachedTo) IoDetachDevice(d->DeviceObjectExtension->AttachedTo);
            }
            for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) IoDeleteDevice(*it);
            devices_.clear();
            dispatches_.clear();
            kernel::UnloadDriver(driver_);
            kernel::ShutdownReport report = kernel::Shutdown();
            EXPECT_TRUE(report.Clean()) << report.Text();
        }
        scheduler_.reset();
    }

    // A device of the test driver, optionally named and attached on top of `below`.
    PDEVICE_OBJECT MakeDevice(const char* label, Dispatch dispatch, const std::string& name = "",
                              PDEVICE_OBJECT below = nullptr) {
        dispatches_.push_back(std::make_unique<Dispatch>(std::move(dispatch)));
        Name counted(name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver_, sizeof(TestExtension), name.empty() ? nullptr : counted.get(),
                                         FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!device) return nullptr;
        auto* ext = static_cast<TestExtension*>(device->DeviceExtension);
        ext->dispatch = dispatches_.back().get();
        std::snprintf(ext->name, sizeof ext->name, "%s", label);
        if (below) {
            PDEVICE_OBJECT top = IoGetAttachedDevice(below);
            EXPECT_EQ(IoAttachDeviceToDeviceStack(device, below), top);
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        devices_.push_back(device);
        return device;
    }

    // Removes a device the test deleted itself from the fixture's list.
    void Forget(PDEVICE_OBJECT device) { std::erase(devices_, device); }

    std::unique_ptr<sched::Scheduler> scheduler_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<std::unique_ptr<Dispatch>> dispatches_;
};

}  // namespace kt
