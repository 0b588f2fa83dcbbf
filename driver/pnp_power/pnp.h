// Plug and Play dispatch and device start.
#pragma once
#include "platform/platform.h"

struct DeviceExtension;

// Sends the IRP's current request to 'lowerDevice' and waits for it without limit. Returns the
// IRP's final status; the IRP comes back uncompleted, its own stack location current again.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP irp);

// The driver's own start, with deviceMutex and transferMutex held. STATUS_SUCCESS: ready.
NTSTATUS StartDevice(DeviceExtension *dx);
// Asks the bus driver for its direct-call interface, version 0 or 1, bounded by 2 seconds.
NTSTATUS QueryBusInterface(DeviceExtension *dx, USHORT version, PUSB_BUS_INTERFACE_USBDI_V1 destination);
