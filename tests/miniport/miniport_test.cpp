// The miniport end to end: SRBs from a class driver through the SCSI port, the transport, the function
// driver and the USB stack to the camera, with what crosses the bus written down.
#include <cstring>

#include "fixture.h"

namespace mt {
namespace {

using Lines = std::vector<std::string>;

#if defined(TV_FLAVOR_NT)
constexpr bool kNt = true;
#else
constexpr bool kNt = false;
#endif
// The watchdog's time-out: 2000-microsecond ticks past the limit.
const sched::Time kTimeout = (WatchdogTickLimit - 1) * 2 * sched::kMillisecond;

const Lines kRecovery = {
    "cmd 1d 04 ff ff ff ff",     // command block reset
    "clear-halt 81",             // the bulk IN pipe's reset
    "clear-halt 00",             // endpoint 0
    "cmd 03 00 00 00 0e 00",     // REQUEST SENSE, 14 bytes
    "in 64",                     //   in one packet
    "cmd 00 00 00 00 00 00",     // TEST UNIT READY
    "clear-halt 00",
    "get-status 81",
};

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST_F(MiniportTest, TheFirstRequestRecoversTheCameraThenRunsItsCommand) {
    scsiport::Result r = Scsi({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Wire(), Join({kRecovery, {"cmd 00 00 00 00 00 00", "status"}}));
    EXPECT_TRUE(Ext()->StateFlags & ADAPTER_READY);
    // The power-on unit attention was read by the recovery's REQUEST SENSE.
    EXPECT_EQ(r.srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.scsi_status, SCSISTAT_GOOD);
    r = Scsi({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Wire(), (Lines{"cmd 00 00 00 00 00 00", "status"})) << "ready: no recovery";
}

TEST_F(MiniportTest, DataMovesInChunksByTheChunkRule) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    struct Case {
        const char* what;
        std::vector<UCHAR> cdb;
        ULONG length;
        ULONG flags;
        Lines wire;
    } cases[] = {
        {"INQUIRY 36", {0x12, 0, 0, 0, 36, 0}, 36, SRB_FLAGS_DATA_IN, {"cmd 12 00 00 00 24 00", "in 64"}},
        {"12 bytes out",
         {0x3B, 0x02, 0, 0, 0, 0, 0, 0, 12, 0},
         12,
         SRB_FLAGS_DATA_OUT,
         {"cmd 3b 02 00 00 00 00 00 00 0c 00", "out 64", "status"}},
        {"READ 204800",
         {0x28, 0, 0, 0, 0, 0, 0, 0, 100, 0},
         204800,
         SRB_FLAGS_DATA_IN,
         {"cmd 28 00 00 00 00 00 00 00 64 00", "in 65536", "in 65536", "in 65536", "in 8192"}},
        {"WRITE BUFFER 130",
         {0x3B, 0x02, 0, 0, 0, 0, 0, 0, 130, 0},
         130,
         SRB_FLAGS_DATA_OUT,
         {"cmd 3b 02 00 00 00 00 00 00 82 00", "out 128", "status", "out 64", "status"}},
    };
    for (const Case& c : cases) {
        Bytes data(c.length, 0x5A);
        scsiport::Result r = Scsi(c.cdb, data.data(), c.length, c.flags);
        EXPECT_EQ(Wire(), c.wire) << c.what;
        EXPECT_EQ(r.transferred, c.length) << c.what;
        EXPECT_EQ(r.srb_status, SRB_STATUS_SUCCESS) << c.what;
        if (std::string(c.what) == "12 bytes out") {
            ASSERT_EQ(wire_->out_data.size(), 64u);
            EXPECT_EQ(Bytes(wire_->out_data.begin(), wire_->out_data.begin() + 12), data);
            EXPECT_EQ(Bytes(wire_->out_data.begin() + 12, wire_->out_data.end()), Bytes(52, 0)) << "padded with zeros";
        }
        if (std::string(c.what) == "INQUIRY 36") {
            EXPECT_EQ(r.srb_status, SRB_STATUS_SUCCESS);
            EXPECT_EQ(data[0], 0x05) << "a CD/DVD device";
        }
    }
}

TEST_F(MiniportTest, RefusedRequestsNeverReachTheCamera) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    struct Case {
        const char* what;
        UCHAR function;
        std::vector<UCHAR> cdb;
        UCHAR target;
        UCHAR status;
    } cases[] = {
        {"target 1", SRB_FUNCTION_EXECUTE_SCSI, {0, 0, 0, 0, 0, 0}, 1, SRB_STATUS_SELECTION_TIMEOUT},
        {"CLOSE TRACK on 0x0004", SRB_FUNCTION_EXECUTE_SCSI, {0x5B, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, SRB_STATUS_ERROR},

        {"opcode 0xBB", SRB_FUNCTION_EXECUTE_SCSI, {0xBB, 0, 0, 0, 0, 0}, 0, SRB_STATUS_ERROR},
        {"FLUSH", SRB_FUNCTION_FLUSH, {}, 0, SRB_STATUS_INVALID_REQUEST},
        {"SHUTDOWN", SRB_FUNCTION_SHUTDOWN, {}, 0, SRB_STATUS_INVALID_REQUEST},
    };
    for (const Case& c : cases) {
        scsiport::Request r;
        r.function = c.function;
        r.cdb = c.cdb;
        r.target = c.target;
        scsiport::Result result = scsiport::Execute(adapter_, r);
        EXPECT_EQ(SRB_STATUS(result.srb_status), c.status) << c.what;
        EXPECT_TRUE(Wire().empty()) << c.what;
    }
    EXPECT_TRUE(scsiport::ErrorLog().empty()) << "refusals are not logged";
    // Product 0x0004's two exceptions (Windows 2000/XP build only), and their neighbours.
    Bytes vpd(0xFF);
    Scsi({0x12, 0x01, 0, 0, 0xFF, 0}, vpd.data(), 0xFF, SRB_FLAGS_DATA_IN);
    EXPECT_EQ(Wire().empty(), kNt) << "INQUIRY VPD 0xFF";
    Bytes page30(8);
    Scsi({0x5A, 0, 0x30, 0, 0, 0, 0, 0, 8, 0}, page30.data(), 8, SRB_FLAGS_DATA_IN);
    EXPECT_EQ(Wire().empty(), kNt) << "MODE SENSE(10) page 0x30";
    Bytes data(0xFE);
    EXPECT_EQ(Scsi({0x12, 0x01, 0, 0, 0xFE, 0}, data.data(), 0xFE, SRB_FLAGS_DATA_IN).srb_status != 0, true);
    EXPECT_FALSE(Wire().empty()) << "INQUIRY VPD 0xFE goes to the camera";
    Bytes page(8);
    Scsi({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 8, 0}, page.data(), 8, SRB_FLAGS_DATA_IN);
    EXPECT_FALSE(Wire().empty()) << "MODE SENSE(10) page 0x2A goes to the camera";
}

TEST_F(MiniportTest, AStalledCommandEndsAsCheckConditionAfterThePipesAreReset) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("stall-command on 00", &error)) << error;
    scsiport::Result r = Scsi({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(r.srb_status, SRB_STATUS_ERROR);
    EXPECT_EQ(r.scsi_status, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(r.transferred, 0u);
    EXPECT_EQ(Wire(), (Lines{"cmd 00 00 00 00 00 00", "clear-halt 81", "clear-halt 01", "clear-halt 00", "status"}));
}

TEST_F(MiniportTest, ARequestThatNeverEndsTimesOutAfter900VirtualSeconds) {
    Scsi({0, 0, 0, 0, 0, 0});
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("hang status on 00", &error)) << error;
    scsiport::Result r = Scsi({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(r.srb_status, SRB_STATUS_COMMAND_TIMEOUT);
    EXPECT_EQ(r.scsi_status, SCSISTAT_BUSY);
    EXPECT_GE(r.took, kTimeout);
    EXPECT_LT(r.took, kTimeout + sched::kSecond);
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_ERROR) << "hung until bound again";
}

TEST_F(MiniportTest, AStalledDataStageWithGoodStatusCountsTheWholeLength) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("stall-data good on 28", &error)) << error;
    Bytes data(4096);
    scsiport::Result r = Scsi({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, data.data(), 4096, SRB_FLAGS_DATA_IN);
    EXPECT_EQ(r.srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 4096u);
    EXPECT_EQ(Wire(), (Lines{"cmd 28 00 00 00 00 00 00 00 02 00", "in 4096", "clear-halt 81", "clear-halt 01",
                             "clear-halt 00", "status"}));

    ASSERT_TRUE(camera_->AddFaults("stall-data bad on 28", &error)) << error;
    r = Scsi({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, data.data(), 4096, SRB_FLAGS_DATA_IN);
    EXPECT_EQ(r.srb_status, SRB_STATUS_ERROR);
    EXPECT_EQ(r.scsi_status, SCSISTAT_CHECK_CONDITION);
}

TEST_F(MiniportTest, ABusyCameraIsPolledUntilItAnswers) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("busy 3 on 3b", &error)) << error;
    Bytes data(64, 1);
    scsiport::Result r = Scsi({0x3B, 0x02, 0, 0, 0, 0, 0, 0, 64, 0}, data.data(), 64, SRB_FLAGS_DATA_OUT);
    EXPECT_EQ(r.srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 64u);
    EXPECT_EQ(Wire(), (Lines{"cmd 3b 02 00 00 00 00 00 00 40 00", "out 64", "status", "status", "status", "status"}));
}

TEST_F(MiniportTest, CameraReportsMapToCheckConditionAndFourInARowResynchronise) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("status 80 at 1; status 80 at 2; status 80 at 3; status 80 at 4", &error)) << error;
    for (int i = 1; i <= 4; ++i) {
        scsiport::Result r = Scsi({0, 0, 0, 0, 0, 0});
        EXPECT_EQ(r.srb_status, SRB_STATUS_ERROR) << i;
        EXPECT_EQ(r.scsi_status, SCSISTAT_CHECK_CONDITION) << i;
        EXPECT_EQ(Ext()->ErrorCount, i) << i;
        EXPECT_EQ((Ext()->StateFlags & ADAPTER_READY) != 0, i < 4) << i;
    }
    // The Windows 2000/XP build logs no CHECK CONDITION the camera explains; the 9x build logs every
    // failure.
    EXPECT_EQ(scsiport::ErrorLog().size(), kNt ? 0u : 4u);
    Wire();
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Wire(), Join({kRecovery, {"cmd 00 00 00 00 00 00", "status"}})) << "the next request resynchronises";
    EXPECT_EQ(Ext()->ErrorCount, 0);
}

