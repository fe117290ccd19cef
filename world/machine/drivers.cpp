#include "machine/drivers.h"

#include "kernel/pnp.h"

// The function driver's entry point, named apart from the other drivers' in this one program.
DRIVER_INITIALIZE UScsiDriverEntry;

namespace machine {

#if defined(TV_FLAVOR_NT)
const char* BuiltFlavor() { return "nt"; }
static const char kFunctionDriver[] = "tv2kusb";
#else
const char* BuiltFlavor() { return "9x"; }
static const char kFunctionDriver[] = "tvqrusb";
#endif

void RegisterDrivers() {
    kernel::pnp::RegisterDriver(kFunctionDriver, UScsiDriverEntry, {"USB\\VID_E7A4&PID_0004", "USB\\VID_E7A4&PID_0015"});
}

}  // namespace machine
