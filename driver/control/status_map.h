// The driver's status codes and the one rule that turns a USB status into one of them.
#pragma once
#include "include/xrusb/status.h"
#include "platform/platform.h"

// A USB status as the bus driver left it in a URB header, as callers get it: 0 below
// 0x10000, else U | 0xE0000000, moved off 0xE0001000 (ERR_BAD_CONFIG_DESCRIPTOR).
NTSTATUS MapUsbdStatus(USBD_STATUS usbdStatus);