TEST_F(MiniportTest, AReportWithBit20IsLoggedWithThePhaseCode) {
    Scsi({0, 0, 0, 0, 0, 0});
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("status 20 on 00", &error)) << error;
    scsiport::Result r = Scsi({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(r.srb_status, SRB_STATUS_ERROR);
    EXPECT_EQ(r.scsi_status, SCSISTAT_CHECK_CONDITION);
    std::vector<scsiport::ErrorLogEntry> log = scsiport::ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].error_code, ULONG(SP_PROTOCOL_ERROR));
    // Opcode 00, status byte 0 0x20, status byte 1 as the camera left it, phase: the command was sent.
    // The 9x build gives the adapter record's address instead.
    if (kNt)
        EXPECT_EQ(log[0].unique_id & 0xFFFF00FF, 0x00200002u);
    else
        EXPECT_EQ(log[0].unique_id, ULONG(reinterpret_cast<ULONG_PTR>(Ext())));
    EXPECT_EQ(log[0].opcode, 0);
}

TEST_F(MiniportTest, AnAbortClearsEndpointZeroAndEndsAsAnInvalidRequest) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    scsiport::Request abort;
    abort.function = SRB_FUNCTION_ABORT_COMMAND;
    Ext()->PortStatus = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
    scsiport::Result r = scsiport::Execute(adapter_, abort);
    EXPECT_EQ(SRB_STATUS(r.srb_status), SRB_STATUS_INVALID_REQUEST);
    EXPECT_EQ(Wire(), (Lines{"clear-halt 00"}));
}

