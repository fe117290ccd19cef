// The Plug and Play manager: enumeration, driver matching, bus changes, stop and removal.
//
// The test bus is the fixture's driver: each of its PDOs answers the manager's queries from a Child
// record that the test controls. The function driver is a plain driver that Plug and Play loads: its
// AddDevice attaches an FDO that passes requests down, starts after the devices below it, and detaches
// and deletes itself on removal. Both write each request they see into one log.
#include <deque>
#include <optional>
#include <set>
#include <utility>

#include "fixture.h"
#include "kernel/pnp.h"

namespace {

namespace pnp = kernel::pnp;
using kt::Complete;
using Lines = std::vector<std::string>;

constexpr ULONG kAnswerTag = 0x736E4154;  // "TAns" as the pool tools show it
const GUID kTestBusGuid = {0x3C9D2E61, 0x7B40, 0x4A15, {0x9F, 0x08, 0x52, 0xE6, 0x1D, 0xA3, 0x7C, 0x94}};

struct Harness {
    Lines log;
    std::set<std::string> refuse;  // "<device> <request>" that the function driver refuses
    bool leave_initializing = false;
};
Harness* g_harness = nullptr;

void Log(const std::string& line) { g_harness->log.push_back(line); }

std::string RequestText(const IO_STACK_LOCATION* stack) {
    static const char* const kIds[] = {"id device", "id hardware", "id compatible", "id instance", "id serial"};
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: return "start";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "query-remove";
    case IRP_MN_REMOVE_DEVICE: return "remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "cancel-remove";
    case IRP_MN_STOP_DEVICE: return "stop";
    case IRP_MN_QUERY_STOP_DEVICE: return "query-stop";
    case IRP_MN_CANCEL_STOP_DEVICE: return "cancel-stop";
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return "relations " + std::to_string(stack->Parameters.QueryDeviceRelations.Type);
    case IRP_MN_QUERY_CAPABILITIES: return "capabilities";
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: return "requirements";
    case IRP_MN_QUERY_DEVICE_TEXT:
        return stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription ? "text description"
                                                                                         : "text location";
    case IRP_MN_QUERY_ID: return kIds[stack->Parameters.QueryId.IdType];
    case IRP_MN_QUERY_BUS_INFORMATION: return "bus information";
    case IRP_MN_SURPRISE_REMOVAL: return "surprise-removal";
    default: return "minor " + std::to_string(stack->MinorFunction);
    }
}

// ---- the function driver ------------------------------------------------------------------------

struct FdoExtension {
    PDEVICE_OBJECT lower;
    char label[40];
};

NTSTATUS NTAPI LowerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::string label = ext->label;
    std::string request = RequestText(stack);
    Log(label + " " + request);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LowerDone, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        if (NT_SUCCESS(status)) Log(label + " started");
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (g_harness->refuse.count(label + " " + request)) return Complete(irp, STATUS_UNSUCCESSFUL);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: irp->IoStatus.Status = STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoDetachDevice(ext->lower);
        IoDeleteDevice(fdo);
        return status;
    }
    default: break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    std::snprintf(ext->label, sizeof ext->label, "%s.fdo", kt::Label(pdo));
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    Log(std::string(ext->label) + " add");
    if (!g_harness->leave_initializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI FunctionUnload(PDRIVER_OBJECT driver) { Log("unload " + kernel::ToUtf8(&driver->DriverName)); }

NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    Log("load " + kernel::ToUtf8(&driver->DriverName));
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->DriverUnload = FunctionUnload;
    return STATUS_SUCCESS;
}

// ---- the test bus -------------------------------------------------------------------------------

struct Child {
    std::string label{};
    std::string device_id{};
    std::string instance_id{};
    Lines hardware_ids{};
    Lines compatible_ids{};
    std::string description{};
    std::string location{};
    bool answers = true;              // capabilities, requirements and bus information
    bool bus = false;                 // answers BusRelations with `children`
    std::vector<Child*> children{};
    ULONG requirements_size = sizeof(IO_RESOURCE_REQUIREMENTS_LIST);
    std::set<UCHAR> later{};          // requests answered 5 ms later, from a work item
    bool rescan_on_start = false;     // asks for its bus to be enumerated again once started
    NTSTATUS start_status = STATUS_SUCCESS;
    PDEVICE_OBJECT pdo = nullptr;
    int odd_arrivals = 0;             // requests that came with a status or answer already in them
    DEVICE_CAPABILITIES offered{};    // the capabilities record as it came
};

