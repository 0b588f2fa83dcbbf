// Switching one interface of the current configuration to another of its alternate settings.
#pragma once
#include "include/xrusb/ioctl.h"
#include "platform/platform.h"

struct DeviceExtension;

// PASSIVE_LEVEL with deviceMutex held; the IRP carries the request to the bus in its next
// stack location and is neither completed nor freed. Any failure after the interface is found
// leaves it without records until the next configuration.
NTSTATUS SetInterface(DeviceExtension *dx, PIRP irp, const InterfaceSetting *setting);