TEST_F(MiniportTest, ABusResetDuringAStatusPollCompletesAtOnceAndTheWorkerStopsUntouched) {
    Scsi({0, 0, 0, 0, 0, 0});
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("busy 100000 on 3b", &error)) << error;
    Bytes data(64, 1);
    scsiport::Request write;
    write.cdb = {0x3B, 0x02, 0, 0, 0, 0, 0, 0, 64, 0};
    write.data = data.data();
    write.length = 64;
    write.flags = SRB_FLAGS_DATA_OUT;
    std::unique_ptr<scsiport::Operation> op = scsiport::Start(adapter_, write);
    sched::Sleep(50 * sched::kMillisecond);  // polling by now
    ASSERT_FALSE(op->Done());
    ASSERT_TRUE(scsiport::ResetBus(adapter_, 0));
    scsiport::Result r = op->Wait();
    EXPECT_EQ(SRB_STATUS(r.srb_status), SRB_STATUS_BUS_RESET);
    EXPECT_LT(r.took, 60 * sched::kMillisecond);
    // The abandoned worker is still polling: a new request is turned away until it stops.
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_BUSY);
    sched::Sleep(10 * sched::kSecond);
    EXPECT_EQ(Ext()->WorkerBusy, 0);
    EXPECT_EQ(op->Srb().DataTransferLength, 64u) << "the worker wrote nothing to the completed SRB";
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
}

