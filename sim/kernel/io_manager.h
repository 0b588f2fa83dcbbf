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
// 'done' runs exactly once, when the IRP has completed past its first location, on the
// completing thread and with the IRP still valid; afterwards the substitute frees the IRP and
// any MDL chain on MdlAddress. Returns what the dispatch routine returned.
NTSTATUS SendIrp(PDEVICE_OBJECT device, const std::function<void(PIRP irp, PIO_STACK_LOCATION first)> &setup,
                 std::function<void(PIRP irp)> done);

// Convenience for synchronous callers: sends and waits for completion (unbounded), returns the
// final IoStatus. 'information' receives IoStatus.Information when not null.
NTSTATUS SendIrpAndWait(PDEVICE_OBJECT device,
                        const std::function<void(PIRP irp, PIO_STACK_LOCATION first)> &setup,
                        ULONG_PTR *information = nullptr);

// Number of IRPs alive (allocated and not freed) whose stack locations, from the current one
// down to the last one entered, name 'device'. The IRPs currently being dispatched on the
// calling thread are not counted.
size_t IrpsReferencing(PDEVICE_OBJECT device);
// Number of IRPs allocated and not yet freed.
size_t IrpsOutstanding();
// Stops the run (IRP never completed) if any IRP sent with SendIrp has not completed.
void CheckAllIrpsCompleted();
void ResetIrpTracking();

}  // namespace sim
