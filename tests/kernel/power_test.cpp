// The power manager: requests that drivers make with PoRequestPowerIrp, one set or query request per
// device and kind at a time, the verifier's PoStartNextPowerIrp rule, system transitions down the Plug
// and Play tree, the states devices record, and the system's wait-wake requests.
//
// Every device of these tests writes each power request it sees into one log, with where it ran when
// that was not the sender's thread at PASSIVE_LEVEL.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "fixture.h"
#include "kernel/pnp.h"
#include "kernel/power.h"

namespace {

namespace pnp = kernel::pnp;
namespace power = kernel::power;
using kt::Complete;
using Lines = std::vector<std::string>;

constexpr ULONG kIrpTag = 0x20707249;     // "Irp " as the pool tools show it
constexpr ULONG kAnswerTag = 0x776F5054;  // "TPow"

Lines* g_log = nullptr;
sched::Thread* g_main = nullptr;
std::string g_refuse;  // the device whose driver refuses a system query
PIRP g_wait_wake = nullptr;  // the wait-wake request the bus holds

const char* ActionName(POWER_ACTION action) {
    switch (action) {
    case PowerActionNone: return "";
    case PowerActionSleep: return " sleep";
    case PowerActionHibernate: return " hibernate";
    case PowerActionShutdownOff: return " off";
    default: return " other action";
    }
}

// "set D3", "query S3 sleep", "set S0", "wait-wake S4".
std::string PowerText(const IO_STACK_LOCATION* stack) {
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return std::string("wait-wake ") + power::SystemStateName(stack->Parameters.WaitWake.PowerState);
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER: {
        std::string text = stack->MinorFunction == IRP_MN_SET_POWER ? "set " : "query ";
        if (stack->Parameters.Power.Type == DevicePowerState)
            return text + power::DeviceStateName(stack->Parameters.Power.State.DeviceState);
        return text + power::SystemStateName(stack->Parameters.Power.State.SystemState) +
               ActionName(stack->Parameters.Power.ShutdownType);
    }
    default: return "minor " + std::to_string(stack->MinorFunction);
    }
}

void Note(const std::string& who, PIRP irp) {
    std::string line = who + " " + PowerText(IoGetCurrentIrpStackLocation(irp));
    if (sched::Current() != g_main) line += " (thread)";
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) line += " (IRQL " + std::to_string(KeGetCurrentIrql()) + ")";
    g_log->push_back(line);
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}

// A bottom driver that answers every power request with `status`, as the rule says.
kt::Dispatch Answer(NTSTATUS status) {
    return [status](PDEVICE_OBJECT device, PIRP irp) {
        Note(kt::Label(device), irp);
        PoStartNextPowerIrp(irp);
        return Complete(irp, status);
    };
}

// A filter that passes every power request on, as the rule says.
kt::Dispatch PassOn(PDEVICE_OBJECT lower) {
    return [lower](PDEVICE_OBJECT device, PIRP irp) {
        Note(kt::Label(device), irp);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    };
}

// What the completion function of PoRequestPowerIrp was told.
struct Outcome {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    IO_STATUS_BLOCK io{};
};

VOID NTAPI Requested(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK io) {
    auto* outcome = static_cast<Outcome*>(context);
    ++outcome->calls;
    outcome->device = device;
    outcome->minor = minor;
    outcome->state = state;
    outcome->io = *io;
}

// A power request of the test's own, sent with PoCallDriver; its completion routine keeps the outcome
// and frees the IRP.
struct Sent {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    bool pending_returned = false;
};

NTSTATUS NTAPI SentDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* sent = static_cast<Sent*>(context);
    sent->done = true;
    sent->status = irp->IoStatus.Status;
    sent->pending_returned = irp->PendingReturned;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Send(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, int state, Sent* sent) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = type;
    if (type == SystemPowerState) {
        next->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        next->Parameters.Power.ShutdownType = PowerActionSleep;
    } else {
        next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    }
    IoSetCompletionRoutine(irp, SentDone, sent, TRUE, TRUE, TRUE);
    return PoCallDriver(device, irp);
}

class PowerTest : public kt::KernelTest {
protected:
    void SetUp() override {
        g_log = &log_;
        g_refuse.clear();
        g_wait_wake = nullptr;
        KernelTest::SetUp();
        g_main = sched::Current();
    }

    void TearDown() override {
        KernelTest::TearDown();
        g_log = nullptr;
    }

    Lines Take() { return std::exchange(log_, {}); }

