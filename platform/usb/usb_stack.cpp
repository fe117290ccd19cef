// The host controller, its root hub ports and the hub's physical device objects.
//
// A request block arrives on a port's physical device object as IRP_MJ_INTERNAL_DEVICE_CONTROL. The
// host puts it on the bus: it takes whole frames from the first frame boundary at which the bus is
// free, and completes from a DPC when its bus time is over, as a host controller's interrupt would.
// The device model is asked at that moment. Port requests are answered at once.
#include "usb/usb_stack.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "usb/capture.h"
#include "kernel/kernel.h"

namespace usb {
namespace {

constexpr ULONG kTransferTag = 'dcHU';  // "UHcd" in memory

struct Pipe {
    UCHAR address;
    USBD_PIPE_TYPE type;
    USHORT max_packet;
    UCHAR interval;
    bool halted;
};

struct PortState;

enum class TransferState : std::uint8_t { Scheduled, Parked };

// One request block on the bus, from its submission to its completion.
struct Transfer {
    LIST_ENTRY link;
    HostController::Impl* host;
    PortState* port;
    PIRP irp;
    PURB urb;
    Pipe* pipe;  // NULL on the default pipe
    bool control;
    USB_DEFAULT_PIPE_SETUP_PACKET setup;
    UCHAR endpoint;  // with 0x80 for IN
    PUCHAR buffer;
    ULONG length;
    std::uint64_t capture_id;
    TransferState state;
    bool cancelled;  // the cancel routine ran while the DPC was already on its way
    KTIMER timer;
    KDPC dpc;
};

struct PortState {
    int number = 0;
    Device* device = nullptr;
    bool connected = false;
    bool enabled = false;
    UCHAR address = 0;
    UCHAR configuration = 0;
    PDEVICE_OBJECT pdo = nullptr;
    USB_DEVICE_DESCRIPTOR descriptor{};
    // The first interface's class, for the compatible identifiers.
    UCHAR interface_class = 0;
    UCHAR interface_subclass = 0;
    UCHAR interface_protocol = 0;
    DEVICE_CAPABILITIES capabilities{};
    DEVICE_POWER_STATE power = PowerDeviceD0;
    PIRP wait_wake = nullptr;  // held until the device signals a wake, or leaves
    // A device set-power request takes bus time: the device suspends after 3 ms of an idle bus and
    // resumes after 20 ms of resume signalling and 10 ms of recovery.
    PIRP power_irp = nullptr;
    KTIMER power_timer;
    KDPC power_dpc;
    // Pipes keep their records for the device's stay, so a handle stays valid when the same
    // configuration is selected again (by another driver of the same device).
    std::map<UCHAR, Pipe> pipes;
};

struct PdoExtension {
    HostController::Impl* host;
    PortState* port;
};

NTSTATUS NTAPI HubDispatch(PDEVICE_OBJECT device, PIRP irp);
bool CompleteWaitWake(PortState* port, NTSTATUS status);

NTSTATUS NTAPI HubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = HubDispatch;
    return STATUS_SUCCESS;
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::int32_t CaptureStatus(Reply reply, USBD_STATUS error) {
    switch (reply) {
    case Reply::Ack: return 0;
    case Reply::Stall: return kStalled;
    case Reply::NoReply: return kCancelled;
    case Reply::Error: return error == USBD_STATUS_DEVICE_GONE ? kGone : kProtocolError;
    }
    return kProtocolError;
}

}  // namespace

std::uint32_t Timing::Frames(bool control, std::uint32_t length, std::uint32_t max_packet) {
    if (max_packet == 0) max_packet = 64;
    std::uint32_t packets = (length + max_packet - 1) / max_packet;
    if (control) packets += 2;  // setup and status stages
    if (packets == 0) packets = 1;
    std::uint32_t frames = (packets + kBulkPacketsPerFrame - 1) / kBulkPacketsPerFrame;
    return frames ? frames : 1;
}

struct HostController::Impl {
    PDRIVER_OBJECT driver = nullptr;
    std::vector<PortState> ports;
    KSPIN_LOCK lock = 0;  // guards the transfer list and the ports' state
    LIST_ENTRY transfers;
    sched::Time bus_free = 0;
    Capture* capture = nullptr;
    std::uint64_t next_capture_id = 1;
    UCHAR next_address = 1;
    int next_pdo = 1;  // "\Device\USBPDO-n": a device plugged in again gets a new name

    PortState* Port(int number) {
        if (number < 1 || number > static_cast<int>(ports.size())) return nullptr;
        return &ports[number - 1];
    }

    // ---- capture --------------------------------------------------------------------------------

