// The function driver at its edges: overlapping chains, chains caught by a stop or a removal, a
// start without a pipe table, the child device's own file requests, failed creations and restarts.
#include <set>

#include "fixture.h"

namespace udt {
namespace {

// The pool tag of device objects, for failing their creation.
constexpr ULONG kDeviceTag = 'D' | 'e' << 8 | 'v' << 16 | 'i' << 24;

class EdgeTest : public UsbDriverTest {
protected:
    // The driver's own pool blocks.
    static std::set<const void*> DriverBlocks() {
        std::set<const void*> blocks;
        for (const kernel::PoolBlock& b : kernel::PoolBlocks())
            if (b.tag == USCSI_TAG) blocks.insert(b.address);
        return blocks;
    }

    // What the function device keeps between requests.
    std::set<const void*> KeptBuffers() {
        return {Ext()->DeviceDescriptor, Ext()->ConfigDescriptor, Ext()->InterfaceInfo};
    }

    std::optional<kernel::pnp::State> NodeState(PDEVICE_OBJECT pdo) {
        std::optional<kernel::pnp::NodeInfo> node = kernel::pnp::Find(pdo);
        if (!node) return std::nullopt;
        return node->state;
    }

    // Reads block 0 through the bulk IN pipe of the driver's table; the URB's USB status.
    USBD_STATUS ReadBlockZero(ULONG* length) {
        CommandBlock({0, 0, 0, 0, 0, 0});  // takes the power-on unit attention
        EXPECT_EQ(CommandBlock({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}), STATUS_SUCCESS);
        Bytes data(2048);
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(URB), Ext()->InterfaceInfo->Pipes[0].PipeHandle,
                                               data.data(), nullptr, 2048,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, nullptr);
        *length = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        return urb.UrbHeader.Status;
    }
};

TEST_F(EdgeTest, ASecondChainIsRefusedWhileOneIsOutAndLeavesTheFirstAlone) {
    URB chain[2];
    Bytes data;
    NTSTATUS chain_status = -1;
    sched::Thread* t = HangingChain(chain, data, &chain_status);
    PIRP first = Ext()->ChainIrp;
    ASSERT_NE(first, nullptr);
    const LONG references = Ext()->IoCount;
    EXPECT_EQ(references, 3) << "the base reference and one for each stage";

    USBD_PIPE_HANDLE in = Ext()->InterfaceInfo->Pipes[0].PipeHandle;
    for (ULONG_PTR stages : {2u, 3u}) {
        URB second[3] = {};
        Bytes other(3 * 64);
        for (int i = 0; i < 3; ++i) {
            UsbBuildInterruptOrBulkTransferRequest(&second[i], sizeof(URB), in, other.data() + 64 * i, nullptr, 64,
                                                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
            second[i].UrbHeader.Status = 0x5A5A;  // shows whether anything below touched it
        }
        EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &second[0], reinterpret_cast<PVOID>(stages)),
                  STATUS_DEVICE_BUSY)
            << stages << " stages";
        EXPECT_EQ(information_, 0u);
        for (const URB& u : second) EXPECT_EQ(u.UrbHeader.Status, USBD_STATUS(0x5A5A)) << "never issued";
    }
    EXPECT_EQ(Ext()->ChainIrp, first);
    EXPECT_EQ(Ext()->ChainStagesLeft, 2u);
    EXPECT_EQ(Ext()->IoCount, references);
    EXPECT_EQ(chain_status, -1) << "the first chain is still out";

