#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/open_handle.h"
#include "driver/transfer/request_queue.h"
#include "driver/transfer/transfer_context.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"

namespace {

constexpr ULONG ISO_ANY_LENGTH = 0xFFFFFFFF;

// The caller's header lives in its memory and may change under us: read each field once.
ULONG ReadOnce(const uint32_t *field) { return *static_cast<const volatile uint32_t *>(field); }

// The pipe's reference is taken under transferMutex, which configuration changes also hold
// while they release pipe records.
VOID AttachPipe(TransferContext *t, PIRP irp, PipeContext *pipe) {
  t->irp = irp;
  t->pipe = pipe;
  InterlockedIncrement(&pipe->referenceCount);
}

NTSTATUS SetupBulkTransfer(DeviceExtension *dx, PIRP irp, PipeContext *pipe, ULONG length, BOOLEAN isRead) {
  TransferContext *t = static_cast<TransferContext *>(AllocateFromPool(&dx->transferPool));
  if (!t) return CompleteRequest(irp, ERR_NO_TRANSFER_CONTEXT);
  struct _URB_BULK_OR_INTERRUPT_TRANSFER *urb = &t->urbBuffer;
  RtlZeroMemory(urb, sizeof *urb);
  urb->Hdr.Length = USHORT(sizeof *urb);
  urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->PipeHandle = pipe->pipeInfo.PipeHandle;
  urb->TransferFlags = (isRead ? USBD_TRANSFER_DIRECTION_IN : 0) | (pipe->shortTransferOk ? USBD_SHORT_TRANSFER_OK : 0);
  urb->TransferBufferLength = length;
  urb->TransferBufferMDL = irp->MdlAddress;
  t->partialMdl = NULL;
  t->urb = reinterpret_cast<PURB>(urb);
  t->isoHeader = NULL;
  t->packetCount = 0;
  AttachPipe(t, irp, pipe);
  return QueueTransfer(dx, t);
}

// The caller may rewrite the table while it is read: the value checked is the value used.
// USBD_ISO_PACKET_DESCRIPTOR docs: the bus takes each packet's size from the offsets (the next
// one's minus its own, the last to the end of the transfer), so the caller's lengths hold only
// when the packets lie back to back; the transfer then ends with the last packet.
NTSTATUS CopyIsoPackets(TransferContext *t, const volatile IsoPacketDescriptor *descriptors, ULONG count,
                        ULONG length, const PipeContext *pipe, BOOLEAN isRead) {
  USBD_ISO_PACKET_DESCRIPTOR *packets = t->urb->UrbIsochronousTransfer.IsoPacket;
  // Reads take packets of any length. Kept in locals: the stores into the URB could alias the
  // context's and the pipe's fields, which would then be reloaded for every packet.
  const ULONG longest = isRead ? ISO_ANY_LENGTH : pipe->pipeInfo.MaximumPacketSize;
  const ULONG first = descriptors[0].Offset;
  // Each packet starts where the one before ended. The end is kept in 64 bits, where no sum of
  // lengths wraps, so one check after the loop keeps every packet inside the buffer; an offset
  // below packet 0's wraps to a value that either differs from the end or fails that check.
  ULONGLONG end = 0;  // from 'first'
  for (ULONG k = 0; k < count; ++k) {
    const ULONG offset = descriptors[k].Offset - first;
    const ULONG packetLength = descriptors[k].Length;
    if (offset != end || packetLength > longest) return ERR_INVALID_ISO_PACKET;
    packets[k].Offset = offset;
    packets[k].Length = packetLength;
    end += packetLength;
  }
  if (first + end > length) return ERR_INVALID_ISO_PACKET;
  t->totalLength = ULONG(end);
  t->dataOffset = first;
  return STATUS_SUCCESS;
}

NTSTATUS SetupIsoTransfer(DeviceExtension *dx, PIRP irp, PipeContext *pipe, ULONG length, BOOLEAN isRead) {
  if (length < sizeof(IsoTransferHeader)) return CompleteRequest(irp, ERR_INVALID_INBUFFER);
  PMDL mdl = irp->MdlAddress;
  IsoTransferHeader *header = static_cast<IsoTransferHeader *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  if (!header) return CompleteRequest(irp, ERR_BUFFER_MAPPING_FAILED);
  const ULONG count = ReadOnce(&header->NumberOfPackets);
  if (count == 0 || ULONGLONG(count) * sizeof(IsoPacketDescriptor) + sizeof(IsoTransferHeader) > length)
    return CompleteRequest(irp, ERR_INVALID_INBUFFER);
  if (count > dx->parameters.maxIsoPackets) return CompleteRequest(irp, ERR_TOO_MANY_ISO_PACKETS);
  TransferContext *t = static_cast<TransferContext *>(AllocateFromPool(&dx->isoTransferPool));
  if (!t) return CompleteRequest(irp, ERR_NO_TRANSFER_CONTEXT);
  // Only what this request's URB covers: the rest of the element is never read, and clearing
  // room for maxIsoPackets would cost more than the request itself when it has few packets.
  const ULONG urbLength = ULONG(sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * count);
  RtlZeroMemory(&t->urbBuffer, urbLength);
  t->urb = reinterpret_cast<PURB>(&t->urbBuffer);
  t->pipe = NULL;
  t->partialMdl = NULL;

  NTSTATUS status = CopyIsoPackets(t, reinterpret_cast<volatile IsoPacketDescriptor *>(header + 1), count, length,
                                   pipe, isRead);
  PUCHAR callerBuffer = static_cast<PUCHAR>(MmGetMdlVirtualAddress(mdl));
  if (NT_SUCCESS(status)) {
    t->partialMdl = IoAllocateMdl(callerBuffer, length, FALSE, FALSE, NULL);
    if (!t->partialMdl) status = ERR_NO_MEMORY;
  }
  if (!NT_SUCCESS(status)) {
    FreeTransferContext(t);
    return CompleteRequest(irp, status);
  }
  IoBuildPartialMdl(mdl, t->partialMdl, callerBuffer + t->dataOffset, 0);

  const ULONG flags = ReadOnce(&header->Flags);
  struct _URB_ISOCH_TRANSFER *urb = &t->urb->UrbIsochronousTransfer;
  urb->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  urb->Hdr.Length = USHORT(urbLength);
  urb->PipeHandle = pipe->pipeInfo.PipeHandle;
  urb->TransferFlags = (isRead ? USBD_TRANSFER_DIRECTION_IN : 0) |
                       ((flags & ISO_START_ASAP) ? USBD_START_ISO_TRANSFER_ASAP : 0) |
                       ((flags & SHORT_TRANSFER_OK) ? USBD_SHORT_TRANSFER_OK : 0);
  urb->TransferBufferMDL = t->partialMdl;
  urb->TransferBufferLength = t->totalLength;
  urb->StartFrame = ReadOnce(&header->StartFrame);
  urb->NumberOfPackets = count;
  t->isoHeader = header;
  t->packetCount = count;
  AttachPipe(t, irp, pipe);
  return QueueTransfer(dx, t);
}

NTSTATUS SetUp(DeviceExtension *dx, PIRP irp, BOOLEAN isRead) {
  const ULONG length = irp->MdlAddress ? MmGetMdlByteCount(irp->MdlAddress) : 0;
  if (!dx->devicePresent) return CompleteRequest(irp, ERR_DEVICE_NOT_PRESENT);
  const OpenHandle *handle = HandleOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
  PipeContext *pipe = handle ? handle->boundPipe : NULL;
  if (!pipe) return CompleteRequest(irp, dx->pnpState == PNP_STARTED ? ERR_NOT_BOUND : ERR_DEVICE_NOT_READY);
  const BOOLEAN pipeIn = (pipe->pipeInfo.EndpointAddress & 0x80) != 0;
  if (pipeIn != isRead) return CompleteRequest(irp, ERR_INVALID_DIRECTION);
  switch (pipe->pipeInfo.PipeType) {
    case UsbdPipeTypeIsochronous:
      return SetupIsoTransfer(dx, irp, pipe, length, isRead);
    case UsbdPipeTypeBulk:
    case UsbdPipeTypeInterrupt:
      return SetupBulkTransfer(dx, irp, pipe, length, isRead);
    default:
      return CompleteRequest(irp, ERR_INVALID_TYPE);
  }
}

}  // namespace

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  const BOOLEAN isRead = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ;
  if (isRead && !irp->MdlAddress) return CompleteRequest(irp, STATUS_SUCCESS);
  WaitForObject(&dx->transferMutex, Executive);
  const NTSTATUS status = SetUp(dx, irp, isRead);
  KeReleaseMutex(&dx->transferMutex, FALSE);
  return status;
}