    Lines log_;
};

// ---- PoRequestPowerIrp --------------------------------------------------------------------------

TEST_F(PowerTest, ARequestedIrpGoesToTheTopOfThePdosStackAndItsOutcomeComesBackOnceThenItIsFreed) {
    struct Case {
        UCHAR minor;
        DEVICE_POWER_STATE state;
        NTSTATUS answer;
        std::string text;
    };
    const Case cases[] = {
        {IRP_MN_SET_POWER, PowerDeviceD3, STATUS_SUCCESS, "set D3"},
        {IRP_MN_QUERY_POWER, PowerDeviceD2, STATUS_DEVICE_BUSY, "query D2"},
    };
    NTSTATUS answer = STATUS_SUCCESS;
    PIRP arrived = nullptr;
    PDEVICE_OBJECT pdo = MakeDevice("pdo", [&](PDEVICE_OBJECT device, PIRP irp) {
        Note(kt::Label(device), irp);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED) << "what a request nobody handles ends with";
        PoStartNextPowerIrp(irp);
        return Complete(irp, answer, 7);
    });
    PDEVICE_OBJECT filter = MakeDevice("filter", [&, pass = PassOn(pdo)](PDEVICE_OBJECT device, PIRP irp) {
        arrived = irp;
        return pass(device, irp);
    }, "", pdo);
    ASSERT_NE(filter, nullptr);

    for (const Case& c : cases) {
        answer = c.answer;
        Outcome outcome;
        PIRP irp = nullptr;
        EXPECT_EQ(PoRequestPowerIrp(pdo, c.minor, DeviceState(c.state), Requested, &outcome, &irp), STATUS_PENDING);
        EXPECT_EQ(Take(), (Lines{"filter " + c.text, "pdo " + c.text})) << "on the caller's thread, top first";
        EXPECT_EQ(irp, arrived);
        EXPECT_EQ(outcome.calls, 1) << c.text;
        EXPECT_EQ(outcome.device, pdo) << "the device it was asked for, not the top of its stack";
        EXPECT_EQ(outcome.minor, c.minor);
        EXPECT_EQ(outcome.state.DeviceState, c.state);
        EXPECT_EQ(outcome.io.Status, c.answer);
        EXPECT_EQ(outcome.io.Information, 7u);
        EXPECT_EQ(kernel::LiveIrps(), 0u) << "freed once the completion function returned";
    }
}

TEST_F(PowerTest, ARequestForAFilterWithABadMinorOrWithoutAnIrpIsRefusedAndNeverCompletes) {
    PDEVICE_OBJECT pdo = MakeDevice("pdo", Answer(STATUS_SUCCESS));
    PDEVICE_OBJECT filter = MakeDevice("filter", PassOn(pdo), "", pdo);
    Outcome outcome;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(filter, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), Requested, &outcome, &irp),
              STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(kernel::TakeFaults("which is not a physical device object"), 1);
    for (UCHAR minor : {UCHAR(IRP_MN_POWER_SEQUENCE), UCHAR(0x04)})
        EXPECT_EQ(PoRequestPowerIrp(pdo, minor, DeviceState(PowerDeviceD3), Requested, &outcome, &irp),
                  STATUS_INVALID_PARAMETER_2)
            << int(minor);
    kernel::FailPoolAllocations({kIrpTag, 0, 1});
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), Requested, &outcome, &irp),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kernel::PoolFailuresInjected(), 1u);
    EXPECT_EQ(outcome.calls, 0);
    EXPECT_EQ(irp, nullptr);
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(kernel::LiveIrps(), 0u);

    // Nothing was left half done: the same request goes through now.
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), Requested, &outcome, &irp),
              STATUS_PENDING);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.io.Status, STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"filter set D3", "pdo set D3"}));
}

// ---- one request at a time ----------------------------------------------------------------------

