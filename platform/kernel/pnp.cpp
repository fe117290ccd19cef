// The Plug and Play manager: the device tree, enumeration of reported devices, driver matching and
// loading, and the start, stop and removal requests (see pnp.h for the rules it keeps).
#include "pnp.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>

#include "internal.h"
#include "power.h"

namespace kernel::pnp {
namespace {

struct Registration {
    std::string service;
    PDRIVER_INITIALIZE entry;
    std::vector<std::string> ids;
    PDRIVER_OBJECT driver = nullptr;  // while loaded
};

struct Node : Enumeration {
    PDEVICE_OBJECT pdo = nullptr;
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    Registration* driver = nullptr;
    State state = State::NoDriver;
    State before_query = State::NoDriver;  // where a cancelled query-stop or query-remove returns to
    bool removed = false;                  // the present stack has had IRP_MN_REMOVE_DEVICE
    bool remove_owed = false;              // surprise-removed; IRP_MN_REMOVE_DEVICE waits for its handles
    std::string problem;
};

// WaitIdle's place in the queue: the worker answers it once everything queued before it is done.
struct Marker {
    sched::Object done;
    bool idle;
};

struct QueueEntry {
    PDEVICE_OBJECT pdo;  // enumerate this node's bus again, or
    Marker* marker;      // answer a waiter; neither: a file was closed
};

struct Answer {
    NTSTATUS status;
    ULONG_PTR information;
};

constexpr LCID kEnglishUs = 0x409;

bool g_running = false;
std::vector<std::unique_ptr<Node>> g_roots;
std::vector<std::unique_ptr<Registration>> g_registrations;
sched::Object g_lock{};  // one operation at a time
std::atomic<sched::Thread*> g_owner{nullptr};
// The worker's queue is under the registry lock: IoInvalidateDeviceRelations may come at DISPATCH_LEVEL.
std::deque<QueueEntry> g_queue;
sched::Object g_ready{};  // counts queued entries
bool g_stopping = false;
sched::Thread* g_worker = nullptr;
// Surprise-removed stacks that still had open files: each gets IRP_MN_REMOVE_DEVICE once the last
// one is closed, as the platform does. The manager keeps its reference on the PDO until then.
std::vector<PDEVICE_OBJECT> g_owed;
std::atomic<std::size_t> g_owed_count{0};

std::string Fold(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string Narrow(PCWSTR text, std::size_t length) {
    UNICODE_STRING counted{};
    counted.Buffer = const_cast<PWSTR>(text);
    counted.Length = counted.MaximumLength = static_cast<USHORT>(length * sizeof(WCHAR));
    return ToUtf8(&counted);
}

std::string Label(const Node& node) {
    if (!node.instance_path.empty()) return node.instance_path;
    char text[32];
    std::snprintf(text, sizeof text, "PDO %p", static_cast<void*>(node.pdo));
    return text;
}

// ---- requests -----------------------------------------------------------------------------------

NTSTATUS NTAPI Finished(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

IO_STACK_LOCATION Request(UCHAR minor) {
    IO_STACK_LOCATION request{};
    request.MajorFunction = IRP_MJ_PNP;
    request.MinorFunction = minor;
    return request;
}

// Sends one request to the top of the PDO's stack in an IRP of the manager's and waits for it.
Answer Send(PDEVICE_OBJECT pdo, const IO_STACK_LOCATION& request) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        Fault("no IRP for Plug and Play request 0x%02X to PDO %p", request.MinorFunction, static_cast<void*>(pdo));
        ObDereferenceObject(top);
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = request.MajorFunction;
    stack->MinorFunction = request.MinorFunction;
    stack->Parameters = request.Parameters;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, Finished, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    // Waited for whatever the dispatch routine returned: the IRP is the manager's to free only once it
    // has come back up.
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    Answer answer{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return answer;
}

Answer Send(PDEVICE_OBJECT pdo, UCHAR minor) { return Send(pdo, Request(minor)); }

// The answer of IRP_MN_QUERY_ID: one string, or each string of a list of hardware or compatible ids.
std::vector<std::string> QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    IO_STACK_LOCATION request = Request(IRP_MN_QUERY_ID);
    request.Parameters.QueryId.IdType = type;
    Answer answer = Send(pdo, request);
    std::vector<std::string> ids;
    auto* text = reinterpret_cast<PWSTR>(answer.information);
    if (!NT_SUCCESS(answer.status) || !text) return ids;
    bool list = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    for (PCWSTR id = text; *id;) {
        std::size_t length = 0;
        while (id[length]) ++length;
        ids.push_back(Narrow(id, length));
        if (!list) break;
        id += length + 1;
    }
    ExFreePool(text);
    return ids;
}

std::string QueryOneId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    std::vector<std::string> ids = QueryId(pdo, type);
    return ids.empty() ? std::string() : ids.front();
}

std::optional<DEVICE_CAPABILITIES> QueryCapabilities(PDEVICE_OBJECT pdo) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    IO_STACK_LOCATION request = Request(IRP_MN_QUERY_CAPABILITIES);
    request.Parameters.DeviceCapabilities.Capabilities = &capabilities;
    if (!NT_SUCCESS(Send(pdo, request).status)) return std::nullopt;
    return capabilities;
}

std::string QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type) {
    IO_STACK_LOCATION request = Request(IRP_MN_QUERY_DEVICE_TEXT);
    request.Parameters.QueryDeviceText.DeviceTextType = type;
    request.Parameters.QueryDeviceText.LocaleId = kEnglishUs;
    Answer answer = Send(pdo, request);
    auto* text = reinterpret_cast<PWSTR>(answer.information);
    if (!NT_SUCCESS(answer.status) || !text) return std::string();
    std::size_t length = 0;
    while (text[length]) ++length;
    std::string result = Narrow(text, length);
    ExFreePool(text);
    return result;
}

