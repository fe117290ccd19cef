// The USB stack stand-in: enumeration, configuration, bus time, stalls, cancellation, the port.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

#include "sched/sched.h"
#include "usb/capture.h"
#include "machine/usb_client.h"

namespace {

// A device model whose answers a test sets.
class FakeDevice : public usb::Device {
public:
    FakeDevice() {
        device_ = {18, 1, 0x0110, 0, 0, 0, 64, 0x1234, 0x5678, 0x0100, 0, 0, 0, 1};
        configuration_ = {9, 2, 32, 0, 1, 1, 0, 0x80, 50,          // configuration, wTotalLength 32
                          9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0,      // interface with two endpoints
                          7, 5, 0x81, 2, 64, 0, 0,                 // bulk IN, 64-byte packets
                          7, 5, 0x01, 2, 64, 0, 0};                // bulk OUT
    }

    usb::Result Control(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data) override {
        wire.push_back(s);
        if (s.bRequest == USB_REQUEST_GET_DESCRIPTOR && (s.wValue >> 8) == 1) {
            std::size_t n = std::min<std::size_t>(s.wLength, sizeof device_);
            std::memcpy(data, &device_, n);
            return {usb::Reply::Ack, static_cast<std::uint32_t>(n), 0};
        }
        if (s.bRequest == USB_REQUEST_GET_DESCRIPTOR && (s.wValue >> 8) == 2) {
            std::size_t n = std::min<std::size_t>(s.wLength, configuration_.size());
            std::memcpy(data, configuration_.data(), n);
            return {usb::Reply::Ack, static_cast<std::uint32_t>(n), 0};
        }
        if (s.bmRequestType == 0xC0) {
            data[0] = 0x40;
            data[1] = 0x00;
            return {usb::Reply::Ack, 2, 0};
        }
        return {usb::Reply::Ack, 0, 0};
    }

    usb::Result Transfer(std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length) override {
        transfers += 1;
        if (next.reply != usb::Reply::Ack) {
            usb::Result r = next;
            next = {};
            return r;
        }
        if (endpoint & 0x80) {
            std::uint32_t n = short_reply ? std::min(short_reply, length) : length;
            for (std::uint32_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i);
            return {usb::Reply::Ack, n, 0};
        }
        received.insert(received.end(), data, data + length);
        return {usb::Reply::Ack, length, 0};
    }

    void BusReset() override { resets += 1; }

    std::vector<UCHAR>& configuration() { return configuration_; }

    std::vector<USB_DEFAULT_PIPE_SETUP_PACKET> wire;
    std::vector<std::uint8_t> received;
    usb::Result next{};
    std::uint32_t short_reply = 0;
    int transfers = 0;
    int resets = 0;

private:
    USB_DEVICE_DESCRIPTOR device_;
    std::vector<UCHAR> configuration_;
};

class UsbStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        scheduler_ = std::make_unique<sched::Scheduler>();
        kernel::Boot();
        host_ = std::make_unique<usb::HostController>(1);
        pdo_ = host_->Plug(1, &device_);
        ASSERT_NE(pdo_, nullptr);
        client_ = std::make_unique<machine::UsbClient>(pdo_);
    }

    void TearDown() override {
        host_.reset();
        kernel::ShutdownReport report = kernel::Shutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
        scheduler_.reset();
    }

    void Configure() {
        machine::Outcome o = client_->Configure(device_.configuration());
        ASSERT_EQ(o.status, STATUS_SUCCESS);
        ASSERT_EQ(o.usbd, USBD_STATUS_SUCCESS);
    }

    std::unique_ptr<sched::Scheduler> scheduler_;
    std::unique_ptr<usb::HostController> host_;
    FakeDevice device_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::unique_ptr<machine::UsbClient> client_;
};