TEST_F(PowerTest, DeviceRequestsWaitForPoStartNextPowerIrpAndThenRunInOrderOnThreadsOfTheirOwn) {
    bool keep = true;
    PIRP kept = nullptr;
    PDEVICE_OBJECT device = MakeDevice("dev", [&](PDEVICE_OBJECT self, PIRP irp) {
        Note(kt::Label(self), irp);
        if (keep && IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type == DevicePowerState) {
            // Powers the hardware down later, as a driver does.
            keep = false;
            kept = irp;
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        }
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    });
    Sent first, second, third, system;
    EXPECT_EQ(Send(device, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2, &first), STATUS_PENDING);
    EXPECT_EQ(Send(device, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, &second), STATUS_PENDING);
    EXPECT_EQ(Send(device, IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD1, &third), STATUS_PENDING);
    EXPECT_EQ(Send(device, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, &system), STATUS_SUCCESS)
        << "system requests wait in a queue of their own";
    sched::Sleep(10 * sched::kMillisecond);
    EXPECT_EQ(Take(), (Lines{"dev set D2", "dev set S3 sleep"})) << "the waiting ones wait however long it takes";
    EXPECT_FALSE(second.done);
    EXPECT_FALSE(third.done);

    ASSERT_NE(kept, nullptr);
    PoStartNextPowerIrp(kept);
    sched::Sleep(sched::kMillisecond);
    EXPECT_EQ(Take(), (Lines{"dev set D3 (thread)", "dev query D1 (thread)"}))
        << "each once the one before it let the next go, though the first is still out";
    EXPECT_FALSE(first.done);
    for (Sent* sent : {&second, &third}) {
        EXPECT_TRUE(sent->done);
        EXPECT_EQ(sent->status, STATUS_SUCCESS);
        EXPECT_TRUE(sent->pending_returned) << "its sender was told STATUS_PENDING";
    }
    EXPECT_TRUE(system.done);
    EXPECT_FALSE(system.pending_returned);

    Complete(kept, STATUS_SUCCESS);
    EXPECT_TRUE(first.done);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_TRUE(first.pending_returned);
}

TEST_F(PowerTest, AtDispatchLevelOnlyAPagableDeviceGetsItsRequestLaterAtPassiveLevel) {
    PDEVICE_OBJECT plain = MakeDevice("plain", Answer(STATUS_SUCCESS));
    PDEVICE_OBJECT pagable = MakeDevice("pagable", Answer(STATUS_SUCCESS));
    pagable->Flags |= DO_POWER_PAGABLE;
    Sent to_plain, to_pagable;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(Send(plain, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, &to_plain), STATUS_SUCCESS);
    EXPECT_EQ(Send(pagable, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, &to_pagable), STATUS_PENDING);
    KeLowerIrql(irql);
    sched::Sleep(sched::kMillisecond);
    EXPECT_EQ(Take(), (Lines{"plain set D3 (IRQL 2)", "pagable set D3 (thread)"}));
    EXPECT_TRUE(to_pagable.done);
    EXPECT_TRUE(to_pagable.pending_returned);
}

// ---- the verifier -------------------------------------------------------------------------------

TEST_F(PowerTest, ADriverThatForgetsPoStartNextPowerIrpIsReportedAndTheNextRequestStillGoesThrough) {
    struct Case {
        bool pass_on;
        const char* fault;
        Lines seen;
    };
    const Case cases[] = {
        {false, "completed power IRP", {"filter set D3", "filter set D2"}},
        {true, "on without PoStartNextPowerIrp", {"filter set D3", "pdo set D3", "filter set D2", "pdo set D2"}},
    };
    for (const Case& c : cases) {
        PDEVICE_OBJECT pdo = MakeDevice("pdo", Answer(STATUS_SUCCESS));
        MakeDevice("filter", [pdo, pass_on = c.pass_on](PDEVICE_OBJECT device, PIRP irp) {
            Note(kt::Label(device), irp);
            if (!pass_on) return Complete(irp, STATUS_SUCCESS);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(pdo, irp);
        }, "", pdo);
        PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
        Sent one, two;
        EXPECT_EQ(Send(top, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, &one), STATUS_SUCCESS) << c.fault;
        EXPECT_EQ(Send(top, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD2, &two), STATUS_SUCCESS)
            << "the verifier let the next one go: " << c.fault;
        EXPECT_EQ(kernel::TakeFaults(c.fault), 2);
        EXPECT_EQ(kernel::TakeFaults("without PoStartNextPowerIrp"), 0) << "one fault for each request";
        EXPECT_EQ(Take(), c.seen);
        EXPECT_TRUE(one.done && two.done);
    }
}

// ---- recorded states ----------------------------------------------------------------------------

