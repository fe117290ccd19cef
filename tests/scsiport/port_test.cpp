// The SCSI port: loading a miniport through Plug and Play, the start, requests one at a time, their
// completion, the miniport's timer, ScsiPortCompleteRequest, bus resets, aborts, the error log and the
// 9x flavor's I/O packet.
#include <algorithm>
#include <memory>

#include "fake.h"
#include "io_packet.h"

namespace spt {
namespace {

namespace pnp = kernel::pnp;
using scsiport::Operation;
using scsiport::Result;

constexpr UCHAR kArmTimer = 0xC1;  // CDB of a request that arms the timer: bytes 1-4 the microseconds

Lines Started(Lines after_start) {
    Lines lines{"entry", "pdo start", "find irql 0"};
    if (!kNinex) lines.push_back("control query");
    lines.push_back("initialize");
    lines.insert(lines.end(), after_start.begin(), after_start.end());
    return lines;
}

TEST_F(ScsiPortTest, PlugAndPlayLoadsTheMiniportAndTheStartFindsThenInitialisesTheAdapter) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Started({}));
    std::optional<pnp::NodeInfo> node = pnp::Find(pdo_);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, pnp::State::Started);
    EXPECT_EQ(node->service, "tscsi");

    PDEVICE_OBJECT adapter = Adapter();
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(kernel::DeviceName(adapter), "\\Device\\ScsiPort0");
    EXPECT_EQ(adapter->DeviceType, static_cast<ULONG>(FILE_DEVICE_CONTROLLER));
    EXPECT_TRUE(adapter->Flags & DO_POWER_PAGABLE);
    EXPECT_EQ(adapter->DeviceObjectExtension->AttachedTo, pdo_);
    PDRIVER_OBJECT driver = adapter->DriverObject;
    EXPECT_NE(driver->MajorFunction[IRP_MJ_SCSI], driver->MajorFunction[IRP_MJ_READ]);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_PNP], driver->MajorFunction[IRP_MJ_READ]);

    std::optional<scsiport::AdapterInfo> info = scsiport::Find(adapter);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->number, 0);
    EXPECT_EQ(info->name, "\\Device\\ScsiPort0");
    EXPECT_EQ(info->service, "tscsi");
    EXPECT_EQ(info->extension, fake_.extension);
    EXPECT_EQ(info->init_data_size, kFlavorInitSize);
    EXPECT_TRUE(info->started);
    EXPECT_EQ(info->find_result, SP_RETURN_FOUND);
    EXPECT_EQ(info->start_status, STATUS_SUCCESS);
    EXPECT_EQ(info->finds, 1);

    // What HwFindAdapter was given.
    const Found& found = fake_.found;
    EXPECT_EQ(found.context, kContext);
    EXPECT_EQ(found.bus, nullptr);
    EXPECT_EQ(found.argument, nullptr);
    EXPECT_TRUE(found.zeroed);
    const PORT_CONFIGURATION_INFORMATION& given = found.config;
    EXPECT_EQ(given.Length, sizeof(PORT_CONFIGURATION_INFORMATION));
    EXPECT_EQ(given.AdapterInterfaceType, PNPBus);
    EXPECT_EQ(given.MaximumTransferLength, SP_UNINITIALIZED_VALUE);
    EXPECT_EQ(given.NumberOfAccessRanges, 2u);
    EXPECT_EQ(given.NumberOfBuses, 1);
    EXPECT_EQ(given.InitiatorBusId[0], SP_UNTAGGED);
    EXPECT_EQ(given.DeviceExtensionSize, 64u);
    EXPECT_EQ(given.SpecificLuExtensionSize, 24u);
    EXPECT_EQ(given.SrbExtensionSize, 16u);
    EXPECT_TRUE(given.AutoRequestSense);
    ASSERT_EQ(found.ranges.size(), 2u);
    for (const ACCESS_RANGE& range : found.ranges) {
        EXPECT_EQ(range.RangeStart.QuadPart, 0);
        EXPECT_EQ(range.RangeLength, 0u);
    }

    // What it set, as the port kept it.
    EXPECT_EQ(info->config.MaximumTransferLength, 0x10000u);
    EXPECT_EQ(info->config.NumberOfPhysicalBreaks, 16u);
    EXPECT_EQ(info->config.InitiatorBusId[0], 7);
    EXPECT_TRUE(info->config.ScatterGather);
    ASSERT_EQ(info->access_ranges.size(), 2u);
    EXPECT_EQ(info->access_ranges[0].RangeLength, 0x20u);

    // The logical unit 0/0/0 alone has an extension, zeroed.
    struct Unit {
        UCHAR path, target, lun;
        bool exists;
    };
    for (Unit u : {Unit{0, 0, 0, true}, Unit{0, 0, 1, false}, Unit{0, 1, 0, false}, Unit{1, 0, 0, false}}) {
        PVOID unit = ScsiPortGetLogicalUnit(fake_.extension, u.path, u.target, u.lun);
        EXPECT_EQ(unit != nullptr, u.exists) << int(u.path) << "/" << int(u.target) << "/" << int(u.lun);
        if (unit) { EXPECT_EQ(std::count(static_cast<PUCHAR>(unit), static_cast<PUCHAR>(unit) + 24, 0), 24); }
    }
}

