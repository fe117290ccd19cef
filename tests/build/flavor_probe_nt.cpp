#include "flavor_probe.h"
const char* FlavorName() { return "nt"; }