TEST_F(PowerTest, PoSetPowerStateKeepsEachKindForEachDeviceAndReturnsThePreviousState) {
    PDEVICE_OBJECT a = MakeDevice("a", Answer(STATUS_SUCCESS));
    PDEVICE_OBJECT b = MakeDevice("b", Answer(STATUS_SUCCESS));
    EXPECT_EQ(power::RecordedDeviceState(a), PowerDeviceUnspecified);
    EXPECT_EQ(power::RecordedSystemState(a), PowerSystemUnspecified);
    struct Step {
        PDEVICE_OBJECT device;
        POWER_STATE_TYPE type;
        int state;
        int previous;
    };
    const Step steps[] = {
        {a, DevicePowerState, PowerDeviceD0, PowerDeviceUnspecified},
        {a, DevicePowerState, PowerDeviceD3, PowerDeviceD0},
        {a, SystemPowerState, PowerSystemSleeping3, PowerSystemUnspecified},
        {b, DevicePowerState, PowerDeviceD2, PowerDeviceUnspecified},
        {a, SystemPowerState, PowerSystemWorking, PowerSystemSleeping3},
        {a, DevicePowerState, PowerDeviceD1, PowerDeviceD3},
    };
    int n = 0;
    for (const Step& step : steps) {
        POWER_STATE state;
        if (step.type == SystemPowerState)
            state.SystemState = static_cast<SYSTEM_POWER_STATE>(step.state);
        else
            state.DeviceState = static_cast<DEVICE_POWER_STATE>(step.state);
        POWER_STATE old = PoSetPowerState(step.device, step.type, state);
        int previous = step.type == SystemPowerState ? int(old.SystemState) : int(old.DeviceState);
        EXPECT_EQ(previous, step.previous) << "step " << n++;
    }
    EXPECT_EQ(power::RecordedDeviceState(a), PowerDeviceD1);
    EXPECT_EQ(power::RecordedSystemState(a), PowerSystemWorking);
    EXPECT_EQ(power::RecordedDeviceState(b), PowerDeviceD2);
    EXPECT_EQ(power::RecordedSystemState(b), PowerSystemUnspecified);
    EXPECT_TRUE(log_.empty()) << "recording sends nothing";
}

// ---- system states down the tree ----------------------------------------------------------------

struct Child {
    std::string id;  // device id and only hardware id
    std::vector<Child*> children{};
    PDEVICE_OBJECT pdo = nullptr;
};

// The function driver: an FDO on each PDO that passes power and Plug and Play requests down, and
// refuses a system query when told to.
struct FdoExtension {
    PDEVICE_OBJECT lower;
    char label[40];
};

NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    Note(ext->label, irp);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED) << "what a request nobody handles ends with";
    PoStartNextPowerIrp(irp);
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER && g_refuse == ext->label)
        return Complete(irp, STATUS_DEVICE_BUSY);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    PDEVICE_OBJECT lower = ext->lower;
    bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    std::snprintf(ext->label, sizeof ext->label, "%s.fdo", kt::Label(pdo));
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
    return STATUS_SUCCESS;
}

// A bus A with two children: B, which the function driver takes, and C, which no driver matches.
class PowerTreeTest : public PowerTest {
protected:
    void SetUp() override {
        PowerTest::SetUp();
        pnp::RegisterDriver("tpower", FunctionEntry, {"TEST\\POWER"});
        a_ = Make("A", "TEST\\POWER");
        b_ = Make("B", "TEST\\POWER");
        c_ = Make("C", "TEST\\NODRIVER");
        a_->children = {b_, c_};
        ASSERT_EQ(pnp::ReportDevice(a_->pdo), STATUS_SUCCESS);
        ASSERT_EQ(pnp::Find(a_->pdo)->state, pnp::State::Started);
        ASSERT_EQ(pnp::Find(b_->pdo)->state, pnp::State::Started);
        ASSERT_EQ(pnp::Find(c_->pdo)->state, pnp::State::NoDriver);
        ASSERT_TRUE(log_.empty());
    }

    void TearDown() override {
        if (kernel::Running()) {
            EXPECT_EQ(pnp::DeviceLeft(a_->pdo), STATUS_SUCCESS);
        }
        PowerTest::TearDown();
    }