TEST_F(ScsiPortTest, TheInitialisationDataIsCheckedAndOnlyTheFlavorsLayoutsAreKnown) {
    struct Case {
        const char* what;
        ULONG size;
        bool omit_start_io;
        NTSTATUS nt;
        NTSTATUS ninex;
    };
    const ULONG full = sizeof(HW_INITIALIZATION_DATA);
    const ULONG short_layout = HW_INITIALIZATION_DATA_SIZE_9X;
    const Case cases[] = {
        {"with HwAdapterControl", full, false, STATUS_SUCCESS, STATUS_REVISION_MISMATCH},
        {"without HwAdapterControl", short_layout, false, STATUS_SUCCESS, STATUS_SUCCESS},
        {"shorter", short_layout - 4, false, STATUS_REVISION_MISMATCH, STATUS_REVISION_MISMATCH},
        {"longer", full + 4, false, STATUS_REVISION_MISMATCH, STATUS_REVISION_MISMATCH},
        {"no HwStartIo", kFlavorInitSize, true, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.options.init_size = c.size;
        fake_.options.omit_start_io = c.omit_start_io;
        NTSTATUS status = STATUS_PENDING;
        PDRIVER_OBJECT driver = kernel::LoadDriver("tinit", FakeEntry, &status);
        EXPECT_EQ(status, kNinex ? c.ninex : c.nt);
        if (!driver) continue;
        EXPECT_NE(driver->DriverExtension->AddDevice, nullptr);
        EXPECT_NE(driver->DriverUnload, nullptr);
        kernel::UnloadDriver(driver);
    }
}

TEST_F(ScsiPortTest, AFailedFindOrInitialiseFailsTheStartAndTheAdaptersRecordShowsIt) {
    struct Case {
        ULONG find_result;
        BOOLEAN initialized;
        NTSTATUS start;
        Lines log;
    };
    const Lines not_found{"entry", "pdo start", "find irql 0", "pdo remove"};
    const Case cases[] = {
        {SP_RETURN_NOT_FOUND, TRUE, STATUS_NO_SUCH_DEVICE, not_found},
        {SP_RETURN_ERROR, TRUE, STATUS_INSUFFICIENT_RESOURCES, not_found},
        {SP_RETURN_BAD_CONFIG, TRUE, STATUS_INSUFFICIENT_RESOURCES, not_found},
        {SP_RETURN_FOUND, FALSE, STATUS_ADAPTER_HARDWARE_ERROR, Started({"pdo remove"})},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.find_result);
        fake_.options.find_result = c.find_result;
        fake_.options.initialized = c.initialized;
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        EXPECT_EQ(Take(), c.log);
        std::optional<pnp::NodeInfo> node = pnp::Find(pdo_);
        ASSERT_TRUE(node);
        EXPECT_EQ(node->state, pnp::State::Failed);
        EXPECT_EQ(Adapter(), nullptr);
        std::vector<scsiport::AdapterInfo> adapters = scsiport::Adapters();
        ASSERT_EQ(adapters.size(), static_cast<std::size_t>(number + 1));
        const scsiport::AdapterInfo& info = adapters.back();
        EXPECT_EQ(info.name, "\\Device\\ScsiPort" + std::to_string(number));
        EXPECT_EQ(info.device, nullptr);
        EXPECT_FALSE(info.started);
        EXPECT_EQ(info.find_result, c.find_result);
        EXPECT_EQ(info.start_status, c.start);
        EXPECT_EQ(Unplug(), STATUS_SUCCESS);
        Take();
        ++number;
    }
}

