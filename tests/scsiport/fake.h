// A fake miniport for the port's tests, and a fixture that plugs its adapter in through Plug and Play.
//
// The miniport writes what the port calls into one log ("find irql 0", "initialize", "startio 28 0/0/0",
// "timer", "reset 0", "control stop"); the test bus PDO below it adds the PnP and power requests it
// sees ("pdo start", "pdo power set S3"). A routine of the synchronised context that runs below
// DISPATCH_LEVEL, or while another one runs, adds a line saying so. What HwStartIo, the timer routine,
// HwInitialize, HwResetBus and HwAdapterControl do beyond logging is the test's to choose.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kernel/fixture.h"
#include "kernel/pnp.h"
#include "kernel/power.h"
#include "scsiport/scsiport.h"

namespace spt {

using Lines = std::vector<std::string>;
using kt::Complete;

#if defined(TV_FLAVOR_9X)
inline constexpr bool kNinex = true;
inline constexpr ULONG kFlavorInitSize = HW_INITIALIZATION_DATA_SIZE_9X;
#else
inline constexpr bool kNinex = false;
inline constexpr ULONG kFlavorInitSize = sizeof(HW_INITIALIZATION_DATA);
#endif

inline PVOID const kContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(0x5C5C0));
inline constexpr char kHardwareId[] = "TEST\\SCSIADAPTER";

struct Options {
    ULONG init_size = kFlavorInitSize;
    bool omit_start_io = false;
    std::vector<SCSI_ADAPTER_CONTROL_TYPE> supported{ScsiQuerySupportedControlTypes, ScsiStopAdapter, ScsiRestartAdapter};
    ULONG find_result = SP_RETURN_FOUND;
    BOOLEAN initialized = TRUE;
    ULONG extension_size = 64;
    ULONG lu_size = 24;
    ULONG srb_extension_size = 16;
    ULONG access_ranges = 2;
};

// What HwFindAdapter was given.
struct Found {
    PVOID context;
    PVOID bus;
    PCHAR argument;
    KIRQL irql;
    bool zeroed;  // the miniport's extension
    PORT_CONFIGURATION_INFORMATION config;
    std::vector<ACCESS_RANGE> ranges;
};

struct Fake {
    Options options;
    Lines log;
    std::vector<sched::Time> timer_times;
    PVOID extension = nullptr;
    Found found{};
    std::vector<PSCSI_REQUEST_BLOCK> held;  // SRBs the miniport keeps
    int inside = 0;                         // routines of the synchronised context running now
    std::function<void(PVOID, PSCSI_REQUEST_BLOCK)> start_io;
    std::function<void(PVOID)> timer;
    std::function<void(PVOID)> initialize;
    std::function<BOOLEAN(PVOID, ULONG)> reset_bus;
    std::function<void(PVOID, SCSI_ADAPTER_CONTROL_TYPE)> control;
};
inline Fake* g_fake = nullptr;

inline void Note(const std::string& line) { g_fake->log.push_back(line); }

inline std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X", value);
    return text;
}

inline std::string Address(const SCSI_REQUEST_BLOCK* srb) {
    return std::to_string(srb->PathId) + "/" + std::to_string(srb->TargetId) + "/" + std::to_string(srb->Lun);
}

// Counts a routine of the synchronised context while it runs.
class InContext {
public:
    explicit InContext(const char* who) {
        if (KeGetCurrentIrql() != DISPATCH_LEVEL) Note(std::string(who) + " at IRQL " + std::to_string(KeGetCurrentIrql()));
        if (g_fake->inside++) Note(std::string(who) + " overlaps another routine");
    }
    ~InContext() { --g_fake->inside; }
};

// ---- what the miniport does by default ----------------------------------------------------------

inline void CompleteNow(PVOID extension, PSCSI_REQUEST_BLOCK srb, UCHAR status = SRB_STATUS_SUCCESS) {
    srb->SrbStatus = status;
    ScsiPortNotification(RequestComplete, extension, srb);
    ScsiPortNotification(NextRequest, extension);
}

// Keeps the SRB and takes the next one.
inline void Hold(PVOID extension, PSCSI_REQUEST_BLOCK srb) {
    g_fake->held.push_back(srb);
    ScsiPortNotification(NextRequest, extension);
}

