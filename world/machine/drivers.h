// The drivers of the machine's flavor, registered with Plug and Play for the devices they serve.
#pragma once

namespace machine {

// "nt" or "9x": the flavor this machine was built with.
const char* BuiltFlavor();
// Makes the flavor's drivers known to Plug and Play; the kernel must be running.
void RegisterDrivers();

}  // namespace machine