// ---- requests -----------------------------------------------------------------------------------

TEST_F(ScsiPortTest, RequestCompleteCompletesTheIrpWithTheSrbsStatusAndLength) {
    struct Case {
        UCHAR srb_status;
        UCHAR scsi_status;
        ULONG length;
        NTSTATUS status;
    };
    const Case cases[] = {
        {SRB_STATUS_SUCCESS, SCSISTAT_GOOD, 2048, STATUS_SUCCESS},
        {SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID, SCSISTAT_CHECK_CONDITION, 0, STATUS_IO_DEVICE_ERROR},
        {SRB_STATUS_DATA_OVERRUN, SCSISTAT_GOOD, 100, STATUS_DATA_OVERRUN},
        {SRB_STATUS_SELECTION_TIMEOUT, SCSISTAT_GOOD, 0, STATUS_NO_SUCH_DEVICE},
        {SRB_STATUS_BUSY, SCSISTAT_BUSY, 0, STATUS_DEVICE_BUSY},
        {SRB_STATUS_ABORTED, SCSISTAT_GOOD, 0, STATUS_CANCELLED},
        {SRB_STATUS_COMMAND_TIMEOUT, SCSISTAT_GOOD, 0, STATUS_IO_TIMEOUT},
        {SRB_STATUS_INVALID_REQUEST, SCSISTAT_GOOD, 0, STATUS_INVALID_DEVICE_REQUEST},
        {SRB_STATUS_BUS_RESET, SCSISTAT_GOOD, 0, STATUS_IO_DEVICE_ERROR},
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Take();
    const Case* current = nullptr;
    SCSI_REQUEST_BLOCK seen{};
    bool extension_zeroed = false;
    fake_.start_io = [&](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
        seen = *srb;
        auto* srb_extension = static_cast<PUCHAR>(srb->SrbExtension);
        extension_zeroed = srb_extension && std::count(srb_extension, srb_extension + 16, 0) == 16;
        std::fill_n(static_cast<PUCHAR>(srb->DataBuffer), current->length, 'A');
        srb->DataTransferLength = current->length;
        srb->ScsiStatus = current->scsi_status;
        if (current->srb_status & SRB_STATUS_AUTOSENSE_VALID) static_cast<PUCHAR>(srb->SenseInfoBuffer)[0] = 0x70;
        CompleteNow(extension, srb, current->srb_status);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.srb_status));
        current = &c;
        std::vector<UCHAR> data(2048, 0);
        scsiport::Request request = Command({0x28, 0, 0, 0, 0, 16, 0, 0, 1, 0});
        request.data = data.data();
        request.length = 2048;
        request.flags = SRB_FLAGS_DATA_IN;
        std::unique_ptr<Operation> operation = scsiport::Start(Adapter(), request);
        Result result = operation->Wait();
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.srb_status, c.srb_status);
        EXPECT_EQ(result.scsi_status, c.scsi_status);
        EXPECT_EQ(result.transferred, c.length);
        EXPECT_EQ(std::count(data.begin(), data.end(), 'A'), static_cast<long>(c.length));
        EXPECT_EQ(result.sense.size(), c.srb_status & SRB_STATUS_AUTOSENSE_VALID ? 18u : 0u);
        if (!result.sense.empty()) { EXPECT_EQ(result.sense[0], 0x70); }
        EXPECT_EQ(result.took, 0);

        // The SRB as HwStartIo got it.
        EXPECT_EQ(seen.Length, sizeof(SCSI_REQUEST_BLOCK));
        EXPECT_EQ(seen.Function, SRB_FUNCTION_EXECUTE_SCSI);
        EXPECT_EQ(seen.SrbStatus, SRB_STATUS_PENDING);
        EXPECT_EQ(seen.CdbLength, 10);
        EXPECT_EQ(seen.Cdb[0], 0x28);
        EXPECT_EQ(seen.Cdb[8], 1);
        EXPECT_EQ(seen.SrbFlags, static_cast<ULONG>(SRB_FLAGS_DATA_IN));
        EXPECT_EQ(seen.DataBuffer, data.data());
        EXPECT_EQ(seen.DataTransferLength, 2048u);
        EXPECT_EQ(seen.TimeOutValue, 10u);
        EXPECT_NE(seen.OriginalRequest, nullptr);
        EXPECT_TRUE(extension_zeroed);
    }
    EXPECT_EQ(Take().size(), std::size(cases));
}

