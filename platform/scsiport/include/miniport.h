// The base of a SCSI miniport's view of the platform. This miniport also calls the I/O manager (it
// reaches its camera through another driver), so the kernel's declarations come with it.
#pragma once

#include "wdm.h"
