// The camera on the bus: its descriptors, its transport and the faults it can show, driven through the
// USB stack as the miniport drives it (command block, data on the bulk pipes, status bytes).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "machine/usb_client.h"
#include "sched/sched.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Status {
    std::uint8_t b0, b1;
    bool operator==(const Status&) const = default;
};

class CameraTest : public ::testing::Test {
protected:
    virtual camera::CameraOptions Options() {
        camera::CameraOptions o;
        o.disc_image = image_;
        return o;
    }

    void SetUp() override {
        image_ = ::testing::TempDir() + "camera_test_" + std::to_string(::getpid()) + ".img";
        int fd = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 8 << 20), 0);  // an 8 MiB disc, sparse
        ::close(fd);
        scheduler_ = std::make_unique<sched::Scheduler>();
        kernel::Boot();
        host_ = std::make_unique<usb::HostController>(1);
        camera_ = std::make_unique<camera::Camera>(Options());
        camera_->SetPortHook([this](camera::FaultAction a) { port_faults_.push_back(a); });
        pdo_ = host_->Plug(1, camera_.get());
        ASSERT_NE(pdo_, nullptr);
        client_ = std::make_unique<machine::UsbClient>(pdo_);
        std::vector<UCHAR> config = camera_->ConfigurationDescriptor();
        machine::Outcome o = client_->Configure(config);
        ASSERT_EQ(o.status, STATUS_SUCCESS);
        // A fresh drive reports the disc it found; clear that unit attention.
        Command({0x00, 0, 0, 0, 0, 0});
        Sense();
    }

    void TearDown() override {
        host_.reset();
        camera_.reset();
        kernel::ShutdownReport report = kernel::Shutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
        scheduler_.reset();
        std::remove(image_.c_str());
    }

    machine::Outcome Command(const Bytes& cdb) {
        return client_->Request(URB_FUNCTION_CLASS_INTERFACE, false, 0x00, 0, 0, const_cast<std::uint8_t*>(cdb.data()),
                                static_cast<ULONG>(cdb.size()));
    }

    Status ReadStatus(machine::Outcome* outcome = nullptr) {
        std::uint8_t b[2] = {0xEE, 0xEE};
        machine::Outcome o = client_->Request(URB_FUNCTION_VENDOR_DEVICE, true, 0x00, 0, 0, b, 2);
        if (outcome) *outcome = o;
        return {b[0], b[1]};
    }

    Bytes In(ULONG length, machine::Outcome* outcome = nullptr) {
        Bytes data(length);
        machine::Outcome o = client_->Bulk(0x81, data.data(), length);
        if (outcome) *outcome = o;
        data.resize(o.status == STATUS_SUCCESS ? o.length : 0);
        return data;
    }

    machine::Outcome Out(Bytes data) { return client_->Bulk(0x01, data.data(), static_cast<ULONG>(data.size())); }

    // REQUEST SENSE through the transport; returns key, ASC, ASCQ.
    std::array<std::uint8_t, 3> Sense() {
        EXPECT_EQ(Command({0x03, 0, 0, 0, 18, 0}).status, STATUS_SUCCESS);
        Bytes s = In(64);
        if (s.size() < 14) return {0xFF, 0xFF, 0xFF};
        return {static_cast<std::uint8_t>(s[2] & 0x0F), s[12], s[13]};
    }

    void Fault(const std::string& script) {
        std::string error;
        ASSERT_TRUE(camera_->AddFaults(script, &error)) << error;
    }

    std::string image_;
    std::unique_ptr<sched::Scheduler> scheduler_;
    std::unique_ptr<usb::HostController> host_;
    std::unique_ptr<camera::Camera> camera_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::unique_ptr<machine::UsbClient> client_;
    std::vector<camera::FaultAction> port_faults_;
};

// ---- the command set, as a table ------------------------------------------------------------------

struct CommandCase {
    const char* name;
    Bytes cdb;
    Bytes out;           // data sent on the bulk OUT pipe
    ULONG in;            // bytes asked for on the bulk IN pipe
    Status status;       // status bytes after the command (and its data)
    std::array<std::uint8_t, 3> sense;  // sense afterwards (key, ASC, ASCQ)
    std::size_t in_length;  // bytes that came back (kSome: any number but none)
};

constexpr std::size_t kSome = SIZE_MAX;