TEST_F(ScsiPortTest, SrbsStartOneAtATimeUntilTheMiniportAsksForTheNext) {
    // HwStartIo keeps the SRB and asks for a timer call; the timer routine completes it and only then
    // asks for the next.
    fake_.start_io = [](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
        g_fake->held.push_back(srb);
        ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 1000UL);
    };
    fake_.timer = [](PVOID extension) {
        PSCSI_REQUEST_BLOCK srb = g_fake->held.front();
        g_fake->held.erase(g_fake->held.begin());
        CompleteNow(extension, srb);
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Take();
    std::vector<std::unique_ptr<Operation>> operations;
    for (UCHAR opcode : {0x01, 0x02, 0x03}) operations.push_back(scsiport::Start(Adapter(), Command({opcode})));
    EXPECT_EQ(Take(), Lines{"startio 01 0/0/0"});
    for (std::size_t i = 0; i < operations.size(); ++i) {
        Result result = operations[i]->Wait();
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.took, static_cast<sched::Time>(i + 1) * sched::kMillisecond) << i;
    }
    EXPECT_EQ(Take(), (Lines{"timer", "startio 02 0/0/0", "timer", "startio 03 0/0/0", "timer"}));
}

TEST_F(ScsiPortTest, NextRequestStartsAnotherUnitsSrbAndNextLuRequestOneForTheSameUnit) {
    struct Case {
        SCSI_NOTIFICATION_TYPE notification;
        Lines started;
        std::vector<UCHAR> after_reset;  // of the three
    };
    const UCHAR reset = SRB_STATUS_BUS_RESET;
    const Case cases[] = {
        {NextRequest, {"startio 0A 0/0/0", "startio 0C 0/1/0"}, {reset, SRB_STATUS_SUCCESS, reset}},
        {NextLuRequest, {"startio 0A 0/0/0", "startio 0B 0/0/0", "startio 0C 0/1/0"}, {reset, reset, reset}},
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.notification);
        Take();
        fake_.start_io = [&c](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
            g_fake->held.push_back(srb);
            if (c.notification == NextLuRequest)
                ScsiPortNotification(NextLuRequest, extension, srb->PathId, srb->TargetId, srb->Lun);
            else
                ScsiPortNotification(NextRequest, extension);
        };
        auto a = scsiport::Start(Adapter(), Command({0x0A}));
        auto b = scsiport::Start(Adapter(), Command({0x0B}));
        auto c2 = scsiport::Start(Adapter(), Command({0x0C}, 1));
        EXPECT_EQ(Take(), c.started);
        // A bus reset completes what the miniport holds; what waited starts after it.
        fake_.start_io = nullptr;
        EXPECT_TRUE(scsiport::ResetBus(Adapter(), 0));
        std::vector<UCHAR> statuses;
        for (auto* operation : {a.get(), b.get(), c2.get()}) statuses.push_back(operation->Wait().srb_status);
        EXPECT_EQ(statuses, c.after_reset);
    }
}

