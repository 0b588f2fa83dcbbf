#include "driver/core/device_extension.h"
#include "driver/core/driver.h"

// Until power policy is built every power request goes to the bus driver unchanged.
NTSTATUS DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(dx->lowerDevice, irp);
}