TEST_F(UsbStackTest, EnumerationAddressesTheDeviceAndNamesItsPhysicalDevice) {
    ASSERT_GE(device_.wire.size(), 2u);
    EXPECT_EQ(device_.wire[0].bRequest, USB_REQUEST_SET_ADDRESS);
    EXPECT_EQ(device_.wire[0].wValue, 1);
    EXPECT_EQ(device_.wire[1].bmRequestType, 0x80);
    EXPECT_EQ(device_.wire[1].wValue, 0x0100);
    EXPECT_EQ(device_.resets, 1);
    EXPECT_EQ(kernel::InstancePath(pdo_), "USB\\VID_1234&PID_5678\\5&1e4a2c3&0&1");
    EXPECT_EQ(client_->PortStatus(), ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    EXPECT_EQ(host_->Plug(1, &device_), nullptr) << "the port is taken";
}

TEST_F(UsbStackTest, ControlRequestsTakeAtLeastOneFrameAndFillTheRequestBlock) {
    USB_DEVICE_DESCRIPTOR d{};
    sched::Time before = sched::Now();
    machine::Outcome o = client_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, &d, 50);
    EXPECT_EQ(o.status, STATUS_SUCCESS);
    EXPECT_EQ(o.usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(o.length, 18u) << "a short answer sets the length moved";
    EXPECT_EQ(d.idVendor, 0x1234);
    EXPECT_GE(sched::Now() - before, usb::Timing::kFrame);
    EXPECT_EQ(device_.wire.back().wLength, 50);
}

TEST_F(UsbStackTest, SelectConfigurationFillsPipesAndUnconfigureWithoutDescriptor) {
    Configure();
    PUSBD_INTERFACE_INFORMATION info = client_->Interface();
    EXPECT_EQ(info->Class, 0xFF);
    EXPECT_EQ(info->NumberOfPipes, 2u);
    EXPECT_EQ(info->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(info->Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(info->Pipes[0].MaximumPacketSize, 64);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 65536u) << "the caller's value is kept";
    EXPECT_NE(info->Pipes[0].PipeHandle, info->Pipes[1].PipeHandle);
    EXPECT_NE(client_->ConfigHandle(), nullptr);
    EXPECT_EQ(device_.wire.back().bRequest, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(device_.wire.back().wValue, 1);

    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb.UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
    EXPECT_EQ(client_->Submit(urb).status, STATUS_SUCCESS);
    EXPECT_EQ(device_.wire.back().wValue, 0);
    EXPECT_EQ(urb.UrbSelectConfiguration.ConfigurationHandle, nullptr);
}

TEST_F(UsbStackTest, AMegabyteBulkReadTakesTheFullSpeedBusTime) {
    Configure();
    std::vector<std::uint8_t> buffer(65536);
    sched::Time start = sched::Now();
    for (int chunk = 0; chunk < 16; ++chunk) {
        machine::Outcome o = client_->Bulk(0x81, buffer.data(), 65536);
        ASSERT_EQ(o.status, STATUS_SUCCESS);
        ASSERT_EQ(o.length, 65536u);
    }
    double seconds = static_cast<double>(sched::Now() - start) / sched::kSecond;
    double limit = (1 << 20) / 64.0 / 19.0 / 1000.0;  // 19 packets of 64 bytes per 1 ms frame
    EXPECT_NEAR(seconds, limit, limit * 0.02) << seconds << " s against " << limit << " s";
    std::printf("1 MiB bulk read: %.4f s of virtual time; full-speed limit %.4f s (%.2f%% over)\n", seconds, limit,
                100.0 * (seconds - limit) / limit);
}

TEST_F(UsbStackTest, AStallHaltsThePipeUntilItIsReset) {
    Configure();
    std::uint8_t buffer[64];
    device_.next = {usb::Reply::Stall, 0, 0};
    machine::Outcome o = client_->Bulk(0x81, buffer, 64);
    EXPECT_EQ(o.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(o.usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(static_cast<ULONG>(o.usbd) & 0x0FFFFFFF, 4u);
    EXPECT_EQ(o.length, 0u);
    int transfers = device_.transfers;
    o = client_->Bulk(0x81, buffer, 64);
    EXPECT_EQ(o.usbd, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(device_.transfers, transfers) << "a halted pipe sends nothing";
    o = client_->PipeRequest(URB_FUNCTION_RESET_PIPE, 0x81);
    EXPECT_EQ(o.status, STATUS_SUCCESS);
    const auto& clear = device_.wire.back();
    EXPECT_EQ(clear.bmRequestType, 0x02);
    EXPECT_EQ(clear.bRequest, USB_REQUEST_CLEAR_FEATURE);
    EXPECT_EQ(clear.wValue, USB_FEATURE_ENDPOINT_STALL);
    EXPECT_EQ(clear.wIndex, 0x81);
    EXPECT_EQ(client_->Bulk(0x81, buffer, 64).status, STATUS_SUCCESS);
}

TEST_F(UsbStackTest, ASilentDeviceKeepsTheRequestUntilItIsCancelled) {
    Configure();
    std::uint8_t buffer[64];
    device_.next = {usb::Reply::NoReply, 0, 0};
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), client_->Pipe(0x81), buffer,
                                           nullptr, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    KEVENT done;
    PIRP irp = machine::AllocateOwnIrp(pdo_, &done);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    ASSERT_EQ(IoCallDriver(pdo_, irp), STATUS_PENDING);
    LARGE_INTEGER hour;
    hour.QuadPart = -3600LL * sched::kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &hour), STATUS_TIMEOUT);
    EXPECT_EQ(host_->Outstanding(), 1u);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(host_->Outstanding(), 0u);
    IoFreeIrp(irp);
}

TEST_F(UsbStackTest, UnplugFailsWhatIsPendingAndRefusesWhatComes) {
    Configure();
    device_.next = {usb::Reply::NoReply, 0, 0};
    std::uint8_t buffer[64];
    machine::Outcome pending{};
    sched::Thread* t = sched::Start("reader", [&] { pending = client_->Bulk(0x81, buffer, 64); });
    sched::Sleep(10 * sched::kMillisecond);
    host_->Unplug(1);
    sched::Join(t);
    EXPECT_EQ(pending.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pending.usbd, USBD_STATUS_DEVICE_GONE);
    machine::Outcome after = client_->Bulk(0x81, buffer, 64);
    EXPECT_EQ(after.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(client_->PortStatus(), 0u);
    EXPECT_EQ(client_->Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_UNSUCCESSFUL);
    host_->Forget(1);
    EXPECT_EQ(host_->PhysicalDevice(1), nullptr);
}

TEST_F(UsbStackTest, ADisabledPortAnswersNothingUntilEnabledOrReset) {
    Configure();
    host_->DisablePort(1);
    EXPECT_EQ(client_->PortStatus(), ULONG(USBD_PORT_CONNECTED));
    std::uint8_t buffer[64];
    machine::Outcome o = client_->Bulk(0x81, buffer, 64);
    EXPECT_EQ(o.usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(client_->Call(IOCTL_INTERNAL_USB_ENABLE_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(client_->Bulk(0x81, buffer, 64).status, STATUS_SUCCESS);
    host_->DisablePort(1);
    std::size_t wire = device_.wire.size();
    EXPECT_EQ(client_->Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(device_.resets, 2);
    ASSERT_EQ(device_.wire.size(), wire + 2) << "the hub gives back address and configuration";
    EXPECT_EQ(device_.wire[wire].bRequest, USB_REQUEST_SET_ADDRESS);
    EXPECT_EQ(device_.wire[wire + 1].bRequest, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(client_->PortStatus(), ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
}

TEST_F(UsbStackTest, RequestsTheStackDoesNotCarryAreRefused) {
    Configure();
    URB urb{};
    urb.UrbHeader.Function = 0x0050;
    urb.UrbHeader.Length = sizeof(URB);
    EXPECT_EQ(client_->Submit(urb).usbd, USBD_STATUS_INVALID_URB_FUNCTION);
    URB bulk{};
    std::uint8_t buffer[8];
    UsbBuildInterruptOrBulkTransferRequest(&bulk, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), &bulk, buffer, nullptr, 8,
                                           USBD_TRANSFER_DIRECTION_IN, nullptr);
    EXPECT_EQ(client_->Submit(bulk).usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// Sends a Plug and Play request to the physical device object as the Plug and Play manager does.
NTSTATUS Pnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information,
             void (*fill)(PIO_STACK_LOCATION, void*) = nullptr, void* context = nullptr) {
    KEVENT done;
    PIRP irp = machine::AllocateOwnIrp(pdo, &done);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (fill) fill(next, context);
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

// The strings of a multi-string answer, which is freed.
std::vector<std::string> Strings(ULONG_PTR answer) {
    std::vector<std::string> out;
    auto* p = reinterpret_cast<PWCHAR>(answer);
    while (*p) {
        std::string s;
        for (; *p; ++p) s += static_cast<char>(*p);
        out.push_back(s);
        ++p;
    }
    ExFreePool(reinterpret_cast<PVOID>(answer));
    return out;
}

TEST_F(UsbStackTest, TheHubAnswersForItsPhysicalDevice) {
    struct IdCase {
        BUS_QUERY_ID_TYPE type;
        std::vector<std::string> strings;
    } cases[] = {
        {BusQueryDeviceID, {"USB\\VID_1234&PID_5678"}},
        {BusQueryHardwareIDs, {"USB\\VID_1234&PID_5678&REV_0100", "USB\\VID_1234&PID_5678"}},
        {BusQueryCompatibleIDs, {"USB\\Class_FF&SubClass_FF&Prot_FF", "USB\\Class_FF&SubClass_FF", "USB\\Class_FF"}},
        {BusQueryInstanceID, {"5&1e4a2c3&0&1"}},
    };
    for (IdCase& c : cases) {
        ULONG_PTR answer = 0;
        ASSERT_EQ(Pnp(pdo_, IRP_MN_QUERY_ID, &answer,
                      [](PIO_STACK_LOCATION s, void* type) {
                          s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE*>(type);
                      },
                      &c.type),
                  STATUS_SUCCESS);
        EXPECT_EQ(Strings(answer), c.strings) << c.type;
    }

    DEVICE_CAPABILITIES wanted = usb::HostController::DefaultCapabilities(1);
    wanted.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    wanted.DeviceWake = PowerDeviceUnspecified;
    host_->SetCapabilities(1, wanted);
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(Pnp(pdo_, IRP_MN_QUERY_CAPABILITIES, nullptr,
                  [](PIO_STACK_LOCATION s, void* c) {
                      s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c);
                  },
                  &caps),
              STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_TRUE(caps.Removable);
    EXPECT_EQ(caps.Address, 1u);

    ULONG_PTR text = 0;
    EXPECT_EQ(Pnp(pdo_, IRP_MN_QUERY_DEVICE_TEXT, &text,
                  [](PIO_STACK_LOCATION s, void*) { s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription; }),
              STATUS_SUCCESS);
    EXPECT_EQ(Strings(text), (std::vector<std::string>{"USB Device"}));
    EXPECT_EQ(Pnp(pdo_, IRP_MN_START_DEVICE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(pdo_, IRP_MN_QUERY_RESOURCES, nullptr), STATUS_NOT_SUPPORTED) << "unanswered requests keep their status";
}

TEST_F(UsbStackTest, CaptureHoldsASubmissionAndACompletionPerTransfer) {
    std::string path = ::testing::TempDir() + "usb_stack_test.pcap";
    usb::Capture capture;
    std::string error;
    ASSERT_TRUE(capture.Open(path, &error)) << error;
    host_->SetCapture(&capture);
    Configure();
    std::uint8_t buffer[100];
    client_->Bulk(0x81, buffer, 100);
    client_->Bulk(0x01, buffer, 10);
    host_->SetCapture(nullptr);
    capture.Close();
    EXPECT_EQ(capture.Records(), 6u);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // pcap header, then per record 16 + 64 bytes plus data: the OUT submission carries 10 bytes,
    // the IN completion 100.
    EXPECT_EQ(bytes.size(), 24u + 6 * (16 + 64) + 10 + 100);
    std::remove(path.c_str());
}

}  // namespace