TEST_F(MiniportTest, StopAndRestartGiveANewBufferThatTheSlotFollows) {
    ASSERT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(BindingTable[0].UrbBuffer, Ext()->UrbBuffer);
    PDEVICE_OBJECT child = kernel::pnp::Find(pdo_)->children.at(0);
    PUCHAR before = Ext()->UrbBuffer;
    ASSERT_EQ(kernel::pnp::Stop(child), STATUS_SUCCESS);
    if (kNt) {
        EXPECT_EQ(Ext()->UrbBuffer, nullptr) << "freed by the stop";
        EXPECT_EQ(BindingTable[0].UrbBuffer, nullptr) << "the slot lets go of the freed buffer";
    } else {
        EXPECT_EQ(Ext()->UrbBuffer, before) << "the 9x build has no stop";
    }
    ASSERT_EQ(kernel::pnp::Start(child), STATUS_SUCCESS);
    ASSERT_NE(Ext()->UrbBuffer, nullptr);
    EXPECT_EQ(BindingTable[0].UrbBuffer, Ext()->UrbBuffer);
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);

    // Found again, the adapter gets its own slot and its current buffer back.
    PUCHAR current = Ext()->UrbBuffer;
    Ext()->HungCount = 1;
    PORT_CONFIGURATION_INFORMATION config{};
    BOOLEAN again = TRUE;
    EXPECT_EQ(HwFindAdapter(Ext(), nullptr, nullptr, nullptr, &config, &again), ULONG(SP_RETURN_FOUND));
    EXPECT_FALSE(again);
    EXPECT_EQ(Ext()->UrbBuffer, current);
    EXPECT_EQ(Ext()->AdapterIndex, 0u);
    EXPECT_EQ(Ext()->HungCount, 0u);
    EXPECT_EQ(config.InitiatorBusId[0], 7);
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
}

// The adapter removed and added again (as when it is disabled and enabled): the function device is
// the same object, the adapter a new one. The miniport went with its last adapter and starts again
// from a fresh binding table, so no slot still names the old adapter as its owner.
TEST_F(MiniportTest, AnAdapterRemovedAndAddedAgainIsBoundToTheSameCamera) {
    ASSERT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
    PDEVICE_OBJECT child = kernel::pnp::Find(pdo_)->children.at(0);
    PDEVICE_OBJECT named = BindingTable[0].UsbDeviceObject;
    kernel::WorkQueuesIdle(sched::kSecond);
    ASSERT_EQ(kernel::pnp::Remove(child), STATUS_SUCCESS);
    if (kNt) {
        ASSERT_EQ(kernel::pnp::Start(child), STATUS_SUCCESS);
    } else {
        // The 9x child deletes itself on removal; the function device makes a new one when it is
        // asked for its relations again.
        IoInvalidateDeviceRelations(pdo_, BusRelations);
    }
    kernel::pnp::WaitIdle();
    adapter_ = scsiport::Adapters().back().device;
    ASSERT_NE(adapter_, nullptr);
    ASSERT_TRUE(scsiport::Find(adapter_)->started);
    EXPECT_EQ(BindingTable[0].UsbDeviceObject, named);
    EXPECT_EQ(BindingTable[0].Owner, Ext());
    EXPECT_EQ(Ext()->UsbDeviceObject, named);
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
}

