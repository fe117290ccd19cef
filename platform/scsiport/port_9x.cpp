// The Windows 98/Me port: the 76-byte initialisation data only, no HwAdapterControl, and for each
// request an SRB of the port's own with the address of an I/O packet behind it (io_packet.h).
#include <algorithm>

#include "io_packet.h"
#include "port.h"

static_assert(sizeof(void*) == 4, "the 9x port hands its miniport 32-bit linear addresses");

namespace scsiport::detail {
namespace {

// One pool block per request: the miniport's SRB, the packet's address, and what it points at.
struct Block {
    SCSI_REQUEST_BLOCK srb;
    ULONG packet_address;
    PORT_IO_PACKET packet;
    PORT_DEVICE_RECORD device;
    PORT_SG_ELEMENT elements[1];  // the segments, then the terminating element
};
static_assert(offsetof(Block, packet_address) == sizeof(SCSI_REQUEST_BLOCK));

ULONG Linear(const void* address) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(address)); }

}  // namespace

bool KnowsInitDataSize(ULONG size) { return size == HW_INITIALIZATION_DATA_SIZE_9X; }

bool CallsAdapterControl(const HW_INITIALIZATION_DATA&) { return false; }

NTSTATUS PrepareSrb(PortRequest& request, const PacketRequest* packet) {
    ULONG count = packet ? packet->count : 0;
    if (count > 0xFF) return STATUS_INVALID_PARAMETER;
    SIZE_T size = offsetof(Block, elements) + (count + 1) * sizeof(PORT_SG_ELEMENT);
    auto* block = static_cast<Block*>(ExAllocatePoolWithTag(NonPagedPool, size, kPacketTag));
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, size);
    block->srb = *request.original;
    block->packet_address = Linear(&block->packet);
    block->packet.DeviceRecord = Linear(&block->device);
    block->device.BlockSize = packet ? packet->block_size : kDefaultBlockSize;
    if (count) {
        block->packet.Flags |= PORT_IO_FLAG_SCATTER_GATHER;
        block->packet.SgList = Linear(block->elements);
        block->packet.SgCount = static_cast<UCHAR>(count);
        PPORT_SG_ELEMENT elements = block->elements;
        for (ULONG i = 0; i < count; ++i)
            elements[i] = {packet->segments[i].blocks, Linear(packet->segments[i].buffer)};
    }
    request.srb = &block->srb;
    request.packet = block;
    return STATUS_SUCCESS;
}

void FinishSrb(PortRequest& request) {
    PSCSI_REQUEST_BLOCK srb = request.srb;
    PSCSI_REQUEST_BLOCK original = request.original;
    original->SrbStatus = srb->SrbStatus;
    original->ScsiStatus = srb->ScsiStatus;
    original->DataTransferLength = srb->DataTransferLength;
    original->SenseInfoBufferLength = srb->SenseInfoBufferLength;
    ExFreePoolWithTag(request.packet, kPacketTag);
}

}  // namespace scsiport::detail
