// The Windows 98/Me virtual machine manager's semaphore services, as the 9x drivers of this system
// call them. Written for this emulated PC over the kernel stand-in's semaphores:
//  - A handle is a 32-bit value, never 0 and never used again in the run; a call with a handle that
//    was never made or was destroyed already is a kernel::Fault.
//  - Each semaphore holds a non-paged pool block (tag 'VSem') with the site of its creation, so that a
//    semaphore never destroyed shows among the leaks of the kernel's shutdown report.
//  - Wait_Semaphore is a kernel wait: it blocks the calling thread, which must be at PASSIVE_LEVEL.
//    The flags only say how the platform services interrupts during the block; none changes the wait.
//  - The count has no upper limit; Create_Semaphore fails (0) for a negative count.
#pragma once

#include <source_location>

#include "wdm.h"

#define BLOCK_SVC_INTS 0x00000001
#define BLOCK_SVC_IF_INTS_LOCKED 0x00000002
#define BLOCK_ENABLE_INTS 0x00000004
#define BLOCK_POLL 0x00000008
#define BLOCK_THREAD_IDLE 0x00000010
#define BLOCK_FORCE_SVC_INTS 0x00000020

typedef ULONG VMM_SEMAPHORE;

// A semaphore with TokenCount tokens; 0 when there is no memory for it.
VMM_SEMAPHORE Create_Semaphore(LONG TokenCount, std::source_location Site = std::source_location::current());
// Takes a token, waiting for one.
VOID Wait_Semaphore(VMM_SEMAPHORE Semaphore, ULONG Flags);
// Gives a token back, waking one waiter.
VOID Signal_Semaphore(VMM_SEMAPHORE Semaphore);
// A semaphore that a thread waits on cannot be destroyed (a fault).
VOID Destroy_Semaphore(VMM_SEMAPHORE Semaphore);
