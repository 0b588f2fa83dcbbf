// Calls of the Plug and Play paths into the request queue and the firmware download, which are not built yet. Each is kept to what can exist today, so that the paths
// around them are already the final ones.
#include "driver/core/device_extension.h"
#include "driver/pnp_power/pnp.h"

// Becomes StartQueuedTransfers(dx). Nothing enters waitingQueue before read and write exist.
VOID InterimStartQueuedTransfers(DeviceExtension *dx) { UNREFERENCED_PARAMETER(dx); }

// Becomes the FX download: CheckFxBootloader when fxBootloaderCheck is set (a device that fails
// it starts normally), ReadFirmwareFile, then the CPU resets and the two image downloads. Until
// then a named file cannot be loaded, which ends the start as an unreadable file does, so a
// device set up for firmware is never offered to applications without it.
BOOLEAN InterimFirmwareDownload(DeviceExtension *dx, NTSTATUS *status) {
  if (!dx->parameters.firmwareFile) return FALSE;
  *status = STATUS_UNSUCCESSFUL;
  return TRUE;
}
