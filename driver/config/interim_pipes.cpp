// The call of the configuration and of pipe binding into the request queue, which is not built
// yet. No transfer can be queued before it exists, so there is never a queued request to cancel.
#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"

// Becomes CancelQueuedRequests(dx, fileObject).
VOID InterimCancelQueuedRequests(DeviceExtension *dx, PFILE_OBJECT fileObject) {
  UNREFERENCED_PARAMETER(dx);
  UNREFERENCED_PARAMETER(fileObject);
}