ULONG_PTR PortRequirements(ULONG list_size) {
    auto* list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(
        ExAllocatePoolWithTag(PagedPool, sizeof(IO_RESOURCE_REQUIREMENTS_LIST), kAnswerTag));
    RtlZeroMemory(list, sizeof *list);
    list->ListSize = list_size;
    list->InterfaceType = PNPBus;
    list->AlternativeLists = 1;
    list->List[0].Version = 1;
    list->List[0].Revision = 1;
    list->List[0].Count = 1;
    IO_RESOURCE_DESCRIPTOR& port = list->List[0].Descriptors[0];
    port.Type = CmResourceTypePort;
    port.ShareDisposition = CmResourceShareDeviceExclusive;
    port.Flags = CM_RESOURCE_PORT_IO;
    port.u.Port.Length = 8;
    port.u.Port.Alignment = 1;
    port.u.Port.MinimumAddress.QuadPart = 0x300;
    port.u.Port.MaximumAddress.QuadPart = 0x3FF;
    return reinterpret_cast<ULONG_PTR>(list);
}

struct Later {
    PIO_WORKITEM item;
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
};

VOID NTAPI AnswerLater(PDEVICE_OBJECT, PVOID context) {
    auto* later = static_cast<Later*>(context);
    LARGE_INTEGER delay;
    delay.QuadPart = -5 * 10'000;  // 5 ms
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    Complete(later->irp, later->status, later->information);
    IoFreeWorkItem(later->item);
    delete later;
}

// ---- the fixture --------------------------------------------------------------------------------

class PnpTest : public kt::KernelTest {
protected:
    void SetUp() override {
        g_harness = &harness_;
        KernelTest::SetUp();
    }

    // Whatever the test left in the tree leaves now; the clean shutdown then shows that every stack
    // was taken apart and every PDO let go.
    void TearDown() override {
        if (kernel::Running()) {
            for (const pnp::NodeInfo& node : pnp::Snapshot()) {
                if (node.depth == 0) {
                    EXPECT_EQ(pnp::DeviceLeft(node.pdo), STATUS_SUCCESS);
                }
            }
            EXPECT_TRUE(pnp::Snapshot().empty());
        }
        KernelTest::TearDown();
        g_harness = nullptr;
    }

    Child& Make(Child child) {
        children_.push_back(std::move(child));
        Child& made = children_.back();
        made.pdo = MakeDevice(made.label.c_str(), BusPdo(&made));
        return made;
    }

    // A device whose compatible id is the function driver's.
    Child& Device(const std::string& label) {
        std::string id = "TEST\\DEV_" + label;
        return Make(Child{.label = label,
                          .device_id = id,
                          .instance_id = "1",
                          .hardware_ids = {id + "&REV_01", id},
                          .compatible_ids = {"TEST\\CLASS_FF"},
                          .description = "Test device " + label,
                          .location = "Port " + label});
    }

    void RegisterFunctionDriver() { pnp::RegisterDriver("tfunc", FunctionEntry, {"TEST\\CLASS_FF"}); }

    Lines Take() { return std::exchange(harness_.log, {}); }

    pnp::State StateOf(const Child& child) {
        std::optional<pnp::NodeInfo> node = pnp::Find(child.pdo);
        EXPECT_TRUE(node) << child.label << " is not in the tree";
        return node ? node->state : pnp::State::Failed;
    }

