// IRP_MJ_POWER: the driver as its device's power policy owner. DispatchPower runs at
// PASSIVE_LEVEL (DO_POWER_PAGABLE); its completion routines and the power manager's callbacks
// run at up to DISPATCH_LEVEL and take no mutex. Every power request handled here is followed
// by exactly one PoStartNextPowerIrp.
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/pnp_power/power.h"

namespace {

NTSTATUS PassDown(DeviceExtension *dx, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(dx->lowerDevice, irp);
}

NTSTATUS DeviceQueryPowerCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(context);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

VOID SystemSetPowerDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE state, PVOID context,
                        PIO_STATUS_BLOCK ioStatus) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(minorFunction);
  UNREFERENCED_PARAMETER(state);
  UNREFERENCED_PARAMETER(ioStatus);
  // The system's request keeps the lower driver's status: a device that failed to follow does
  // not stop the system.
  PIRP systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  IofCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

VOID SystemQueryPowerDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE state, PVOID context,
                          PIO_STATUS_BLOCK ioStatus) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(minorFunction);
  UNREFERENCED_PARAMETER(state);
  PIRP systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  systemIrp->IoStatus.Status = ioStatus->Status;
  IofCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

// On the system request's way back: the device request of the same kind, which finishes it.
NTSTATUS SystemPowerCompletion(DeviceExtension *dx, PIRP irp, UCHAR minor, PREQUEST_POWER_COMPLETE done) {
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
  }
  const SYSTEM_POWER_STATE s = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
  POWER_STATE d;
  d.DeviceState = DeviceStateFor(dx, s);
  if (NT_SUCCESS(PoRequestPowerIrp(dx->physicalDevice, minor, d, done, irp, NULL)))
    return STATUS_MORE_PROCESSING_REQUIRED;
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS SystemSetPowerCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  return SystemPowerCompletion(static_cast<DeviceExtension *>(context), irp, IRP_MN_SET_POWER, SystemSetPowerDone);
}

NTSTATUS SystemQueryPowerCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  return SystemPowerCompletion(static_cast<DeviceExtension *>(context), irp, IRP_MN_QUERY_POWER,
                               SystemQueryPowerDone);
}

NTSTATUS HandleMinor(DeviceExtension *dx, PIRP irp) {
  const PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const POWER_STATE_TYPE type = s->Parameters.Power.Type;
  switch (s->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return WaitWakePower(dx, irp);
    case IRP_MN_SET_POWER:
      if (type == SystemPowerState) return SendDownWith(dx, irp, SystemSetPowerCompletion);
      if (type == DevicePowerState) return DeviceSetPower(dx, irp, s->Parameters.Power.State.DeviceState);
      return PassDown(dx, irp);
    case IRP_MN_QUERY_POWER:
      if (type == SystemPowerState) {
        WakeCheck(dx, s->Parameters.Power.State.SystemState);
        return SendDownWith(dx, irp, SystemQueryPowerCompletion);
      }
      if (type == DevicePowerState) {
        // Held from here on: a device about to sleep takes no further transfers.
        WaitForObject(&dx->deviceMutex, Executive);
        WaitForObject(&dx->transferMutex, Executive);
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
        dx->requestsBlocked = TRUE;
        KeReleaseSpinLock(&dx->queueLock, irql);
        KeReleaseMutex(&dx->transferMutex, FALSE);
        KeReleaseMutex(&dx->deviceMutex, FALSE);
        return SendDownWith(dx, irp, DeviceQueryPowerCompletion);
      }
      return PassDown(dx, irp);
    default:
      return PassDown(dx, irp);
  }
}

}  // namespace

NTSTATUS SendDownWith(DeviceExtension *dx, PIRP irp, PIO_COMPLETION_ROUTINE routine) {
  IoMarkIrpPending(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, routine, dx, TRUE, TRUE, TRUE);
  (VOID) PoCallDriver(dx->lowerDevice, irp);
  return STATUS_PENDING;
}

// Copied, not skipped: a skipped location is the lower driver's too, and our pending mark would
// be its own while it returns another status, which Driver Verifier stops on.
NTSTATUS SendDown(DeviceExtension *dx, PIRP irp) {
  IoMarkIrpPending(irp);
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  (VOID) PoCallDriver(dx->lowerDevice, irp);
  return STATUS_PENDING;
}

DEVICE_POWER_STATE DeviceStateFor(const DeviceExtension *dx, SYSTEM_POWER_STATE s) {
  // The system never names a state past the table; were it to, the deepest is the safe answer.
  if (s < PowerSystemUnspecified || s >= PowerSystemMaximum) return PowerDeviceD3;
  return dx->capabilities.DeviceState[s];
}

DEVICE_POWER_STATE CurrentPowerState(DeviceExtension *dx) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  const DEVICE_POWER_STATE d = DEVICE_POWER_STATE(dx->devicePowerState);
  KeReleaseSpinLock(&dx->queueLock, irql);
  return d;
}

VOID DropDeviceReference(DeviceExtension *dx) {
  if (InterlockedDecrement(&dx->referenceCount) == 0) TeardownDevice(dx);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  InterlockedIncrement(&dx->referenceCount);
  const NTSTATUS status = HandleMinor(dx, irp);
  DropDeviceReference(dx);
  return status;
}
