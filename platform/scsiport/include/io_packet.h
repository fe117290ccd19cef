// The I/O packet that the Windows 98/Me port places behind each SCSI request block it hands a miniport.
//
// The 9x port allocates every SRB it gives the miniport with one more field directly after it: the
// 32-bit linear address of an I/O packet that describes the request as the system's I/O layer made it.
// The packet names the physical device record of the drive (which holds its block size) and, for a
// scattered transfer, a list of (block count, buffer address) elements. Only the fields below are
// filled; every other byte is zero. All values are 32-bit little-endian and all addresses 32-bit
// linear addresses, so the 9x flavor builds for i386 only; the layouts themselves hold no pointer and
// are the same in every tree.
#pragma once

#include <cstddef>

#include "srb.h"

#pragma pack(push, 1)

// One piece of a scattered transfer. The list ends with an element whose count or address is 0.
typedef struct _PORT_SG_ELEMENT {
    ULONG BlockCount;  // blocks of the drive's block size
    ULONG Buffer;      // linear address
} PORT_SG_ELEMENT, *PPORT_SG_ELEMENT;

typedef struct _PORT_DEVICE_RECORD {
    UCHAR Reserved0[219];
    ULONG BlockSize;  // bytes
    UCHAR Reserved1[1];
} PORT_DEVICE_RECORD, *PPORT_DEVICE_RECORD;

#define PORT_IO_FLAG_SCATTER_GATHER 0x00000002

typedef struct _PORT_IO_PACKET {
    ULONG Reserved0;
    ULONG DeviceRecord;  // linear address of the PORT_DEVICE_RECORD
    UCHAR Reserved1[100];
    ULONG Flags;         // PORT_IO_FLAG_*
    UCHAR Reserved2[16];
    ULONG SgList;        // linear address of the first PORT_SG_ELEMENT; 0 without PORT_IO_FLAG_SCATTER_GATHER
    UCHAR Reserved3[44];
    UCHAR SgCount;       // elements before the terminating one
    UCHAR Reserved4[3];
} PORT_IO_PACKET, *PPORT_IO_PACKET;

#pragma pack(pop)

static_assert(sizeof(PORT_SG_ELEMENT) == 8);
static_assert(offsetof(PORT_DEVICE_RECORD, BlockSize) == 219);
static_assert(offsetof(PORT_IO_PACKET, DeviceRecord) == 4);
static_assert(offsetof(PORT_IO_PACKET, Flags) == 108);
static_assert(offsetof(PORT_IO_PACKET, SgList) == 128);
static_assert(offsetof(PORT_IO_PACKET, SgCount) == 176);
static_assert(sizeof(PORT_IO_PACKET) == 180);

// Where the packet's address sits: directly after the SRB the miniport was given.
#define PORT_IO_PACKET_ADDRESS(Srb) (*(PULONG)((PUCHAR)(Srb) + sizeof(SCSI_REQUEST_BLOCK)))