TEST_F(ScsiPortTest, MiniportCallsAgainstTheRulesAreFaults) {
    struct Case {
        const char* what;
        std::function<void(PVOID, PSCSI_REQUEST_BLOCK)> start_io;
        const char* fault;
    };
    SCSI_REQUEST_BLOCK stranger{};
    const Case cases[] = {
        {"a completion twice",
         [](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
             srb->SrbStatus = SRB_STATUS_SUCCESS;
             ScsiPortNotification(RequestComplete, extension, srb);
             ScsiPortNotification(RequestComplete, extension, srb);
             ScsiPortNotification(NextRequest, extension);
         },
         "which the miniport of \\Device\\ScsiPort0 does not hold"},
        {"a completion of an SRB never given",
         [&stranger](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
             ScsiPortNotification(RequestComplete, extension, &stranger);
             CompleteNow(extension, srb);
         },
         "which the miniport of \\Device\\ScsiPort0 does not hold"},
        {"a completion that leaves the status pending",
         [](PVOID extension, PSCSI_REQUEST_BLOCK srb) { CompleteNow(extension, srb, SRB_STATUS_PENDING); },
         "with SrbStatus SRB_STATUS_PENDING"},
        {"an unknown extension",
         [](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
             int other = 0;
             ScsiPortNotification(NextRequest, &other);
             CompleteNow(extension, srb);
         },
         "which is not the device extension of an adapter"},
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.start_io = c.start_io;
        scsiport::Execute(Adapter(), Command({0x00}));
        EXPECT_EQ(kernel::TakeFaults(c.fault), 1);
    }
    // Outside the synchronised context.
    ScsiPortNotification(NextRequest, fake_.extension);
    ScsiPortCompleteRequest(fake_.extension, 0, SP_UNTAGGED, SP_UNTAGGED, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(kernel::TakeFaults("outside the port's synchronised context of \\Device\\ScsiPort0"), 2);
    // The port still works.
    fake_.start_io = nullptr;
    EXPECT_EQ(scsiport::Execute(Adapter(), Command({0x00})).status, STATUS_SUCCESS);
}

// ---- the timer ----------------------------------------------------------------------------------

scsiport::Request ArmTimer(ULONG microseconds) {
    scsiport::Request request;
    request.cdb = {kArmTimer, UCHAR(microseconds >> 24), UCHAR(microseconds >> 16), UCHAR(microseconds >> 8),
                   UCHAR(microseconds)};
    return request;
}

void StartIoArmsTimer(PVOID extension, PSCSI_REQUEST_BLOCK srb) {
    if (srb->Cdb[0] == kArmTimer) {
        ULONG microseconds = ULONG(srb->Cdb[1]) << 24 | ULONG(srb->Cdb[2]) << 16 | ULONG(srb->Cdb[3]) << 8 | srb->Cdb[4];
        ScsiPortNotification(RequestTimerCall, extension, FakeTimer, microseconds);
    }
    CompleteNow(extension, srb);
}

TEST_F(ScsiPortTest, TheTimerRunsInTheContextArmingAgainReplacesItAndZeroCancelsIt) {
    struct Arming {
        sched::Time at;
        ULONG microseconds;
    };
    struct Case {
        const char* what;
        std::vector<Arming> armings;
        std::vector<sched::Time> calls;  // ms after the first arming
    };
    const Case cases[] = {
        {"once", {{0, 5000}}, {5}},
        {"armed again", {{0, 5000}, {1, 10000}}, {11}},
        {"armed again sooner", {{0, 5000}, {1, 1000}}, {2}},
        {"cancelled", {{0, 5000}, {1, 0}}, {}},
        {"armed after it ran", {{0, 1000}, {3, 1000}}, {1, 4}},
    };
    fake_.start_io = StartIoArmsTimer;
    // The routine may notify the port: it runs in the synchronised context.
    fake_.timer = [](PVOID extension) { ScsiPortNotification(NextRequest, extension); };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Take();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.timer_times.clear();
        sched::Time start = sched::Now();
        for (const Arming& arming : c.armings) {
            sched::Sleep(start + arming.at * sched::kMillisecond - sched::Now());
            EXPECT_EQ(scsiport::Execute(Adapter(), ArmTimer(arming.microseconds)).status, STATUS_SUCCESS);
        }
        sched::Sleep(start + 20 * sched::kMillisecond - sched::Now());
        std::vector<sched::Time> calls;
        for (sched::Time t : fake_.timer_times) calls.push_back((t - start) / sched::kMillisecond);
        EXPECT_EQ(calls, c.calls);
    }
    Lines log = Take();
    EXPECT_EQ(std::count(log.begin(), log.end(), "timer"), 5);
    EXPECT_EQ(log.size(), 5u + 9u) << "the timer calls and the armings, nothing else";
}

