// Remote wake-up: the wait-wake request held at the bus while wake-up is armed, its cancel, and
// the wake check of a system query.
//
// The request's own completion and a cancel can meet: the bus completes it (wake-up, error)
// while ArmWaitWake, Unconfigure or a system query cancels it. The canceller takes the IRP out
// of waitWakeRequest under waitWakeLock and names it in waitWakeCancelling until its
// IoCancelIrp has returned; a completion that finds its IRP named there leaves the IRP to the
// canceller (STATUS_MORE_PROCESSING_REQUIRED), which completes it. So the IRP is never freed
// under a running IoCancelIrp.
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/pnp_power/power.h"

namespace {

VOID PowerUpRequested(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE state, PVOID context,
                      PIO_STATUS_BLOCK ioStatus) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(minorFunction);
  UNREFERENCED_PARAMETER(state);
  UNREFERENCED_PARAMETER(context);
  UNREFERENCED_PARAMETER(ioStatus);
}

// The power manager's callback once the wait-wake request is done. It holds the reference
// ArmWaitWake took; the last one is never dropped here, since removal cancels the request (in
// Unconfigure) before it drops the record's own.
VOID WaitWakeDone(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE state, PVOID context,
                  PIO_STATUS_BLOCK ioStatus) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(minorFunction);
  UNREFERENCED_PARAMETER(state);
  DeviceExtension *dx = static_cast<DeviceExtension *>(context);
  if (ioStatus->Status == STATUS_SUCCESS && CurrentPowerState(dx) != PowerDeviceD0) {
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    (VOID) PoRequestPowerIrp(dx->physicalDevice, IRP_MN_SET_POWER, d0, PowerUpRequested, NULL, NULL);
  }
  DropDeviceReference(dx);
}

NTSTATUS WaitWakeCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  DeviceExtension *dx = static_cast<DeviceExtension *>(context);
  BOOLEAN cancellerFinishes = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&dx->waitWakeLock, &irql);
  if (dx->waitWakeRequest == irp) {
    dx->waitWakeRequest = NULL;
  } else if (dx->waitWakeCancelling == irp) {
    dx->waitWakeCompletionHeld = TRUE;
    cancellerFinishes = TRUE;
  }
  KeReleaseSpinLock(&dx->waitWakeLock, irql);
  if (cancellerFinishes) return STATUS_MORE_PROCESSING_REQUIRED;
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WaitWakePower(DeviceExtension *dx, PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&dx->waitWakeLock, &irql);
  // One at a time, and none while a cancelled one may still be on its way back.
  const BOOLEAN busy = dx->waitWakeRequest || dx->waitWakeCancelling;
  if (!busy) dx->waitWakeRequest = irp;
  KeReleaseSpinLock(&dx->waitWakeLock, irql);
  if (busy) {
    PoStartNextPowerIrp(irp);
    return CompleteRequest(irp, STATUS_DEVICE_BUSY);
  }
  return SendDownWith(dx, irp, WaitWakeCompletion);
}

VOID CancelWaitWake(DeviceExtension *dx) {
  KIRQL irql;
  KeAcquireSpinLock(&dx->waitWakeLock, &irql);
  PIRP irp = dx->waitWakeRequest;
  // A second canceller finds nothing to take.
  if (irp) {
    dx->waitWakeRequest = NULL;
    dx->waitWakeCancelling = irp;
    dx->waitWakeCompletionHeld = FALSE;
  }
  KeReleaseSpinLock(&dx->waitWakeLock, irql);
  if (!irp) return;
  IoCancelIrp(irp);
  KeAcquireSpinLock(&dx->waitWakeLock, &irql);
  const BOOLEAN finish = dx->waitWakeCompletionHeld;
  dx->waitWakeCancelling = NULL;
  KeReleaseSpinLock(&dx->waitWakeLock, irql);
  if (finish) {
    PoStartNextPowerIrp(irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

VOID ArmWaitWake(DeviceExtension *dx) {
  if (!dx->remoteWakeupArmed) {
    CancelWaitWake(dx);
    return;
  }
  if (!dx->capabilities.SystemWake || !dx->capabilities.DeviceWake) return;
  KIRQL irql;
  KeAcquireSpinLock(&dx->waitWakeLock, &irql);
  const BOOLEAN held = dx->waitWakeRequest || dx->waitWakeCancelling;
  KeReleaseSpinLock(&dx->waitWakeLock, irql);
  if (held) return;
  POWER_STATE wake;
  wake.SystemState = dx->capabilities.SystemWake;
  InterlockedIncrement(&dx->referenceCount);
  if (!NT_SUCCESS(PoRequestPowerIrp(dx->physicalDevice, IRP_MN_WAIT_WAKE, wake, WaitWakeDone, dx, NULL)))
    DropDeviceReference(dx);
}

VOID WakeCheck(DeviceExtension *dx, SYSTEM_POWER_STATE s) {
  // Under deviceMutex: the control codes and the configuration change what it reads.
  WaitForObject(&dx->deviceMutex, Executive);
  // The device cannot wake the system from there.
  if (dx->remoteWakeupArmed &&
      (DeviceStateFor(dx, s) > dx->capabilities.DeviceWake || s > dx->capabilities.SystemWake))
    CancelWaitWake(dx);
  KeReleaseMutex(&dx->deviceMutex, FALSE);
}
