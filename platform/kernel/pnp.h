// The Plug and Play manager of the kernel stand-in, as the machine, the bus stand-ins and the tests
// see it. Drivers see only what wdm.h declares (IoInvalidateDeviceRelations and the PnP IRPs).
//
// The manager keeps a tree of device nodes, one for each physical device object (PDO) a bus reported,
// with the stack of devices that drivers attached on it. It enumerates a new PDO as the platform does:
// IRP_MN_QUERY_ID (device, hardware, compatible and instance ids), IRP_MN_QUERY_CAPABILITIES,
// IRP_MN_QUERY_DEVICE_TEXT (description, location), IRP_MN_QUERY_RESOURCE_REQUIREMENTS and
// IRP_MN_QUERY_BUS_INFORMATION; then it sets the instance path, loads the first registered driver that
// matches a hardware id (in the order the bus gave them), else a compatible id, calls its AddDevice,
// sends IRP_MN_START_DEVICE, and asks the started stack for its BusRelations, whose new PDOs become
// child nodes enumerated the same way.
//
// Every PnP IRP is the manager's own: allocated for the stack size of the top of the PDO's stack, sent
// there with IoStatus.Status = STATUS_NOT_SUPPORTED (so a request nobody handles keeps that status),
// waited for, and freed. Every answer from pool (ids, texts, requirements, bus information, relation
// lists) is freed by the manager; the references in a relation list are dropped once it is read.
//
// One operation at a time: the calls below run on the caller's thread, which must be at PASSIVE_LEVEL,
// and take the manager's lock; re-enumerations that drivers ask for run on the manager's own thread
// under the same lock. None of them may be called from a driver's handling of a PnP IRP.
//
// Ownership of a PDO: the manager holds one reference on each PDO while it is in the tree, and never
// deletes one. Every node that leaves the tree gets IRP_MN_REMOVE_DEVICE as its last request (once
// more if its stack was removed before), after which the PDO belongs to its bus driver alone, which
// deletes it when the device is gone. A removed node whose device is still present stays in the tree
// (state Removed or SurpriseRemoved) with only its PDO, until it is started again or leaves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wdm.h"

namespace kernel::pnp {

// Makes a driver available to Plug and Play for devices with one of `ids` among their hardware or
// compatible ids (compared without case). It is loaded as "\Driver\<service>" on its first match and
// unloaded once its last device object is gone, or at shutdown. The kernel must be running;
// registrations last until Shutdown.
void RegisterDriver(const std::string& service, PDRIVER_INITIALIZE entry, std::vector<std::string> ids);

enum class State : std::uint8_t {
    NoDriver,         // enumerated; no registered driver matches
    Started,          // IRP_MN_START_DEVICE succeeded
    StopPending,      // IRP_MN_QUERY_STOP_DEVICE succeeded
    Stopped,          // IRP_MN_STOP_DEVICE sent
    RemovePending,    // IRP_MN_QUERY_REMOVE_DEVICE succeeded
    Removed,          // IRP_MN_REMOVE_DEVICE sent; the device is still present
    SurpriseRemoved,  // IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE sent; still present
    Failed,           // see NodeInfo::problem
};
const char* StateName(State state);

// A bus reports a new PDO, under `parent` (the PDO of a node in the tree) or under the root (NULL),
// and the manager enumerates and starts it before returning. STATUS_SUCCESS when the node joined the
// tree, whatever became of it (see Find); STATUS_INVALID_PARAMETER for something that is not a
// device object or a parent that is not in the tree; STATUS_OBJECT_NAME_COLLISION when it is in the
// tree already. A child reported this way must also be among the parent's BusRelations, or the next
// enumeration of the parent removes it.
NTSTATUS ReportDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT parent = nullptr);

// The operations below return STATUS_INVALID_PARAMETER when `pdo` is not in the tree and
// STATUS_INVALID_DEVICE_STATE when the node's state does not allow the request.

// IRP_MN_QUERY_STOP_DEVICE to a started node; when refused, IRP_MN_CANCEL_STOP_DEVICE follows and the
// refusal is returned.
NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
// IRP_MN_STOP_DEVICE, after a successful query (made here unless QueryStop was).
NTSTATUS Stop(PDEVICE_OBJECT pdo);
// A stopped node gets IRP_MN_START_DEVICE; a node without a stack (no driver, removed, failed) is
// matched, added and started as if new. STATUS_NO_SUCH_DEVICE when no registered driver matches.
NTSTATUS Start(PDEVICE_OBJECT pdo);

// IRP_MN_QUERY_REMOVE_DEVICE to the node and its descendants, children first; when one refuses,
// IRP_MN_CANCEL_REMOVE_DEVICE goes to each that was asked (the refuser too), parents first.
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE to the subtree, children first, after a successful query (made here unless
// QueryRemove was). The descendants leave the tree; the node stays, Removed, unless its bus driver
// deleted the PDO on removal, which makes it leave too.
NTSTATUS Remove(PDEVICE_OBJECT pdo);
// The device failed but is present: IRP_MN_SURPRISE_REMOVAL to each started node of the subtree, then
// IRP_MN_REMOVE_DEVICE to the subtree, children first. The node stays, SurpriseRemoved. A stack with
// files still open gets its IRP_MN_REMOVE_DEVICE only once the last of them is closed (on the
// manager's thread); until then the node cannot be started again (STATUS_DEVICE_BUSY).
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
// A bus's device was unplugged: as SurpriseRemove, and the node leaves the tree with its subtree.
NTSTATUS DeviceLeft(PDEVICE_OBJECT pdo);

// Returns once no re-enumeration is queued and no operation runs: Plug and Play has come to rest.
void WaitIdle();

// ---- the tree as tools show it -------------------------------------------------------------------

struct StackEntry {
    PDEVICE_OBJECT device;
    std::string name;    // kernel::DeviceName; empty when unnamed
    std::string driver;  // "\Driver\..."
    ULONG flags;
};

// What the manager learned of a device when it enumerated it.
struct Enumeration {
    std::string device_id;
    std::string instance_id;
    std::vector<std::string> hardware_ids;
    std::vector<std::string> compatible_ids;
    std::string instance_path;
    std::string description;
    std::string location;
    std::optional<DEVICE_CAPABILITIES> capabilities;
    std::optional<PNP_BUS_INFORMATION> bus_information;
    std::vector<std::vector<IO_RESOURCE_DESCRIPTOR>> requirements;  // the alternative lists
};

struct NodeInfo : Enumeration {
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT parent;  // NULL: a child of the root
    std::vector<PDEVICE_OBJECT> children;
    int depth;                      // 0 for a child of the root
    std::vector<StackEntry> stack;  // from the PDO up
    std::string service;  // the matched driver; empty when none
    State state;
    std::string problem;  // why the node failed
};

// Every node, parents before their children, siblings in the order they were reported.
std::vector<NodeInfo> Snapshot();
std::optional<NodeInfo> Find(PDEVICE_OBJECT pdo);

}  // namespace kernel::pnp
