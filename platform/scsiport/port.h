// What the SCSI port stand-in's files share among themselves.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <type_traits>
#include <vector>

#include "kernel/kernel.h"
#include "scsiport/scsiport.h"

namespace scsiport::detail {

// The 9x segments that the port's class interface passes beside an SRB, in Argument2 of the
// IRP_MJ_SCSI stack location.
struct PacketRequest {
    ULONG block_size;
    ULONG count;
    const Segment* segments;
};
// The request that Argument2 points at while the class interface sends its IRP; NULL for anything
// else (another sender's IRP).
const PacketRequest* SentPacket(PVOID argument);

// One SRB in the port, from non-paged pool, followed by its SRB extension.
struct PortRequest {
    PIRP irp;
    PSCSI_REQUEST_BLOCK original;  // the class driver's
    PSCSI_REQUEST_BLOCK srb;       // the one the miniport is given
    PVOID packet;                  // the 9x flavor's block that holds `srb`; NULL in NT
    bool holds_lu;                 // started, and its unit not yet freed by NextLuRequest
};

struct Adapter;

// The miniport's timer. It outlives its adapter (until the port unloads), since the scheduler's
// timer thread may still be inside its expiry when the adapter goes.
struct TimerBlock {
    KTIMER timer;
    KDPC dpc;
    std::atomic<Adapter*> adapter;
    std::atomic<int> running;  // DPCs inside the routine
};

struct Adapter {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PVOID extension = nullptr;  // the miniport's part of the device extension
    HW_INITIALIZATION_DATA hw{};
    PVOID context = nullptr;
    bool adapter_control = false;  // HwAdapterControl is called (NT flavor, 80-byte data)
    bool supports_stop = false;
    bool supports_restart = false;
    bool stopped_by_control = false;
    PORT_CONFIGURATION_INFORMATION config{};
    PACCESS_RANGE ranges = nullptr;
    PVOID lu_extension = nullptr;
    ULONG lu_extension_size = 0;
    TimerBlock* timer = nullptr;
    KEVENT idle;    // signalled while the miniport holds no SRB
    int users = 0;  // dispatch routines inside the port; under Mutex()
    AdapterInfo info{};  // under Mutex()

    // Under `lock`, the synchronised context's spin lock.
    KSPIN_LOCK lock = 0;
    sched::Thread* sync_thread = nullptr;
    std::deque<PortRequest*> queue;
    std::vector<PortRequest*> active;  // given to the miniport
    std::vector<PortRequest*> done;    // completed, to finish once the lock is released
    bool started = false;
    bool ready = false;    // the miniport takes another SRB
    bool hold = false;     // nothing new starts (queries, stop)
    bool removed = false;  // nothing new is accepted
    bool timer_dead = false;
    PHW_TIMER timer_routine = nullptr;
    sched::Time timer_due = 0;
};

// ---- the port's records (port.cpp) ----------------------------------------------------------------

// Guards the per-boot records. Never held across a scheduling point or a call into a driver.
std::mutex& Mutex();
// The adapter of a device object, counted as a user until Leave; NULL when there is none (any more).
Adapter* Enter(PDEVICE_OBJECT device);
void Leave(Adapter* adapter);
// The adapter whose miniport extension this is; a fault naming `who` when there is none.
Adapter* FromExtension(PVOID extension, const char* who);
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status);
// Takes a removed adapter out of the records once no other dispatch routine is inside it, and frees it.
void Forget(Adapter* adapter);

// ---- requests (requests.cpp) ----------------------------------------------------------------------

void EnterSync(Adapter* adapter, KIRQL* old);
// Starts what may start, leaves the context and finishes the requests completed in it.
void LeaveSync(Adapter* adapter, KIRQL old);

template <typename Body>
auto Synchronized(Adapter* adapter, Body&& body) {
    KIRQL old;
    EnterSync(adapter, &old);
    if constexpr (std::is_void_v<decltype(body())>) {
        body();
        LeaveSync(adapter, old);
    } else {
        auto result = body();
        LeaveSync(adapter, old);
        return result;
    }
}

// In the context: complete the queued requests, or those the miniport holds, with an SRB status of
// the port's own.
void FailQueueLocked(Adapter* adapter, UCHAR srb_status);
void TakeBackLocked(Adapter* adapter, UCHAR srb_status);
// Cancels the miniport's timer; in the context.
void CancelTimerLocked(Adapter* adapter);
// Waits until no DPC of the adapter's timer can run again; not in the context.
void RetireTimer(Adapter* adapter);
KDEFERRED_ROUTINE TimerDpc;

DRIVER_DISPATCH DispatchScsi;

// ---- Plug and Play and power (pnp.cpp) -------------------------------------------------------------

DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchDeviceControl;

// ---- the flavor's own (port_nt.cpp, port_9x.cpp) ---------------------------------------------------

bool KnowsInitDataSize(ULONG size);
bool CallsAdapterControl(const HW_INITIALIZATION_DATA& data);
// Sets request.srb (and request.packet) for the miniport.
NTSTATUS PrepareSrb(PortRequest& request, const PacketRequest* packet);
// Gives the class driver's SRB the outcome and frees what PrepareSrb allocated.
void FinishSrb(PortRequest& request);

// Pool tags, as the pool tools show them.
inline constexpr ULONG kRequestTag = 0x71527053;  // "SpRq"
inline constexpr ULONG kPacketTag = 0x6F497053;   // "SpIo"

}  // namespace scsiport::detail
