// Calls of open, close and the control codes into power policy, which is not built yet. Each
// does what can be true today and names the routine that replaces it.
#include "driver/config/configuration.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"

// Becomes SetDevicePowerState(dx, d). Its refusals are already the final ones; a change that
// would need a power request is not made, so the device stays in D0.
NTSTATUS InterimSetDevicePowerState(DeviceExtension *dx, ULONG d) {
  if (d < PowerDeviceD0 || d > PowerDeviceD3) return ERR_INVALID_PARAMETER;
  if (!dx->devicePresent) return ERR_DEVICE_NOT_PRESENT;
  if (d == dx->devicePowerState) return STATUS_SUCCESS;
  if (d != PowerDeviceD0 && dx->devicePowerState != PowerDeviceD0) return ERR_INVALID_POWER_STATE;
  return STATUS_NOT_IMPLEMENTED;
}

// Becomes ArmWaitWake(dx). Nothing records a wait-wake request before power policy does, and
// asking for one needs its completion routines, so only the cancel half exists.
VOID InterimArmWaitWake(DeviceExtension *dx) {
  if (!dx->remoteWakeupArmed && dx->waitWakeRequest) {
    IoCancelIrp(dx->waitWakeRequest);
    dx->waitWakeRequest = NULL;
  }
}
