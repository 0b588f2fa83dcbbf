// Synchronous requests to the bus driver, sent in the next stack location of an IRP the
// caller owns and bounded by a time-out in milliseconds (0: none).
#pragma once
#include "driver/control/status_map.h"
#include "platform/platform.h"

struct DeviceExtension;

// Callers preset a URB header's Status to this, so that a status the bus driver never
// wrote can be told apart.
constexpr USBD_STATUS URB_STATUS_UNWRITTEN = USBD_STATUS(0xFFFFFFFF);

// Returns the IRP's final status or ERR_TIMEOUT. The IRP is neither completed nor freed.
NTSTATUS CallLowerDriverSync(DeviceExtension *dx, PIRP irp, PVOID argument, ULONG ioControlCode, ULONG timeoutMs);
// Returns the outcome in the driver's status convention.
NTSTATUS SubmitUrbSync(DeviceExtension *dx, PIRP irp, PURB urb, ULONG timeoutMs);
// Context: the KEVENT to signal. Stops the IRP's completion.
IO_COMPLETION_ROUTINE SyncCompletionRoutine;
