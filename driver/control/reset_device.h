// The reset of the device's port, for IOCTL_RESET_DEVICE and the last close with
// OPTION_RESET_ON_CLOSE. PASSIVE_LEVEL, deviceMutex held.
#pragma once
#include "platform/platform.h"

struct DeviceExtension;

// The configuration goes first, without a word to the device: the reset leaves it unconfigured
// anyway. 'irp' carries the bus requests in its next stack location and is neither completed
// nor freed.
NTSTATUS ResetDevice(DeviceExtension *dx, PIRP irp);
