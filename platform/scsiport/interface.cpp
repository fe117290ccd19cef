// The class-driver side of the port for the machine, its tools and the tests: an SRB built from a
// request, sent as IRP_MJ_SCSI in an IRP of the caller's own, and its outcome.
#include <algorithm>
#include <set>

#include "port.h"

namespace scsiport {

struct Operation::State {
    SCSI_REQUEST_BLOCK srb{};
    std::vector<UCHAR> sense;
    std::vector<Segment> segments;
    detail::PacketRequest packet{};
    KEVENT done;
    PIRP irp = nullptr;
    IO_STATUS_BLOCK outcome{};
    sched::Time sent = 0;
    sched::Time finished = 0;
    std::optional<Result> result;
};

namespace {

// The packets of the IRPs being sent; the port reads them in its dispatch routine only.
std::mutex g_mutex;
std::set<const detail::PacketRequest*> g_sending;

NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* state = static_cast<Operation::State*>(context);
    state->finished = sched::Now();
    state->outcome = irp->IoStatus;
    KeSetEvent(&state->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

Operation::Operation(std::unique_ptr<State> state) : state_(std::move(state)) {}

Operation::~Operation() {
    if (state_) Wait();
}

bool Operation::Done() const { return KeReadStateEvent(&state_->done) != 0; }

const SCSI_REQUEST_BLOCK& Operation::Srb() const { return state_->srb; }

Result Operation::Wait() {
    State& s = *state_;
    if (!s.result) {
        KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr);
        if (s.irp) IoFreeIrp(s.irp);
        s.irp = nullptr;
        Result result{s.outcome.Status, s.srb.SrbStatus, s.srb.ScsiStatus, s.srb.DataTransferLength, {},
                      s.finished - s.sent};
        if (s.srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID)
            result.sense.assign(s.sense.begin(),
                                s.sense.begin() + std::min<std::size_t>(s.srb.SenseInfoBufferLength, s.sense.size()));
        s.result = std::move(result);
    }
    return *s.result;
}

std::unique_ptr<Operation> Start(PDEVICE_OBJECT adapter, const Request& request) {
    auto state = std::make_unique<Operation::State>();
    Operation::State& s = *state;
    SCSI_REQUEST_BLOCK& srb = s.srb;
    srb.Length = sizeof srb;
    srb.Function = request.function;
    srb.PathId = request.path;
    srb.TargetId = request.target;
    srb.Lun = request.lun;
    srb.QueueTag = SP_UNTAGGED;
    srb.CdbLength = static_cast<UCHAR>(std::min<std::size_t>(request.cdb.size(), sizeof srb.Cdb));
    std::copy_n(request.cdb.begin(), srb.CdbLength, srb.Cdb);
    srb.SrbFlags = request.flags;
    srb.DataTransferLength = request.length;
    srb.TimeOutValue = request.timeout;
    srb.DataBuffer = request.data;
    s.sense.assign(request.sense_length, 0);
    srb.SenseInfoBuffer = s.sense.empty() ? nullptr : s.sense.data();
    srb.SenseInfoBufferLength = request.sense_length;
    if (request.aborts) srb.NextSrb = const_cast<PSCSI_REQUEST_BLOCK>(&request.aborts->Srb());
    s.segments = request.segments;
    s.packet = {request.block_size, static_cast<ULONG>(s.segments.size()), s.segments.data()};
    KeInitializeEvent(&s.done, NotificationEvent, FALSE);

    auto operation = std::make_unique<Operation>(std::move(state));
    s.sent = sched::Now();
    s.irp = IoAllocateIrp(static_cast<CCHAR>(adapter->StackSize + 1), FALSE);
    if (!s.irp) {
        s.outcome.Status = STATUS_INSUFFICIENT_RESOURCES;
        KeSetEvent(&s.done, IO_NO_INCREMENT, FALSE);
        return operation;
    }
    IoSetNextIrpStackLocation(s.irp);
    IoSetCompletionRoutine(s.irp, Completed, &s, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s.irp);
    next->MajorFunction = IRP_MJ_SCSI;
    next->Parameters.Scsi.Srb = &srb;
    next->Parameters.Others.Argument2 = &s.packet;
    srb.OriginalRequest = s.irp;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        g_sending.insert(&s.packet);
    }
    IoCallDriver(adapter, s.irp);
    std::lock_guard<std::mutex> g(g_mutex);
    g_sending.erase(&s.packet);
    return operation;
}

Result Execute(PDEVICE_OBJECT adapter, const Request& request) { return Start(adapter, request)->Wait(); }

namespace detail {

const PacketRequest* SentPacket(PVOID argument) {
    std::lock_guard<std::mutex> g(g_mutex);
    auto known = g_sending.find(static_cast<const PacketRequest*>(argument));
    return known == g_sending.end() ? nullptr : *known;
}

}  // namespace detail
}  // namespace scsiport
