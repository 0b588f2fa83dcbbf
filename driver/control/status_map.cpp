#include "driver/control/status_map.h"

NTSTATUS MapUsbdStatus(USBD_STATUS usbdStatus) {
  const ULONG u = ULONG(usbdStatus);
  if ((u & 0xFFFF0000) == 0) return STATUS_SUCCESS;
  const NTSTATUS mapped = NTSTATUS(u | 0xE0000000);
  return mapped == ERR_BAD_CONFIG_DESCRIPTOR ? ERR_USBD_INSUFFICIENT_RESOURCES : mapped;
}