    // A submission carries the OUT data and the setup packet; a completion carries the IN data.
    void Record(const Transfer* t, const Result* done) {
        if (!capture) return;
        bool in = t->endpoint & 0x80;
        CaptureEvent e{};
        e.id = t->capture_id;
        e.submit = done == nullptr;
        e.type = t->control ? TransferType::Control
                 : t->pipe && t->pipe->type == UsbdPipeTypeInterrupt ? TransferType::Interrupt
                                                                      : TransferType::Bulk;
        e.endpoint = t->endpoint;
        e.device = t->port->address;
        e.bus = 1;
        e.setup = t->control && e.submit ? reinterpret_cast<const std::uint8_t*>(&t->setup) : nullptr;
        e.status = e.submit ? kInProgress : CaptureStatus(done->reply, done->error);
        e.length = e.submit ? t->length : done->length;
        bool carries = in != e.submit;
        e.data = carries ? t->buffer : nullptr;
        e.data_length = carries ? e.length : 0;
        e.time = sched::Now();
        capture->Record(e);
    }

    void RecordSubmit(const Transfer* t) { Record(t, nullptr); }
    void RecordComplete(const Transfer* t, const Result& r) { Record(t, &r); }

    // ---- the wire: synchronous control transfers of the hub itself --------------------------------

    // A control transfer that the hub makes for itself (enumeration, port reset), outside any IRP.
    Result HubControl(PortState* port, UCHAR request_type, UCHAR request, USHORT value, USHORT index,
                      std::uint8_t* data, USHORT length) {
        Transfer t{};
        t.port = port;
        t.control = true;
        t.setup = {request_type, request, value, index, length};
        t.endpoint = request_type & 0x80;
        t.buffer = data;
        t.length = length;
        t.capture_id = next_capture_id++;
        RecordSubmit(&t);
        Result r = port->device->Control(t.setup, data);
        if (r.reply == Reply::NoReply) r = Result{Reply::Error, 0, USBD_STATUS_DEV_NOT_RESPONDING};
        RecordComplete(&t, r);
        return r;
    }

    // ---- request blocks ---------------------------------------------------------------------------

    NTSTATUS FailUrb(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
        urb->UrbHeader.Status = usbd;
        return CompleteNow(irp, status);
    }

    Pipe* FindPipe(PortState* port, USBD_PIPE_HANDLE handle) {
        for (auto& [address, pipe] : port->pipes)
            if (&pipe == handle) return &pipe;
        return nullptr;
    }