    kt::Dispatch BusPdo(Child* child) {
        return [child](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_PNP) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
            Log(child->label + " " + RequestText(stack));
            UCHAR minor = stack->MinorFunction;
            bool asks = minor == IRP_MN_QUERY_ID || minor == IRP_MN_QUERY_CAPABILITIES ||
                        minor == IRP_MN_QUERY_DEVICE_TEXT || minor == IRP_MN_QUERY_RESOURCE_REQUIREMENTS ||
                        minor == IRP_MN_QUERY_BUS_INFORMATION || minor == IRP_MN_QUERY_DEVICE_RELATIONS ||
                        minor == IRP_MN_START_DEVICE;
            if (asks && (irp->IoStatus.Status != STATUS_NOT_SUPPORTED || irp->IoStatus.Information != 0))
                ++child->odd_arrivals;
            std::optional<std::pair<NTSTATUS, ULONG_PTR>> answer;
            switch (minor) {
            case IRP_MN_QUERY_ID: {
                Lines ids;
                switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID: ids = {child->device_id}; break;
                case BusQueryHardwareIDs: ids = child->hardware_ids; break;
                case BusQueryCompatibleIDs: ids = child->compatible_ids; break;
                case BusQueryInstanceID: ids = {child->instance_id}; break;
                default: break;
                }
                std::erase(ids, std::string());
                if (!ids.empty()) answer = {STATUS_SUCCESS, kt::PoolStrings(ids, kAnswerTag)};
                break;
            }
            case IRP_MN_QUERY_CAPABILITIES: {
                PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
                child->offered = *capabilities;
                if (!child->answers) break;
                capabilities->Removable = 1;
                capabilities->SurpriseRemovalOK = 1;
                capabilities->Address = 3;
                capabilities->UINumber = 3;
                answer = {STATUS_SUCCESS, 0};
                break;
            }
            case IRP_MN_QUERY_DEVICE_TEXT: {
                bool description = stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription;
                const std::string& text = description ? child->description : child->location;
                if (!text.empty() && stack->Parameters.QueryDeviceText.LocaleId == 0x409)
                    answer = {STATUS_SUCCESS, kt::PoolStrings({text}, kAnswerTag)};
                break;
            }
            case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
                if (child->answers) answer = {STATUS_SUCCESS, PortRequirements(child->requirements_size)};
                break;
            case IRP_MN_QUERY_BUS_INFORMATION: {
                if (!child->answers) break;
                auto* information = static_cast<PPNP_BUS_INFORMATION>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kAnswerTag));
                information->BusTypeGuid = kTestBusGuid;
                information->LegacyBusType = PNPBus;
                information->BusNumber = 2;
                answer = {STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(information)};
                break;
            }
            case IRP_MN_QUERY_DEVICE_RELATIONS: {
                if (!child->bus || stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
                std::size_t count = child->children.size();
                auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
                    PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT), kAnswerTag));
                relations->Count = static_cast<ULONG>(count);
                for (std::size_t i = 0; i < count; ++i) {
                    relations->Objects[i] = child->children[i]->pdo;
                    ObReferenceObject(relations->Objects[i]);
                }
                answer = {STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations)};
                break;
            }
            case IRP_MN_START_DEVICE:
                if (stack->Parameters.StartDevice.AllocatedResources) ++child->odd_arrivals;
                if (child->rescan_on_start) IoInvalidateDeviceRelations(device, BusRelations);
                answer = {child->start_status, 0};
                break;
            case IRP_MN_QUERY_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
            case IRP_MN_STOP_DEVICE:
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
            case IRP_MN_REMOVE_DEVICE: answer = {STATUS_SUCCESS, 0}; break;
            default: break;
            }
            if (!answer) {
                // Not answered: the status stays what the sender put in.
                NTSTATUS status = irp->IoStatus.Status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return status;
            }
            if (!child->later.count(minor)) return Complete(irp, answer->first, answer->second);
            IoMarkIrpPending(irp);
            auto* later = new Later{IoAllocateWorkItem(device), irp, answer->first, answer->second};
            IoQueueWorkItem(later->item, AnswerLater, DelayedWorkQueue, later);
            return STATUS_PENDING;
        };
    }

    Harness harness_;
    std::deque<Child> children_;
};

// The requests of an enumeration, in the manager's order.
Lines Queries(const std::string& label) {
    Lines lines;
    for (const char* request : {"id device", "id hardware", "id compatible", "id instance", "capabilities",
                                "text description", "text location", "requirements", "bus information"})
        lines.push_back(label + " " + request);
    return lines;
}

// AddDevice, the start (the FDO's after the PDO's) and the question for the bus.
Lines Starts(const std::string& label) {
    std::string fdo = label + ".fdo";
    return {fdo + " add", fdo + " start", label + " start", fdo + " started", fdo + " relations 0",
            label + " relations 0"};
}