// The alternative lists of IRP_MN_QUERY_RESOURCE_REQUIREMENTS; none when a list reaches past ListSize.
std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> QueryRequirements(PDEVICE_OBJECT pdo) {
    Answer answer = Send(pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> lists;
    auto* requirements = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(answer.information);
    if (!NT_SUCCESS(answer.status) || !requirements) return lists;
    const auto* bytes = reinterpret_cast<const UCHAR*>(requirements);
    std::size_t offset = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    constexpr std::size_t kHeader = offsetof(IO_RESOURCE_LIST, Descriptors);
    for (ULONG i = 0; i < requirements->AlternativeLists; ++i) {
        if (offset + kHeader > requirements->ListSize) break;
        const auto* list = reinterpret_cast<const IO_RESOURCE_LIST*>(bytes + offset);
        std::size_t size = kHeader + list->Count * sizeof(IO_RESOURCE_DESCRIPTOR);
        if (offset + size > requirements->ListSize) break;
        const IO_RESOURCE_DESCRIPTOR* first = list->Descriptors;
        lists.emplace_back(first, first + list->Count);
        offset += size;
    }
    if (lists.size() != requirements->AlternativeLists) {
        Fault("the resource requirements of PDO %p announce %lu lists that do not fit in their %lu bytes",
              static_cast<void*>(pdo), static_cast<unsigned long>(requirements->AlternativeLists),
              static_cast<unsigned long>(requirements->ListSize));
        lists.clear();
    }
    ExFreePool(requirements);
    return lists;
}

std::optional<PNP_BUS_INFORMATION> QueryBusInformation(PDEVICE_OBJECT pdo) {
    Answer answer = Send(pdo, IRP_MN_QUERY_BUS_INFORMATION);
    auto* information = reinterpret_cast<PPNP_BUS_INFORMATION>(answer.information);
    if (!NT_SUCCESS(answer.status) || !information) return std::nullopt;
    PNP_BUS_INFORMATION copy = *information;
    ExFreePool(information);
    return copy;
}

// The PDOs that a stack reports on its bus, each with a reference that the caller drops; nothing when
// the stack does not answer, and its children stay as they are.
std::optional<std::vector<PDEVICE_OBJECT>> QueryBusRelations(PDEVICE_OBJECT pdo) {
    IO_STACK_LOCATION request = Request(IRP_MN_QUERY_DEVICE_RELATIONS);
    request.Parameters.QueryDeviceRelations.Type = BusRelations;
    Answer answer = Send(pdo, request);
    if (!NT_SUCCESS(answer.status)) return std::nullopt;
    std::vector<PDEVICE_OBJECT> objects;
    if (auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(answer.information)) {
        PDEVICE_OBJECT* first = relations->Objects;
        objects.assign(first, first + relations->Count);
        ExFreePool(relations);
    }
    return objects;
}

// ---- the tree -----------------------------------------------------------------------------------

Node* FindIn(const std::vector<std::unique_ptr<Node>>& nodes, PDEVICE_OBJECT pdo) {
    for (const auto& node : nodes) {
        if (node->pdo == pdo) return node.get();
        if (Node* found = FindIn(node->children, pdo)) return found;
    }
    return nullptr;
}

Node* FindNode(PDEVICE_OBJECT pdo) { return pdo ? FindIn(g_roots, pdo) : nullptr; }

bool PathInUse(const std::vector<std::unique_ptr<Node>>& nodes, const std::string& folded) {
    return std::any_of(nodes.begin(), nodes.end(), [&](const auto& node) {
        return Fold(node->instance_path) == folded || PathInUse(node->children, folded);
    });
}

void PostOrder(Node& node, std::vector<Node*>& order) {
    for (auto& child : node.children) PostOrder(*child, order);
    order.push_back(&node);
}

// True for a node whose present stack was started (and may be stopped or asked about a stop or removal).
bool WasStarted(const Node& node) {
    State state =
        node.state == State::StopPending || node.state == State::RemovePending ? node.before_query : node.state;
    return state == State::Started || state == State::Stopped;
}

NTSTATUS Fail(Node& node, NTSTATUS status, const std::string& problem) {
    node.state = State::Failed;
    node.problem = problem + " (" + StatusText(status) + ")";
    return status;
}

void UnloadIdleDrivers() {
    for (auto& registration : g_registrations) {
        if (!registration->driver) continue;
        // A deleted device object that someone still references keeps its driver loaded; a device
        // that arrives meanwhile is served by the same driver object.
        bool idle;
        {
            detail::Guard g(detail::RegistryLock());
            idle = !registration->driver->DeviceObject && !detail::DriverHasDevices(registration->driver);
        }
        if (idle) {
            UnloadDriver(registration->driver);
            registration->driver = nullptr;
        }
    }
}

Registration* Match(const Node& node) {
    for (const auto* ids : {&node.hardware_ids, &node.compatible_ids}) {
        for (const std::string& id : *ids) {
            std::string folded = Fold(id);
            for (auto& registration : g_registrations) {
                for (const std::string& known : registration->ids)
                    if (Fold(known) == folded) return registration.get();
            }
        }
    }
    return nullptr;
}

void TearDown(Node& top, bool surprise, bool leaves);
void Enumerate(Node& node);

void Add(Node* parent, PDEVICE_OBJECT pdo) {
    auto node = std::make_unique<Node>();
    node->pdo = pdo;
    node->parent = parent;
    ObReferenceObject(pdo);  // held while the node is in the tree
    Node& added = *node;
    (parent ? parent->children : g_roots).push_back(std::move(node));
    Enumerate(added);
}

// Asks a started stack for its bus: children that vanished go (children first), new ones are added.
void Rescan(Node& node) {
    std::optional<std::vector<PDEVICE_OBJECT>> reported = QueryBusRelations(node.pdo);
    if (!reported) return;
    std::vector<PDEVICE_OBJECT> valid;
    for (PDEVICE_OBJECT pdo : *reported) {
        if (pdo && detail::IsObject(pdo, detail::ObjectType::Device))
            valid.push_back(pdo);
        else
            Fault("the bus relations of %s list %p, which is not a device object", Label(node).c_str(),
                  static_cast<void*>(pdo));
    }
    std::vector<Node*> vanished;
    for (auto& child : node.children)
        if (std::find(valid.begin(), valid.end(), child->pdo) == valid.end()) vanished.push_back(child.get());
    for (Node* child : vanished) TearDown(*child, true, true);
    for (PDEVICE_OBJECT pdo : valid) {
        Node* known = FindNode(pdo);
        if (!known)
            Add(&node, pdo);
        else if (known->parent != &node)
            Fault("the bus relations of %s list %s, which another bus reported", Label(node).c_str(),
                  Label(*known).c_str());
    }
    for (PDEVICE_OBJECT pdo : valid) ObDereferenceObject(pdo);
}

NTSTATUS StartStack(Node& node) {
    // No resources: nothing in this machine arbitrates them, and its buses need none.
    Answer answer = Send(node.pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(answer.status)) {
        // A stack that failed to start is taken apart again, as the platform does.
        TearDown(node, false, false);
        return Fail(node, answer.status, "start failed");
    }
    node.state = State::Started;
    Rescan(node);
    return STATUS_SUCCESS;
}

// Matches a driver, loads it, lets it add its devices to the PDO and starts the stack.
NTSTATUS Install(Node& node) {
    node.removed = false;
    node.problem.clear();
    node.driver = Match(node);
    if (!node.driver) {
        node.state = State::NoDriver;
        return STATUS_NO_SUCH_DEVICE;
    }
    Registration& registration = *node.driver;
    if (!registration.driver) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        registration.driver = LoadDriver(registration.service.c_str(), registration.entry, &status);
        if (!registration.driver) return Fail(node, status, "driver " + registration.service + " did not load");
    }
    PDRIVER_ADD_DEVICE add_device = registration.driver->DriverExtension->AddDevice;
    if (!add_device)
        return Fail(node, STATUS_INVALID_DEVICE_REQUEST, "driver " + registration.service + " has no AddDevice");
    NTSTATUS status = add_device(registration.driver, node.pdo);
    if (!NT_SUCCESS(status)) return Fail(node, status, "AddDevice of " + registration.service + " failed");
    PDEVICE_OBJECT top = IoGetAttachedDevice(node.pdo);
    if (top != node.pdo && (top->Flags & DO_DEVICE_INITIALIZING))
        Fault("AddDevice of %s left DO_DEVICE_INITIALIZING set on device %p", registration.service.c_str(),
              static_cast<void*>(top));
    return StartStack(node);
}