inline void CompleteHeld(PVOID extension, UCHAR status) {
    for (PSCSI_REQUEST_BLOCK srb : std::exchange(g_fake->held, {})) {
        srb->SrbStatus = status;
        ScsiPortNotification(RequestComplete, extension, srb);
    }
}

// ---- the miniport's routines --------------------------------------------------------------------

inline ULONG NTAPI FakeFindAdapter(PVOID extension, PVOID context, PVOID bus, PCHAR argument,
                                   PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN again) {
    Fake& f = *g_fake;
    Note("find irql " + std::to_string(KeGetCurrentIrql()));
    bool zeroed = true;
    for (ULONG i = 0; i < f.options.extension_size; ++i) zeroed = zeroed && static_cast<PUCHAR>(extension)[i] == 0;
    f.extension = extension;
    f.found = Found{context, bus, argument, KeGetCurrentIrql(), zeroed, *config, {}};
    for (ULONG i = 0; i < config->NumberOfAccessRanges; ++i) f.found.ranges.push_back((*config->AccessRanges)[i]);
    static_cast<PUCHAR>(extension)[0] = 0xA5;
    config->MaximumTransferLength = 0x10000;
    config->NumberOfPhysicalBreaks = 16;
    config->InitiatorBusId[0] = 7;
    config->ScatterGather = TRUE;
    if (config->NumberOfAccessRanges) (*config->AccessRanges)[0].RangeLength = 0x20;
    *again = FALSE;
    return f.options.find_result;
}

inline BOOLEAN NTAPI FakeInitialize(PVOID extension) {
    InContext context("initialize");
    Note("initialize");
    if (g_fake->initialize) g_fake->initialize(extension);
    return g_fake->options.initialized;
}

inline BOOLEAN NTAPI FakeStartIo(PVOID extension, PSCSI_REQUEST_BLOCK srb) {
    InContext context("startio");
    switch (srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI: Note("startio " + Hex(srb->Cdb[0]) + " " + Address(srb)); break;
    case SRB_FUNCTION_ABORT_COMMAND: Note("startio abort " + Address(srb)); break;
    case SRB_FUNCTION_RESET_BUS: Note("startio reset-bus " + Address(srb)); break;
    default: Note("startio function " + Hex(srb->Function)); break;
    }
    if (g_fake->start_io)
        g_fake->start_io(extension, srb);
    else
        CompleteNow(extension, srb);
    return TRUE;
}

inline VOID NTAPI FakeTimer(PVOID extension) {
    InContext context("timer");
    Note("timer");
    g_fake->timer_times.push_back(sched::Now());
    if (g_fake->timer) g_fake->timer(extension);
}

inline BOOLEAN NTAPI FakeResetBus(PVOID extension, ULONG path) {
    InContext context("reset");
    Note("reset " + std::to_string(path));
    if (g_fake->reset_bus) return g_fake->reset_bus(extension, path);
    ScsiPortCompleteRequest(extension, static_cast<UCHAR>(path), SP_UNTAGGED, SP_UNTAGGED, SRB_STATUS_BUS_RESET);
    g_fake->held.clear();
    ScsiPortNotification(NextRequest, extension);
    return TRUE;
}

inline SCSI_ADAPTER_CONTROL_STATUS NTAPI FakeAdapterControl(PVOID extension, SCSI_ADAPTER_CONTROL_TYPE type,
                                                           PVOID parameters) {
    InContext context("control");
    switch (type) {
    case ScsiQuerySupportedControlTypes: {
        Note("control query");
        auto* list = static_cast<PSCSI_SUPPORTED_CONTROL_TYPE_LIST>(parameters);
        PBOOLEAN supported = list->SupportedTypeList;
        if (list->MaxControlType != ScsiAdapterControlMax) Note("control query for " + std::to_string(list->MaxControlType));
        for (SCSI_ADAPTER_CONTROL_TYPE t : g_fake->options.supported)
            if (static_cast<ULONG>(t) < list->MaxControlType) supported[t] = TRUE;
        break;
    }
    case ScsiStopAdapter: Note("control stop"); break;
    case ScsiRestartAdapter: Note("control restart"); break;
    default: Note("control " + std::to_string(type)); break;
    }
    if (g_fake->control) g_fake->control(extension, type);
    return ScsiAdapterControlSuccess;
}