TEST_F(MiniportTest, AnAdapterWithoutAFreeSlotIsFoundButLeftUnbound) {
    auto other = std::make_unique<ADAPTER_EXTENSION>();
    std::memset(other.get(), 0, sizeof(ADAPTER_EXTENSION));
    PORT_CONFIGURATION_INFORMATION config{};
    BOOLEAN again = TRUE;
    EXPECT_EQ(HwFindAdapter(other.get(), nullptr, nullptr, nullptr, &config, &again), ULONG(SP_RETURN_FOUND));
    // What HwStartIo looks at to refuse every request as unbound.
    EXPECT_EQ(other->UsbDeviceObject, nullptr);
    EXPECT_EQ(other->ConfigHandle, nullptr);
    EXPECT_EQ(other->UrbBuffer, nullptr);
    EXPECT_EQ(BindingTable[0].Owner, Ext()) << "the slot stays its owner's";
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS) << "the bound adapter is undisturbed";
}

TEST_F(MiniportTest, AbortAndBusResetForAnAddressWithoutALogicalUnit) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    Ext()->PortStatus = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
    scsiport::Request abort;
    abort.function = SRB_FUNCTION_ABORT_COMMAND;
    abort.target = 3;
    EXPECT_EQ(SRB_STATUS(scsiport::Execute(adapter_, abort).srb_status), SRB_STATUS_SELECTION_TIMEOUT)
        << "nothing there to abort";
    EXPECT_TRUE(Wire().empty());
    // There is one bus: its reset is served whatever address the SRB carries.
    scsiport::Request reset;
    reset.function = SRB_FUNCTION_RESET_BUS;
    reset.target = 3;
    scsiport::Result r = scsiport::Execute(adapter_, reset);
    EXPECT_EQ(r.srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 0u);
    EXPECT_EQ(Wire(), kRecovery) << "the port is fine, so the camera is brought into step";
}

TEST_F(MiniportTest, WithoutACameraBehindAnyNameNothingIsFoundAndNothingIsSent) {
    host_->Unplug(1);
    ASSERT_EQ(kernel::pnp::DeviceLeft(pdo_), STATUS_SUCCESS);
    kernel::pnp::WaitIdle();
    pdo_ = nullptr;
    Wire();
    auto other = std::make_unique<ADAPTER_EXTENSION>();
    std::memset(other.get(), 0, sizeof(ADAPTER_EXTENSION));
    PORT_CONFIGURATION_INFORMATION config{};
    BOOLEAN again = TRUE;
    EXPECT_EQ(HwFindAdapter(other.get(), nullptr, nullptr, nullptr, &config, &again), ULONG(SP_RETURN_NOT_FOUND));
    EXPECT_FALSE(again);
    EXPECT_TRUE(Wire().empty());
    for (const BINDING_SLOT& slot : BindingTable) EXPECT_EQ(slot.UsbDeviceObject, nullptr);
}

TEST_F(MiniportTest, ACameraPluggedInAgainIsServedByTheNewAdapter) {
    ASSERT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
    kernel::WorkQueuesIdle(sched::kSecond);
    host_->Unplug(1);
    ASSERT_EQ(kernel::pnp::DeviceLeft(pdo_), STATUS_SUCCESS);
    kernel::pnp::WaitIdle();
    pdo_ = host_->Plug(1, wire_.get());
    ASSERT_NE(pdo_, nullptr);
    ASSERT_EQ(kernel::pnp::ReportDevice(pdo_), STATUS_SUCCESS);
    kernel::pnp::WaitIdle();
    adapter_ = scsiport::Adapters().back().device;
    ASSERT_NE(adapter_, nullptr);
    EXPECT_EQ(BindingTable[0].Owner, Ext());
    EXPECT_TRUE(BindingTable[0].InUse);
    EXPECT_FALSE(BindingTable[0].Replaced);
    EXPECT_EQ(Ext()->UrbBuffer, BindingTable[0].UrbBuffer);
    Wire();
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Wire(), Join({kRecovery, {"cmd 00 00 00 00 00 00", "status"}})) << "a new adapter starts in step";
}

