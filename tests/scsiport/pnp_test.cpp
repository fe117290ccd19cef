// The SCSI port under Plug and Play and power: stop and start (with HwAdapterControl or with another
// find), queries while the miniport holds SRBs, removal with SRBs outstanding, adapter numbers and power
// requests passed down.
#include <algorithm>
#include <memory>

#include "fake.h"

namespace spt {
namespace {

namespace pnp = kernel::pnp;
using scsiport::Operation;
using scsiport::Result;

TEST_F(ScsiPortTest, StopAndStartUseAdapterControlWhereTheMiniportSupportsItElseFindAgain) {
    struct Case {
        const char* what;
        ULONG init_size;
        std::vector<SCSI_ADAPTER_CONTROL_TYPE> supported;
        Lines stop;
        Lines start;
    };
    const Lines find_again{"pdo start", "find irql 0", "control query", "initialize"};
    const Lines find_again_76{"pdo start", "find irql 0", "initialize"};
    const ULONG full = sizeof(HW_INITIALIZATION_DATA);
    const ULONG short_layout = HW_INITIALIZATION_DATA_SIZE_9X;
    std::vector<Case> cases = {
        {"76-byte data", short_layout, {}, {"pdo query-stop", "pdo stop"}, find_again_76},
    };
    if (!kNinex) {
        cases.push_back({"stop and restart", full, {ScsiStopAdapter, ScsiRestartAdapter},
                         {"pdo query-stop", "control stop", "pdo stop"}, {"pdo start", "control restart"}});
        cases.push_back({"stop only", full, {ScsiStopAdapter}, {"pdo query-stop", "control stop", "pdo stop"}, find_again});
        cases.push_back({"neither", full, {}, {"pdo query-stop", "pdo stop"}, find_again});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.options.init_size = c.init_size;
        fake_.options.supported = c.supported;
        // The timer runs every 10 ms until the stop cancels it.
        fake_.initialize = [](PVOID extension) { ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 10000UL); };
        fake_.timer = [](PVOID extension) { ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 10000UL); };
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        Take();
        EXPECT_EQ(pnp::Stop(pdo_), STATUS_SUCCESS);
        EXPECT_EQ(Take(), c.stop);
        EXPECT_FALSE(scsiport::Find(Adapter())->started);

        // A request sent meanwhile waits for the start.
        std::unique_ptr<Operation> waiting = scsiport::Start(Adapter(), Command({0x00}));
        sched::Sleep(30 * sched::kMillisecond);
        EXPECT_FALSE(waiting->Done());
        EXPECT_EQ(Take(), Lines{}) << "no timer call while stopped";
        sched::Time restarted = sched::Now();
        EXPECT_EQ(pnp::Start(pdo_), STATUS_SUCCESS);
        Lines start = c.start;
        start.push_back("startio 00 0/0/0");
        EXPECT_EQ(Take(), start);
        Result result = waiting->Wait();
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.took, 30 * sched::kMillisecond);
        EXPECT_EQ(scsiport::Find(Adapter())->finds, c.start == find_again || c.start == find_again_76 ? 2 : 1);
        fake_.timer_times.clear();
        sched::Sleep(15 * sched::kMillisecond);
        // Only a start that ran HwInitialize armed the timer again.
        std::size_t calls = c.start.back() == "initialize" ? 1 : 0;
        EXPECT_EQ(fake_.timer_times.size(), calls);
        if (calls) { EXPECT_EQ(fake_.timer_times[0], restarted + 10 * sched::kMillisecond); }
        EXPECT_EQ(Unplug(), STATUS_SUCCESS);
        Take();
    }
}