Lines Requests(const Lines& labels, const std::string& request) {
    Lines lines;
    for (const std::string& label : labels) {
        lines.push_back(label + ".fdo " + request);
        lines.push_back(label + " " + request);
    }
    return lines;
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines lines;
    for (const Lines& part : parts) lines.insert(lines.end(), part.begin(), part.end());
    return lines;
}

// ---- enumeration --------------------------------------------------------------------------------

TEST_F(PnpTest, ANewDeviceIsQueriedThenAddedThenStartedThenAskedForItsBus) {
    RegisterFunctionDriver();
    Child& a = Device("A");
    a.later = {IRP_MN_START_DEVICE};  // the manager and the FDO both wait for a start that ends later
    ASSERT_EQ(pnp::ReportDevice(a.pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Join({Queries("A"), {"load \\Driver\\tfunc"}, Starts("A")}));
    EXPECT_EQ(a.odd_arrivals, 0) << "every request comes with STATUS_NOT_SUPPORTED and nothing in Information";
    EXPECT_EQ(a.offered.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(a.offered.Version, 1);
    EXPECT_EQ(a.offered.Address, 0xFFFFFFFFu);
    EXPECT_EQ(a.offered.UINumber, 0xFFFFFFFFu);

    std::optional<pnp::NodeInfo> node = pnp::Find(a.pdo);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, pnp::State::Started);
    EXPECT_EQ(node->service, "tfunc");
    EXPECT_EQ(node->device_id, "TEST\\DEV_A");
    EXPECT_EQ(node->instance_id, "1");
    EXPECT_EQ(node->hardware_ids, (Lines{"TEST\\DEV_A&REV_01", "TEST\\DEV_A"}));
    EXPECT_EQ(node->compatible_ids, (Lines{"TEST\\CLASS_FF"}));
    EXPECT_EQ(node->description, "Test device A");
    EXPECT_EQ(node->location, "Port A");
    EXPECT_EQ(node->instance_path, "TEST\\DEV_A\\1");
    EXPECT_EQ(kernel::InstancePath(a.pdo), "TEST\\DEV_A\\1");
    ASSERT_TRUE(node->capabilities);
    EXPECT_EQ(node->capabilities->Address, 3u);
    EXPECT_EQ(node->capabilities->Removable, 1u);
    ASSERT_TRUE(node->bus_information);
    EXPECT_TRUE(IsEqualGUID(node->bus_information->BusTypeGuid, kTestBusGuid));
    EXPECT_EQ(node->bus_information->LegacyBusType, PNPBus);
    EXPECT_EQ(node->bus_information->BusNumber, 2u);
    ASSERT_EQ(node->requirements.size(), 1u);
    ASSERT_EQ(node->requirements[0].size(), 1u);
    const IO_RESOURCE_DESCRIPTOR& port = node->requirements[0][0];
    EXPECT_EQ(port.Type, CmResourceTypePort);
    EXPECT_EQ(port.ShareDisposition, CmResourceShareDeviceExclusive);
    EXPECT_EQ(port.Flags, CM_RESOURCE_PORT_IO);
    EXPECT_EQ(port.u.Port.Length, 8u);
    EXPECT_EQ(port.u.Port.MinimumAddress.QuadPart, 0x300);
    EXPECT_EQ(port.u.Port.MaximumAddress.QuadPart, 0x3FF);
    ASSERT_EQ(node->stack.size(), 2u);
    EXPECT_EQ(node->stack[0].device, a.pdo);
    EXPECT_EQ(node->stack[0].driver, "\\Driver\\ktest");
    EXPECT_EQ(node->stack[1].driver, "\\Driver\\tfunc");
    EXPECT_EQ(node->stack[1].flags & DO_DEVICE_INITIALIZING, 0u);

    for (const kernel::PoolBlock& block : kernel::PoolBlocks())
        EXPECT_NE(block.tag, kAnswerTag) << "an answer of the bus was not freed: " << block.site;
    EXPECT_EQ(kernel::LiveIrps(), 0u);
}

struct MatchCase {
    const char* name;
    Lines hardware_ids;
    Lines compatible_ids;
    Lines first;   // the ids of the driver registered first
    Lines second;  // and second
    std::string expected;
};

class PnpMatch : public PnpTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(PnpMatch, TheEarliestHardwareIdThenTheEarliestCompatibleIdPicksTheDriver) {
    const MatchCase& c = GetParam();
    pnp::RegisterDriver("first", FunctionEntry, c.first);
    pnp::RegisterDriver("second", FunctionEntry, c.second);
    Child& a = Make(Child{.label = "A",
                          .device_id = "TEST\\A",
                          .instance_id = "1",
                          .hardware_ids = c.hardware_ids,
                          .compatible_ids = c.compatible_ids});
    ASSERT_EQ(pnp::ReportDevice(a.pdo), STATUS_SUCCESS);
    std::optional<pnp::NodeInfo> node = pnp::Find(a.pdo);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->service, c.expected);
    Lines loads;
    for (const std::string& line : Take())
        if (line.starts_with("load ")) loads.push_back(line);
    if (c.expected.empty()) {
        EXPECT_EQ(node->state, pnp::State::NoDriver);
        EXPECT_EQ(node->stack.size(), 1u);
        EXPECT_TRUE(loads.empty());
        EXPECT_EQ(pnp::Start(a.pdo), STATUS_NO_SUCH_DEVICE);
    } else {
        EXPECT_EQ(node->state, pnp::State::Started);
        ASSERT_EQ(node->stack.size(), 2u);
        EXPECT_EQ(node->stack[1].driver, "\\Driver\\" + c.expected);
        EXPECT_EQ(loads, (Lines{"load \\Driver\\" + c.expected})) << "only the chosen driver loads";
    }
}