TEST_F(MiniportTest, TheScanBindsACameraAtAnyNameAndPassesOverOtherDevices) {
    SecondCamera third(host_.get(), 3, 0x0015, "\\Device\\RERAREV-3", 1);
    SecondCamera second(host_.get(), 2, 0x0005, "\\Device\\RERAREV-2", 2);

    // A second adapter scans: the third name has a camera of product 0x0015, the second a device of
    // another product, the first the camera the fixture's adapter holds.
    auto other = std::make_unique<ADAPTER_EXTENSION>();
    std::memset(other.get(), 0, sizeof(ADAPTER_EXTENSION));
    PORT_CONFIGURATION_INFORMATION config{};
    BOOLEAN again = TRUE;
    EXPECT_EQ(HwFindAdapter(other.get(), nullptr, nullptr, nullptr, &config, &again), ULONG(SP_RETURN_FOUND));
    EXPECT_EQ(other->AdapterIndex, 2u);
    EXPECT_EQ(other->UsbDeviceObject, third.named());
    EXPECT_EQ(other->ProductId, 0x0015);
    EXPECT_EQ(BindingTable[1].UsbDeviceObject, nullptr) << "product 0x0005 is not a camera";
    EXPECT_EQ(BindingTable[2].Owner, other.get());
    EXPECT_EQ(BindingTable[0].Owner, Ext()) << "the first camera stays bound to its adapter";
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);

    // The second adapter goes as the port would take it away; its slot and buffer with it.
    if (kNt) ExFreePool(other->UrbBuffer);
    BindingTable[2] = BINDING_SLOT{};
}

// Cameras that differ from the usual one, each on a machine of its own.
class VariantTest : public MiniportTest {
protected:
    void SetUp() override {}
};

TEST_F(VariantTest, TheCameraIsIdentifiedAndConfiguredOrLeftAlone) {
    auto with = [](void (*change)(camera::CameraOptions&)) {
        camera::CameraOptions options;
        change(options);
        return options;
    };
    struct Case {
        const char* what;
        camera::CameraOptions options;
        bool started;
    } cases[] = {
        {"product 0x0015", with([](camera::CameraOptions& o) { o.product = 0x0015; }), true},
        {"a 200-byte configuration", with([](camera::CameraOptions& o) { o.configuration_length = 200; }), true},
        {"interface subclass 0x00", with([](camera::CameraOptions& o) { o.interface_subclass = 0x00; }), false},
        {"three more pipes", with([](camera::CameraOptions& o) { o.extra_pipes = 3; }), true},
        {"512-byte bulk packets", with([](camera::CameraOptions& o) { o.bulk_packet_size = 512; }), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(c.options);
        std::optional<scsiport::AdapterInfo> info = scsiport::Adapters().back();
        EXPECT_EQ(info->started, c.started);
        if (c.started) {
            EXPECT_EQ(Ext()->ProductId, c.options.product);
            EXPECT_EQ(Ext()->InterfaceInfo->NumberOfPipes, 2u + c.options.extra_pipes) << "no pipe is lost";
            Scsi({0, 0, 0, 0, 0, 0});
            Bytes data(36);
            scsiport::Result r = Scsi({0x12, 0, 0, 0, 36, 0}, data.data(), 36, SRB_FLAGS_DATA_IN);
            EXPECT_EQ(r.srb_status, SRB_STATUS_SUCCESS);
            EXPECT_EQ(r.transferred, 36u);
            EXPECT_EQ(data[0], 0x05);
            // A short chunk goes as one whole packet, however large the packets are.
            EXPECT_EQ(Wire().back(), "in " + std::to_string(c.options.bulk_packet_size));
            r = Scsi({0x5B, 0, 0, 0, 0, 0, 0, 0, 0, 0});
            EXPECT_EQ(Wire().empty(), c.options.product == 0x0004) << "CLOSE TRACK reaches only product 0x0015";
        } else {
            EXPECT_EQ(info->find_result, std::optional<ULONG>(SP_RETURN_NOT_FOUND));
        }
        if (c.options.configuration_length == 200) {
            // The miniport reads the configuration with 137 bytes first, then whole.
            auto first = std::find(boot_wire_.begin(), boot_wire_.end(), "get-descriptor 0200 137");
            ASSERT_NE(first, boot_wire_.end());
            EXPECT_NE(std::find(first, boot_wire_.end(), "get-descriptor 0200 200"), boot_wire_.end());
        }
        TearDown();
        pdo_ = nullptr;
    }
}

TEST_F(VariantTest, ARecoverySequenceThatNeverEndsTimesItsRequestOut) {
    Boot({});
    // The first request starts with the recovery sequence, whose TEST UNIT READY hangs.
    std::string error;
    ASSERT_TRUE(camera_->AddFaults("hang on 00", &error)) << error;
    scsiport::Result r = Scsi({0x12, 0, 0, 0, 36, 0});
    EXPECT_EQ(r.srb_status, SRB_STATUS_COMMAND_TIMEOUT);
    EXPECT_GE(r.took, kTimeout);
    // The released worker finishes the recovery and stops without touching the completed SRB.
    sched::Sleep(10 * sched::kSecond);
    EXPECT_EQ(Ext()->WorkerBusy, 0);
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_ERROR) << "hung until bound again";
}