    // Fills a transfer's wire description from its request block; false for a request the stack
    // refuses (the URB's status says why).
    bool Describe(Transfer* t, PURB urb) {
        auto control_in = [&](UCHAR type, UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length) {
            t->control = true;
            t->setup = {type, request, value, index, static_cast<USHORT>(length)};
            t->endpoint = type & 0x80;
            t->buffer = static_cast<PUCHAR>(buffer);
            t->length = length;
        };
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            control_in(0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<USHORT>(r.DescriptorType << 8 | r.Index),
                       r.LanguageId, r.TransferBuffer, r.TransferBufferLength);
            return true;
        }
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT: {
            auto& r = urb->UrbControlVendorClassRequest;
            USHORT f = urb->UrbHeader.Function;
            UCHAR type = (f >= URB_FUNCTION_CLASS_DEVICE ? 0x20 : 0x40) |
                         static_cast<UCHAR>((f - (f >= URB_FUNCTION_CLASS_DEVICE ? URB_FUNCTION_CLASS_DEVICE
                                                                                : URB_FUNCTION_VENDOR_DEVICE))) |
                         ((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0) | r.RequestTypeReservedBits;
            control_in(type, r.Request, r.Value, r.Index, r.TransferBuffer, r.TransferBufferLength);
            return true;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
            auto& r = urb->UrbControlGetStatusRequest;
            UCHAR recipient = static_cast<UCHAR>(urb->UrbHeader.Function - URB_FUNCTION_GET_STATUS_FROM_DEVICE);
            control_in(0x80 | recipient, USB_REQUEST_GET_STATUS, 0, r.Index, r.TransferBuffer, r.TransferBufferLength);
            return true;
        }
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
            auto& r = urb->UrbControlFeatureRequest;
            control_in(0x02, USB_REQUEST_CLEAR_FEATURE, r.FeatureSelector, r.Index, nullptr, 0);
            return true;
        }
        case URB_FUNCTION_RESET_PIPE: {
            // The halt is cleared on the device with CLEAR_FEATURE(ENDPOINT_HALT), then in the host.
            Pipe* pipe = FindPipe(t->port, urb->UrbPipeRequest.PipeHandle);
            if (!pipe) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
                return false;
            }
            t->pipe = pipe;
            control_in(0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, pipe->address, nullptr, 0);
            return true;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            auto& r = urb->UrbSelectConfiguration;
            UCHAR value = r.ConfigurationDescriptor ? r.ConfigurationDescriptor->bConfigurationValue : 0;
            control_in(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, nullptr, 0);
            return true;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& r = urb->UrbBulkOrInterruptTransfer;
            Pipe* pipe = FindPipe(t->port, r.PipeHandle);
            if (!pipe || pipe->type == UsbdPipeTypeControl || pipe->type == UsbdPipeTypeIsochronous) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
                return false;
            }
            if (r.TransferBufferMDL || (!r.TransferBuffer && r.TransferBufferLength)) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;  // buffers are plain addresses here
                return false;
            }
            if (pipe->halted) {
                urb->UrbHeader.Status = USBD_STATUS_ENDPOINT_HALTED;
                return false;
            }
            bool in = pipe->address & 0x80;
            if (in != bool(r.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) {
                urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
                return false;
            }
            t->pipe = pipe;
            t->endpoint = pipe->address;
            t->buffer = static_cast<PUCHAR>(r.TransferBuffer);
            t->length = r.TransferBufferLength;
            return true;
        }
        default:
            urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
            return false;
        }
    }

    // Applies a completed transfer's result to its request block; returns the IRP's status.
    NTSTATUS Finish(Transfer* t, const Result& r) {
        PURB urb = t->urb;
        USBD_STATUS usbd = USBD_STATUS_SUCCESS;
        NTSTATUS status = STATUS_SUCCESS;
        if (r.reply == Reply::Stall) {
            usbd = USBD_STATUS_STALL_PID;
            status = STATUS_UNSUCCESSFUL;
            if (t->pipe && !t->control) t->pipe->halted = true;
        } else if (r.reply == Reply::Error) {
            usbd = r.error;
            status = r.error == USBD_STATUS_DEVICE_GONE ? STATUS_DEVICE_NOT_CONNECTED : STATUS_UNSUCCESSFUL;
        }
        urb->UrbHeader.Status = usbd;
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = r.reply == Reply::Ack ? r.length : 0;
            break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
            urb->UrbControlTransfer.TransferBufferLength = r.reply == Reply::Ack ? r.length : 0;
            break;
        case URB_FUNCTION_RESET_PIPE:
            if (r.reply == Reply::Ack) t->pipe->halted = false;
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (r.reply == Reply::Ack) status = Configure(t->port, urb);
            break;
        default: break;
        }
        return status;
    }

    // Fills the interface information of a select-configuration request that the device accepted.
    NTSTATUS Configure(PortState* port, PURB urb) {
        auto& r = urb->UrbSelectConfiguration;
        if (!r.ConfigurationDescriptor) {
            port->configuration = 0;
            r.ConfigurationHandle = nullptr;
            return STATUS_SUCCESS;
        }
        PUSB_CONFIGURATION_DESCRIPTOR config = r.ConfigurationDescriptor;
        PUSBD_INTERFACE_INFORMATION info = &r.Interface;
        PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (!interface) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        ULONG room = info->Length >= offsetof(USBD_INTERFACE_INFORMATION, Pipes)
                         ? (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION)
                         : 0;
        if (room < interface->bNumEndpoints) {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;  // the request has no room for every pipe
            return STATUS_INVALID_PARAMETER;
        }
        port->configuration = config->bConfigurationValue;
        info->Class = interface->bInterfaceClass;
        info->SubClass = interface->bInterfaceSubClass;
        info->Protocol = interface->bInterfaceProtocol;
        info->InterfaceHandle = &port->pipes;
        info->NumberOfPipes = interface->bNumEndpoints;
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(interface);
        auto* end = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
        ULONG found = 0;
        for (auto* p = reinterpret_cast<PUCHAR>(d) + d->bLength; p + 2 <= end && found < interface->bNumEndpoints;) {
            auto* c = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
            if (c->bLength == 0 || p + c->bLength > end || c->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
            if (c->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && c->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                auto* e = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(p);
                USBD_PIPE_TYPE type = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                Pipe& pipe = port->pipes[e->bEndpointAddress];
                pipe = Pipe{e->bEndpointAddress, type, e->wMaxPacketSize, e->bInterval, false};
                USBD_PIPE_INFORMATION& out = info->Pipes[found++];
                out.MaximumPacketSize = e->wMaxPacketSize;
                out.EndpointAddress = e->bEndpointAddress;
                out.Interval = e->bInterval;
                out.PipeType = type;
                out.PipeHandle = &pipe;
            }
            p += c->bLength;
        }
        r.ConfigurationHandle = &port->configuration;
        return STATUS_SUCCESS;
    }

    // ---- scheduling on the bus --------------------------------------------------------------------

    sched::Time Schedule(const Transfer* t) {
        sched::Time now = sched::Now();
        sched::Time start = std::max(now, bus_free);
        start = (start + Timing::kFrame - 1) / Timing::kFrame * Timing::kFrame;
        USHORT max_packet = t->control ? t->port->descriptor.bMaxPacketSize0 : (t->pipe ? t->pipe->max_packet : 64);
        bus_free = start + Timing::Frames(t->control, t->length, max_packet) * Timing::kFrame;
        return bus_free;
    }

    NTSTATUS Submit(PortState* port, PIRP irp, PURB urb) {
        if (!urb) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        if (!port->connected) return FailUrb(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) return AbortPipe(port, irp, urb);
        auto* t = static_cast<Transfer*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Transfer), kTransferTag));
        if (!t) return FailUrb(irp, urb, USBD_STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES);
        RtlZeroMemory(t, sizeof *t);
        t->host = this;
        t->port = port;
        t->irp = irp;
        t->urb = urb;
        urb->UrbHeader.Status = USBD_STATUS_PENDING;
        if (!Describe(t, urb)) {
            ExFreePool(t);
            return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        }
        t->capture_id = next_capture_id++;
        KeInitializeTimer(&t->timer);
        KeInitializeDpc(&t->dpc, TransferDone, t);

        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        InsertTailList(&transfers, &t->link);
        t->state = TransferState::Scheduled;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelTransfer);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            // Cancelled before it reached the bus.
            RemoveEntryList(&t->link);
            KeReleaseSpinLock(&lock, irql);
            ExFreePool(t);
            urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            CompleteNow(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        RecordSubmit(t);
        LARGE_INTEGER due;
        due.QuadPart = Schedule(t) - sched::Now();
        due.QuadPart = -std::max<LONGLONG>(due.QuadPart, 1);
        KeSetTimer(&t->timer, due, &t->dpc);
        KeReleaseSpinLock(&lock, irql);
        return STATUS_PENDING;
    }

    NTSTATUS AbortPipe(PortState* port, PIRP irp, PURB urb) {
        Pipe* pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
        if (!pipe) return FailUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        FailMatching(port, pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return FailUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }

    // Completes the outstanding transfers of a port (of one pipe, or all) with an error. Each is
    // taken over under the cancel spin lock, the same hand-over the cancel routine and the DPC use.
    void FailMatching(PortState* port, Pipe* pipe, NTSTATUS status, USBD_STATUS usbd) {
        for (;;) {
            Transfer* victim = nullptr;
            KIRQL cancel_irql;
            IoAcquireCancelSpinLock(&cancel_irql);
            KeAcquireSpinLockAtDpcLevel(&lock);
            for (PLIST_ENTRY e = transfers.Flink; e != &transfers; e = e->Flink) {
                auto* t = CONTAINING_RECORD(e, Transfer, link);
                if (t->port == port && (!pipe || t->pipe == pipe) && !t->cancelled &&
                    IoSetCancelRoutine(t->irp, nullptr) != nullptr) {
                    victim = t;
                    break;
                }
            }
            bool own = false;
            if (victim) {
                // A timer that has not fired is stopped here; one that has is left to its DPC, which
                // sees `cancelled` and frees the record.
                own = victim->state == TransferState::Parked || KeCancelTimer(&victim->timer);
                if (own) RemoveEntryList(&victim->link);
                victim->cancelled = !own;
            }
            KeReleaseSpinLockFromDpcLevel(&lock);
            IoReleaseCancelSpinLock(cancel_irql);
            if (!victim) return;
            Result r{Reply::Error, 0, usbd};
            RecordComplete(victim, r);
            victim->urb->UrbHeader.Status = usbd;
            CompleteNow(victim->irp, status);
            if (own) ExFreePool(victim);
        }
    }

    static VOID NTAPI TransferDone(PKDPC, PVOID context, PVOID, PVOID) {
        auto* t = static_cast<Transfer*>(context);
        Impl* host = t->host;
        KIRQL cancel_irql;
        IoAcquireCancelSpinLock(&cancel_irql);
        KeAcquireSpinLockAtDpcLevel(&host->lock);
        if (t->cancelled) {  // its IRP was completed by a cancel or an abort
            RemoveEntryList(&t->link);
            KeReleaseSpinLockFromDpcLevel(&host->lock);
            IoReleaseCancelSpinLock(cancel_irql);
            ExFreePool(t);
            return;
        }
        PortState* port = t->port;
        Result r;
        if (!port->connected) {
            r = Result{Reply::Error, 0, USBD_STATUS_DEVICE_GONE};
        } else if (!port->enabled) {
            r = Result{Reply::Error, 0, USBD_STATUS_DEV_NOT_RESPONDING};
        } else if (t->control) {
            r = port->device->Control(t->setup, t->buffer);
        } else {
            r = port->device->Transfer(t->endpoint, t->buffer, t->length);
        }
        if (r.length > t->length) r.length = t->length;
        if (r.reply == Reply::NoReply) {
            // The device keeps quiet: the request stays until it is cancelled or the device leaves.
            t->state = TransferState::Parked;
            KeReleaseSpinLockFromDpcLevel(&host->lock);
            IoReleaseCancelSpinLock(cancel_irql);
            return;
        }
        IoSetCancelRoutine(t->irp, nullptr);
        RemoveEntryList(&t->link);
        KeReleaseSpinLockFromDpcLevel(&host->lock);
        IoReleaseCancelSpinLock(cancel_irql);
        host->RecordComplete(t, r);
        NTSTATUS status = host->Finish(t, r);
        PIRP irp = t->irp;
        ExFreePool(t);
        CompleteNow(irp, status);
    }

    static VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
        auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
        Impl* host = ext->host;
        KeAcquireSpinLockAtDpcLevel(&host->lock);
        Transfer* t = nullptr;
        for (PLIST_ENTRY e = host->transfers.Flink; e != &host->transfers; e = e->Flink) {
            auto* candidate = CONTAINING_RECORD(e, Transfer, link);
            if (candidate->irp == irp) {
                t = candidate;
                break;
            }
        }
        bool own = t && (t->state == TransferState::Parked || KeCancelTimer(&t->timer));
        if (t) {
            if (own) RemoveEntryList(&t->link);
            t->cancelled = !own;
        }
        KeReleaseSpinLockFromDpcLevel(&host->lock);
        IoReleaseCancelSpinLock(irp->CancelIrql);
        if (!t) return CompleteNow(irp, STATUS_CANCELLED), void();
        Result r{Reply::NoReply, 0, USBD_STATUS_CANCELED};
        host->RecordComplete(t, r);
        t->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        if (own) ExFreePool(t);
        CompleteNow(irp, STATUS_CANCELLED);
    }

    // ---- port requests ----------------------------------------------------------------------------

    // The hub's reset of a port: the device returns to its default state and the hub gives it its
    // address (and configuration) back, on the wire.
    bool ResetPort(PortState* port) {
        if (!port->connected) return false;
        port->device->BusReset();
        port->enabled = true;
        for (auto& [address, pipe] : port->pipes) pipe.halted = false;
        UCHAR address = port->address;
        port->address = 0;
        if (HubControl(port, 0x00, USB_REQUEST_SET_ADDRESS, address, 0, nullptr, 0).reply != Reply::Ack) return false;
        port->address = address;
        if (port->configuration &&
            HubControl(port, 0x00, USB_REQUEST_SET_CONFIGURATION, port->configuration, 0, nullptr, 0).reply !=
                Reply::Ack)
            return false;
        return true;
    }

    NTSTATUS PortRequest(PortState* port, PIRP irp, ULONG code, PVOID argument) {
        switch (code) {
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            if (!argument) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
            *static_cast<PULONG>(argument) =
                (port->connected ? USBD_PORT_CONNECTED : 0) | (port->enabled ? USBD_PORT_ENABLED : 0);
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
            return CompleteNow(irp, ResetPort(port) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        case IOCTL_INTERNAL_USB_ENABLE_PORT:
            if (!port->connected) return CompleteNow(irp, STATUS_UNSUCCESSFUL);
            port->enabled = true;
            return CompleteNow(irp, STATUS_SUCCESS);
        default: return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }
};

namespace {

// A list of zero-terminated UTF-16 strings ending with an empty one, in paged pool, as Plug and Play
// answers are handed out; whoever asked frees it.
PWCHAR PoolMultiString(const std::vector<std::string>& texts) {
    std::size_t units = 1;
    for (const std::string& t : texts) units += t.size() + 1;
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), kTransferTag));
    if (!out) return nullptr;
    PWCHAR at = out;
    for (const std::string& t : texts) {
        for (char c : t) *at++ = static_cast<unsigned char>(c);
        *at++ = 0;
    }
    *at = 0;
    return out;
}

