#include "driver/core/driver.h"
#include "driver/core/parameters.h"

// Not built yet beyond its first step: the parameters are read (so an installation's key is
// filled with its defaults), then the device is refused because no device object can be made.
NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
  DriverParameters parameters;
  RtlZeroMemory(&parameters, sizeof parameters);
  NTSTATUS status = ReadParameters(driverObject, physicalDevice, &parameters);
  if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
  FreeParameterStrings(&parameters);
  return STATUS_NOT_IMPLEMENTED;
}
