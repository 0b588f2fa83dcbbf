// Requests on the device's port and the bus it sits on, made through the bus driver rather than
// sent to the device. The dispatcher has checked the result lengths and holds deviceMutex.
#pragma once
#include "platform/platform.h"

struct DeviceExtension;

// Sent in 'irp'. The device leaves and comes back afterwards; Plug and Play handles that.
NTSTATUS CyclePort(DeviceExtension *dx, PIRP irp);
// Writes a CurrentFrameNumber record to 'result'. Through the bus interface when there is one,
// otherwise as a URB in 'irp'.
NTSTATUS GetCurrentFrameNumber(DeviceExtension *dx, PIRP irp, PVOID result);
// Writes a BandwidthInfo record to 'result'. Without a bus interface the query goes down in an
// IRP of its own, because its argument is not a URB.
NTSTATUS GetBandwidthInfo(DeviceExtension *dx, PVOID result);
// Writes a DeviceInfo record to 'result'.
NTSTATUS GetDeviceInfo(DeviceExtension *dx, PVOID result);
