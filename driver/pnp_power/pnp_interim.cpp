// The call of the Plug and Play start into the firmware download, which is not built yet. It is
// kept to what can exist today, so that the paths around it are already the final ones.
#include "driver/core/device_extension.h"
#include "driver/pnp_power/pnp.h"

// Becomes the FX download: CheckFxBootloader when fxBootloaderCheck is set (a device that fails
// it starts normally), ReadFirmwareFile, then the CPU resets and the two image downloads. Until
// then a named file cannot be loaded, which ends the start as an unreadable file does, so a
// device set up for firmware is never offered to applications without it.
BOOLEAN InterimFirmwareDownload(DeviceExtension *dx, NTSTATUS *status) {
  if (!dx->parameters.firmwareFile) return FALSE;
  *status = STATUS_UNSUCCESSFUL;
  return TRUE;
}