void Enumerate(Node& node) {
    node.device_id = QueryOneId(node.pdo, BusQueryDeviceID);
    node.hardware_ids = QueryId(node.pdo, BusQueryHardwareIDs);
    node.compatible_ids = QueryId(node.pdo, BusQueryCompatibleIDs);
    node.instance_id = QueryOneId(node.pdo, BusQueryInstanceID);
    node.capabilities = QueryCapabilities(node.pdo);
    node.description = QueryText(node.pdo, DeviceTextDescription);
    node.location = QueryText(node.pdo, DeviceTextLocationInformation);
    node.requirements = QueryRequirements(node.pdo);
    node.bus_information = QueryBusInformation(node.pdo);
    if (node.device_id.empty()) {
        node.state = State::Failed;
        node.problem = "the bus gave no device id";
        return;
    }
    // A bus that named its device already (the USB hub does) keeps its name; a bus that gave no
    // instance id gets the first free number.
    std::string path = InstancePath(node.pdo);
    if (path.empty()) {
        if (node.instance_id.empty()) {
            int n = 0;
            do path = node.device_id + "\\" + std::to_string(n++);
            while (PathInUse(g_roots, Fold(path)));
        } else {
            path = node.device_id + "\\" + node.instance_id;
        }
        SetInstancePath(node.pdo, path);
    }
    node.instance_path = path;
    Install(node);
}

