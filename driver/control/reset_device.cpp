#include "driver/control/reset_device.h"

#include "driver/config/configuration.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "include/xrusb/status.h"

NTSTATUS ResetDevice(DeviceExtension *dx, PIRP irp) {
  if (!dx->configured) return ERR_NOT_CONFIGURED;
  (VOID) Unconfigure(dx, irp, FALSE);
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  const NTSTATUS status =
      CallLowerDriverSync(dx, irp, NULL, IOCTL_INTERNAL_USB_RESET_PORT, dx->parameters.requestTimeout);
  // Only failures carry meaning; an informational status is success to the caller.
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