std::string Text(const char* format, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
    char text[96];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// What the hub answers for its device's physical device object. The hub answers for its own PDO
// and never passes a request on.
NTSTATUS HubPnp(PortState* port, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const USB_DEVICE_DESCRIPTOR& d = port->descriptor;
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        CompleteWaitWake(port, STATUS_NO_SUCH_DEVICE);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        *caps = port->capabilities;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_ID: {
        std::vector<std::string> texts;
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: texts = {Text("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct)}; break;
        case BusQueryHardwareIDs:
            texts = {Text("USB\\VID_%04X&PID_%04X&REV_%04X", d.idVendor, d.idProduct, d.bcdDevice),
                     Text("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct)};
            break;
        case BusQueryCompatibleIDs:
            texts = {Text("USB\\Class_%02X&SubClass_%02X&Prot_%02X", port->interface_class, port->interface_subclass,
                          port->interface_protocol),
                     Text("USB\\Class_%02X&SubClass_%02X", port->interface_class, port->interface_subclass),
                     Text("USB\\Class_%02X", port->interface_class)};
            break;
        case BusQueryInstanceID: texts = {Text("5&1e4a2c3&0&%u", static_cast<unsigned>(port->number))}; break;
        default: break;
        }
        if (texts.empty()) break;
        PWCHAR answer = PoolMultiString(texts);
        // A device identifier and an instance identifier are single strings; the lists end with an
        // empty string, which PoolMultiString adds to every answer.
        status = answer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
        break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
        std::string text;
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) text = "USB Device";
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation)
            text = Text("Port_#%04u.Hub_#0001", static_cast<unsigned>(port->number));
        if (text.empty()) break;
        PWCHAR answer = PoolMultiString({text});
        status = answer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
        break;
    }
    default: break;
    }
    // The last request for the PDO of a device that left: the hub deletes it (the function device
    // above detaches on its way back up).
    PDEVICE_OBJECT device = stack->DeviceObject;
    bool gone = stack->MinorFunction == IRP_MN_REMOVE_DEVICE && !port->connected && port->pdo == device;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (gone) {
        port->pdo = nullptr;
        port->pipes.clear();
        IoDeleteDevice(device);
    }
    return status;
}

// Completes the held wait-wake request, if any; false when there was none or its cancel routine has it.
bool CompleteWaitWake(PortState* port, NTSTATUS status) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->wait_wake;
    if (irp && !IoSetCancelRoutine(irp, nullptr)) irp = nullptr;
    if (irp) port->wait_wake = nullptr;
    IoReleaseCancelSpinLock(irql);
    if (!irp) return false;
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    if (ext->port && ext->port->wait_wake == irp) ext->port->wait_wake = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

sched::Time PowerLatency(DEVICE_POWER_STATE from, DEVICE_POWER_STATE to) {
    bool asleep = from >= PowerDeviceD1 && from <= PowerDeviceD3;
    if (to == PowerDeviceD0 && asleep) return 30 * sched::kMillisecond;
    if (from == PowerDeviceD0 && to >= PowerDeviceD1 && to <= PowerDeviceD3) return 3 * sched::kMillisecond;
    return 0;
}

void FinishDevicePower(PDEVICE_OBJECT device, PortState* port, PIRP irp) {
    POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
    port->power = state.DeviceState;
    PoSetPowerState(device, DevicePowerState, state);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI DevicePowerDone(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<PortState*>(context);
    PIRP irp = port->power_irp;
    port->power_irp = nullptr;
    if (irp) FinishDevicePower(IoGetCurrentIrpStackLocation(irp)->DeviceObject, port, irp);
}

// The hub is the bus driver of its device: it records the device's power state and holds one
// wait-wake request while the device can wake the system.
NTSTATUS HubPower(PDEVICE_OBJECT device, PortState* port, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER: {
        if (stack->Parameters.Power.Type != DevicePowerState) {
            PoSetPowerState(device, stack->Parameters.Power.Type, stack->Parameters.Power.State);
            status = STATUS_SUCCESS;
            break;
        }
        if (!port->connected) {
            status = STATUS_NO_SUCH_DEVICE;  // no device on the port to suspend or resume
            break;
        }
        sched::Time latency = PowerLatency(port->power, stack->Parameters.Power.State.DeviceState);
        if (latency == 0) {
            FinishDevicePower(device, port, irp);
            return STATUS_SUCCESS;
        }
        // One at a time: the power manager sends the next device set-power only after this one's
        // PoStartNextPowerIrp.
        IoMarkIrpPending(irp);
        port->power_irp = irp;
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(latency);
        KeSetTimer(&port->power_timer, due, &port->power_dpc);
        return STATUS_PENDING;
    }
    case IRP_MN_QUERY_POWER: status = STATUS_SUCCESS; break;
    case IRP_MN_WAIT_WAKE: {
        if (port->capabilities.DeviceWake == PowerDeviceUnspecified || !port->connected) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (port->wait_wake) {
            IoReleaseCancelSpinLock(irql);
            status = STATUS_DEVICE_BUSY;
            break;
        }
        IoMarkIrpPending(irp);
        port->wait_wake = irp;
        IoSetCancelRoutine(irp, CancelWaitWake);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            port->wait_wake = nullptr;
            IoReleaseCancelSpinLock(irql);
            irp->IoStatus.Status = STATUS_CANCELLED;
            PoStartNextPowerIrp(irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_PENDING;
        }
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    default: break;
    }
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A PDO cut off from its port: its device has left and come back under a new PDO. Everything fails
// as for a device that is gone, until its last removal request, on which it is deleted.
NTSTATUS DepartedDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
            static_cast<PURB>(stack->Parameters.Others.Argument1)->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        status = STATUS_DEVICE_NOT_CONNECTED;
        break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE: status = STATUS_SUCCESS; break;
    case IRP_MJ_PNP:
        status = stack->MinorFunction == IRP_MN_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL
                     ? STATUS_SUCCESS
                     : irp->IoStatus.Status;
        break;
    case IRP_MJ_POWER:
        status = stack->MinorFunction == IRP_MN_WAIT_WAKE ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS;
        PoStartNextPowerIrp(irp);
        break;
    default: status = irp->IoStatus.Status; break;
    }
    bool gone = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (gone) IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI HubDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    if (!ext->port) return DepartedDispatch(device, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
            return ext->host->Submit(ext->port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        return ext->host->PortRequest(ext->port, irp, code, stack->Parameters.Others.Argument1);
    }
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE: return CompleteNow(irp, STATUS_SUCCESS);
    case IRP_MJ_PNP: return HubPnp(ext->port, irp);
    case IRP_MJ_POWER: return HubPower(device, ext->port, irp);
    default: {
        // Other requests that the hub does not answer keep their status.
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

}  // namespace

DEVICE_CAPABILITIES HostController::DefaultCapabilities(int port) {
    DEVICE_CAPABILITIES c{};
    c.Size = sizeof c;
    c.Version = 1;
    c.Removable = 1;
    c.UniqueID = 1;  // the camera has a serial number
    c.DeviceD2 = 1;
    c.WakeFromD2 = 1;
    c.Address = static_cast<ULONG>(port);
    c.UINumber = static_cast<ULONG>(port);
    c.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    c.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    c.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    c.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    c.SystemWake = PowerSystemSleeping3;
    c.DeviceWake = PowerDeviceD2;
    return c;
}

void HostController::SetCapabilities(int number, const DEVICE_CAPABILITIES& capabilities) {
    if (PortState* port = impl_->Port(number)) port->capabilities = capabilities;
}

HostController::HostController(int ports) : impl_(std::make_unique<Impl>()) {
    impl_->ports.resize(ports);
    for (int i = 0; i < ports; ++i) {
        PortState& port = impl_->ports[i];
        port.number = i + 1;
        KeInitializeTimer(&port.power_timer);
        KeInitializeDpc(&port.power_dpc, DevicePowerDone, &port);
    }
    InitializeListHead(&impl_->transfers);
    impl_->driver = kernel::LoadDriver("usbhub", HubEntry);
}

HostController::~HostController() {
    for (PortState& port : impl_->ports) {
        if (port.connected) Unplug(port.number);
        if (port.pdo) Forget(port.number);
    }
    if (impl_->driver) kernel::UnloadDriver(impl_->driver);
}

PDEVICE_OBJECT HostController::Plug(int number, Device* device) {
    PortState* port = impl_->Port(number);
    if (!port || port->connected) return nullptr;
    if (port->pdo) {
        // The device's earlier PDO still waits for its last removal request (its stack has open
        // handles): it is cut off from the port, which gets a new one.
        static_cast<PdoExtension*>(port->pdo->DeviceExtension)->port = nullptr;
        port->pdo = nullptr;
        port->pipes.clear();
    }
    port->device = device;
    port->connected = true;
    port->enabled = false;
    port->configuration = 0;
    port->power = PowerDeviceD0;
    port->pipes.clear();
    // Enumeration: reset, then the default address gets a real one, then the device descriptor.
    port->device->BusReset();
    port->enabled = true;
    port->address = 0;
    UCHAR address = impl_->next_address++;
    if (impl_->HubControl(port, 0x00, USB_REQUEST_SET_ADDRESS, address, 0, nullptr, 0).reply != Reply::Ack)
        return nullptr;
    port->address = address;
    USB_DEVICE_DESCRIPTOR descriptor{};
    Result r = impl_->HubControl(port, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0,
                                 reinterpret_cast<std::uint8_t*>(&descriptor), sizeof descriptor);
    if (r.reply != Reply::Ack || r.length < sizeof descriptor) return nullptr;
    port->descriptor = descriptor;
    // The configuration, for the first interface's class (the compatible identifiers).
    USB_CONFIGURATION_DESCRIPTOR head{};
    r = impl_->HubControl(port, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0,
                          reinterpret_cast<std::uint8_t*>(&head), sizeof head);
    if (r.reply == Reply::Ack && r.length == sizeof head && head.wTotalLength >= sizeof head) {
        std::vector<std::uint8_t> config(head.wTotalLength);
        r = impl_->HubControl(port, 0x80, USB_REQUEST_GET_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0,
                              config.data(), head.wTotalLength);
        config.resize(r.reply == Reply::Ack ? r.length : 0);
        if (config.size() >= sizeof head) {
            auto* whole = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
            whole->wTotalLength = static_cast<USHORT>(config.size());
            if (PUSB_INTERFACE_DESCRIPTOR i = USBD_ParseConfigurationDescriptorEx(whole, whole, -1, -1, -1, -1, -1)) {
                port->interface_class = i->bInterfaceClass;
                port->interface_subclass = i->bInterfaceSubClass;
                port->interface_protocol = i->bInterfaceProtocol;
            }
        }
    }
    if (!port->capabilities.Size) port->capabilities = DefaultCapabilities(number);

    char name[32];
    std::snprintf(name, sizeof name, "\\Device\\USBPDO-%d", impl_->next_pdo++);
    UNICODE_STRING counted;
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, name);
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&counted, &ansi, TRUE))) return nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(impl_->driver, sizeof(PdoExtension), &counted, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    RtlFreeUnicodeString(&counted);
    if (!NT_SUCCESS(status)) return nullptr;
    auto* ext = static_cast<PdoExtension*>(pdo->DeviceExtension);
    ext->host = impl_.get();
    ext->port = port;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(pdo, DevicePowerState, d0);  // a device comes out of enumeration powered
    char instance[64];
    std::snprintf(instance, sizeof instance, "USB\\VID_%04X&PID_%04X\\5&1e4a2c3&0&%d", descriptor.idVendor,
                  descriptor.idProduct, number);
    kernel::SetInstancePath(pdo, instance);
    port->pdo = pdo;
    return pdo;
}