TEST_F(ScsiPortTest, TheTimerRoutineArmsItselfAgainAndNeverOverlapsStartIo) {
    int calls = 0;
    fake_.initialize = [](PVOID extension) { ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 1000UL); };
    fake_.timer = [&calls](PVOID extension) {
        ScsiPortStallExecution(3000);  // the SRB sent meanwhile waits for the routine
        if (++calls < 3) ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 2000UL);
    };
    sched::Time start = sched::Now();
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Take();
    sched::Sleep(start + 2 * sched::kMillisecond - sched::Now());
    Result result = scsiport::Execute(Adapter(), Command({0x00}));
    // Sent at 2 ms, it waits for the routine (1 ms timer + 3 ms stall) and a spin of the lock.
    EXPECT_GE(result.took, 2 * sched::kMillisecond);
    EXPECT_LT(result.took, 2 * sched::kMillisecond + sched::kMicrosecond);
    sched::Sleep(50 * sched::kMillisecond);
    EXPECT_EQ(Take(), (Lines{"timer", "startio 00 0/0/0", "timer", "timer"}));
    std::vector<sched::Time> times;
    for (sched::Time t : fake_.timer_times) times.push_back(t - start);
    // Each call stalls 3 ms, then arms 2 ms from its end.
    EXPECT_EQ(times, (std::vector<sched::Time>{1 * sched::kMillisecond, 6 * sched::kMillisecond, 11 * sched::kMillisecond}));
}

class ScsiPortSweep : public ScsiPortTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
    sched::Options SchedOptions() override {
        sched::Options options;
        options.policy = sched::Policy::Random;
        options.seed = GetParam();
        return options;
    }
};

TEST_P(ScsiPortSweep, ThreadsSendingAtOnceGetEveryRequestCompletedOneAtATime) {
    // Completed from the timer, 100 us after the start.
    fake_.start_io = [](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
        g_fake->held.push_back(srb);
        ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 100UL);
    };
    fake_.timer = [](PVOID extension) {
        CompleteHeld(extension, SRB_STATUS_SUCCESS);
        ScsiPortNotification(NextRequest, extension);
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    Take();
    PDEVICE_OBJECT adapter = Adapter();
    int failures = 0;
    std::vector<sched::Thread*> threads;
    for (int t = 0; t < 3; ++t) {
        threads.push_back(sched::Start("sender", [adapter, t, &failures] {
            for (int i = 0; i < 4; ++i) {
                Result result = scsiport::Execute(adapter, Command({UCHAR(0x10 * t + i)}, UCHAR(t)));
                failures += result.status != STATUS_SUCCESS;
            }
        }));
    }
    for (sched::Thread* thread : threads) sched::Join(thread);
    EXPECT_EQ(failures, 0);
    Lines log = Take();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.starts_with("startio"); }), 12);
    EXPECT_EQ(std::count(log.begin(), log.end(), "timer"), 12);
    EXPECT_EQ(log.size(), 24u) << "nothing ran outside the context or overlapped";
}

INSTANTIATE_TEST_SUITE_P(Seeds, ScsiPortSweep, ::testing::Values(1, 2, 3, 4, 5));

// ---- completing, resetting and aborting -----------------------------------------------------------

TEST_F(ScsiPortTest, CompleteRequestCompletesWhatTheMiniportHoldsForTheAddress) {
    struct Case {
        UCHAR target;
        UCHAR lun;
        std::vector<bool> completed;  // of 0/0/0, 0/0/1, 0/1/0
    };
    const Case cases[] = {
        {SP_UNTAGGED, SP_UNTAGGED, {true, true, true}},
        {1, SP_UNTAGGED, {false, false, true}},
        {0, SP_UNTAGGED, {true, true, false}},
        {0, 1, {false, true, false}},
        {2, 0, {false, false, false}},
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    const Case* current = nullptr;
    fake_.start_io = [](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
        Hold(extension, srb);
        ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 1000UL);
    };
    fake_.timer = [&current](PVOID extension) {
        ScsiPortCompleteRequest(extension, 0, current->target, current->lun, SRB_STATUS_BUS_RESET);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.target) + "/" + std::to_string(c.lun));
        current = &c;
        std::vector<std::unique_ptr<Operation>> operations;
        operations.push_back(scsiport::Start(Adapter(), Command({0x00}, 0, 0)));
        operations.push_back(scsiport::Start(Adapter(), Command({0x00}, 0, 1)));
        operations.push_back(scsiport::Start(Adapter(), Command({0x00}, 1, 0)));
        sched::Sleep(2 * sched::kMillisecond);
        for (std::size_t i = 0; i < operations.size(); ++i) {
            EXPECT_EQ(operations[i]->Done(), c.completed[i]) << i;
            if (c.completed[i]) { EXPECT_EQ(operations[i]->Wait().srb_status, SRB_STATUS_BUS_RESET); }
        }
        // The miniport forgets them; the bus reset takes the others back.
        fake_.held.clear();
        scsiport::ResetBus(Adapter(), 0);
        for (auto& operation : operations) operation->Wait();
    }
}

