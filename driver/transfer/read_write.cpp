#include "driver/core/driver.h"

// Transfers are not built yet: reads and writes are refused.
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp) {
  UNREFERENCED_PARAMETER(deviceObject);
  return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
}