void HostController::Unplug(int number) {
    PortState* port = impl_->Port(number);
    if (!port || !port->connected) return;
    port->connected = false;
    port->enabled = false;
    impl_->FailMatching(port, nullptr, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    CompleteWaitWake(port, STATUS_NO_SUCH_DEVICE);
    // A device that left has nothing to resume or suspend: its power request ends now.
    if (port->power_irp && KeCancelTimer(&port->power_timer)) {
        PIRP irp = port->power_irp;
        port->power_irp = nullptr;
        FinishDevicePower(port->pdo, port, irp);
    }
    port->device = nullptr;
}

bool HostController::RemoteWakeup(int number) {
    PortState* port = impl_->Port(number);
    if (!port || !port->connected) return false;
    return CompleteWaitWake(port, STATUS_SUCCESS);
}

bool HostController::WaitWakeHeld(int number) const {
    PortState* port = impl_->Port(number);
    return port && port->wait_wake;
}

bool HostController::PowerChanging(int number) const {
    PortState* port = impl_->Port(number);
    return port && port->power_irp;
}

DEVICE_POWER_STATE HostController::DevicePower(int number) const {
    PortState* port = impl_->Port(number);
    return port ? port->power : PowerDeviceUnspecified;
}

void HostController::DisablePort(int number) {
    if (PortState* port = impl_->Port(number)) port->enabled = false;
}

PortStatus HostController::Status(int number) const {
    PortState* port = impl_->Port(number);
    return port ? PortStatus{port->connected, port->enabled} : PortStatus{};
}

PDEVICE_OBJECT HostController::PhysicalDevice(int number) const {
    PortState* port = impl_->Port(number);
    return port ? port->pdo : nullptr;
}

void HostController::Forget(int number) {
    PortState* port = impl_->Port(number);
    if (!port || !port->pdo || port->connected) return;
    IoDeleteDevice(port->pdo);
    port->pdo = nullptr;
    port->pipes.clear();
}

void HostController::SetCapture(Capture* capture) { impl_->capture = capture; }

std::size_t HostController::Outstanding() const {
    std::size_t n = 0;
    KIRQL irql;
    KeAcquireSpinLock(&impl_->lock, &irql);
    for (PLIST_ENTRY e = impl_->transfers.Flink; e != &impl_->transfers; e = e->Flink) ++n;
    KeReleaseSpinLock(&impl_->lock, irql);
    return n;
}

}  // namespace usb
