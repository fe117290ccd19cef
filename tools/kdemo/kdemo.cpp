// A short run of the emulated PC's foundation: the scheduler and the kernel's I/O manager.
//
// Two small drivers form a device stack: "bus" answers each request after 1 ms of bus time from a
// DPC, as a host controller would; "func" sits above it, gives itself a name, and passes requests
// down with a completion routine. The run opens the named device, sends requests, waits 900 virtual
// seconds, and prints what happened and when, then the kernel's shutdown report.
//
//   kdemo [--seed N] [--random]
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "kernel/kernel.h"
#include "sched/sched.h"

namespace {

double Ms(sched::Time t) { return static_cast<double>(t) / sched::kMillisecond; }

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    std::printf("[%10.3f ms] ", Ms(sched::Now()));
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

// ---- the bus driver: completes each request 1 ms later from a DPC -------------------------------

struct BusExtension {
    KTIMER timer;
    KDPC dpc;
    PIRP pending;
};

VOID NTAPI BusDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* ext = static_cast<BusExtension*>(context);
    PIRP irp = ext->pending;
    ext->pending = nullptr;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 64;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<BusExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL || ext->pending) {
        irp->IoStatus.Status = stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL ? STATUS_DEVICE_BUSY
                                                                                      : STATUS_SUCCESS;
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    ext->pending = irp;
    LARGE_INTEGER due;
    due.QuadPart = -1 * sched::kMillisecond;
    KeSetTimer(&ext->timer, due, &ext->dpc);
    return STATUS_PENDING;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = BusDispatch;
    return STATUS_SUCCESS;
}

// ---- the function driver: a named device that passes requests down ------------------------------

struct FuncExtension {
    PDEVICE_OBJECT lower;
    LONG completed;
};

const char* MajorName(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE: return "create";
    case IRP_MJ_CLEANUP: return "cleanup";
    case IRP_MJ_CLOSE: return "close";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "internal device control";
    default: return "request";
    }
}

NTSTATUS NTAPI FuncCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    auto* ext = static_cast<FuncExtension*>(device->DeviceExtension);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    InterlockedIncrement(&ext->completed);
    Say("func: %s completed at IRQL %u, status 0x%08X, %lu bytes",
        MajorName(IoGetCurrentIrpStackLocation(irp)->MajorFunction), KeGetCurrentIrql(),
        static_cast<unsigned>(irp->IoStatus.Status), static_cast<unsigned long>(irp->IoStatus.Information));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FuncDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FuncExtension*>(device->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FuncCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI FuncEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = FuncDispatch;
    return STATUS_SUCCESS;
}

int Run(std::uint64_t seed, bool random) {
    sched::Options options;
    options.seed = seed;
    options.policy = random ? sched::Policy::Random : sched::Policy::Fifo;
    options.record_trace = true;
    sched::Scheduler scheduler(options);
    kernel::Boot();
    Say("kernel booted: sim mode, %s policy, seed %llu", random ? "random" : "fifo",
        static_cast<unsigned long long>(seed));

    PDRIVER_OBJECT bus = kernel::LoadDriver("demobus", BusEntry);
    PDRIVER_OBJECT func = kernel::LoadDriver("demofunc", FuncEntry);
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr;
    IoCreateDevice(bus, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    auto* bus_ext = static_cast<BusExtension*>(pdo->DeviceExtension);
    KeInitializeTimer(&bus_ext->timer);
    KeInitializeDpc(&bus_ext->dpc, BusDpc, bus_ext);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    char text[32];
    std::snprintf(text, sizeof text, "\\Device\\DEMO-%d", 1);
    ANSI_STRING ansi;
    UNICODE_STRING name;
    RtlInitAnsiString(&ansi, text);
    RtlAnsiStringToUnicodeString(&name, &ansi, TRUE);
    IoCreateDevice(func, sizeof(FuncExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    static_cast<FuncExtension*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    Say("stack: %s (stack size %d) over the bus device", text, fdo->StackSize);

    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top);
    Say("IoGetDeviceObjectPointer(%s): 0x%08X", text, static_cast<unsigned>(status));
    ObDereferenceObject(file);
    RtlFreeUnicodeString(&name);

    for (int i = 0; i < 3; ++i) {
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x220003, top, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        Say("request %d: sent 0x%08X, final 0x%08X", i + 1, static_cast<unsigned>(status),
            static_cast<unsigned>(iosb.Status));
    }

    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -900 * sched::kSecond;
    auto wall = std::chrono::steady_clock::now();
    status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    Say("a wait of 900 s ended with 0x%08X after %.6f s of wall time", static_cast<unsigned>(status), seconds);

    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    kernel::UnloadDriver(func);
    kernel::UnloadDriver(bus);
    kernel::ShutdownReport report = kernel::Shutdown();
    Say("shutdown: %zu leaks, %zu faults", report.leaks.size(), report.faults.size());
    std::fputs(report.Text().c_str(), stdout);

    std::string trace = scheduler.Trace();
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : trace) hash = (hash ^ c) * 1099511628211ull;
    std::printf("scheduler: %llu switches, trace of %zu bytes, FNV-1a %016llx (same seed, same trace)\n",
                static_cast<unsigned long long>(scheduler.Switches()), trace.size(),
                static_cast<unsigned long long>(hash));
    return report.Clean() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t seed = 1;
    bool random = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) {
            char* end = nullptr;
            seed = std::strtoull(argv[++i], &end, 10);
            if (!end || *end) {
                std::fprintf(stderr, "kdemo: --seed takes a number\n");
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--random")) {
            random = true;
        } else {
            std::fprintf(stderr, "usage: kdemo [--seed N] [--random]\n");
            return 2;
        }
    }
    return Run(seed, random);
}