INSTANTIATE_TEST_SUITE_P(
    PnpIds, PnpMatch,
    ::testing::Values(
        MatchCase{"HardwareIdBeforeCompatibleId", {"TEST\\H1", "TEST\\H2"}, {"TEST\\C1"}, {"TEST\\C1"}, {"TEST\\H2"},
                  "second"},
        MatchCase{"EarlierHardwareIdFirst", {"TEST\\H1", "TEST\\H2"}, {}, {"TEST\\H2"}, {"TEST\\H1"}, "second"},
        MatchCase{"CompatibleIdWhenNoHardwareIdMatches", {"TEST\\H1"}, {"TEST\\C1", "TEST\\C2"}, {"TEST\\C2"},
                  {"TEST\\X"}, "first"},
        MatchCase{"IdsCompareWithoutCase", {"test\\h1"}, {}, {"TEST\\H1"}, {}, "first"},
        MatchCase{"NoMatchLeavesTheDeviceWithoutADriver", {"TEST\\H1"}, {"TEST\\C1"}, {"TEST\\H2"}, {"TEST\\C2"},
                  ""}),
    [](const ::testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.name); });

TEST_F(PnpTest, InstancePathsAreTheBussOwnOrTheDeviceIdWithTheInstanceIdOrAFreeNumber) {
    struct Case {
        Child child;
        std::string preset;  // the path the bus gave its PDO itself
        std::string expected;
    };
    std::vector<Case> cases = {
        {Child{.label = "U", .device_id = "USB\\VID_E7A4&PID_0004", .instance_id = "5&1"},
         "USB\\VID_E7A4&PID_0004\\5&1e4a2c3&0&1", "USB\\VID_E7A4&PID_0004\\5&1e4a2c3&0&1"},
        {Child{.label = "P", .device_id = "TEST\\PLAIN", .instance_id = "7"}, "", "TEST\\PLAIN\\7"},
        {Child{.label = "T1", .device_id = "TEST\\TWIN"}, "", "TEST\\TWIN\\0"},
        {Child{.label = "T2", .device_id = "TEST\\TWIN"}, "", "TEST\\TWIN\\1"},
    };
    for (Case& c : cases) {
        Child& child = Make(c.child);
        if (!c.preset.empty()) kernel::SetInstancePath(child.pdo, c.preset);
        ASSERT_EQ(pnp::ReportDevice(child.pdo), STATUS_SUCCESS);
        EXPECT_EQ(kernel::InstancePath(child.pdo), c.expected) << child.label;
        EXPECT_EQ(pnp::Find(child.pdo)->instance_path, c.expected) << child.label;
        EXPECT_EQ(StateOf(child), pnp::State::NoDriver) << child.label;
    }
}

