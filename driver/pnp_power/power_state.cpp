// The device's own power state: the power-down road, the power-up and its resume work item,
// and SetDevicePowerState for applications and the open and close policies.
#include "driver/config/pipes.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/pnp_power/power.h"
#include "driver/transfer/request_queue.h"
#include "include/xrusb/status.h"

namespace {

constexpr LONGLONG DRAIN_TIMEOUT = -50000000;  // 5 s, relative

// A record on the waiter's stack, filled by SetPowerDone.
struct PowerWaiter {
  KEVENT done;
  IO_STATUS_BLOCK ioStatus;
};

VOID SetPowerDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE state, PVOID context,
                  PIO_STATUS_BLOCK ioStatus) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(minorFunction);
  UNREFERENCED_PARAMETER(state);
  PowerWaiter *waiter = static_cast<PowerWaiter *>(context);
  waiter->ioStatus = *ioStatus;
  KeSetEvent(&waiter->done, 0, FALSE);
}

VOID DeclarePowerState(DeviceExtension *dx, DEVICE_POWER_STATE d) {
  POWER_STATE state;
  state.DeviceState = d;
  PoSetPowerState(dx->deviceObject, DevicePowerState, state);
}

// System worker thread, PASSIVE_LEVEL: what the power-up's completion could not do at
// DISPATCH_LEVEL.
VOID ResumeWorkItem(PDEVICE_OBJECT deviceObject, PVOID context) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
  InterlockedExchange(&dx->resumeWorkQueued, 0);
  WaitForObject(&dx->transferMutex, Executive);
  StartQueuedTransfers(dx);
  KeReleaseMutex(&dx->transferMutex, FALSE);
  // Under deviceMutex as its other callers, so that no configuration change or cancel runs
  // between its look at remoteWakeupArmed and its request.
  WaitForObject(&dx->deviceMutex, Executive);
  ArmWaitWake(dx);
  KeReleaseMutex(&dx->deviceMutex, FALSE);
  DropDeviceReference(dx);
}

VOID QueueResume(DeviceExtension *dx) {
  if (InterlockedExchange(&dx->resumeWorkQueued, 1) != 0) return;
  InterlockedIncrement(&dx->referenceCount);
  PIO_WORKITEM item = IoAllocateWorkItem(dx->deviceObject);
  if (!item) {
    // Held transfers then wait for the next release of the queue.
    InterlockedExchange(&dx->resumeWorkQueued, 0);
    DropDeviceReference(dx);
    return;
  }
  IoQueueWorkItem(item, ResumeWorkItem, DelayedWorkQueue, item);
}

NTSTATUS PowerUpCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  DeviceExtension *dx = static_cast<DeviceExtension *>(context);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
    // Power does not release what Plug and Play holds: a stopped or departing device stays
    // blocked.
    if (dx->pnpState == PNP_STARTED) dx->requestsBlocked = FALSE;
    dx->devicePowerState = PowerDeviceD0;
    KeReleaseSpinLock(&dx->queueLock, irql);
    DeclarePowerState(dx, PowerDeviceD0);
    QueueResume(dx);
  }
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

// deviceMutex and transferMutex held. The power IRP carries the aborts.
VOID AbortForPowerDown(DeviceExtension *dx, PIRP irp) {
  // The aborts leave their status in the IRP; the bus's answer to the power request is its own.
  const IO_STATUS_BLOCK ioStatus = irp->IoStatus;
  AbortAllPipes(dx, irp);
  irp->IoStatus = ioStatus;
  KeClearEvent(&dx->transfersDrainedEvent);
  if (InterlockedOr(&dx->activeTransferCount, 0) != 0) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = DRAIN_TIMEOUT;
    // Goes on regardless: a transfer the bus keeps must not keep the machine awake.
    (VOID) KeWaitForSingleObject(&dx->transfersDrainedEvent, Executive, KernelMode, FALSE, &timeout);
  }
}

}  // namespace

NTSTATUS DeviceSetPower(DeviceExtension *dx, PIRP irp, DEVICE_POWER_STATE d) {
  if (d == PowerDeviceD0) return SendDownWith(dx, irp, PowerUpCompletion);
  if (d < PowerDeviceD1 || d > PowerDeviceD3) {
    // No such state: not the driver's to act on.
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(dx->lowerDevice, irp);
  }
  WaitForObject(&dx->deviceMutex, Executive);
  WaitForObject(&dx->transferMutex, Executive);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  dx->requestsBlocked = TRUE;
  // Before the aborts: what they cancel at the bus completes as ERR_POWER_DOWN.
  dx->devicePowerState = d;
  KeReleaseSpinLock(&dx->queueLock, irql);
  if (dx->parameters.abortPipesOnPowerDown) AbortForPowerDown(dx, irp);
  KeReleaseMutex(&dx->transferMutex, FALSE);
  KeReleaseMutex(&dx->deviceMutex, FALSE);
  DeclarePowerState(dx, d);
  return SendDown(dx, irp);
}

NTSTATUS SetDevicePowerState(DeviceExtension *dx, ULONG d) {
  if (d < PowerDeviceD0 || d > PowerDeviceD3) return ERR_INVALID_PARAMETER;
  if (!dx->devicePresent) return ERR_DEVICE_NOT_PRESENT;
  const ULONG current = CurrentPowerState(dx);
  if (d == current) return STATUS_SUCCESS;
  if (d != PowerDeviceD0 && current != PowerDeviceD0) return ERR_INVALID_POWER_STATE;

  // The power-down road takes deviceMutex: it must be free while the request runs.
  InterlockedIncrement(&dx->referenceCount);
  KeReleaseMutex(&dx->deviceMutex, FALSE);
  PowerWaiter waiter;
  KeInitializeEvent(&waiter.done, NotificationEvent, FALSE);
  waiter.ioStatus.Status = STATUS_UNSUCCESSFUL;
  waiter.ioStatus.Information = 0;
  POWER_STATE state;
  state.DeviceState = DEVICE_POWER_STATE(d);
  if (NT_SUCCESS(PoRequestPowerIrp(dx->physicalDevice, IRP_MN_SET_POWER, state, SetPowerDone, &waiter, NULL)))
    WaitForObject(&waiter.done, Executive);
  const NTSTATUS status = waiter.ioStatus.Status;
  WaitForObject(&dx->deviceMutex, Executive);
  DropDeviceReference(dx);
  return status;
}
