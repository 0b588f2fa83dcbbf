#include "driver/core/device_extension.h"
#include "driver/core/driver.h"

// Until the state machine is built the driver stays out of the way: every Plug and Play
// request goes to the bus driver unchanged.
NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(dx->lowerDevice, irp);
}
