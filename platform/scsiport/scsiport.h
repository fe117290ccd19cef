// The SCSI port stand-in as the machine, its tools and the tests see it. Miniports see only srb.h
// (ScsiPortInitialize and the port's services); the 9x flavor's miniports also io_packet.h.
//
// How the port runs a miniport:
//  - ScsiPortInitialize keeps the miniport's initialisation data per driver object and makes the port
//    the driver's AddDevice and dispatch routines. Plug and Play then adds an adapter for each device
//    the driver matches: "\Device\ScsiPort<n>", n counting from 0 in each boot.
//  - IRP_MN_START_DEVICE goes down first; then HwFindAdapter runs at PASSIVE_LEVEL and HwInitialize in
//    the synchronised context, and the logical unit 0/0/0 gets its extension. A stopped adapter whose
//    miniport supports ScsiStopAdapter and ScsiRestartAdapter (HwAdapterControl, NT flavor only) is
//    restarted with the latter; any other start runs HwFindAdapter and HwInitialize again. A stop
//    cancels the miniport's timer: a restarted miniport arms it again.
//  - The synchronised context is one spin lock per adapter, at DISPATCH_LEVEL: HwStartIo, the timer
//    routine, HwResetBus, HwAdapterControl and HwInitialize run in it, one at a time, and only from
//    it may the miniport call ScsiPortNotification and ScsiPortCompleteRequest.
//  - SRBs queue in arrival order and start one at a time: the next only once the miniport asked for it
//    (NextRequest, NextLuRequest), and never for a logical unit whose request the miniport still holds,
//    unless NextLuRequest freed that unit. Abort and bus-reset SRBs are not held by a busy unit. The
//    port answers claim, release and queue-release SRBs itself (it never freezes a queue).
//  - Completed IRPs are completed once the synchronised context is left, at the caller's IRQL.
//  - After a successful query-stop or query-remove, new SRBs wait in the queue until the cancel or the
//    next start. A query is refused (STATUS_DEVICE_BUSY) when the miniport still holds SRBs after
//    kDrainTime. At a surprise removal or removal the port fails the queued SRBs, gives the miniport
//    kDrainTime to finish the ones it holds, stops the adapter (ScsiStopAdapter where supported), then
//    completes what is left with SRB_STATUS_NO_DEVICE and cancels the miniport's timer.
//  - 9x flavor: only the 76-byte initialisation data (no HwAdapterControl); each SRB handed to the
//    miniport is the port's copy, followed by the address of an I/O packet (io_packet.h) built from
//    the request's block size and segments.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "sched/sched.h"
#include "srb.h"

namespace scsiport {

// How long a stop or removal waits for the miniport to finish the SRBs it holds.
inline constexpr sched::Time kDrainTime = 2 * sched::kSecond;

struct AdapterInfo {
    int number;                 // n of "\Device\ScsiPort<n>"
    std::string name;
    PDEVICE_OBJECT device;      // NULL once removed
    PVOID extension;            // the miniport's device extension; NULL once removed
    std::string service;        // the miniport's driver, without "\Driver\"
    ULONG init_data_size;       // HwInitializationDataSize
    bool started;
    std::optional<ULONG> find_result;   // SP_RETURN_* of the last HwFindAdapter
    std::optional<NTSTATUS> start_status;
    int finds;                  // how many times HwFindAdapter ran
    PORT_CONFIGURATION_INFORMATION config;  // as the last HwFindAdapter left it; AccessRanges NULL
    std::vector<ACCESS_RANGE> access_ranges;
};

// Every adapter of this boot, removed ones too, in the order they were added.
std::vector<AdapterInfo> Adapters();
std::optional<AdapterInfo> Find(PDEVICE_OBJECT adapter);

// A piece of a 9x scattered transfer; the NT port ignores them.
struct Segment {
    ULONG blocks;
    PVOID buffer;
};
inline constexpr ULONG kDefaultBlockSize = 2048;

class Operation;

// An SRB as a class driver sends it.
struct Request {
    UCHAR function = SRB_FUNCTION_EXECUTE_SCSI;
    UCHAR path = 0;
    UCHAR target = 0;
    UCHAR lun = 0;
    std::vector<UCHAR> cdb;  // at most 16 bytes
    PVOID data = nullptr;
    ULONG length = 0;
    ULONG flags = SRB_FLAGS_NO_DATA_TRANSFER;  // SRB_FLAGS_DATA_IN, SRB_FLAGS_DATA_OUT, ...
    ULONG timeout = 10;                        // seconds
    UCHAR sense_length = 18;
    const Operation* aborts = nullptr;  // SRB_FUNCTION_ABORT_COMMAND: the request to abort (NextSrb)
    ULONG block_size = kDefaultBlockSize;  // 9x
    std::vector<Segment> segments;         // 9x
};

struct Result {
    NTSTATUS status;    // the IRP's
    UCHAR srb_status;   // as the miniport left it (with its flag bits)
    UCHAR scsi_status;
    ULONG transferred;  // DataTransferLength
    std::vector<UCHAR> sense;  // with SRB_STATUS_AUTOSENSE_VALID only
    sched::Time took;          // from the send to the IRP's completion
};

// A request on its way: the IRP_MJ_SCSI IRP was sent; Wait gives its result once it completes.
class Operation {
public:
    ~Operation();  // waits for the request
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    Result Wait();
    bool Done() const;
    const SCSI_REQUEST_BLOCK& Srb() const;  // the class driver's SRB

    struct State;
    explicit Operation(std::unique_ptr<State> state);

private:
    std::unique_ptr<State> state_;
};

// Builds the SRB and sends it to the adapter as IRP_MJ_SCSI from the calling thread (PASSIVE_LEVEL).
std::unique_ptr<Operation> Start(PDEVICE_OBJECT adapter, const Request& request);
Result Execute(PDEVICE_OBJECT adapter, const Request& request);

// HwResetBus in the synchronised context; false when the adapter is not started.
bool ResetBus(PDEVICE_OBJECT adapter, ULONG path);

struct ErrorLogEntry {
    std::string adapter;  // "\Device\ScsiPort<n>"
    int opcode;           // the SRB's first CDB byte; -1 without an SRB
    UCHAR path;
    UCHAR target;
    UCHAR lun;
    ULONG error_code;     // SP_*
    ULONG unique_id;
    sched::Time time;
};
// ScsiPortLogError's entries of this boot, oldest first.
std::vector<ErrorLogEntry> ErrorLog();
void ClearErrorLog();

}  // namespace scsiport
