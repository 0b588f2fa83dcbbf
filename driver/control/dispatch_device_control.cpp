#include "driver/core/driver.h"

// The control codes are not built yet: every code is refused.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  UNREFERENCED_PARAMETER(deviceObject);
  return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
}