    Child* Make(const char* label, const std::string& id) {
        children_.push_back(std::make_unique<Child>(Child{id}));
        Child* child = children_.back().get();
        child->pdo = MakeDevice(label, [child](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction == IRP_MJ_POWER) {
                Note(kt::Label(device), irp);
                PoStartNextPowerIrp(irp);
                return Complete(irp, STATUS_SUCCESS);
            }
            switch (stack->MinorFunction) {
            case IRP_MN_QUERY_ID:
                if (stack->Parameters.QueryId.IdType == BusQueryDeviceID ||
                    stack->Parameters.QueryId.IdType == BusQueryHardwareIDs)
                    return Complete(irp, STATUS_SUCCESS, kt::PoolStrings({child->id}, kAnswerTag));
                break;
            case IRP_MN_QUERY_DEVICE_RELATIONS: {
                if (child->children.empty() || stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
                std::size_t count = child->children.size();
                auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
                    PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT), kAnswerTag));
                relations->Count = static_cast<ULONG>(count);
                for (std::size_t i = 0; i < count; ++i) {
                    relations->Objects[i] = child->children[i]->pdo;
                    ObReferenceObject(relations->Objects[i]);
                }
                return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
            }
            case IRP_MN_START_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
            case IRP_MN_REMOVE_DEVICE: return Complete(irp, STATUS_SUCCESS);
            default: break;
            }
            NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        });
        return child;
    }

    std::vector<std::unique_ptr<Child>> children_;
    Child* a_ = nullptr;
    Child* b_ = nullptr;
    Child* c_ = nullptr;
};

// The request as the FDO, then the PDO, of each stack sees it.
Lines Each(const Lines& labels, const std::string& request) {
    Lines lines;
    for (const std::string& label : labels) {
        lines.push_back(label + ".fdo " + request);
        lines.push_back(label + " " + request);
    }
    return lines;
}

Lines Join(const Lines& first, const Lines& second) {
    Lines lines = first;
    lines.insert(lines.end(), second.begin(), second.end());
    return lines;
}