inline NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    const Options& o = g_fake->options;
    Note("entry");
    HW_INITIALIZATION_DATA data{};
    data.HwInitializationDataSize = o.init_size;
    data.AdapterInterfaceType = PNPBus;
    data.HwInitialize = FakeInitialize;
    data.HwStartIo = o.omit_start_io ? nullptr : FakeStartIo;
    data.HwFindAdapter = FakeFindAdapter;
    data.HwResetBus = FakeResetBus;
    data.HwAdapterControl = FakeAdapterControl;  // beyond the 76-byte layout's end
    data.DeviceExtensionSize = o.extension_size;
    data.SpecificLuExtensionSize = o.lu_size;
    data.SrbExtensionSize = o.srb_extension_size;
    data.NumberOfAccessRanges = o.access_ranges;
    data.AutoRequestSense = TRUE;
    return static_cast<NTSTATUS>(ScsiPortInitialize(driver, path, &data, kContext));
}

// ---- the fixture --------------------------------------------------------------------------------

// The name of a Plug and Play request the PDO logs and agrees to; NULL for the others.
inline const char* PnpName(UCHAR minor) {
    static const char* const kNames[] = {"start", "query-remove", "remove", "cancel-remove",
                                         "stop",  "query-stop",   "cancel-stop"};
    if (minor < std::size(kNames)) return kNames[minor];
    return minor == IRP_MN_SURPRISE_REMOVAL ? "surprise-removal" : nullptr;
}

class ScsiPortTest : public kt::KernelTest {
protected:
    void SetUp() override {
        g_fake = &fake_;
        KernelTest::SetUp();
        kernel::pnp::RegisterDriver("tscsi", FakeEntry, {kHardwareId});
        pdo_ = MakeDevice("pdo", [](PDEVICE_OBJECT, PIRP irp) { return BusPdo(irp); });
    }

    void TearDown() override {
        if (kernel::Running() && kernel::pnp::Find(pdo_)) {
            EXPECT_EQ(kernel::pnp::DeviceLeft(pdo_), STATUS_SUCCESS);
        }
        KernelTest::TearDown();
        g_fake = nullptr;
    }

    static NTSTATUS BusPdo(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            bool system = stack->Parameters.Power.Type == SystemPowerState;
            Note(std::string("pdo power ") + (stack->MinorFunction == IRP_MN_SET_POWER ? "set " : "query ") +
                 (system ? kernel::power::SystemStateName(stack->Parameters.Power.State.SystemState)
                         : kernel::power::DeviceStateName(stack->Parameters.Power.State.DeviceState)));
            PoStartNextPowerIrp(irp);
            return Complete(irp, STATUS_SUCCESS);
        }
        if (stack->MajorFunction != IRP_MJ_PNP) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        if (const char* name = PnpName(stack->MinorFunction)) {
            Note(std::string("pdo ") + name);
            return Complete(irp, STATUS_SUCCESS);
        }
        if (stack->MinorFunction == IRP_MN_QUERY_ID) {
            switch (stack->Parameters.QueryId.IdType) {
            case BusQueryDeviceID:
            case BusQueryHardwareIDs: return Complete(irp, STATUS_SUCCESS, kt::PoolStrings({kHardwareId}));
            case BusQueryInstanceID: return Complete(irp, STATUS_SUCCESS, kt::PoolStrings({"1"}));
            default: break;
            }
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    NTSTATUS Plug() {
        NTSTATUS status = kernel::pnp::ReportDevice(pdo_);
        kernel::pnp::WaitIdle();
        return status;
    }

    NTSTATUS Unplug() {
        NTSTATUS status = kernel::pnp::DeviceLeft(pdo_);
        kernel::pnp::WaitIdle();
        return status;
    }

    PDEVICE_OBJECT Adapter() { return pdo_->AttachedDevice; }

    Lines Take() { return std::exchange(fake_.log, {}); }

    static scsiport::Request Command(std::vector<UCHAR> cdb, UCHAR target = 0, UCHAR lun = 0) {
        scsiport::Request request;
        request.cdb = std::move(cdb);
        request.target = target;
        request.lun = lun;
        return request;
    }

    Fake fake_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace spt