    // Single request blocks are not chains: they still pass.
    USB_DEVICE_DESCRIPTOR d{};
    URB single{};
    UsbBuildGetDescriptorRequest(&single, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                 &d, nullptr, sizeof d, nullptr);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &single, reinterpret_cast<PVOID>(1)), STATUS_SUCCESS);
    EXPECT_EQ(d.idVendor, 0xE7A4);

    EXPECT_EQ(UScsi_CancelPendingIo(Fdo()), 2);
    sched::Join(t);
    EXPECT_EQ(chain_status, STATUS_SUCCESS);
    EXPECT_EQ(chain[0].UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(Ext()->ChainIrp, nullptr);
    EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_F(EdgeTest, AStopIsRefusedWhileAChainIsOutAndGoesThroughOnceItIsCancelled) {
    URB chain[2];
    Bytes data;
    NTSTATUS chain_status = -1;
    sched::Thread* t = HangingChain(chain, data, &chain_status);
    EXPECT_EQ(kernel::pnp::Stop(pdo_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(NodeState(pdo_), kernel::pnp::State::Started);
    EXPECT_TRUE(Ext()->Started);
    EXPECT_FALSE(Ext()->StopPending);
    EXPECT_EQ(Ext()->ChainStagesLeft, 2u) << "the refusal leaves the chain as it was";
    EXPECT_EQ(chain_status, -1);

    EXPECT_EQ(UScsi_CancelPendingIo(Fdo()), 2);
    sched::Join(t);
    EXPECT_EQ(chain_status, STATUS_SUCCESS);
    EXPECT_EQ(chain[0].UrbHeader.Status, USBD_STATUS_CANCELED);

    ASSERT_EQ(kernel::pnp::Stop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(NodeState(pdo_), kernel::pnp::State::Stopped);
    EXPECT_FALSE(Ext()->Started);
    EXPECT_FALSE(Ext()->StopPending);
    ULONG port = 0;
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, nullptr), STATUS_DELETE_PENDING);
    ASSERT_EQ(kernel::pnp::Start(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->Started);
    EXPECT_EQ(Internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->IoCount, 1);
}

TEST_F(EdgeTest, ASurpriseRemovalEndsTheChainInProgress) {
    URB chain[2];
    Bytes data;
    NTSTATUS chain_status = -1;
    sched::Thread* t = HangingChain(chain, data, &chain_status);
    ASSERT_EQ(kernel::pnp::SurpriseRemove(pdo_), STATUS_SUCCESS);
    sched::Join(t);
    EXPECT_EQ(chain_status, STATUS_SUCCESS);
    EXPECT_EQ(chain[0].UrbHeader.Status, USBD_STATUS_CANCELED);
    // No file was open, so the removal went all the way.
    EXPECT_EQ(NodeState(pdo_), kernel::pnp::State::SurpriseRemoved);
    EXPECT_EQ(AddedDevice[0], nullptr);
    EXPECT_EQ(CommonScsiPDO, nullptr);
    EXPECT_EQ(InterfaceLink(), "");
}

// A chain whose first stage is done and whose second hangs: the cancel walk goes past the completed
// stage, so a removal, which waits for the chain's references, is not kept waiting.
TEST_F(EdgeTest, ARemovalEndsAChainWhoseFirstStageIsDone) {
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("hang data on 28", &error)) << error;
    CommandBlock({0, 0, 0, 0, 0, 0});  // takes the power-on unit attention
    ASSERT_EQ(CommandBlock({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}), STATUS_SUCCESS);
    // A descriptor request the camera answers, then a bulk IN stage it never answers.
    struct Chain {
        _URB_CONTROL_DESCRIPTOR_REQUEST first;
        URB second;
    } chain{};
    USB_DEVICE_DESCRIPTOR d{};
    Bytes data(2048);
    USBD_PIPE_HANDLE in = Ext()->InterfaceInfo->Pipes[0].PipeHandle;
    UsbBuildGetDescriptorRequest(reinterpret_cast<PURB>(&chain.first), sizeof chain.first, USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, &d, nullptr, sizeof d, nullptr);
    UsbBuildInterruptOrBulkTransferRequest(&chain.second, sizeof(URB), in, data.data(), nullptr, 2048,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    NTSTATUS chain_status = -1;
    sched::Thread* t = sched::Start("chain", [&] {
        chain_status = Internal(IOCTL_INTERNAL_USB_SUBMIT_URB, &chain.first, reinterpret_cast<PVOID>(2));
    });
    sched::Sleep(10 * sched::kMillisecond);
    ASSERT_EQ(Ext()->ChainStagesLeft, 1u);
    ASSERT_EQ(kernel::pnp::SurpriseRemove(pdo_), STATUS_SUCCESS);
    sched::Join(t);
    EXPECT_EQ(chain_status, STATUS_SUCCESS);
    EXPECT_EQ(chain.first.Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(d.idVendor, 0xE7A4) << "the first stage's data arrived";
    EXPECT_EQ(AddedDevice[0], nullptr);
}

TEST_F(EdgeTest, WithoutAPipeTableNoPipeCanBeBoundButTheDeviceStillOpens) {
    ASSERT_EQ(kernel::pnp::Stop(pdo_), STATUS_SUCCESS);
    // Of the driver's allocations in a start: the descriptor request, the device descriptor, the
    // configuration request, the configuration descriptor, then the copy of the pipe table.
    const std::uint64_t injected = kernel::PoolFailuresInjected();
    kernel::FailPoolAllocations({USCSI_TAG, 4, 1});
    ASSERT_EQ(kernel::pnp::Start(pdo_), STATUS_SUCCESS);
    kernel::ClearPoolFailures();
    EXPECT_EQ(kernel::PoolFailuresInjected(), injected + 1);
    EXPECT_TRUE(Ext()->Started);
    ASSERT_EQ(Ext()->InterfaceInfo, nullptr) << "the table of the first start is gone too";
    EXPECT_EQ(DriverBlocks(), (std::set<const void*>{Ext()->DeviceDescriptor, Ext()->ConfigDescriptor}));

    std::string link = InterfaceLink();
    ASSERT_NE(link, "");
    struct Case {
        const char* name;
        NTSTATUS status;
    } cases[] = {
        {"\\PIPE0", STATUS_INSUFFICIENT_RESOURCES},
        {"\\PIPE1", STATUS_INSUFFICIENT_RESOURCES},
        {"\\PIPE", STATUS_INVALID_PARAMETER},  // the name is judged before the table
        {"", STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(kernel::OpenFile(link + c.name, 0, &file), c.status) << c.name;
        if (!file) continue;
        EXPECT_EQ(file->FsContext, nullptr);
        ObDereferenceObject(file);
    }
    EXPECT_EQ(Ext()->OpenPipeCount, 0u);
    // The last close suspends the camera without waiting; its request holds a reference until done.
    for (int i = 0; i < 100 && host_->PowerChanging(1); ++i) sched::Sleep(sched::kMillisecond);
    EXPECT_EQ(Ext()->IoCount, 1) << "the refused opens kept no reference";
}

TEST_F(EdgeTest, TheChildOpensAndClosesButRefusesDeviceControl) {
    ASSERT_NE(CommonScsiPDO, nullptr);
    const LONG references = UScsi_Extension(CommonScsiPDO)->IoCount;
    for (const char* name : {"", "\\PIPE0"}) {
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(kernel::OpenFile(std::string("\\Device\\TVQRPDO") + name, 0, &file), STATUS_SUCCESS) << name;
        EXPECT_EQ(file->DeviceObject, CommonScsiPDO);
        EXPECT_EQ(file->FsContext, nullptr) << "the child binds no pipe";
        ObDereferenceObject(file);
    }
    EXPECT_EQ(Ext()->OpenPipeCount, 0u);

    machine::UserFile file;
    ASSERT_EQ(file.Open("\\Device\\TVQRPDO"), STATUS_SUCCESS);
    Bytes config(64);
    ULONG returned = 1;
    EXPECT_EQ(file.Control(IOCTL_USCSI_GET_CONFIG_DESCRIPTOR, nullptr, 0, config.data(), 64, &returned),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(file.Control(IOCTL_USCSI_RESET_DEVICE, nullptr, 0, nullptr, 0, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    file.Close();

    // The miniport's requests reach the camera through the named function device, never the child.
    USB_DEVICE_DESCRIPTOR d{};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &d,
                                 nullptr, sizeof d, nullptr);
    urb.UrbHeader.Status = 0x5A5A;
    EXPECT_EQ(InternalTo(CommonScsiPDO, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS(0x5A5A)) << "nothing below saw it";
    ULONG port = 0xFFFFFFFF;
    EXPECT_EQ(InternalTo(CommonScsiPDO, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(port, 0xFFFFFFFFu);
    EXPECT_EQ(UScsi_Extension(CommonScsiPDO)->IoCount, references);
}

TEST_F(EdgeTest, AFailedDeviceCreationDisablesTheInterfaceAndALaterStartSucceeds) {
    Unplug();
    pdo_ = host_->Plug(1, camera_.get());
    ASSERT_NE(pdo_, nullptr);
    const std::uint64_t injected = kernel::PoolFailuresInjected();
    kernel::FailPoolAllocations({kDeviceTag, 0, 1});
    ASSERT_EQ(kernel::pnp::ReportDevice(pdo_), STATUS_SUCCESS);
    kernel::pnp::WaitIdle();
    kernel::ClearPoolFailures();
    EXPECT_EQ(kernel::PoolFailuresInjected(), injected + 1);

    std::optional<kernel::pnp::NodeInfo> node = kernel::pnp::Find(pdo_);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, kernel::pnp::State::Failed) << node->problem;
    EXPECT_EQ(node->stack.size(), 1u);
    EXPECT_EQ(AddedDevice[0], nullptr) << "the slot is not taken";
    EXPECT_EQ(kernel::FindDevice("\\Device\\RERAREV-1"), nullptr);
    bool registered = false;
    for (const kernel::InterfaceLink& l : kernel::InterfaceLinks()) {
        if (!IsEqualGUID(l.guid, GUID_CLASS_USBSCSI_BULK)) continue;
        EXPECT_FALSE(l.enabled) << l.link;
        registered |= l.pdo == pdo_;
    }
    EXPECT_TRUE(registered) << "registered before the creation failed";

    ASSERT_EQ(kernel::pnp::Start(pdo_), STATUS_SUCCESS);
    kernel::pnp::WaitIdle();
    EXPECT_EQ(NodeState(pdo_), kernel::pnp::State::Started);
    ASSERT_NE(Fdo(), nullptr);
    EXPECT_EQ(kernel::DeviceName(Fdo()), "\\Device\\RERAREV-1");
    EXPECT_NE(InterfaceLink(), "");
    EXPECT_NE(CommonScsiPDO, nullptr);
}

TEST_F(EdgeTest, ARestartFreesTheEarlierBuffersAndKeepsAPipeTableInUse) {
    for (bool bound : {false, true}) {
        SCOPED_TRACE(bound ? "a pipe bound" : "no pipe bound");
        PFILE_OBJECT pipe_file = nullptr;
        if (bound) {
            ASSERT_EQ(kernel::OpenFile(InterfaceLink() + "\\PIPE1", 0, &pipe_file), STATUS_SUCCESS);
        }
        PUSBD_INTERFACE_INFORMATION table = Ext()->InterfaceInfo;
        PUSB_DEVICE_DESCRIPTOR descriptor = Ext()->DeviceDescriptor;
        ASSERT_EQ(DriverBlocks(), KeptBuffers());

        ASSERT_EQ(kernel::pnp::Stop(pdo_), STATUS_SUCCESS);
        ASSERT_EQ(kernel::pnp::Start(pdo_), STATUS_SUCCESS);
        kernel::pnp::WaitIdle();
        EXPECT_NE(Ext()->DeviceDescriptor, descriptor) << "read again";
        EXPECT_EQ(DriverBlocks(), KeptBuffers()) << "the earlier buffers are freed";
        EXPECT_EQ(DriverBlocks().size(), 3u);
        ASSERT_NE(Ext()->InterfaceInfo, nullptr);
        if (bound) {
            EXPECT_EQ(Ext()->InterfaceInfo, table);
            EXPECT_EQ(pipe_file->FsContext, &Ext()->InterfaceInfo->Pipes[1]);
            EXPECT_EQ(Ext()->InterfaceInfo->Pipes[1].PipeFlags, 1u);
            EXPECT_EQ(Ext()->OpenPipeCount, 1u);
        } else {
            EXPECT_NE(Ext()->InterfaceInfo, table) << "a new copy replaces the table";
        }
        // The table's handles, kept or new, reach the camera's pipes.
        ULONG length = 0;
        EXPECT_EQ(ReadBlockZero(&length), USBD_STATUS_SUCCESS);
        EXPECT_EQ(length, 2048u);
        if (pipe_file) ObDereferenceObject(pipe_file);
        EXPECT_EQ(Ext()->OpenPipeCount, 0u);
    }
}

TEST_F(EdgeTest, AFailedRelationsListDeletesTheNewChildAtOnce) {
    Unplug();
    // The five allocations of the start (see above), then the list that reports the child.
    const std::uint64_t injected = kernel::PoolFailuresInjected();
    kernel::FailPoolAllocations({USCSI_TAG, 5, 1});
    pdo_ = host_->Plug(1, camera_.get());
    ASSERT_NE(pdo_, nullptr);
    ASSERT_EQ(kernel::pnp::ReportDevice(pdo_), STATUS_SUCCESS);
    kernel::ClearPoolFailures();
    EXPECT_EQ(kernel::PoolFailuresInjected(), injected + 1);
    EXPECT_EQ(NodeState(pdo_), kernel::pnp::State::Started);
    EXPECT_EQ(CommonScsiPDO, nullptr);
    EXPECT_EQ(kernel::FindDevice("\\Device\\TVQRPDO"), nullptr) << "the name is free again";
    EXPECT_TRUE(kernel::pnp::Find(pdo_)->children.empty());

    // The start asked for the relations again; that query makes the child anew.
    kernel::pnp::WaitIdle();
    ASSERT_NE(CommonScsiPDO, nullptr);
    EXPECT_EQ(kernel::DeviceName(CommonScsiPDO), "\\Device\\TVQRPDO");
    EXPECT_EQ(kernel::pnp::Find(pdo_)->children, std::vector<PDEVICE_OBJECT>{CommonScsiPDO});
    EXPECT_EQ(NodeState(CommonScsiPDO), kernel::pnp::State::NoDriver);
}

// The nt child stays after its removal and is reported again; the 9x child deletes itself, so its
// node leaves with it and hears no more, and the next query makes a new one. Either way the unplug
// at the end takes everything apart cleanly.
TEST_F(EdgeTest, AChildRemovedAloneIsStillReportedAfterwards) {
    ASSERT_NE(CommonScsiPDO, nullptr);
    ASSERT_EQ(kernel::pnp::Remove(CommonScsiPDO), STATUS_SUCCESS);
    IoInvalidateDeviceRelations(pdo_, BusRelations);
    kernel::pnp::WaitIdle();
    ASSERT_NE(CommonScsiPDO, nullptr);
    EXPECT_EQ(kernel::DeviceName(CommonScsiPDO), "\\Device\\TVQRPDO");
    EXPECT_EQ(kernel::pnp::Find(pdo_)->children, std::vector<PDEVICE_OBJECT>{CommonScsiPDO});
}

}  // namespace
}  // namespace udt