TEST_F(PowerTreeTest, SleepingQueriesEveryStackThenSetsThemChildrenFirstAndWakingSetsParentsFirst) {
    EXPECT_EQ(power::SetSystemState(PowerSystemUnspecified), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(power::SetSystemState(PowerSystemMaximum), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(Take().empty()) << "the machine is working already";

    struct Case {
        SYSTEM_POWER_STATE state;
        std::string text;
    };
    const Case cases[] = {
        {PowerSystemSleeping1, "S1 sleep"}, {PowerSystemSleeping2, "S2 sleep"}, {PowerSystemSleeping3, "S3 sleep"},
        {PowerSystemHibernate, "S4 hibernate"}, {PowerSystemShutdown, "S5 off"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(power::SetSystemState(c.state), STATUS_SUCCESS);
        EXPECT_EQ(Take(), Join(Each({"B", "A"}, "query " + c.text), Each({"B", "A"}, "set " + c.text)));
        EXPECT_EQ(power::SystemState(), c.state);
        EXPECT_EQ(power::SetSystemState(c.state), STATUS_SUCCESS);
        EXPECT_TRUE(Take().empty()) << "in " << c.text << " already";

        EXPECT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(Take(), Each({"A", "B"}, "set S0")) << "no query on the way back";
        EXPECT_EQ(power::SystemState(), PowerSystemWorking);
    }
}

TEST_F(PowerTreeTest, AQueryThatAStackRefusesIsTheAnswerAndTheOthersHearTheSystemStays) {
    g_refuse = "A.fdo";
    EXPECT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Take(), (Lines{"B.fdo query S3 sleep", "B query S3 sleep", "A.fdo query S3 sleep", "B.fdo set S0",
                             "B set S0"}));
    EXPECT_EQ(power::SystemState(), PowerSystemWorking);
    EXPECT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(Take().empty()) << "still working";
}

// ---- wait-wake for the system -------------------------------------------------------------------

// A bus holds a wait-wake request until its device signals, and lets it be cancelled meanwhile.
VOID NTAPI CancelWaitWake(PDEVICE_OBJECT, PIRP irp) {
    g_wait_wake = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PoStartNextPowerIrp(irp);
    Complete(irp, STATUS_CANCELLED);
}

TEST_F(PowerTest, AWakeIsArmedOnAThreadOfItsOwnOnceAtATimeAndEndsCancelledOrWokenUntilForgotten) {
    PDEVICE_OBJECT bus = MakeDevice("bus", [](PDEVICE_OBJECT device, PIRP irp) {
        Note(kt::Label(device), irp);
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_WAIT_WAKE) {
            PoStartNextPowerIrp(irp);
            return Complete(irp, STATUS_SUCCESS);
        }
        IoMarkIrpPending(irp);
        g_wait_wake = irp;
        IoSetCancelRoutine(irp, CancelWaitWake);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT filter = MakeDevice("filter", PassOn(bus), "", bus);
    auto wake_is = [&](bool requested, bool done, NTSTATUS status) {
        power::Wake wake = power::WakeOf(bus);
        return wake.requested == requested && wake.done == done && wake.status == status;
    };
    EXPECT_TRUE(wake_is(false, false, STATUS_PENDING));
    EXPECT_EQ(power::ArmWake(filter, PowerSystemSleeping3), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(kernel::TakeFaults("which is not a physical device object"), 1);
    EXPECT_FALSE(power::WakeOf(filter).requested);

    EXPECT_EQ(power::ArmWake(bus, PowerSystemSleeping3), STATUS_PENDING);
    EXPECT_TRUE(wake_is(true, false, STATUS_PENDING));
    EXPECT_EQ(power::ArmWake(bus, PowerSystemSleeping3), STATUS_DEVICE_BUSY);
    sched::Sleep(sched::kMillisecond);
    EXPECT_EQ(Take(), (Lines{"filter wait-wake S3 (thread)", "bus wait-wake S3 (thread)"}));
    ASSERT_NE(g_wait_wake, nullptr);
    power::ForgetWake(bus);
    EXPECT_TRUE(wake_is(true, false, STATUS_PENDING)) << "an outstanding request is not forgotten";

    power::CancelWake(bus);
    EXPECT_EQ(g_wait_wake, nullptr);
    EXPECT_TRUE(wake_is(true, true, STATUS_CANCELLED));
    EXPECT_EQ(kernel::LiveIrps(), 1u) << "kept with its record";
    power::ForgetWake(bus);
    EXPECT_TRUE(wake_is(false, false, STATUS_PENDING));
    EXPECT_EQ(kernel::LiveIrps(), 0u);

    // Armed again, and this time the device wakes the machine.
    EXPECT_EQ(power::ArmWake(bus, PowerSystemHibernate), STATUS_PENDING);
    sched::Sleep(sched::kMillisecond);
    EXPECT_EQ(Take(), (Lines{"filter wait-wake S4 (thread)", "bus wait-wake S4 (thread)"}));
    PIRP irp = std::exchange(g_wait_wake, nullptr);
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    PoStartNextPowerIrp(irp);
    Complete(irp, STATUS_SUCCESS);
    EXPECT_TRUE(wake_is(true, true, STATUS_SUCCESS));
    power::CancelWake(bus);
    EXPECT_TRUE(wake_is(true, true, STATUS_SUCCESS)) << "nothing left to cancel";
    power::ForgetWake(bus);
    EXPECT_FALSE(power::WakeOf(bus).requested);
    EXPECT_EQ(kernel::LiveIrps(), 0u);
}


// A cancel from another thread as soon as WakeOf shows the wake outstanding, under random
// interleavings. The bus checks Cancel after setting its cancel routine, so any cancel that reached
// the IRP ends it.
class WakeCancelRace : public PowerTest {
public:
    explicit WakeCancelRace(std::uint64_t seed) : seed_(seed) {}
    void TestBody() override {}
    sched::Options SchedOptions() override { return kt::RandomOrder(seed_); }

    // True when the wake ended cancelled.
    bool Run() {
        SetUp();
        PDEVICE_OBJECT bus = MakeDevice("bus", [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelWaitWake);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
                PoStartNextPowerIrp(irp);
                Complete(irp, STATUS_CANCELLED);
            }
            return STATUS_PENDING;
        });
        sched::Thread* canceller = sched::Start("canceller", [bus] {
            for (int i = 0; i < 1000 && !power::WakeOf(bus).requested; ++i) sched::Yield();
            power::CancelWake(bus);
        });
        EXPECT_EQ(power::ArmWake(bus, PowerSystemSleeping3), STATUS_PENDING);
        sched::Join(canceller);
        sched::Sleep(sched::kMillisecond);
        power::Wake wake = power::WakeOf(bus);
        if (!wake.done) power::CancelWake(bus);  // so that the run still ends clean
        power::ForgetWake(bus);
        TearDown();
        return wake.done && wake.status == STATUS_CANCELLED;
    }

private:
    std::uint64_t seed_;
};

// The IRP is in the wake's record before it is sent, so a CancelWake that comes while ArmWake is still
// on its way finds it.
TEST(PowerWakeCancelRace, ACancelWhileTheWakeIsBeingArmedIsNeverLost) {
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        WakeCancelRace race(seed);
        EXPECT_TRUE(race.Run()) << "seed " << seed;
    }
}

}  // namespace
