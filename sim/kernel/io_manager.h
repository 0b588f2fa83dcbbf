// The I/O manager's side of requests: how the substitute's own callers (the application side,
// the Plug and Play and power managers, tests) send an IRP to a device stack and learn of its
// completion, and what it tracks about IRPs in flight.
#pragma once
#include <functional>

#include "platform/platform.h"

namespace sim {

// Sends a new IRP to 'device' as the I/O manager does, on the calling thread.
// The IRP has device->StackSize locations; 'setup' fills the IRP and its first (current)
// stack location before the call (MajorFunction, parameters, FileObject, buffers ...).
// IoStatus starts zeroed, as in Windows: Plug and Play and power senders must set
// STATUS_NOT_SUPPORTED in 'setup'. 'setup' sets no completion routine.
// 'done' runs exactly once, when the IRP has completed past its first location, on the
// completing thread and with the IRP still valid; afterwards the substitute frees the IRP and
// any MDL chain on MdlAddress. Returns what the dispatch routine returned.
// The I/O manager's own IRP allocation does not take part in fault injection.
NTSTATUS SendIrp(PDEVICE_OBJECT device, const std::function<void(PIRP irp, PIO_STACK_LOCATION first)> &setup,
                 std::function<void(PIRP irp)> done);

// Convenience for synchronous callers: sends and waits for completion (unbounded), returns the
// final IoStatus. 'information' receives IoStatus.Information when not null.
NTSTATUS SendIrpAndWait(PDEVICE_OBJECT device,
                        const std::function<void(PIRP irp, PIO_STACK_LOCATION first)> &setup,
                        ULONG_PTR *information = nullptr);

// IoCancelIrp on every IRP sent with SendIrp, not yet completed, for which 'match' is true
// (CancelIoEx, the cancel of a closing handle). Safe against those IRPs completing at the same
// time. 'match' runs with the I/O manager's lock held: it may read only what 'setup' set
// (Tail.Overlay.OriginalFileObject, Tail.Overlay.Thread, UserIosb, UserEvent, Overlay ...) and
// must not call the kernel. Returns the number of IRPs cancelled.
size_t CancelSentIrps(const std::function<bool(PIRP irp)> &match);

// The MDL the I/O manager builds for direct I/O: describes the caller's buffer with its pages
// locked (as IoAllocateMdl + MmProbeAndLockPages), Process = the current process. Null when the
// allocation fails (fault kind Mdl); the I/O manager then fails the request with
// STATUS_INSUFFICIENT_RESOURCES. Put it on Irp->MdlAddress in SendIrp's setup; it is freed with
// the IRP. One that is never sent is freed with FreeMdlChain.
PMDL BuildMdlForUserBuffer(PVOID buffer, ULONG length, bool writeAccess);
void FreeMdlChain(PMDL mdl);
size_t MdlsOutstanding();
// For a driver below that reaches the pages an MDL describes: stops the run if it is a partial
// MDL whose source was released.
void CheckMdlUsable(PMDL mdl, const char *what);

// Test hook for the window between a driver's choice of an IRP to cancel and the cancel itself:
// runs at the start of every IoCancelIrp, before the IRP is looked at (null: none).
void SetBeforeCancelHook(std::function<void(PIRP irp)> hook);
// Test hook for what a driver does after it completed an IRP: runs on the completing thread as
// every IofCompleteRequest returns (null: none). The IRP may be gone by then: compare, never touch.
void SetAfterCompleteHook(std::function<void(PIRP irp)> hook);

// Number of IRPs alive (allocated and not freed) whose stack locations, from the current one
// down to the last one entered, name 'device'. The IRPs currently being dispatched on the
// calling thread are not counted.
size_t IrpsReferencing(PDEVICE_OBJECT device);
// Number of IRPs allocated and not yet freed.
size_t IrpsOutstanding();
// Stops the run (IRP never completed) if any IRP sent with SendIrp has not completed; then
// (resource still held) if an IRP from IoAllocateIrp or an MDL was never freed.
void CheckAllIrpsCompleted();
void ResetIrpTracking();

}  // namespace sim