class CommandTable : public CameraTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTable, AnswersWithStatusSenseAndData) {
    const CommandCase& c = GetParam();
    ASSERT_EQ(Command(c.cdb).status, STATUS_SUCCESS);
    std::size_t got = 0;
    if (c.in) got = In(c.in).size();
    if (!c.out.empty()) {
        EXPECT_EQ(Out(c.out).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(ReadStatus(), c.status);
    if (c.in_length == kSome) {
        EXPECT_GT(got, 0u);
    } else {
        EXPECT_EQ(got, c.in_length);
    }
    EXPECT_EQ(Sense(), c.sense);
}

Bytes Padded(Bytes data, std::size_t to) {
    data.resize(to, 0);
    return data;
}

const CommandCase kCommands[] = {
    {"TestUnitReady", {0x00, 0, 0, 0, 0, 0}, {}, 0, {0x40, 0x00}, {0, 0, 0}, 0},
    {"Inquiry36", {0x12, 0, 0, 0, 36, 0}, {}, 64, {0x40, 0x00}, {0, 0, 0}, 36},
    {"ReadCapacity", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 64, {0x40, 0x00}, {0, 0, 0}, 8},
    {"UnknownOpcode", {0xBB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 0, {0x80, 0x00}, {5, 0x20, 0}, 0},
    {"ReadPastTheEnd", {0x28, 0, 0, 0, 0x10, 0, 0, 0, 1, 0}, {}, 0, {0x80, 0x00}, {5, 0x21, 0}, 0},
    {"ModeSense2A", {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 64, 0}, {}, 64, {0x40, 0x00}, {0, 0, 0}, kSome},
    {"GetConfiguration", {0x46, 0x02, 0, 0, 0, 0, 0, 0, 64, 0}, {}, 64, {0x40, 0x00}, {0, 0, 0}, kSome},
};

INSTANTIATE_TEST_SUITE_P(Commands, CommandTable, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CameraTest, InquiryNamesTheModelOfTheProduct) {
    Command({0x12, 0, 0, 0, 36, 0});
    Bytes d = In(64);
    ASSERT_EQ(d.size(), 36u);
    EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 16), "KESTREL ");
    EXPECT_EQ(std::string(d.begin() + 16, d.begin() + 24), "RC-TVQR1");
}

TEST_F(CameraTest, WhatIsWrittenIsReadBack) {
    Bytes block(2048);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 3);
    Command({0x2A, 0, 0, 0, 0, 5, 0, 0, 1, 0});  // WRITE(10) one block at LBA 5
    EXPECT_EQ(Out(block).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadStatus(), (Status{0x40, 0x00}));
    Command({0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0});
    EXPECT_EQ(In(2048), block);
}

TEST_F(CameraTest, AShortOutChunkArrivesPaddedToAWholePacket) {
    // The drive's own error recovery page, sent back as a MODE SELECT(6) parameter list.
    Command({0x1A, 0x08, 0x01, 0, 64, 0});
    Bytes list = In(64);
    ASSERT_GT(list.size(), 4u);
    ASSERT_LT(list.size(), 64u);
    list[0] = 0;  // the mode data length is reserved in a MODE SELECT
    Command({0x15, 0x10, 0, 0, static_cast<std::uint8_t>(list.size()), 0});
    EXPECT_EQ(Out(Padded(list, 64)).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadStatus(), (Status{0x40, 0x00})) << "the padding past the parameter list is ignored";
    EXPECT_EQ(Sense(), (std::array<std::uint8_t, 3>{0, 0, 0}));
}

TEST_F(CameraTest, AskingForMoreThanTheDriveHasEndsWithAStallAndStatus4001) {
    Command({0x12, 0, 0, 0, 0xFE, 0});
    machine::Outcome o{};
    EXPECT_EQ(In(192, &o).size(), 36u);
    In(64, &o);
    EXPECT_EQ(o.usbd, USBD_STATUS_STALL_PID);
    USHORT halt = 0;
    client_->EndpointStatus(0x81, &halt);
    EXPECT_EQ(halt, 1);
    EXPECT_EQ(ReadStatus(), (Status{0x40, 0x01}));
    EXPECT_EQ(client_->PipeRequest(URB_FUNCTION_RESET_PIPE, 0x81).status, STATUS_SUCCESS);
    client_->EndpointStatus(0x81, &halt);
    EXPECT_EQ(halt, 0);
}