TEST_F(ScsiPortTest, AQueryIsRefusedWhileTheMiniportHoldsAnSrbAndAgreedOnceItHoldsNone) {
    struct Case {
        const char* what;
        NTSTATUS (*query)(PDEVICE_OBJECT);
        NTSTATUS (*cancel)(PDEVICE_OBJECT);
        const char* asked;
        const char* cancelled;
    };
    const Case cases[] = {
        {"stop", pnp::QueryStop, pnp::CancelStop, "pdo query-stop", "pdo cancel-stop"},
        {"remove", pnp::QueryRemove, pnp::CancelRemove, "pdo query-remove", "pdo cancel-remove"},
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.start_io = Hold;
        std::unique_ptr<Operation> held = scsiport::Start(Adapter(), Command({0x28}));
        Take();
        sched::Time asked = sched::Now();
        EXPECT_EQ(c.query(pdo_), STATUS_DEVICE_BUSY);
        EXPECT_EQ(sched::Now() - asked, scsiport::kDrainTime);
        EXPECT_EQ(pnp::Find(pdo_)->state, pnp::State::Started);
        EXPECT_EQ(Take(), Lines{c.cancelled}) << "the refusal stays at the adapter; the manager's cancel goes down";
        // Not held any more: a new request runs.
        fake_.start_io = nullptr;
        EXPECT_EQ(scsiport::Execute(Adapter(), Command({0x00}, 1)).status, STATUS_SUCCESS);
        scsiport::ResetBus(Adapter(), 0);
        EXPECT_EQ(held->Wait().srb_status, SRB_STATUS_BUS_RESET);
        Take();

        EXPECT_EQ(c.query(pdo_), STATUS_SUCCESS);
        std::unique_ptr<Operation> waiting = scsiport::Start(Adapter(), Command({0x01}));
        sched::Sleep(sched::kMillisecond);
        EXPECT_FALSE(waiting->Done()) << "new SRBs wait after an agreed query";
        EXPECT_EQ(c.cancel(pdo_), STATUS_SUCCESS);
        EXPECT_EQ(waiting->Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(Take(), (Lines{c.asked, c.cancelled, "startio 01 0/0/0"}));
    }
}

TEST_F(ScsiPortTest, RemovalCompletesTheQueuedAndTheHeldSrbsAndStopsTheTimer) {
    struct Case {
        const char* what;
        bool completes_on_stop;  // the miniport completes what it holds at ScsiStopAdapter (NT)
        UCHAR held_status;
        sched::Time held_took;
    };
    std::vector<Case> cases = {{"the miniport keeps it", false, SRB_STATUS_NO_DEVICE, scsiport::kDrainTime}};
    if (!kNinex) cases.push_back({"the miniport lets go at the stop", true, SRB_STATUS_ABORTED, scsiport::kDrainTime});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.start_io = [](PVOID, PSCSI_REQUEST_BLOCK srb) { g_fake->held.push_back(srb); };  // no NextRequest
        fake_.initialize = [](PVOID extension) { ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 300000UL); };
        fake_.timer = [](PVOID extension) { ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 300000UL); };
        fake_.control = [&c](PVOID extension, SCSI_ADAPTER_CONTROL_TYPE type) {
            if (type == ScsiStopAdapter && c.completes_on_stop) CompleteHeld(extension, SRB_STATUS_ABORTED);
        };
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        Take();
        std::unique_ptr<Operation> held = scsiport::Start(Adapter(), Command({0x28}));
        std::unique_ptr<Operation> queued = scsiport::Start(Adapter(), Command({0x2A}));
        EXPECT_EQ(Unplug(), STATUS_SUCCESS);
        Result result = queued->Wait();
        EXPECT_EQ(result.srb_status, SRB_STATUS_NO_DEVICE);
        EXPECT_EQ(result.status, STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(result.took, 0);
        result = held->Wait();
        EXPECT_EQ(result.srb_status, c.held_status);
        EXPECT_EQ(result.took, c.held_took);
        Lines removal{"startio 28 0/0/0"};
        removal.insert(removal.end(), 6, "timer");  // every 300 ms while the port waits for the SRB
        if (!kNinex) removal.push_back("control stop");
        removal.insert(removal.end(), {"pdo surprise-removal", "pdo remove"});
        EXPECT_EQ(Take(), removal);
        sched::Sleep(sched::kSecond);
        EXPECT_EQ(Take(), Lines{}) << "no timer call after the removal";
        EXPECT_EQ(scsiport::Adapters().back().device, nullptr);
        // A request for the removed adapter's device object is not possible any more; the next plug
        // gets a new adapter.
        fake_.held.clear();
    }
}

TEST_F(ScsiPortTest, AdaptersCountUpInABootAndPowerRequestsGoDownToThePdo) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(kernel::DeviceName(Adapter()), "\\Device\\ScsiPort0");
    Take();
    EXPECT_EQ(kernel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(kernel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"pdo power query S3", "pdo power set S3", "pdo power set S0"}));

    EXPECT_EQ(Unplug(), STATUS_SUCCESS);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(kernel::DeviceName(Adapter()), "\\Device\\ScsiPort1");
    std::vector<scsiport::AdapterInfo> adapters = scsiport::Adapters();
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].name, "\\Device\\ScsiPort0");
    EXPECT_EQ(adapters[0].device, nullptr);
    EXPECT_EQ(adapters[0].extension, nullptr);
    EXPECT_FALSE(adapters[0].started);
    EXPECT_EQ(adapters[1].device, Adapter());
    EXPECT_TRUE(adapters[1].started);
}

TEST_F(ScsiPortTest, TheNextBootCountsFromZeroAgainWithAnEmptyErrorLog) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    fake_.start_io = [](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
        ScsiPortLogError(extension, srb, 0, 0, 0, SP_INTERNAL_ADAPTER_ERROR, 1);
        CompleteNow(extension, srb);
    };
    scsiport::Execute(Adapter(), Command({0x00}));
    EXPECT_EQ(scsiport::ErrorLog().size(), 1u);
    EXPECT_EQ(Unplug(), STATUS_SUCCESS);
    IoDeleteDevice(pdo_);
    Forget(pdo_);
    kernel::UnloadDriver(driver_);
    kernel::ShutdownReport report = kernel::Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Text();
    EXPECT_TRUE(scsiport::Adapters().empty());
    EXPECT_TRUE(scsiport::ErrorLog().empty());

    kernel::Boot();
    driver_ = kernel::LoadDriver("ktest", kt::TestDriverEntry);
    kernel::pnp::RegisterDriver("tscsi", FakeEntry, {kHardwareId});
    pdo_ = MakeDevice("pdo", [](PDEVICE_OBJECT, PIRP irp) { return BusPdo(irp); });
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(kernel::DeviceName(Adapter()), "\\Device\\ScsiPort0");
    EXPECT_EQ(scsiport::Adapters().size(), 1u);
}

}  // namespace
}  // namespace spt