TEST_F(PnpTest, ADeviceThatAnswersNothingStaysInTheTreeAsFailedAndStillHearsRemove) {
    RegisterFunctionDriver();
    Child& mute = Make(Child{.label = "M", .answers = false});
    ASSERT_EQ(pnp::ReportDevice(mute.pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Queries("M")) << "no driver is loaded for a device without ids";
    EXPECT_EQ(mute.odd_arrivals, 0);
    std::optional<pnp::NodeInfo> node = pnp::Find(mute.pdo);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, pnp::State::Failed);
    EXPECT_EQ(node->problem, "the bus gave no device id");
    EXPECT_TRUE(node->hardware_ids.empty());
    EXPECT_FALSE(node->capabilities);
    EXPECT_FALSE(node->bus_information);
    EXPECT_TRUE(node->requirements.empty());
    EXPECT_TRUE(node->description.empty());
    EXPECT_EQ(kernel::InstancePath(mute.pdo), "");

    Child& other = Device("O");
    EXPECT_EQ(pnp::ReportDevice(mute.pdo), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(pnp::ReportDevice(other.pdo, other.pdo), STATUS_INVALID_PARAMETER) << "a parent not in the tree";
    EXPECT_EQ(pnp::Start(mute.pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::QueryStop(mute.pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::QueryStop(other.pdo), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pnp::DeviceLeft(mute.pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"M remove"})) << "never started, so no surprise removal";
    EXPECT_FALSE(pnp::Find(mute.pdo));
}

TEST_F(PnpTest, RequirementsThatOverrunTheirListSizeAreReportedAndIgnored) {
    Child& a = Device("A");
    a.requirements_size = sizeof(IO_RESOURCE_REQUIREMENTS_LIST) - sizeof(IO_RESOURCE_DESCRIPTOR);
    ASSERT_EQ(pnp::ReportDevice(a.pdo), STATUS_SUCCESS);
    EXPECT_EQ(kernel::TakeFaults("announce 1 lists that do not fit in their 40 bytes"), 1);
    EXPECT_TRUE(pnp::Find(a.pdo)->requirements.empty());
}

// ---- bus changes --------------------------------------------------------------------------------

TEST_F(PnpTest, InvalidatedBusRelationsAddNewChildrenLaterAndTakeVanishedOnesAwayChildrenFirst) {
    RegisterFunctionDriver();
    Child& a = Device("A");
    Child& b = Device("B");
    Child& c = Device("C");
    a.bus = b.bus = true;
    b.children = {&c};
    ASSERT_EQ(pnp::ReportDevice(a.pdo), STATUS_SUCCESS);
    Take();
    // B queues more work while the worker enumerates A's bus, and answers it only later.
    b.rescan_on_start = true;
    b.later = {IRP_MN_QUERY_DEVICE_RELATIONS};

    a.children = {&b};
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);  // as from a DPC
    IoInvalidateDeviceRelations(a.pdo, BusRelations);
    KeLowerIrql(irql);
    IoInvalidateDeviceRelations(a.pdo, BusRelations);
    EXPECT_TRUE(harness_.log.empty()) << "the manager enumerates on its own thread, later";
    pnp::WaitIdle();
    EXPECT_EQ(kernel::LiveIrps(), 0u) << "at rest, no request of the manager's is still out";
    EXPECT_EQ(Take(), Join({{"A.fdo relations 0", "A relations 0"}, Queries("B"), Starts("B"), Queries("C"),
                            Starts("C"), {"B.fdo relations 0", "B relations 0"}}))
        << "two requests before the enumeration began make one; B's own request runs before the manager rests";
    std::vector<pnp::NodeInfo> tree = pnp::Snapshot();
    ASSERT_EQ(tree.size(), 3u);
    EXPECT_EQ(tree[0].pdo, a.pdo);
    EXPECT_EQ(tree[0].children, (std::vector<PDEVICE_OBJECT>{b.pdo}));
    EXPECT_EQ(tree[1].pdo, b.pdo);
    EXPECT_EQ(tree[1].parent, a.pdo);
    EXPECT_EQ(tree[1].depth, 1);
    EXPECT_EQ(tree[2].pdo, c.pdo);
    EXPECT_EQ(tree[2].parent, b.pdo);
    EXPECT_EQ(tree[2].depth, 2);

    a.children = {};
    IoInvalidateDeviceRelations(a.pdo, BusRelations);
    pnp::WaitIdle();
    EXPECT_EQ(Take(), Join({{"A.fdo relations 0", "A relations 0"}, Requests({"C", "B"}, "surprise-removal"),
                            Requests({"C", "B"}, "remove")}));
    tree = pnp::Snapshot();
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_TRUE(tree[0].children.empty());
    EXPECT_EQ(tree[0].state, pnp::State::Started);

    IoInvalidateDeviceRelations(tree[0].stack[1].device, BusRelations);
    EXPECT_EQ(kernel::TakeFaults("which is not a physical device object"), 1) << "an FDO is no bus device";
}

TEST_F(PnpTest, OperationsFromTwoThreadsRunOneAfterTheOther) {
    RegisterFunctionDriver();
    Child& x = Device("X");
    Child& y = Device("Y");
    x.later = {IRP_MN_START_DEVICE};  // X's enumeration waits half way; Y's must wait for all of it
    sched::Thread* first = sched::Start("reports X", [&] { EXPECT_EQ(pnp::ReportDevice(x.pdo), STATUS_SUCCESS); });
    sched::Thread* second = sched::Start("reports Y", [&] { EXPECT_EQ(pnp::ReportDevice(y.pdo), STATUS_SUCCESS); });
    sched::Join(first);
    sched::Join(second);
    EXPECT_EQ(Take(), Join({Queries("X"), {"load \\Driver\\tfunc"}, Starts("X"), Queries("Y"), Starts("Y")}));
}

// ---- stop and removal ---------------------------------------------------------------------------

TEST_F(PnpTest, ARefusedQueryStopLeavesTheDeviceStartedAndAnAgreedStopCanBeCancelledOrCarriedOut) {
    RegisterFunctionDriver();
    Child& a = Device("A");
    ASSERT_EQ(pnp::ReportDevice(a.pdo), STATUS_SUCCESS);
    Take();

    harness_.refuse = {"A.fdo query-stop"};
    EXPECT_EQ(pnp::QueryStop(a.pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Take(), (Lines{"A.fdo query-stop", "A.fdo cancel-stop", "A cancel-stop"}));
    EXPECT_EQ(StateOf(a), pnp::State::Started);
    EXPECT_EQ(pnp::Stop(a.pdo), STATUS_UNSUCCESSFUL) << "a stop asks first";
    EXPECT_EQ(StateOf(a), pnp::State::Started);
    Take();

    harness_.refuse.clear();
    EXPECT_EQ(pnp::QueryStop(a.pdo), STATUS_SUCCESS);
    EXPECT_EQ(StateOf(a), pnp::State::StopPending);
    EXPECT_EQ(pnp::CancelStop(a.pdo), STATUS_SUCCESS);
    EXPECT_EQ(StateOf(a), pnp::State::Started);
    EXPECT_EQ(Take(), Join({Requests({"A"}, "query-stop"), Requests({"A"}, "cancel-stop")}));

    EXPECT_EQ(pnp::Stop(a.pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Join({Requests({"A"}, "query-stop"), Requests({"A"}, "stop")}));
    EXPECT_EQ(StateOf(a), pnp::State::Stopped);
    EXPECT_EQ(pnp::CancelStop(a.pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::Start(a.pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"A.fdo start", "A start", "A.fdo started", "A.fdo relations 0", "A relations 0"}));
    EXPECT_EQ(StateOf(a), pnp::State::Started);
}

class PnpRemoval : public PnpTest {
protected:
    // A bus A with a bus B on it, and C on B, all started.
    void SetUp() override {
        PnpTest::SetUp();
        RegisterFunctionDriver();
        a_ = &Device("A");
        b_ = &Device("B");
        c_ = &Device("C");
        a_->bus = b_->bus = true;
        a_->children = {b_};
        b_->children = {c_};
        ASSERT_EQ(pnp::ReportDevice(a_->pdo), STATUS_SUCCESS);
        ASSERT_EQ(pnp::Snapshot().size(), 3u);
        Take();
    }

    Child* a_ = nullptr;
    Child* b_ = nullptr;
    Child* c_ = nullptr;
};

TEST_F(PnpRemoval, QueryRemoveAsksChildrenFirstAndARefusalIsCancelledForEachOneAsked) {
    harness_.refuse = {"B.fdo query-remove"};
    EXPECT_EQ(pnp::QueryRemove(a_->pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Take(), Join({Requests({"C"}, "query-remove"), {"B.fdo query-remove"},
                            Requests({"B", "C"}, "cancel-remove")}));
    for (Child* child : {a_, b_, c_}) EXPECT_EQ(StateOf(*child), pnp::State::Started) << child->label;

    harness_.refuse.clear();
    EXPECT_EQ(pnp::QueryRemove(a_->pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Requests({"C", "B", "A"}, "query-remove"));
    for (Child* child : {a_, b_, c_}) EXPECT_EQ(StateOf(*child), pnp::State::RemovePending) << child->label;
    EXPECT_EQ(pnp::QueryStop(a_->pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::CancelRemove(a_->pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Requests({"A", "B", "C"}, "cancel-remove"));
    for (Child* child : {a_, b_, c_}) EXPECT_EQ(StateOf(*child), pnp::State::Started) << child->label;
}

TEST_F(PnpRemoval, RemoveTakesTheSubtreeApartChildrenFirstAndKeepsTheRemovedNode) {
    EXPECT_EQ(pnp::Remove(a_->pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Join({Requests({"C", "B", "A"}, "query-remove"), Requests({"C", "B", "A"}, "remove"),
                            {"unload \\Driver\\tfunc"}}))
        << "the driver goes with its last device";
    std::vector<pnp::NodeInfo> tree = pnp::Snapshot();
    ASSERT_EQ(tree.size(), 1u) << "B and C left the tree with their parent's stack";
    EXPECT_EQ(tree[0].state, pnp::State::Removed);
    EXPECT_EQ(tree[0].stack.size(), 1u);
    EXPECT_EQ(pnp::Remove(a_->pdo), STATUS_INVALID_DEVICE_STATE);

    EXPECT_EQ(pnp::DeviceLeft(a_->pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Lines{"A remove"})) << "once more, so that its bus knows the PDO is free";
    EXPECT_FALSE(pnp::Find(a_->pdo));
}

TEST_F(PnpRemoval, ARemovedDeviceStartsAgainAsNewAndSurpriseRemovalReachesEveryStackBeforeAnyRemove) {
    ASSERT_EQ(pnp::Remove(a_->pdo), STATUS_SUCCESS);
    Take();
    EXPECT_EQ(pnp::Start(a_->pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Join({{"load \\Driver\\tfunc"}, Starts("A"), Queries("B"), Starts("B"), Queries("C"),
                            Starts("C")}))
        << "the ids are known; AddDevice and the start run again";
    EXPECT_EQ(pnp::Snapshot().size(), 3u);

    EXPECT_EQ(pnp::SurpriseRemove(a_->pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Join({Requests({"C", "B", "A"}, "surprise-removal"), Requests({"C", "B", "A"}, "remove"),
                            {"unload \\Driver\\tfunc"}}));
    EXPECT_EQ(StateOf(*a_), pnp::State::SurpriseRemoved);
    EXPECT_EQ(pnp::Snapshot().size(), 1u);
}

TEST_F(PnpTest, AStackThatFailsToStartIsRemovedAndTheNodeKeepsItsPlace) {
    RegisterFunctionDriver();
    Child& a = Device("A");
    a.start_status = STATUS_DEVICE_NOT_CONNECTED;
    harness_.leave_initializing = true;
    ASSERT_EQ(pnp::ReportDevice(a.pdo), STATUS_SUCCESS);
    EXPECT_EQ(kernel::TakeFaults("AddDevice of tfunc left DO_DEVICE_INITIALIZING set"), 1);
    EXPECT_EQ(Take(), Join({Queries("A"), {"load \\Driver\\tfunc", "A.fdo add", "A.fdo start", "A start"},
                            Requests({"A"}, "remove"), {"unload \\Driver\\tfunc"}}));
    std::optional<pnp::NodeInfo> node = pnp::Find(a.pdo);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, pnp::State::Failed);
    EXPECT_EQ(node->problem, "start failed (0xC000009D)");
    EXPECT_EQ(node->stack.size(), 1u);

    a.start_status = STATUS_SUCCESS;
    harness_.leave_initializing = false;
    EXPECT_EQ(pnp::Start(a.pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Join({{"load \\Driver\\tfunc"}, Starts("A")}));
    EXPECT_EQ(StateOf(a), pnp::State::Started);
}

}  // namespace