TEST_F(CameraTest, CommandBlockResetEmptiesTheInterpreter) {
    Command({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0});  // 4096 bytes pending
    EXPECT_EQ(Command({0x1D, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadStatus(), (Status{0x40, 0x00}));
    machine::Outcome o{};
    In(64, &o);
    EXPECT_EQ(o.usbd, USBD_STATUS_STALL_PID) << "nothing is pending any more";
}

// ---- faults ---------------------------------------------------------------------------------------

TEST_F(CameraTest, StallCommandAtTheSecondCommand) {
    Fault("stall-command at 2");
    EXPECT_EQ(Command({0x00, 0, 0, 0, 0, 0}).status, STATUS_SUCCESS);
    machine::Outcome o = Command({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(o.usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ReadStatus(), (Status{0x80, 0x00}));
    EXPECT_TRUE(camera_->PendingFaults().empty());
}

TEST_F(CameraTest, StallDataThenGoodOrBadStatus) {
    Fault("stall-data on 28; stall-data bad on 2a");
    Command({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    machine::Outcome o{};
    In(2048, &o);
    EXPECT_EQ(o.usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ReadStatus(), (Status{0x40, 0x01}));
    client_->PipeRequest(URB_FUNCTION_RESET_PIPE, 0x81);
    Command({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    EXPECT_EQ(Out(Bytes(2048)).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ReadStatus(), (Status{0x80, 0x02}));
}

TEST_F(CameraTest, BusyStatusReadsThenTheRealOne) {
    Fault("busy 3 on 00");
    Command({0x00, 0, 0, 0, 0, 0});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadStatus(), (Status{0xFF, 0xFF}));
    EXPECT_EQ(ReadStatus(), (Status{0x40, 0x00}));
}

TEST_F(CameraTest, StatusOverrideAndUsbErrors) {
    Fault("status 20 at 1; usb-error crc at 2");
    Command({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(ReadStatus().b0, 0x20);
    machine::Outcome o = Command({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(o.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(o.usbd, USBD_STATUS_CRC);
}

TEST_F(CameraTest, UnplugAndDisablePortGoThroughThePortHook) {
    Fault("disable-port on 00");
    machine::Outcome o = Command({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(o.usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    ASSERT_EQ(port_faults_.size(), 1u);
    EXPECT_EQ(port_faults_[0], camera::FaultAction::DisablePort);
}

TEST_F(CameraTest, AHungCommandStaysPendingUntilTheDeviceLeaves) {
    Fault("hang on 00");
    machine::Outcome hung{};
    sched::Thread* sender = sched::Start("sender", [&] { hung = Command({0x00, 0, 0, 0, 0, 0}); });
    sched::Sleep(60 * sched::kSecond);
    EXPECT_EQ(host_->Outstanding(), 1u) << "a minute later the command is still on the bus";
    host_->Unplug(1);
    sched::Join(sender);
    EXPECT_EQ(hung.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(hung.usbd, USBD_STATUS_DEVICE_GONE);
}

TEST_F(CameraTest, FaultScriptsAreCheckedBeforeTheyArm) {
    std::string error;
    EXPECT_FALSE(camera_->AddFaults("stall-everything", &error));
    EXPECT_NE(error.find("unknown fault"), std::string::npos);
    EXPECT_FALSE(camera_->AddFaults("busy", &error));
    EXPECT_FALSE(camera_->AddFaults("status 42", &error));
    EXPECT_FALSE(camera_->AddFaults("hang on zz", &error));
    EXPECT_FALSE(camera_->AddFaults("stall-command at 0", &error));
    EXPECT_TRUE(camera_->PendingFaults().empty()) << "a bad script arms nothing";
    EXPECT_TRUE(camera_->AddFaults("hang data at 3; unplug on 2a", &error)) << error;
    EXPECT_EQ(camera_->PendingFaults(), (std::vector<std::string>{"hang data at 3", "unplug on 2a"}));
}

// ---- descriptor variants --------------------------------------------------------------------------

struct VariantCase {
    const char* name;
    std::uint16_t length;
    std::uint8_t subclass;
    std::uint8_t extra_pipes;
    std::uint16_t packet;
};

class Variants : public CameraTest, public ::testing::WithParamInterface<VariantCase> {
protected:
    camera::CameraOptions Options() override {
        camera::CameraOptions o = CameraTest::Options();
        o.configuration_length = GetParam().length;
        o.interface_subclass = GetParam().subclass;
        o.extra_pipes = GetParam().extra_pipes;
        o.bulk_packet_size = GetParam().packet;
        return o;
    }
};

TEST_P(Variants, DescriptorsReadBackAsConfigured) {
    const VariantCase& v = GetParam();
    USB_CONFIGURATION_DESCRIPTOR head{};
    machine::Outcome o = client_->GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, &head, sizeof head);
    ASSERT_EQ(o.length, sizeof head);
    std::uint16_t natural = 9 + 9 + 7 * (2 + v.extra_pipes);
    EXPECT_EQ(head.wTotalLength, std::max(natural, v.length));
    std::vector<UCHAR> full(head.wTotalLength);
    o = client_->GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, full.data(), 137);
    EXPECT_EQ(o.length, std::min<ULONG>(137, head.wTotalLength)) << "a shorter read gets the start";
    PUSBD_INTERFACE_INFORMATION info = client_->Interface();
    EXPECT_EQ(info->SubClass, v.subclass);
    EXPECT_EQ(info->NumberOfPipes, 2u + v.extra_pipes);
    EXPECT_EQ(info->Pipes[0].MaximumPacketSize, v.packet);
}

const VariantCase kVariants[] = {
    {"Plain", 0, 0xFF, 0, 64},
    {"Padded200", 200, 0xFF, 0, 64},
    {"Padded600", 600, 0xFF, 0, 64},
    {"OtherSubclass", 0, 0x00, 0, 64},
    {"FourPipes", 0, 0xFF, 2, 64},
    {"LargePackets", 0, 0xFF, 0, 512},
};

INSTANTIATE_TEST_SUITE_P(Descriptors, Variants, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