TEST_F(ScsiPortTest, TheClassResetsTheBusWhileARequestIsOutstanding) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    fake_.start_io = Hold;
    std::unique_ptr<Operation> outstanding = scsiport::Start(Adapter(), Command({0x28}));
    EXPECT_FALSE(outstanding->Done());
    Take();
    EXPECT_TRUE(scsiport::ResetBus(Adapter(), 0));
    EXPECT_EQ(Take(), Lines{"reset 0"});
    Result result = outstanding->Wait();
    EXPECT_EQ(result.srb_status, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(result.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_FALSE(scsiport::ResetBus(pdo_, 0)) << "not an adapter";
}

TEST_F(ScsiPortTest, AbortAndBusResetSrbsReachStartIoWhileTheirUnitIsBusy) {
    struct Case {
        UCHAR function;
        Lines log;
        UCHAR held_status;
    };
    const Case cases[] = {
        {SRB_FUNCTION_ABORT_COMMAND, {"startio 28 0/0/0", "startio abort 0/0/0"}, SRB_STATUS_ABORTED},
        {SRB_FUNCTION_RESET_BUS, {"startio 28 0/0/0", "startio reset-bus 0/0/0"}, SRB_STATUS_BUS_RESET},
    };
    fake_.start_io = [](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
        switch (srb->Function) {
        case SRB_FUNCTION_ABORT_COMMAND:
            // NextSrb names the SRB to abort, as this miniport was given it.
            std::erase(g_fake->held, srb->NextSrb);
            srb->NextSrb->SrbStatus = SRB_STATUS_ABORTED;
            ScsiPortNotification(RequestComplete, extension, srb->NextSrb);
            CompleteNow(extension, srb);
            break;
        case SRB_FUNCTION_RESET_BUS:
            CompleteHeld(extension, SRB_STATUS_BUS_RESET);
            CompleteNow(extension, srb);
            break;
        default: Hold(extension, srb); break;
        }
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.function));
        Take();
        std::unique_ptr<Operation> held = scsiport::Start(Adapter(), Command({0x28}));
        scsiport::Request request;
        request.function = c.function;
        request.aborts = c.function == SRB_FUNCTION_ABORT_COMMAND ? held.get() : nullptr;
        Result result = scsiport::Execute(Adapter(), request);
        EXPECT_EQ(result.srb_status, SRB_STATUS_SUCCESS);
        EXPECT_EQ(held->Wait().srb_status, c.held_status);
        EXPECT_EQ(Take(), c.log);
    }
}

TEST_F(ScsiPortTest, TheErrorLogKeepsEachEntryUntilCleared) {
    fake_.start_io = [](PVOID extension, PSCSI_REQUEST_BLOCK srb) {
        ScsiPortLogError(extension, srb, srb->PathId, srb->TargetId, srb->Lun, SP_BUS_TIME_OUT, 0x28A);
        ScsiPortNotification(RequestTimerCall, extension, FakeTimer, 3000UL);
        CompleteNow(extension, srb);
    };
    fake_.timer = [](PVOID extension) { ScsiPortLogError(extension, nullptr, 0, 1, 2, SP_REQUEST_TIMEOUT, 7); };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    sched::Time start = sched::Now();
    scsiport::Execute(Adapter(), Command({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0, 0));
    sched::Sleep(5 * sched::kMillisecond);
    std::vector<scsiport::ErrorLogEntry> log = scsiport::ErrorLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].adapter, "\\Device\\ScsiPort0");
    EXPECT_EQ(log[0].opcode, 0x28);
    EXPECT_EQ(log[0].error_code, static_cast<ULONG>(SP_BUS_TIME_OUT));
    EXPECT_EQ(log[0].unique_id, 0x28Au);
    EXPECT_EQ(log[0].time, start);
    EXPECT_EQ(log[1].opcode, -1);
    EXPECT_EQ(log[1].path, 0);
    EXPECT_EQ(log[1].target, 1);
    EXPECT_EQ(log[1].lun, 2);
    EXPECT_EQ(log[1].error_code, static_cast<ULONG>(SP_REQUEST_TIMEOUT));
    EXPECT_EQ(log[1].unique_id, 7u);
    EXPECT_EQ(log[1].time, start + 3 * sched::kMillisecond);
    scsiport::ClearErrorLog();
    EXPECT_TRUE(scsiport::ErrorLog().empty());
}