// Takes the stacks of a subtree apart, children first. `surprise`: the device failed or left, and each
// started stack hears IRP_MN_SURPRISE_REMOVAL before any hears IRP_MN_REMOVE_DEVICE. `leaves`: the node
// leaves the tree too; otherwise it stays with its PDO alone. Its descendants always leave.
void TearDown(Node& top, bool surprise, bool leaves) {
    std::vector<Node*> order;
    PostOrder(top, order);
    // The system's wait-wake requests end before the stacks go, so no driver waits on one in removal.
    for (Node* node : order) power::CancelWake(node->pdo);
    if (surprise) {
        for (Node* node : order)
            if (!node->removed && WasStarted(*node)) Send(node->pdo, IRP_MN_SURPRISE_REMOVAL);
    }
    for (Node* node : order) {
        bool goes = leaves || node != &top;
        // A node that leaves hears REMOVE again if its stack was removed before: that is how its bus
        // driver learns that the PDO is no longer in use and may be deleted.
        bool send = !node->removed || goes;
        if (send && node->remove_owed) {
            send = false;  // the owed request comes when the handles close
        } else if (send && surprise && detail::StackHasOpenFiles(node->pdo)) {
            ObReferenceObject(node->pdo);
            g_owed.push_back(node->pdo);
            g_owed_count = g_owed.size();
            node->remove_owed = true;
            send = false;
        }
        if (send) Send(node->pdo, IRP_MN_REMOVE_DEVICE);
        node->removed = true;
    }
    // A bus driver that deleted the PDO on its removal says the device is gone (the way of a bus whose
    // removed devices do not stay); its node leaves too, and hears nothing more.
    if (!leaves && detail::DeviceDeleted(top.pdo)) leaves = true;
    for (Node* node : order)
        if (leaves || node != &top) ObDereferenceObject(node->pdo);
    if (leaves) {
        auto& siblings = top.parent ? top.parent->children : g_roots;
        std::erase_if(siblings, [&](const auto& node) { return node.get() == &top; });
        return;
    }
    top.children.clear();
    top.state = surprise ? State::SurpriseRemoved : State::Removed;
}

