#include "driver/config/pipes.h"

#include "driver/config/configuration.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "driver/core/open_handle.h"
#include "driver/transfer/request_queue.h"
#include "include/xrusb/status.h"

namespace {

VOID BuildPipeRequest(URB *urb, USHORT function, const PipeContext *pipe) {
  RtlZeroMemory(urb, sizeof *urb);
  urb->UrbHeader.Length = USHORT(sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Function = function;
  urb->UrbHeader.Status = URB_STATUS_UNWRITTEN;
  urb->UrbPipeRequest.PipeHandle = pipe->pipeInfo.PipeHandle;
}

PFILE_OBJECT FileObjectOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->FileObject; }

}  // namespace

NTSTATUS BindPipe(DeviceExtension *dx, PIRP irp, const BindPipeRequest *request) {
  OpenHandle *handle = HandleOf(FileObjectOf(irp));
  if (!handle) return ERR_INVALID_PARAMETER;
  if (handle->boundPipe) return ERR_ALREADY_BOUND;
  for (PLIST_ENTRY e = dx->pipeList.Flink; e != &dx->pipeList; e = e->Flink) {
    PipeContext *pipe = CONTAINING_RECORD(e, PipeContext, listEntry);
    if (pipe->pipeInfo.EndpointAddress != request->EndpointAddress) continue;
    // The first pipe with the address decides, even when another one further on is free.
    if (pipe->boundHandle) return ERR_ALREADY_BOUND;
    pipe->boundHandle = handle;
    handle->boundPipe = pipe;
    // Under queueLock: a transfer of an earlier binding may still be completing on the pipe.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
    pipe->bytesTransferred = 0;
    pipe->requestsSucceeded = 0;
    pipe->requestsFailed = 0;
    KeReleaseSpinLock(&dx->queueLock, irql);
    return STATUS_SUCCESS;
  }
  return ERR_PIPE_NOT_FOUND;
}

// The counters under queueLock: a completion on the pipe may be adding to them.
VOID DissolveBinding(DeviceExtension *dx, PipeContext *pipe) {
  pipe->boundHandle->boundPipe = NULL;
  pipe->boundHandle = NULL;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  pipe->bytesTransferred = 0;
  pipe->requestsSucceeded = 0;
  pipe->requestsFailed = 0;
  pipe->statisticsEnabled = FALSE;
  KeReleaseSpinLock(&dx->queueLock, irql);
}

// Transfers of the handle keep running: they hold their own reference to the pipe.
NTSTATUS UnbindPipe(DeviceExtension *dx, PipeContext *pipe) {
  if (pipe->boundHandle) DissolveBinding(dx, pipe);
  return STATUS_SUCCESS;
}

// After a stall the transfers queued behind it wait at the bus, and the bus refuses a reset
// while any is pending (USBD_STATUS_ERROR_BUSY): so they end first, cancelled, as they would have
// failed on the halted pipe.
NTSTATUS ResetPipe(DeviceExtension *dx, PIRP irp, PipeContext *pipe) {
  URB urb;
  BuildPipeRequest(&urb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe);
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  (VOID) SendAbortPipe(dx, irp, pipe);
  return SubmitUrbSync(dx, irp, &urb, dx->parameters.requestTimeout);
}

// An application cannot act on a failed abort, so it is not told of one.
NTSTATUS AbortPipe(DeviceExtension *dx, PIRP irp, PipeContext *pipe) {
  if (!dx->requestsBlocked) (VOID) SendAbortPipe(dx, irp, pipe);
  CancelQueuedRequests(dx, FileObjectOf(irp));
  return STATUS_SUCCESS;
}

NTSTATUS GetPipeParameters(const PipeContext *pipe, PipeParameters *result) {
  result->Flags = pipe->shortTransferOk ? SHORT_TRANSFER_OK : 0;
  return STATUS_SUCCESS;
}

NTSTATUS SetPipeParameters(PipeContext *pipe, const PipeParameters *request) {
  pipe->shortTransferOk = (request->Flags & SHORT_TRANSFER_OK) != 0;
  return STATUS_SUCCESS;
}

// Not gated on requestsBlocked: stop, removal and power-down abort through here while the
// device is still on the bus.
NTSTATUS SendAbortPipe(DeviceExtension *dx, PIRP irp, PipeContext *pipe) {
  if (!dx->devicePresent) return ERR_DEVICE_NOT_PRESENT;
  // Cleared whatever the abort's result (a pipe the bus will not abort is not helped by asking
  // again), and under queueLock, which the queue holds when it sets it: a transfer sent while
  // this abort is under way sets it again, so that the next abort is not skipped.
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  const BOOLEAN needed = pipe->abortNeeded;
  pipe->abortNeeded = FALSE;
  KeReleaseSpinLock(&dx->queueLock, irql);
  if (!needed) return STATUS_SUCCESS;
  URB urb;
  BuildPipeRequest(&urb, URB_FUNCTION_ABORT_PIPE, pipe);
  NTSTATUS status =
      CallLowerDriverSync(dx, irp, &urb, IOCTL_INTERNAL_USB_SUBMIT_URB, dx->parameters.requestTimeout);
  // A failed IRP whose URB reports no USB error still counts as aborted.
  if (status != ERR_TIMEOUT && urb.UrbHeader.Status != URB_STATUS_UNWRITTEN) status = MapUsbdStatus(urb.UrbHeader.Status);
  return status;
}

VOID AbortAllPipes(DeviceExtension *dx, PIRP irp) {
  CancelQueuedRequests(dx, NULL);
  for (PLIST_ENTRY e = dx->pipeList.Flink; e != &dx->pipeList; e = e->Flink)
    (VOID) SendAbortPipe(dx, irp, CONTAINING_RECORD(e, PipeContext, listEntry));
}
