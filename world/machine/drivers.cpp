#include "machine/drivers.h"

#include "kernel/pnp.h"

// The drivers' entry points, named apart from each other's in this one program.
DRIVER_INITIALIZE UScsiDriverEntry;
DRIVER_INITIALIZE MiniportDriverEntry;

namespace machine {

#if defined(TV_FLAVOR_NT)
const char* BuiltFlavor() { return "nt"; }
static const char kFunctionDriver[] = "tv2kusb";
static const char kMiniport[] = "tv2kscsi";
#else
const char* BuiltFlavor() { return "9x"; }
static const char kFunctionDriver[] = "tvqrusb";
static const char kMiniport[] = "tvqrscsi";
#endif

void RegisterDrivers() {
    kernel::pnp::RegisterDriver(kFunctionDriver, UScsiDriverEntry, {"USB\\VID_E7A4&PID_0004", "USB\\VID_E7A4&PID_0015"});
    kernel::pnp::RegisterDriver(kMiniport, MiniportDriverEntry, {"DAVIZU\\TVQRSCSI"});
}

}  // namespace machine
