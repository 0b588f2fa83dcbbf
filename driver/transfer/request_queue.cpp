#include "driver/transfer/request_queue.h"

#include "driver/config/configuration.h"
#include "driver/control/pipe_statistics.h"
#include "driver/control/status_map.h"
#include "driver/core/device_extension.h"
#include "driver/transfer/context_pool.h"
#include "driver/transfer/transfer_context.h"
#include "include/xrusb/ioctl.h"

namespace {

constexpr USBD_STATUS URB_NOT_PROCESSED = USBD_STATUS(0xFFFFFFFF);

TransferContext *ContextOfEntry(PLIST_ENTRY e) { return CONTAINING_RECORD(e, TransferContext, listEntry); }

VOID CompleteCancelled(PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completes IRPs gathered in their own list entries (theirs to use while the driver owns them),
// after every context went back: a completion may release the last reference to a file, whose
// close can then tear the device and its pools down.
VOID CompleteGathered(PLIST_ENTRY irps) {
  while (!IsListEmpty(irps))
    IofCompleteRequest(CONTAINING_RECORD(RemoveHeadList(irps), IRP, Tail.Overlay.ListEntry), IO_NO_INCREMENT);
}

VOID TransferFinished(DeviceExtension *dx) {
  if (InterlockedDecrement(&dx->activeTransferCount) == 0) KeSetEvent(&dx->transfersDrainedEvent, 0, FALSE);
}

VOID WriteIsoResults(TransferContext *t, PipeContext *pipe, BOOLEAN cancelled) {
  struct _URB_ISOCH_TRANSFER *urb = &t->urb->UrbIsochronousTransfer;
  IsoTransferHeader *header = t->isoHeader;
  // The caller's memory: one plain store per field, none merged or deferred.
  volatile IsoPacketDescriptor *descriptors = reinterpret_cast<volatile IsoPacketDescriptor *>(header + 1);
  header->StartFrame = urb->StartFrame;
  // Locals, and each packet read before the caller's descriptor is written: those stores could
  // alias the context, the pipe and the URB, which would then be reloaded for every packet.
  const ULONG count = t->packetCount, dataOffset = t->dataOffset;
  ULONG bytes = 0, failed = 0;
  for (ULONG k = 0; k < count; ++k) {
    const ULONG offset = urb->IsoPacket[k].Offset, length = urb->IsoPacket[k].Length;
    const USBD_STATUS status = urb->IsoPacket[k].Status;
    descriptors[k].Offset = offset + dataOffset;
    descriptors[k].Length = length;
    // Most packets succeed, and success is 0 in both conventions, without the call.
    if (status == USBD_STATUS_SUCCESS) {
      descriptors[k].Status = status;
      bytes += length;
      continue;
    }
    descriptors[k].Status = ULONG(MapUsbdStatus(status));
    if (LONG(status) >= 0)
      bytes += length;
    else
      failed += 1;
  }
  pipe->requestsSucceeded += count - failed;
  if (!cancelled) pipe->requestsFailed += failed;
  header->ErrorCount = urb->ErrorCount;
  if (!(urb->TransferFlags & USBD_TRANSFER_DIRECTION_IN)) bytes = t->totalLength;
  AddSample(pipe, bytes);
  pipe->bytesTransferred += bytes;
}

NTSTATUS TransferCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  TransferContext *t = static_cast<TransferContext *>(context);
  PipeContext *pipe = t->pipe;
  const USBD_STATUS usbStatus = t->urb->UrbHeader.Status;
  BOOLEAN cancelled = FALSE;

  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  if (usbStatus != URB_NOT_PROCESSED) {
    irp->IoStatus.Status = MapUsbdStatus(usbStatus);
    if (irp->IoStatus.Status == ERR_USBD_CANCELED) {
      cancelled = TRUE;
      if (dx->devicePowerState != PowerDeviceD0) irp->IoStatus.Status = ERR_POWER_DOWN;
    }
  } else {
    cancelled = irp->IoStatus.Status == STATUS_CANCELLED;
  }

  switch (t->urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      irp->IoStatus.Information = t->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      if (irp->IoStatus.Status == STATUS_SUCCESS) {
        AddSample(pipe, ULONG(irp->IoStatus.Information));
        pipe->bytesTransferred += irp->IoStatus.Information;
        pipe->requestsSucceeded += 1;
      } else if (!cancelled) {
        pipe->requestsFailed += 1;
      }
      break;
    case URB_FUNCTION_ISOCH_TRANSFER:
      irp->IoStatus.Information = t->urb->UrbIsochronousTransfer.TransferBufferLength;
      break;
    default:
      irp->IoStatus.Information = 0;
      break;
  }
  if (t->isoHeader) WriteIsoResults(t, pipe, cancelled);

  if (!dx->parameters.deferCancelledIrps || !cancelled) {
    FreeTransferContext(t);
    TransferFinished(dx);
    KeReleaseSpinLock(&dx->queueLock, irql);
    return STATUS_SUCCESS;
  }
  // Held back: the timer completes it on its third tick.
  t->deferTicks = 3;
  InsertTailList(&dx->deferredQueue, &t->listEntry);
  if (dx->deferredQueue.Flink == &t->listEntry) {
    LARGE_INTEGER due;
    due.QuadPart = dx->deferTimer.dueTime;
    KeSetTimer(&dx->deferTimer.timer, due, &dx->deferTimer.dpc);
  }
  KeReleaseSpinLock(&dx->queueLock, irql);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CancelQueuedTransfer(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  TransferContext *t = static_cast<TransferContext *>(irp->Tail.Overlay.DriverContext[0]);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  RemoveEntryList(&t->listEntry);
  KeReleaseSpinLock(&dx->queueLock, irql);
  // The context goes back first: once the IRP is completed, nothing holds the device for this
  // thread, and the last close may tear it down with its pools.
  FreeTransferContext(t);
  CompleteCancelled(irp);
}

}  // namespace

VOID FreeTransferContext(TransferContext *t) {
  if (!t) return;
  if (t->partialMdl) {
    IoFreeMdl(t->partialMdl);
    t->partialMdl = NULL;
  }
  if (t->pipe) {
    DereferencePipe(t->pipe);
    t->pipe = NULL;
  }
  ReturnToPool(t);
}

NTSTATUS QueueTransfer(DeviceExtension *dx, TransferContext *t) {
  PIRP irp = t->irp;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = t->urb;
  t->urb->UrbHeader.Status = URB_NOT_PROCESSED;
  IoMarkIrpPending(irp);
  // Before the cancel routine can run, so that it always finds the context.
  irp->Tail.Overlay.DriverContext[0] = t;

  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  (VOID) IoSetCancelRoutine(irp, CancelQueuedTransfer);
  if (IrpCancelRequested(irp) && IoSetCancelRoutine(irp, NULL)) {
    KeReleaseSpinLock(&dx->queueLock, irql);
    // Completed last: its completion may release the last reference to the file, whose close
    // can then tear the device and its pools down.
    FreeTransferContext(t);
    StartQueuedTransfers(dx);
    CompleteCancelled(irp);
    return STATUS_PENDING;
  }
  InsertTailList(&dx->waitingQueue, &t->listEntry);
  KeReleaseSpinLock(&dx->queueLock, irql);
  StartQueuedTransfers(dx);
  return STATUS_PENDING;
}

VOID StartQueuedTransfers(DeviceExtension *dx) {
  for (;;) {
    // Under queueLock: a power-up clears it at DISPATCH_LEVEL, holding no mutex.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
    if (dx->requestsBlocked || IsListEmpty(&dx->waitingQueue)) {
      KeReleaseSpinLock(&dx->queueLock, irql);
      return;
    }
    TransferContext *t = ContextOfEntry(RemoveHeadList(&dx->waitingQueue));
    PIRP irp = t->irp;
    t->pipe->abortNeeded = TRUE;
    if (!IoSetCancelRoutine(irp, NULL)) {
      // The cancel routine is on its way and unlinks it from here.
      InsertTailList(&dx->cancelledQueue, &t->listEntry);
      KeReleaseSpinLock(&dx->queueLock, irql);
      continue;
    }
    irp->Tail.Overlay.DriverContext[0] = NULL;
    KeReleaseSpinLock(&dx->queueLock, irql);
    IoSetCompletionRoutine(irp, TransferCompletion, t, TRUE, TRUE, TRUE);
    InterlockedIncrement(&dx->activeTransferCount);
    (VOID) IofCallDriver(dx->lowerDevice, irp);
  }
}

namespace {

// The requests of the file object, of the pipe, or of both when both are given (null: any).
VOID CancelWaiting(DeviceExtension *dx, PFILE_OBJECT fileObject, const PipeContext *pipe) {
  LIST_ENTRY owned;
  InitializeListHead(&owned);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  for (PLIST_ENTRY e = dx->waitingQueue.Flink; e != &dx->waitingQueue;) {
    TransferContext *t = ContextOfEntry(e);
    e = e->Flink;
    if (fileObject && IoGetCurrentIrpStackLocation(t->irp)->FileObject != fileObject) continue;
    if (pipe && t->pipe != pipe) continue;
    RemoveEntryList(&t->listEntry);
    if (IoSetCancelRoutine(t->irp, NULL)) {
      t->irp->Tail.Overlay.DriverContext[0] = NULL;
      InsertTailList(&owned, &t->listEntry);
    } else {
      InsertTailList(&dx->cancelledQueue, &t->listEntry);
    }
  }
  KeReleaseSpinLock(&dx->queueLock, irql);
  LIST_ENTRY irps;
  InitializeListHead(&irps);
  while (!IsListEmpty(&owned)) {
    TransferContext *t = ContextOfEntry(RemoveHeadList(&owned));
    PIRP irp = t->irp;
    FreeTransferContext(t);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    InsertTailList(&irps, &irp->Tail.Overlay.ListEntry);
  }
  CompleteGathered(&irps);
}

}  // namespace

VOID CancelQueuedRequests(DeviceExtension *dx, PFILE_OBJECT fileObject) { CancelWaiting(dx, fileObject, NULL); }

VOID CancelPipeRequests(DeviceExtension *dx, const PipeContext *pipe) { CancelWaiting(dx, NULL, pipe); }

VOID CompleteDeferredTransfers(DeviceExtension *dx, BOOLEAN force) {
  LIST_ENTRY due;
  InitializeListHead(&due);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  for (PLIST_ENTRY e = dx->deferredQueue.Flink; e != &dx->deferredQueue;) {
    TransferContext *t = ContextOfEntry(e);
    e = e->Flink;
    if (--t->deferTicks != 0 && !force) continue;
    RemoveEntryList(&t->listEntry);
    InsertTailList(&due, &t->listEntry);
  }
  if (!force && !IsListEmpty(&dx->deferredQueue)) {
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = dx->deferTimer.dueTime;
    KeSetTimer(&dx->deferTimer.timer, dueTime, &dx->deferTimer.dpc);
  }
  KeReleaseSpinLock(&dx->queueLock, irql);
  // Completion routines above may take locks of their own: never completed under queueLock.
  LIST_ENTRY irps;
  InitializeListHead(&irps);
  while (!IsListEmpty(&due)) {
    TransferContext *t = ContextOfEntry(RemoveHeadList(&due));
    PIRP irp = t->irp;
    FreeTransferContext(t);
    TransferFinished(dx);
    InsertTailList(&irps, &irp->Tail.Overlay.ListEntry);
  }
  CompleteGathered(&irps);
}

VOID DeferTimerCallback(TimerRecord *record, PVOID context, PVOID systemArgument1, PVOID systemArgument2) {
  UNREFERENCED_PARAMETER(record);
  UNREFERENCED_PARAMETER(systemArgument1);
  UNREFERENCED_PARAMETER(systemArgument2);
  CompleteDeferredTransfers(static_cast<DeviceExtension *>(context), FALSE);
}