// ---- what the miniport is handed, per flavor -------------------------------------------------------

TEST_F(ScsiPortTest, TheMiniportGetsTheClassSrbOnNtAndACopyOfItOn9x) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    fake_.start_io = Hold;
    std::unique_ptr<Operation> operation = scsiport::Start(Adapter(), Command({0x2A, 0, 0, 0, 0, 9}));
    ASSERT_EQ(fake_.held.size(), 1u);
    PSCSI_REQUEST_BLOCK given = fake_.held.front();
    const SCSI_REQUEST_BLOCK& sent = operation->Srb();
    EXPECT_EQ(given == &sent, !kNinex);
    EXPECT_EQ(given->OriginalRequest, sent.OriginalRequest);
    EXPECT_EQ(std::memcmp(given->Cdb, sent.Cdb, sizeof sent.Cdb), 0);
    EXPECT_EQ(given->SenseInfoBuffer, sent.SenseInfoBuffer);
    // The outcome reaches the class driver's SRB either way.
    scsiport::ResetBus(Adapter(), 0);
    EXPECT_EQ(operation->Wait().srb_status, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(sent.SrbStatus, SRB_STATUS_BUS_RESET);
}

#if defined(TV_FLAVOR_9X)
// A 32-bit value at a linear address and offset, as the miniport reads the packet.
ULONG At(ULONG address, ULONG offset) {
    ULONG value;
    std::memcpy(&value, reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(address)) + offset, sizeof value);
    return value;
}

// The packet's bytes, read while the miniport holds the SRB.
TEST_F(ScsiPortTest, The9xIoPacketNamesTheBlockSizeAndTheSegmentsAtTheirOffsets) {
    struct Case {
        const char* what;
        ULONG block_size;
        std::vector<ULONG> blocks;
    };
    const Case cases[] = {
        {"no segments", 2048, {}},
        {"three segments", 512, {2, 3, 1}},
    };
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    fake_.start_io = Hold;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::vector<UCHAR>> buffers;
        scsiport::Request request = Command({0x28});
        request.block_size = c.block_size;
        for (ULONG blocks : c.blocks) {
            buffers.emplace_back(blocks * c.block_size);
            request.segments.push_back({blocks, buffers.back().data()});
        }
        std::unique_ptr<Operation> operation = scsiport::Start(Adapter(), request);
        ASSERT_EQ(fake_.held.size(), 1u);
        PSCSI_REQUEST_BLOCK srb = fake_.held.front();
        ULONG packet = PORT_IO_PACKET_ADDRESS(srb);
        ULONG device = At(packet, 4);
        EXPECT_EQ(At(device, 219), c.block_size);
        ULONG flags = At(packet, 108);
        ULONG list = At(packet, 128);
        UCHAR count = *reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(packet) + 176);
        EXPECT_EQ(count, c.blocks.size());
        EXPECT_EQ((flags & 0x2) != 0, !c.blocks.empty());
        if (c.blocks.empty()) { EXPECT_EQ(list, 0u); }
        for (std::size_t i = 0; list && i <= c.blocks.size(); ++i) {
            ULONG blocks = At(list, ULONG(8 * i));
            ULONG buffer = At(list, ULONG(8 * i + 4));
            if (i == c.blocks.size()) {
                EXPECT_TRUE(blocks == 0 || buffer == 0) << "the list ends";
            } else {
                EXPECT_EQ(blocks, c.blocks[i]);
                EXPECT_EQ(buffer, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(buffers[i].data())));
            }
        }
        scsiport::ResetBus(Adapter(), 0);
        EXPECT_EQ(operation->Wait().srb_status, SRB_STATUS_BUS_RESET);
    }
}
#endif

}  // namespace
}  // namespace spt
