// The device's transfer queue: set-up hands a context over, the queue sends it to the bus driver
// unless requestsBlocked, completes it, keeps the pipe counters and handles cancellation.
#pragma once
#include "platform/platform.h"

struct DeviceExtension;
struct PipeContext;
struct TimerRecord;
struct TransferContext;

// Always STATUS_PENDING: the IRP is completed here, now or later.
NTSTATUS QueueTransfer(DeviceExtension *dx, TransferContext *transfer);
// Callers hold transferMutex or deviceMutex, which every abort holds: none may fall between a
// pipe's marking as needing an abort and the hand-over of its transfer to the bus.
VOID StartQueuedTransfers(DeviceExtension *dx);
// Completes with STATUS_CANCELLED every queued request of the file object (all when null).
VOID CancelQueuedRequests(DeviceExtension *dx, PFILE_OBJECT fileObject);
// The same for the queued requests on one pipe, whichever handle sent them.
VOID CancelPipeRequests(DeviceExtension *dx, const PipeContext *pipe);
VOID DeferTimerCallback(TimerRecord *record, PVOID context, PVOID systemArgument1, PVOID systemArgument2);
// Without queueLock held (it takes it, and completes after releasing it). One tick of the defer
// timer, which it sets again while requests stay held; force completes every held request at once.
VOID CompleteDeferredTransfers(DeviceExtension *dx, BOOLEAN force);
// Drops the pipe reference and any partial MDL; the last reference frees a pipe already unlinked.
VOID FreeTransferContext(TransferContext *transfer);
