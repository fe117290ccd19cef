// Camera transport, Windows 98/Me build: a scattered request of 4096 bytes or more is carried one
// scatter/gather element at a time, each with a command block of its own.
#include "io_packet.h"
#include "tvscsi.h"

#define SEGMENT_THRESHOLD 4096

static ULONG ReadBigEndian(const UCHAR* Bytes, ULONG Count) {
    ULONG value = 0;
    for (ULONG i = 0; i < Count; ++i) value = value << 8 | Bytes[i];
    return value;
}

static VOID WriteBigEndian(UCHAR* Bytes, ULONG Count, ULONG Value) {
    for (ULONG i = Count; i > 0; --i) {
        Bytes[i - 1] = (UCHAR)Value;
        Value >>= 8;
    }
}

/*
 * PrepareDataPhase: chooses the data area of the next command. For a scattered request it is the part
 * of the element that holds offset DoneLength, from that offset on, and at most MaxTransferSize bytes,
 * so that each command moves exactly one chunk (an element longer than a chunk takes several).
 */
static NTSTATUS PrepareDataPhase(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request, PSCSI_REQUEST_BLOCK Srb) {
    PPORT_IO_PACKET packet = reinterpret_cast<PPORT_IO_PACKET>((ULONG_PTR)PORT_IO_PACKET_ADDRESS(Srb));
    Request->BlockSize = 512;
    if (packet != NULL && packet->DeviceRecord != 0) {
        ULONG size = reinterpret_cast<PPORT_DEVICE_RECORD>((ULONG_PTR)packet->DeviceRecord)->BlockSize;
        if (size != 0 && size % 128 == 0) Request->BlockSize = size;
    }
    if (packet != NULL && Request->DataBuffer != NULL && Request->TotalLength != 0 &&
        Request->TotalLength > Request->DoneLength && (packet->Flags & PORT_IO_FLAG_SCATTER_GATHER) &&
        packet->SgCount > 1) {
        Request->RequestFlags |= REQUEST_SEGMENTED;
        PPORT_SG_ELEMENT element = reinterpret_cast<PPORT_SG_ELEMENT>((ULONG_PTR)packet->SgList);
        ULONG start = 0;
        for (; element->BlockCount != 0 && element->Buffer != 0; ++element) {
            ULONG length = element->BlockCount * Request->BlockSize;
            if (Request->DoneLength < start + length) {
                ULONG within = Request->DoneLength - start;
                Request->ChunkPointer = reinterpret_cast<PUCHAR>((ULONG_PTR)element->Buffer) + within;
                Request->ChunkLength = length - within;
                if (Request->ChunkLength > Adapter->MaxTransferSize) Request->ChunkLength = Adapter->MaxTransferSize;
                return STATUS_SUCCESS;
            }
            start += length;
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Request->ChunkPointer = Request->DataBuffer + Request->DoneLength;
    Request->ChunkLength = Request->TotalLength - Request->DoneLength;
    return STATUS_SUCCESS;
}

/*
 * SendSegmentCommand: the SRB's command with its block address and count rewritten for the chunk.
 */
static NTSTATUS SendSegmentCommand(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request, PSCSI_REQUEST_BLOCK Srb) {
    PSCSI_REQUEST_BLOCK internal = &Adapter->InternalSrb;
    RtlZeroMemory(internal, sizeof(*internal));
    internal->Length = sizeof(*internal);
    internal->CdbLength = Srb->CdbLength;
    RtlCopyMemory(internal->Cdb, Srb->Cdb, sizeof(internal->Cdb));
    UCHAR* cdb = internal->Cdb;
    ULONG addressAt = 2, addressBytes = 4, countAt = 6, countBytes = 4;
    if (Srb->CdbLength == 6) {
        addressBytes = 2;
        countAt = 4;
        countBytes = 1;
    } else if (Srb->CdbLength == 10) {
        countAt = 7;
        countBytes = 2;
    }
    ULONG address = ReadBigEndian(cdb + addressAt, addressBytes) + Request->DoneLength / Request->BlockSize;
    WriteBigEndian(cdb + addressAt, addressBytes, address);
    WriteBigEndian(cdb + countAt, countBytes, Request->ChunkLength / Request->BlockSize);
    return SendCommandBlock(Adapter, internal);
}

NTSTATUS StartCommand(PADAPTER_EXTENSION Adapter, PREQUEST_RECORD Request, PSCSI_REQUEST_BLOCK Srb) {
    if (Request->TotalLength < SEGMENT_THRESHOLD) {
        Request->ChunkPointer = Request->DataBuffer + Request->DoneLength;
        Request->ChunkLength = Request->TotalLength - Request->DoneLength;
        return SendCommandBlock(Adapter, Srb);
    }
    NTSTATUS status = PrepareDataPhase(Adapter, Request, Srb);
    if (status != STATUS_SUCCESS) {
        // No element holds the offset: no command goes out, and the request ends with the failure.
        Request->ChunkLength = 0;
        return status;
    }
    if (Request->RequestFlags & REQUEST_SEGMENTED) return SendSegmentCommand(Adapter, Request, Srb);
    return SendCommandBlock(Adapter, Srb);
}

BOOLEAN NextSegment(PREQUEST_RECORD Request) {
    return (Request->RequestFlags & REQUEST_SEGMENTED) && Request->DoneLength < Request->TotalLength;
}

VOID WaitBeforeStatus(PADAPTER_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb) {
    UNREFERENCED_PARAMETER(Adapter);
    UNREFERENCED_PARAMETER(Srb);
}
