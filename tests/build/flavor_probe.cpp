#include "flavor_probe.h"
int FlavorShared() { return 42; }
