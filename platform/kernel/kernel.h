// The kernel stand-in as the rest of the emulated PC sees it: boot and shut down, the verifier's
// reports (faults, pool blocks, IRPs), loading drivers, opening files by path, and the hooks that the
// bus and Plug and Play stand-ins use. Drivers never include this; they see only wdm.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "wdm.h"

namespace kernel {

struct BootOptions {
    int delayed_workers = 3;   // system worker threads of the delayed queue
    int critical_workers = 2;  // of the critical queue
};

// Starts the kernel under the current scheduler: its worker threads and empty registries.
void Boot(const BootOptions& options = {});

struct ShutdownReport {
    std::vector<std::string> leaks;   // pool blocks, IRPs and objects still allocated
    std::vector<std::string> faults;  // everything the verifier reported during the run
    bool Clean() const { return leaks.empty() && faults.empty(); }
    std::string Text() const;
};

// Stops the worker threads, lists what is still allocated and frees the kernel's own records.
ShutdownReport Shutdown();
bool Running();

// ---- verifier -----------------------------------------------------------------------------------

// Records a fault (a rule of the platform broken by its caller) and prints it at once.
void Fault(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::vector<std::string> Faults();
// Removes the faults whose text contains `fragment` and returns how many there were; a test that
// provokes a fault on purpose takes it back this way.
int TakeFaults(const std::string& fragment);

// ---- pool ---------------------------------------------------------------------------------------

struct PoolBlock {
    const void* address;
    POOL_TYPE type;
    std::size_t size;
    ULONG tag;
    std::string site;  // file:line of the allocation
};
std::vector<PoolBlock> PoolBlocks();  // in allocation order
std::string TagText(ULONG tag);      // the tag's four characters, as the platform's pool tools show them

// Makes allocations fail, like the platform's driver verifier: of the allocations whose tag is `tag`
// (0: any tag), let `skip` succeed, then fail the next `count`.
struct PoolFailure {
    ULONG tag = 0;
    std::uint64_t skip = 0;
    std::uint64_t count = 1;
};
void FailPoolAllocations(const PoolFailure& rule);
void ClearPoolFailures();
std::uint64_t PoolFailuresInjected();

std::size_t LiveIrps();

// ---- drivers, devices and files -----------------------------------------------------------------

// Creates a driver object named "\Driver\<name>" and runs its entry point; NULL when it fails.
PDRIVER_OBJECT LoadDriver(const char* name, PDRIVER_INITIALIZE entry, NTSTATUS* status = nullptr);
// Runs the unload routine and frees the driver object; its devices must be gone.
void UnloadDriver(PDRIVER_OBJECT driver);

// Opens a path such as "\Device\Camera-1\PIPE0" or a symbolic link: the longest name that the object
// namespace holds picks the device, the rest becomes the file name, and IRP_MJ_CREATE goes to the top
// of that device's stack. The caller owns one reference (ObDereferenceObject closes).
NTSTATUS OpenFile(const std::string& path, ACCESS_MASK access, PFILE_OBJECT* file);

// Sends an IRP that the I/O manager owns (built here or by IoBuildDeviceIoControlRequest) and waits
// for its completion; returns the final status.
NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp);

PDEVICE_OBJECT FindDevice(const std::string& name);
std::string DeviceName(PDEVICE_OBJECT device);
// The device instance path that Plug and Play gave a physical device object ("USB\VID_E7A4&PID_0004\1").
void SetInstancePath(PDEVICE_OBJECT pdo, const std::string& path);
std::string InstancePath(PDEVICE_OBJECT pdo);

struct InterfaceLink {
    GUID guid;
    PDEVICE_OBJECT pdo;
    std::string link;
    bool enabled;
};
std::vector<InterfaceLink> InterfaceLinks();

// Waits (for at most `limit`) until no work item is queued or running: the system's workers have
// come to rest. False when they had not by then.
bool WorkQueuesIdle(sched::Time limit);

// ---- debug output -------------------------------------------------------------------------------

// Every DbgPrint line goes to the sink (none by default) and is kept for DebugOutput().
void SetDebugSink(std::function<void(const std::string&)> sink);
std::vector<std::string> DebugOutput();

// "STATUS_SUCCESS", ...; the value in hex for a status without a name here.
std::string StatusName(NTSTATUS status);

// ---- counted strings for the stand-ins ----------------------------------------------------------

std::string ToUtf8(PCUNICODE_STRING text);
std::u16string ToUtf16(const std::string& text);

// ---- time ---------------------------------------------------------------------------------------

// The system time at which a sim run starts: 2005-01-01 00:00 UTC in 100 ns units since 1601.
inline constexpr LONGLONG kSimEpoch = 127490112000000000LL;
// Turns a platform time-out (NULL, negative relative, positive absolute) into a scheduler deadline.
sched::Time DeadlineOf(const LARGE_INTEGER* timeout);

}  // namespace kernel
