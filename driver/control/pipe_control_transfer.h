// Control transfers on a control pipe other than the default one, to which the calling handle is
// bound. PASSIVE_LEVEL, deviceMutex held; the URB goes down in the control code's own IRP.
#pragma once
#include "driver/control/device_requests.h"
#include "include/xrusb/ioctl.h"
#include "platform/platform.h"

struct DeviceExtension;
struct PipeContext;

// mdl null: no data stage. resultLength: in, the data buffer's length; out, on success, the
// bytes the bus moved.
NTSTATUS PipeControlTransfer(DeviceRequestDirection direction, DeviceExtension *dx, PIRP irp, PipeContext *pipe,
                             const PipeControlTransferRequest *request, ULONG *resultLength, PMDL mdl);
