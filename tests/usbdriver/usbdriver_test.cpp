// The USB camera function driver on the emulated PC: Plug and Play loads it for the camera, it
// reports its child, passes the miniport's requests down, runs URB chains and binds pipes by name.
#include "fixture.h"

namespace udt {
namespace {

TEST_F(UsbDriverTest, PlugAndPlayLoadsTheDriverWhichReportsItsChild) {
    // The start asks for the bus relations again; the child must survive that query.
    IoInvalidateDeviceRelations(pdo_, BusRelations);
    kernel::pnp::WaitIdle();
    ASSERT_NE(Fdo(), nullptr);
    EXPECT_EQ(kernel::DeviceName(Fdo()), "\\Device\\RERAREV-1");
    EXPECT_TRUE(Ext()->Started);
    EXPECT_EQ(Ext()->IoCount, 1);
    ASSERT_NE(Ext()->InterfaceInfo, nullptr);
    for (ULONG i = 0; i < Ext()->InterfaceInfo->NumberOfPipes; ++i)
        EXPECT_EQ(Ext()->InterfaceInfo->Pipes[i].MaximumTransferSize, 8192u);
    EXPECT_EQ(Ext()->DeviceDescriptor->idVendor, 0xE7A4);
    EXPECT_NE(InterfaceLink(), "");

    ASSERT_NE(CommonScsiPDO, nullptr);
    std::optional<kernel::pnp::NodeInfo> child = kernel::pnp::Find(CommonScsiPDO);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(kernel::DeviceName(CommonScsiPDO), "\\Device\\TVQRPDO");
    EXPECT_EQ(child->device_id, "DAVIZU\\TVQRSCSI");
    EXPECT_EQ(child->hardware_ids, (std::vector<std::string>{"DAVIZU\\TVQRSCSI"}));
    EXPECT_EQ(child->compatible_ids, (std::vector<std::string>{"TVQRSCSIMPD"}));
    EXPECT_EQ(child->instance_id, "TVQRSCSI");
    EXPECT_EQ(child->description, "USB to SCSI Device");
    EXPECT_EQ(child->state, kernel::pnp::State::NoDriver) << "the miniport is not registered here";
    ASSERT_TRUE(child->capabilities.has_value());
    EXPECT_TRUE(child->capabilities->Removable);
    EXPECT_FALSE(child->capabilities->LockSupported);
    EXPECT_FALSE(child->capabilities->EjectSupported);
    EXPECT_EQ(child->capabilities->DeviceWake, PowerDeviceUnspecified);
#if defined(TV_FLAVOR_NT)
    EXPECT_TRUE(child->capabilities->UniqueID);
    ASSERT_TRUE(child->bus_information.has_value());
    EXPECT_EQ(child->bus_information->LegacyBusType, Isa);
    ASSERT_EQ(child->requirements.size(), 1u);
    ASSERT_EQ(child->requirements[0].size(), 1u);
    EXPECT_EQ(child->requirements[0][0].Type, CmResourceTypePort);
    EXPECT_EQ(child->requirements[0][0].u.Port.MaximumAddress.QuadPart, 0xFFFF);
    EXPECT_EQ(CommonScsiPDO->DeviceType, ULONG(FILE_DEVICE_CONTROLLER));
    EXPECT_EQ(CommonScsiPDO->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
#else
    EXPECT_FALSE(child->capabilities->UniqueID);
    EXPECT_EQ(CommonScsiPDO->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
#endif
}

TEST_F(UsbDriverTest, SingleRequestBlocksPassDownForArgumentTwoZeroOrOne) {
    for (ULONG_PTR argument2 : {0u, 1u}) {
        USB_DEVICE_DESCRIPTOR d{};
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                     &d, nullptr, sizeof d, nullptr);
        EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, reinterpret_cast<PVOID>(argument2)), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(d.idProduct, 0x0004);
    }
    ULONG port = 0;
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    EXPECT_EQ(Ext()->IoCount, 1) << "the reference covers the call only";
}

TEST_F(UsbDriverTest, AChainCompletesOnceWithTheBytesOfEveryStage) {
    // READ(10) of three blocks, then the data as a chain of two bulk URBs of different sizes.
    std::uint8_t tur[6] = {0, 0, 0, 0, 0, 0};  // takes the drive's power-on unit attention
    URB clear{};
    UsbBuildVendorRequest(&clear, URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0,
                          0, 0, tur, nullptr, sizeof tur, nullptr);
    ASSERT_EQ(Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &clear, nullptr), STATUS_SUCCESS);
    std::uint8_t cdb[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 3, 0};
    URB command{};
    UsbBuildVendorRequest(&command, URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0,
                          0, 0, cdb, nullptr, sizeof cdb, nullptr);
    ASSERT_EQ(Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &command, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(command.UrbHeader.Status, USBD_STATUS_SUCCESS);

    USBD_PIPE_HANDLE in = nullptr;
    for (ULONG i = 0; i < Ext()->InterfaceInfo->NumberOfPipes; ++i)
        if (Ext()->InterfaceInfo->Pipes[i].EndpointAddress == 0x81) in = Ext()->InterfaceInfo->Pipes[i].PipeHandle;
    ASSERT_NE(in, nullptr);
    // Two request blocks back to back: a short one and a long one, each with its own header length.
    struct Chain {
        _URB_BULK_OR_INTERRUPT_TRANSFER first;
        URB second;
    } chain{};
    Bytes data(6144);
    UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<PURB>(&chain.first), sizeof chain.first, in, data.data(),
                                           nullptr, 2048, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    UsbBuildInterruptOrBulkTransferRequest(&chain.second, sizeof(URB), in, data.data() + 2048, nullptr, 4096,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &chain.first, reinterpret_cast<PVOID>(2)), STATUS_SUCCESS);
    EXPECT_EQ(information_, 6144u);
    EXPECT_EQ(chain.first.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Ext()->ChainIrp, nullptr);
    EXPECT_EQ(Ext()->ChainTable, nullptr);
    EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_F(UsbDriverTest, AFailingStageShowsInTheFirstUrbAndTheParentStillSucceeds) {
    USBD_PIPE_HANDLE in = Ext()->InterfaceInfo->Pipes[0].PipeHandle;
    URB chain[2] = {};
    Bytes data(128);
    // No command is pending, so the camera stalls the bulk IN pipe: both stages fail.
    for (URB& u : chain)
        UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(URB), in, data.data(), nullptr, 64,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &chain[0], reinterpret_cast<PVOID>(2)), STATUS_SUCCESS);
    EXPECT_EQ(chain[0].UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(information_, 0u);
}

TEST_F(UsbDriverTest, APipeIsBoundByTheLastDigitsOfTheFileName) {
    std::string link = InterfaceLink();
    ASSERT_NE(link, "");
    struct Case {
        const char* name;
        NTSTATUS status;
        int pipe;  // -1: none bound
    } cases[] = {
        {"\\PIPE1", STATUS_SUCCESS, 1},
        {"\\PIPE1", STATUS_INSUFFICIENT_RESOURCES, -1},  // bound already
        {"\\PIPE", STATUS_INVALID_PARAMETER, -1},
        {"\\PIPE12x", STATUS_INSUFFICIENT_RESOURCES, -1},  // pipe 12 does not exist
        {"\\0", STATUS_SUCCESS, 0},  // the digit after the first character
    };
    std::vector<PFILE_OBJECT> open;
    for (const Case& c : cases) {
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(kernel::OpenFile(link + c.name, 0, &file), c.status) << c.name;
        if (!file) continue;
        auto* pipe = static_cast<PUSBD_PIPE_INFORMATION>(file->FsContext);
        ASSERT_NE(pipe, nullptr);
        EXPECT_EQ(pipe, &Ext()->InterfaceInfo->Pipes[c.pipe]) << c.name;
        EXPECT_EQ(pipe->PipeFlags, 1u);
        open.push_back(file);
    }
    EXPECT_EQ(Ext()->OpenPipeCount, 2u);
    for (PFILE_OBJECT f : open) ObDereferenceObject(f);
    EXPECT_EQ(Ext()->OpenPipeCount, 0u);
    EXPECT_EQ(Ext()->InterfaceInfo->Pipes[1].PipeFlags, 0u);
}

TEST_F(UsbDriverTest, UserControlCodes) {
    machine::UserFile file;
    ASSERT_EQ(file.Open(InterfaceLink() + "\\PIPE0"), STATUS_SUCCESS);
    Bytes config(64);
    ULONG returned = 0;
    EXPECT_EQ(file.Control(IOCTL_USCSI_GET_CONFIG_DESCRIPTOR, nullptr, 0, config.data(), 64, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 32u);
    EXPECT_EQ(config[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
    Bytes small(9);
    EXPECT_EQ(file.Control(IOCTL_USCSI_GET_CONFIG_DESCRIPTOR, nullptr, 0, small.data(), 9, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 9u) << "as much as fits, no more";
    EXPECT_EQ(small[2] | small[3] << 8, 32);
    EXPECT_EQ(file.Control(IOCTL_USCSI_RESET_PIPE, nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(file.Control(IOCTL_USCSI_RESET_DEVICE, nullptr, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(file.Control(CTL_CODE(FILE_DEVICE_UNKNOWN, 7, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0, nullptr, 0,
                           nullptr),
              STATUS_INVALID_PARAMETER);

    ASSERT_EQ(file.Open(InterfaceLink()), STATUS_SUCCESS);
    EXPECT_EQ(file.Control(IOCTL_USCSI_RESET_PIPE, nullptr, 0, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER)
        << "no pipe bound";
}

TEST_F(UsbDriverTest, ASecondCameraIsRefusedAndAReplugGetsTheSameName) {
    camera::CameraOptions options;
    options.product = 0x0015;
    camera::Camera second(options);
    PDEVICE_OBJECT second_pdo = host_->Plug(2, &second);
    ASSERT_NE(second_pdo, nullptr);
    ASSERT_EQ(kernel::pnp::ReportDevice(second_pdo), STATUS_SUCCESS);
    std::optional<kernel::pnp::NodeInfo> node = kernel::pnp::Find(second_pdo);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, kernel::pnp::State::Failed);
    EXPECT_EQ(node->stack.size(), 1u) << "no function device was made";
    host_->Unplug(2);
    EXPECT_EQ(kernel::pnp::DeviceLeft(second_pdo), STATUS_SUCCESS);
    host_->Forget(2);

    Unplug();
    EXPECT_EQ(AddedDevice[0], nullptr);
    EXPECT_EQ(CommonScsiPDO, nullptr);
    EXPECT_EQ(InterfaceLink(), "") << "the interface is disabled";
    Plug();
    ASSERT_NE(Fdo(), nullptr);
    EXPECT_EQ(kernel::DeviceName(Fdo()), "\\Device\\RERAREV-1");
}

TEST_F(UsbDriverTest, SurpriseRemovalAbortsOpenPipesAndRefusesRequests) {
    char text[] = "\\Device\\RERAREV-1";
    ANSI_STRING ansi;
    UNICODE_STRING name;
    RtlInitAnsiString(&ansi, text);
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&name, &ansi, TRUE), STATUS_SUCCESS);
    PFILE_OBJECT miniport_file = nullptr;
    PDEVICE_OBJECT named = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, 0x1F01FF, &miniport_file, &named), STATUS_SUCCESS);
    RtlFreeUnicodeString(&name);
    PFILE_OBJECT pipe_file = nullptr;
    ASSERT_EQ(kernel::OpenFile(InterfaceLink() + "\\PIPE1", 0, &pipe_file), STATUS_SUCCESS);
    ObReferenceObject(named);  // the test reads the extension after the device is deleted
    ASSERT_EQ(kernel::pnp::SurpriseRemove(pdo_), STATUS_SUCCESS);
    PUSCSI_DEVICE_EXTENSION ext = UScsi_Extension(named);
    EXPECT_TRUE(ext->Removed);
    EXPECT_EQ(ext->OpenPipeCount, 0u) << "open pipes are aborted and unbound";
    EXPECT_FALSE(UScsi_CanAcceptIoRequests(named));
    // The removal itself waits until the files on the stack are closed.
    EXPECT_EQ(AddedDevice[0], named);
    EXPECT_EQ(kernel::pnp::Start(pdo_), STATUS_DEVICE_BUSY);
    ObDereferenceObject(pipe_file);  // close always succeeds
    EXPECT_EQ(AddedDevice[0], named);
    ObDereferenceObject(miniport_file);
    kernel::pnp::WaitIdle();
    EXPECT_EQ(AddedDevice[0], nullptr);
    EXPECT_EQ(CommonScsiPDO, nullptr);
    // The device is still there: Plug and Play starts it again, with the driver object that still
    // serves the deleted but referenced function device.
    ASSERT_EQ(kernel::pnp::Start(pdo_), STATUS_SUCCESS);
    kernel::pnp::WaitIdle();
    ASSERT_NE(Fdo(), nullptr);
    EXPECT_NE(Fdo(), named);
    EXPECT_EQ(Fdo()->DriverObject, named->DriverObject);
    EXPECT_EQ(kernel::DeviceName(Fdo()), "\\Device\\RERAREV-1");
    ObDereferenceObject(named);
}

TEST_F(UsbDriverTest, QueryStopFailsWhileAChainIsOutstandingAndHoldsRequestsAfterwards) {
    URB chain[2];
    std::vector<std::uint8_t> data;
    NTSTATUS chain_status = -1;
    sched::Thread* t = HangingChain(chain, data, &chain_status);
    EXPECT_EQ(kernel::pnp::QueryStop(pdo_), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Ext()->StopPending);
    EXPECT_EQ(UScsi_CancelPendingIo(Fdo()), 2);
    sched::Join(t);
    EXPECT_EQ(chain_status, STATUS_SUCCESS) << "the parent completes even when its stages were cancelled";
    EXPECT_EQ(chain[0].UrbHeader.Status, USBD_STATUS_CANCELED);

    EXPECT_EQ(kernel::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    ULONG port = 0;
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, nullptr), STATUS_DELETE_PENDING);
    EXPECT_EQ(kernel::pnp::CancelStop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, nullptr), STATUS_SUCCESS);
}

TEST_F(UsbDriverTest, QueryRemoveWaitsUntilEveryReferenceIsDropped) {
    URB chain[2];
    std::vector<std::uint8_t> data;
    NTSTATUS chain_status = -1;
    sched::Thread* t = HangingChain(chain, data, &chain_status);
    NTSTATUS removal = -1;
    sched::Time answered = 0;
    sched::Thread* remover = sched::Start("remover", [&] {
        removal = kernel::pnp::QueryRemove(pdo_);
        answered = sched::Now();
    });
    sched::Sleep(60 * sched::kSecond);
    EXPECT_EQ(removal, -1) << "the chain still holds two references";
    EXPECT_TRUE(Ext()->RemovePending);
    sched::Time released = sched::Now();
    EXPECT_EQ(UScsi_CancelPendingIo(Fdo()), 2);
    sched::Join(t);
    sched::Join(remover);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_GE(answered, released);
    EXPECT_EQ(kernel::pnp::CancelRemove(pdo_), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->RemovePending);
}

}  // namespace
}  // namespace udt
