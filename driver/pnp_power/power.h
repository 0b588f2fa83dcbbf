// Power policy: the device power state as applications, the open and close policies and the
// system's sleep and resume set it, and remote wake-up. PASSIVE_LEVEL unless said otherwise.
#pragma once
#include "platform/platform.h"

struct DeviceExtension;

// d: DEVICE_POWER_STATE 1..4. deviceMutex held on entry and on return, but released while the
// power request runs: the caller reads the record again afterwards.
NTSTATUS SetDevicePowerState(DeviceExtension *dx, ULONG d);
// Issues or cancels the wait-wake request as remoteWakeupArmed says. deviceMutex held.
VOID ArmWaitWake(DeviceExtension *dx);
// Cancels the wait-wake request held at the bus, if any. Safe against that request's own
// completion, which may be running at the same time.
VOID CancelWaitWake(DeviceExtension *dx);

// Shared by the power files (power_dispatch.cpp, power_state.cpp, wait_wake.cpp).
NTSTATUS WaitWakePower(DeviceExtension *dx, PIRP irp);      // IRP_MN_WAIT_WAKE
VOID WakeCheck(DeviceExtension *dx, SYSTEM_POWER_STATE s);  // before a system query goes down
NTSTATUS DeviceSetPower(DeviceExtension *dx, PIRP irp, DEVICE_POWER_STATE d);
DEVICE_POWER_STATE DeviceStateFor(const DeviceExtension *dx, SYSTEM_POWER_STATE s);
// The send-down forms of DispatchPower; each returns STATUS_PENDING.
NTSTATUS SendDownWith(DeviceExtension *dx, PIRP irp, PIO_COMPLETION_ROUTINE routine);
NTSTATUS SendDown(DeviceExtension *dx, PIRP irp);
// devicePowerState and requestsBlocked change at DISPATCH_LEVEL on the way up, so every change
// of them here is made under queueLock too, and read under it where no mutex orders it.
DEVICE_POWER_STATE CurrentPowerState(DeviceExtension *dx);
// Drops one reference; the last tears the device down (only ever at PASSIVE_LEVEL: see callers).
VOID DropDeviceReference(DeviceExtension *dx);
