// The kernel interface for drivers; everything the drivers of this system use is in wdm.h.
#pragma once
#include "wdm.h"
