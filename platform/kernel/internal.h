// What the kernel stand-in's files share among themselves.
#pragma once

#include <functional>
#include <mutex>
#include <source_location>
#include <string>

#include "kernel.h"
#include "sched/sched.h"

namespace kernel::detail {

// Guards the kernel's registries (pool, IRPs, names). Never held across a scheduling point or a call
// into a driver.
std::mutex& RegistryLock();
using Guard = std::lock_guard<std::mutex>;

std::string Site(const std::source_location& site);

// IRQL of the calling thread.
KIRQL& Irql();

// Pool blocks that the kernel allocates for itself carry the site of the caller that asked for them.
PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const std::string& site);
void Free(PVOID block, const char* who);
void ResetPool();
void ListPoolLeaks(std::vector<std::string>& leaks);

// Objects of the object manager: a header before the body counts references.
enum class ObjectType : std::uint8_t { Device, File, Driver };
PVOID NewObject(ObjectType type, SIZE_T body_size, ULONG tag, const std::string& site);
void FreeObject(PVOID body);
bool IsObject(PVOID body, ObjectType type);
void DeleteDeviceObject(PDEVICE_OBJECT device);  // last reference of a deleted device is gone
bool DriverHasDevices(PDRIVER_OBJECT driver);     // under the registry lock: a device object of it exists
void FinishUnload(PDRIVER_OBJECT driver);         // runs the unload routine and frees the driver object
void ForgetDevice(PVOID body);                   // drop the I/O manager's records of a device
void CloseFileObject(PFILE_OBJECT file);         // last reference of a file is gone
bool StackHasOpenFiles(PDEVICE_OBJECT pdo);      // a file is open on a device of the PDO's stack
bool DeviceDeleted(PDEVICE_OBJECT device);       // IoDeleteDevice was called (or it never existed)
void FileClosed();                               // tells Plug and Play, which may owe a removal
void ResetObjects(std::vector<std::string>& leaks);
void ResetNames();

// IRP tracking.
PIRP AllocateIrp(CCHAR stack_size, const std::string& site, bool io_manager_owned);
// True when the IRP is allocated and not freed; otherwise reports a fault naming `who`.
bool CheckIrp(PIRP irp, const char* who);
bool IrpOwnedByIoManager(PIRP irp);
std::uint64_t IrpSerial(PIRP irp);  // 0 when not allocated
void ResetIrps(std::vector<std::string>& leaks);

void StartWorkers(const BootOptions& options);
void StopWorkers();
// The Plug and Play manager's thread and tree (pnp.cpp); it stops before the workers and lets go of
// its devices before the leak report.
void StartPlugAndPlay();
void StopPlugAndPlay();

// The power manager (power.cpp): a power IRP being completed, a device being deleted, shutdown.
void PowerIrpCompleting(PIRP irp);
void ForgetPowerRecord(PDEVICE_OBJECT device);
void StopPower(std::vector<std::string>& leaks);
// Runs `body` as one Plug and Play operation with the physical device objects of the nodes whose
// driver stack is in place (started or stopped), parents before their children.
NTSTATUS WithStartedStacks(const char* who, const std::function<NTSTATUS(const std::vector<PDEVICE_OBJECT>&)>& body);

void ResetVerifier();
void ResetDebugOutput();

// The system time of virtual (or steady) time 0.
LONGLONG SystemTimeBase();
void SetSystemTimeBase();

}  // namespace kernel::detail

namespace kernel::detail {

// A pool tag whose bytes in memory read as the four characters given, as the pool tools show them.
constexpr ULONG MakeTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// True when the failure rule says this allocation (of `tag`) fails.
bool ShouldFail(ULONG tag);
ULONG TagOf(PVOID block);  // 0 when not a pool block

}  // namespace kernel::detail
