#include "driver/core/driver.h"

// No device object exists yet to open; these refuse clearly until open and close are built.
NTSTATUS DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
  UNREFERENCED_PARAMETER(deviceObject);
  return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp) {
  UNREFERENCED_PARAMETER(deviceObject);
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
  UNREFERENCED_PARAMETER(deviceObject);
  return CompleteRequest(irp, STATUS_SUCCESS);
}
