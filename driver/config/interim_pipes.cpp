// Calls of the configuration into pipe binding and the request queue, which are not built yet.
// No handle can be bound and no transfer queued or handed to the bus before they exist, so
// there is never a queued request to cancel nor an abort due (abortNeeded is never set).
#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"

// Becomes SendAbortPipe(dx, irp, pipe).
NTSTATUS InterimSendAbortPipe(DeviceExtension *dx, PIRP irp, PipeContext *pipe) {
  UNREFERENCED_PARAMETER(dx);
  UNREFERENCED_PARAMETER(irp);
  UNREFERENCED_PARAMETER(pipe);
  return STATUS_SUCCESS;
}

// Becomes CancelQueuedRequests(dx, fileObject).
VOID InterimCancelQueuedRequests(DeviceExtension *dx, PFILE_OBJECT fileObject) {
  UNREFERENCED_PARAMETER(dx);
  UNREFERENCED_PARAMETER(fileObject);
}

// Becomes AbortAllPipes(dx, irp): CancelQueuedRequests for every file object, then
// SendAbortPipe for each pipe in pipeList.
VOID InterimAbortAllPipes(DeviceExtension *dx, PIRP irp) {
  UNREFERENCED_PARAMETER(dx);
  UNREFERENCED_PARAMETER(irp);
}