// ---- operations ---------------------------------------------------------------------------------

NTSTATUS QueryStopNode(Node& node) {
    if (node.state != State::Started) return STATUS_INVALID_DEVICE_STATE;
    Answer answer = Send(node.pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(answer.status)) {
        // The drivers below the one that refused said yes and wait for word that the stop is off.
        Send(node.pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return answer.status;
    }
    node.before_query = node.state;
    node.state = State::StopPending;
    return STATUS_SUCCESS;
}

NTSTATUS CancelStopNode(Node& node) {
    if (node.state != State::StopPending) return STATUS_INVALID_DEVICE_STATE;
    Send(node.pdo, IRP_MN_CANCEL_STOP_DEVICE);
    node.state = node.before_query;
    return STATUS_SUCCESS;
}

NTSTATUS StopNode(Node& node) {
    if (node.state == State::Started) {
        NTSTATUS status = QueryStopNode(node);
        if (!NT_SUCCESS(status)) return status;
    }
    if (node.state != State::StopPending) return STATUS_INVALID_DEVICE_STATE;
    Answer answer = Send(node.pdo, IRP_MN_STOP_DEVICE);
    if (!NT_SUCCESS(answer.status))
        Fault("%s failed IRP_MN_STOP_DEVICE with %s; a stop that was agreed to may not fail", Label(node).c_str(),
              StatusText(answer.status).c_str());
    node.state = State::Stopped;
    return STATUS_SUCCESS;
}

// Sends the removals owed to stacks whose files are all closed now (or all of them, at shutdown).
void SendOwedRemovals(bool all) {
    for (std::size_t i = 0; i < g_owed.size();) {
        PDEVICE_OBJECT pdo = g_owed[i];
        if (!all && detail::StackHasOpenFiles(pdo)) {
            ++i;
            continue;
        }
        g_owed.erase(g_owed.begin() + static_cast<std::ptrdiff_t>(i));
        g_owed_count = g_owed.size();
        if (Node* node = FindNode(pdo)) node->remove_owed = false;
        Send(pdo, IRP_MN_REMOVE_DEVICE);
        ObDereferenceObject(pdo);
    }
}

NTSTATUS StartNode(Node& node) {
    // A stack that is not yet removed cannot be built again.
    if (node.remove_owed) return STATUS_DEVICE_BUSY;
    switch (node.state) {
    case State::Started: return STATUS_SUCCESS;
    case State::Stopped: return StartStack(node);
    case State::StopPending:
    case State::RemovePending: return STATUS_INVALID_DEVICE_STATE;
    case State::NoDriver:
    case State::Removed:
    case State::SurpriseRemoved:
    case State::Failed: break;
    }
    if (node.device_id.empty()) return STATUS_INVALID_DEVICE_STATE;
    return Install(node);
}

NTSTATUS QueryRemoveNode(Node& top) {
    std::vector<Node*> order;
    PostOrder(top, order);
    if (top.removed) return STATUS_INVALID_DEVICE_STATE;
    for (Node* node : order)
        if (node->state == State::StopPending || node->state == State::RemovePending)
            return STATUS_INVALID_DEVICE_STATE;
    std::vector<Node*> asked;
    for (Node* node : order) {
        if (node->removed) continue;
        asked.push_back(node);
        Answer answer = Send(node->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(answer.status)) {
            for (auto it = asked.rbegin(); it != asked.rend(); ++it) Send((*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            return answer.status;
        }
    }
    for (Node* node : asked) {
        node->before_query = node->state;
        node->state = State::RemovePending;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CancelRemoveNode(Node& top) {
    if (top.state != State::RemovePending) return STATUS_INVALID_DEVICE_STATE;
    std::vector<Node*> order;
    PostOrder(top, order);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        Node* node = *it;
        if (node->state != State::RemovePending) continue;
        Send(node->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        node->state = node->before_query;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RemoveNode(Node& top) {
    if (top.state != State::RemovePending) {
        NTSTATUS status = QueryRemoveNode(top);
        if (!NT_SUCCESS(status)) return status;
    }
    TearDown(top, false, false);
    return STATUS_SUCCESS;
}

NTSTATUS SurpriseRemoveNode(Node& top) {
    if (top.removed) return STATUS_INVALID_DEVICE_STATE;
    TearDown(top, true, false);
    return STATUS_SUCCESS;
}

NTSTATUS DeviceLeftNode(Node& top) {
    TearDown(top, true, true);
    return STATUS_SUCCESS;
}

// ---- serialisation and the worker ---------------------------------------------------------------

// True when the calling thread may run a Plug and Play operation; reports why not otherwise.
bool MayOperate(const char* who) {
    if (!g_running) {
        Fault("%s while Plug and Play is not running", who);
        return false;
    }
    if (detail::Irql() != PASSIVE_LEVEL) {
        Fault("%s at IRQL %u", who, detail::Irql());
        return false;
    }
    if (g_owner.load() == sched::Current()) {
        Fault("%s from inside a Plug and Play operation", who);
        return false;
    }
    return true;
}

// Holds the manager's lock for one operation; drivers left without devices are unloaded at its end.
class Operation {
public:
    explicit Operation(const char* who) : ok_(MayOperate(who)) {
        if (!ok_) return;
        sched::WaitOne(&g_lock, sched::kForever, "Plug and Play lock");
        g_owner = sched::Current();
    }
    ~Operation() {
        if (!ok_) return;
        UnloadIdleDrivers();
        g_owner = nullptr;
        sched::ReleaseMutex(&g_lock);
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};

NTSTATUS OnNode(const char* who, PDEVICE_OBJECT pdo, NTSTATUS (*operation)(Node&)) {
    Operation op(who);
    if (!op.ok()) return STATUS_INVALID_DEVICE_STATE;
    Node* node = FindNode(pdo);
    return node ? operation(*node) : STATUS_INVALID_PARAMETER;
}

bool Enqueue(const QueueEntry& entry) {
    {
        detail::Guard g(detail::RegistryLock());
        if (!g_worker || g_stopping) return false;
        // One enumeration that has not begun yet covers any number of requests for it.
        if (entry.pdo && std::any_of(g_queue.begin(), g_queue.end(),
                                     [&](const QueueEntry& queued) { return queued.pdo == entry.pdo; }))
            return true;
        g_queue.push_back(entry);
    }
    sched::ReleaseSemaphore(&g_ready, 1, nullptr);
    return true;
}

void WorkerLoop() {
    for (;;) {
        sched::WaitOne(&g_ready, sched::kForever, "Plug and Play queue");
        QueueEntry entry;
        {
            detail::Guard g(detail::RegistryLock());
            if (g_stopping) return;
            entry = g_queue.front();
            g_queue.pop_front();
        }
        bool idle = false;
        {
            Operation op("the Plug and Play worker");
            if (entry.marker) {
                detail::Guard g(detail::RegistryLock());
                idle = g_queue.empty();
            } else if (!entry.pdo) {
                SendOwedRemovals(false);
            } else if (Node* node = FindNode(entry.pdo); node && node->state == State::Started) {
                // A node that left or stopped since it was queued has no bus to enumerate.
                Rescan(*node);
            }
        }
        if (entry.marker) {
            entry.marker->idle = idle;
            sched::SetEvent(&entry.marker->done);
        }
    }
}

NodeInfo Info(const Node& node, int depth) {
    NodeInfo info{};
    info.pdo = node.pdo;
    info.parent = node.parent ? node.parent->pdo : nullptr;
    for (const auto& child : node.children) info.children.push_back(child->pdo);
    info.depth = depth;
    for (PDEVICE_OBJECT device = node.pdo; device; device = device->AttachedDevice)
        info.stack.push_back(
            StackEntry{device, DeviceName(device), ToUtf8(&device->DriverObject->DriverName), device->Flags});
    static_cast<Enumeration&>(info) = node;
    info.service = node.driver ? node.driver->service : std::string();
    info.state = node.state;
    info.problem = node.problem;
    return info;
}

void Describe(const Node& node, int depth, std::vector<NodeInfo>& out) {
    out.push_back(Info(node, depth));
    for (const auto& child : node.children) Describe(*child, depth + 1, out);
}

}  // namespace

const char* StateName(State state) {
    switch (state) {
    case State::NoDriver: return "no driver";
    case State::Started: return "started";
    case State::StopPending: return "stop pending";
    case State::Stopped: return "stopped";
    case State::RemovePending: return "remove pending";
    case State::Removed: return "removed";
    case State::SurpriseRemoved: return "surprise-removed";
    case State::Failed: return "failed";
    }
    return "?";
}

void RegisterDriver(const std::string& service, PDRIVER_INITIALIZE entry, std::vector<std::string> ids) {
    Operation op("pnp::RegisterDriver");
    if (!op.ok()) return;
    g_registrations.push_back(std::make_unique<Registration>(Registration{service, entry, std::move(ids)}));
}

NTSTATUS ReportDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT parent) {
    Operation op("pnp::ReportDevice");
    if (!op.ok()) return STATUS_INVALID_DEVICE_STATE;
    if (!pdo || !detail::IsObject(pdo, detail::ObjectType::Device)) return STATUS_INVALID_PARAMETER;
    Node* above = FindNode(parent);
    if (parent && !above) return STATUS_INVALID_PARAMETER;
    if (FindNode(pdo)) return STATUS_OBJECT_NAME_COLLISION;
    Add(above, pdo);
    return STATUS_SUCCESS;
}

NTSTATUS QueryStop(PDEVICE_OBJECT pdo) { return OnNode("pnp::QueryStop", pdo, QueryStopNode); }
NTSTATUS CancelStop(PDEVICE_OBJECT pdo) { return OnNode("pnp::CancelStop", pdo, CancelStopNode); }
NTSTATUS Stop(PDEVICE_OBJECT pdo) { return OnNode("pnp::Stop", pdo, StopNode); }
NTSTATUS Start(PDEVICE_OBJECT pdo) { return OnNode("pnp::Start", pdo, StartNode); }
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) { return OnNode("pnp::QueryRemove", pdo, QueryRemoveNode); }
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) { return OnNode("pnp::CancelRemove", pdo, CancelRemoveNode); }
NTSTATUS Remove(PDEVICE_OBJECT pdo) { return OnNode("pnp::Remove", pdo, RemoveNode); }
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) { return OnNode("pnp::SurpriseRemove", pdo, SurpriseRemoveNode); }
NTSTATUS DeviceLeft(PDEVICE_OBJECT pdo) { return OnNode("pnp::DeviceLeft", pdo, DeviceLeftNode); }

void WaitIdle() {
    if (!MayOperate("pnp::WaitIdle")) return;
    for (;;) {
        Marker marker{};
        sched::InitEvent(&marker.done, true, false);
        if (!Enqueue(QueueEntry{nullptr, &marker})) return;
        sched::WaitOne(&marker.done, sched::kForever, "Plug and Play to come to rest");
        if (marker.idle) return;
    }
}

std::vector<NodeInfo> Snapshot() {
    Operation op("pnp::Snapshot");
    std::vector<NodeInfo> nodes;
    if (!op.ok()) return nodes;
    for (const auto& root : g_roots) Describe(*root, 0, nodes);
    return nodes;
}

std::optional<NodeInfo> Find(PDEVICE_OBJECT pdo) {
    Operation op("pnp::Find");
    Node* node = op.ok() ? FindNode(pdo) : nullptr;
    if (!node) return std::nullopt;
    int depth = 0;
    for (const Node* above = node->parent; above; above = above->parent) ++depth;
    return Info(*node, depth);
}

}  // namespace kernel::pnp

namespace kernel::detail {

void StartPlugAndPlay() {
    sched::InitMutex(&pnp::g_lock);
    sched::InitSemaphore(&pnp::g_ready, 0, INT32_MAX);
    pnp::g_stopping = false;
    pnp::g_running = true;
    pnp::g_worker = sched::Start("pnp worker", [] { pnp::WorkerLoop(); }, true);
}

NTSTATUS WithStartedStacks(const char* who,
                           const std::function<NTSTATUS(const std::vector<PDEVICE_OBJECT>&)>& body) {
    using namespace pnp;
    Operation op(who);
    if (!op.ok()) return STATUS_INVALID_DEVICE_STATE;
    std::vector<PDEVICE_OBJECT> pdos;
    std::vector<const Node*> pending;
    for (auto it = g_roots.rbegin(); it != g_roots.rend(); ++it) pending.push_back(it->get());
    while (!pending.empty()) {
        const Node* node = pending.back();
        pending.pop_back();
        if (node->state == State::Started || node->state == State::StopPending || node->state == State::Stopped ||
            node->state == State::RemovePending)
            pdos.push_back(node->pdo);
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) pending.push_back(it->get());
    }
    return body(pdos);
}

void StopPlugAndPlay() {
    using namespace pnp;
    if (!g_worker) return;
    {
        Guard g(RegistryLock());
        g_stopping = true;
    }
    sched::ReleaseSemaphore(&g_ready, 1, nullptr);
    sched::Join(g_worker);
    g_worker = nullptr;
    std::deque<QueueEntry> left;
    {
        Guard g(RegistryLock());
        left.swap(g_queue);
    }
    std::size_t enumerations = 0;
    for (const QueueEntry& entry : left) {
        if (!entry.marker) {
            if (entry.pdo) ++enumerations;
            continue;
        }
        entry.marker->idle = true;
        sched::SetEvent(&entry.marker->done);
    }
    if (enumerations) Fault("%zu bus enumerations were still queued at shutdown", enumerations);
    // Stacks still waiting for their files are removed now; the files are reported as leaks.
    SendOwedRemovals(true);
    // The manager lets go of the PDOs still in the tree; the leak report names those never deleted.
    std::vector<Node*> order;
    for (auto& root : g_roots) PostOrder(*root, order);
    for (Node* node : order) ObDereferenceObject(node->pdo);
    g_roots.clear();
    UnloadIdleDrivers();
    g_registrations.clear();
    g_running = false;
}

}  // namespace kernel::detail

using namespace kernel;

namespace kernel::detail {

void FileClosed() {
    if (pnp::g_owed_count.load()) pnp::Enqueue(pnp::QueueEntry{nullptr, nullptr});
}

}  // namespace kernel::detail

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    if (detail::Irql() > DISPATCH_LEVEL) Fault("IoInvalidateDeviceRelations at IRQL %u", detail::Irql());
    if (!detail::IsObject(DeviceObject, detail::ObjectType::Device) || DeviceObject->DeviceObjectExtension->AttachedTo)
        return Fault("IoInvalidateDeviceRelations of %p, which is not a physical device object",
                     static_cast<void*>(DeviceObject));
    // The manager keeps no power, ejection or removal relations: only a bus is enumerated again.
    if (Type != BusRelations && Type != SingleBusRelations) return;
    if (!pnp::Enqueue(pnp::QueueEntry{DeviceObject, nullptr}))
        Fault("IoInvalidateDeviceRelations while Plug and Play is not running");
}