// Seeds times fault scripts: every SRB ends exactly once (the port reports a second completion as a
// fault), and each run shuts down with no IRP, pool block or object left and no fault.
TEST_F(VariantTest, ASweepOfSchedulesAndFaultsEndsEveryRequestOnceAndLeavesNothing) {
    const char* const scripts[] = {
        "stall-command on 28",
        "stall-data good on 28",
        "stall-data bad on 2a",
        "busy 7 on 2a",
        "status 20 on 00; status 80 on 28",
        "usb-error crc on 00",
        "usb-error babble on 28",
        "hang data on 28",
        "busy 6000 on 2a",
    };
    int runs = 0;
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        for (const char* script : scripts) {
            SCOPED_TRACE(std::string(script) + ", seed " + std::to_string(seed));
            Boot({}, kt::RandomOrder(seed));
            std::string error;
            ASSERT_TRUE(camera_->AddFaults(script, &error)) << error;
            Bytes data(6144, 0x33);
            std::vector<std::unique_ptr<scsiport::Operation>> ops;
            auto request = [&](std::vector<UCHAR> cdb, ULONG length, ULONG flags) {
                scsiport::Request r;
                r.cdb = std::move(cdb);
                r.data = length ? data.data() : nullptr;
                r.length = length;
                r.flags = flags;
                ops.push_back(scsiport::Start(adapter_, r));
            };
            request({0, 0, 0, 0, 0, 0}, 0, SRB_FLAGS_NO_DATA_TRANSFER);
            request({0x28, 0, 0, 0, 0, 0, 0, 0, 3, 0}, 6144, SRB_FLAGS_DATA_IN);
            request({0x2A, 0, 0, 0, 0, 8, 0, 0, 2, 0}, 4096, SRB_FLAGS_DATA_OUT);
            request({0, 0, 0, 0, 0, 0}, 0, SRB_FLAGS_NO_DATA_TRANSFER);
            if (seed % 2 == 0) {
                sched::Sleep(3 * sched::kMillisecond);
                scsiport::ResetBus(adapter_, 0);
            }
            for (auto& op : ops) {
                scsiport::Result r = op->Wait();
                EXPECT_NE(SRB_STATUS(r.srb_status), SRB_STATUS_PENDING);
            }
            ops.clear();
            TearDown();
            pdo_ = nullptr;
            ++runs;
        }
    }
    EXPECT_EQ(runs, 36);
}

#if defined(TV_FLAVOR_9X)
// A scattered request of 4096 bytes or more goes one element at a time, each with its own command;
// an element longer than a chunk takes several commands.
TEST_F(MiniportTest, AScatteredReadGoesOneElementAtATime) {
    Scsi({0, 0, 0, 0, 0, 0});
    Wire();
    Bytes first(81920), second(2048);
    scsiport::Request r;
    r.cdb = {0x28, 0, 0, 0, 0, 4, 0, 0, 41, 0};  // 41 blocks from block 4
    r.data = first.data();
    r.length = 81920 + 2048;
    r.flags = SRB_FLAGS_DATA_IN;
    r.block_size = 2048;
    r.segments = {{40, first.data()}, {1, second.data()}};
    scsiport::Result result = scsiport::Execute(adapter_, r);
    EXPECT_EQ(result.srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(result.transferred, 81920u + 2048u);
    EXPECT_EQ(Wire(), (Lines{"cmd 28 00 00 00 00 04 00 00 20 00", "in 65536",   // 32 blocks
                             "cmd 28 00 00 00 00 24 00 00 08 00", "in 16384",   // the rest of the element
                             "cmd 28 00 00 00 00 2c 00 00 01 00", "in 2048"}));  // the second element
}
#endif

}  // namespace
}  // namespace mt
