// The call of the last close into the port reset, which is not built yet. It does what can be
// true today and names the routine that replaces it.
#include "driver/config/configuration.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"

// Becomes ResetDevice(dx, irp).
NTSTATUS InterimResetDevice(DeviceExtension *dx, PIRP irp) {
  if (!dx->configured) return ERR_NOT_CONFIGURED;
  (VOID) Unconfigure(dx, irp, FALSE);
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  const NTSTATUS status =
      CallLowerDriverSync(dx, irp, NULL, IOCTL_INTERNAL_USB_RESET_PORT, dx->parameters.requestTimeout);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
