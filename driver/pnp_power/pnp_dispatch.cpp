// IRP_MJ_PNP: start, stop, removal, queries. PASSIVE_LEVEL.
#include "driver/config/configuration.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/pnp_power/pnp.h"
#include "driver/pnp_power/power.h"
#include "driver/transfer/request_queue.h"

namespace {

// Plug and Play state changes keep control codes and read/write set-up out.
VOID Lock(DeviceExtension *dx) {
  WaitForObject(&dx->deviceMutex, Executive);
  WaitForObject(&dx->transferMutex, Executive);
}

VOID Unlock(DeviceExtension *dx) {
  KeReleaseMutex(&dx->transferMutex, FALSE);
  KeReleaseMutex(&dx->deviceMutex, FALSE);
}

// Keeps IoStatus.Information: the lower driver's answer to a query travels in it.
NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS HandDown(DeviceExtension *dx, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(dx->lowerDevice, irp);
}

NTSTATUS HandDownSucceeded(DeviceExtension *dx, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  return HandDown(dx, irp);
}

// Stop, surprise removal and removal: the configuration goes without a word to the device,
// and nothing more reaches the bus.
VOID ReleaseDevice(DeviceExtension *dx, PIRP irp, BOOLEAN gone) {
  (VOID) Unconfigure(dx, irp, FALSE);
  dx->requestsBlocked = TRUE;
  SetInterfaceState(dx, FALSE);
  if (gone) dx->devicePresent = FALSE;
  ReleaseBusInterface(dx);
  if (dx->systemStateHandle) {
    PoUnregisterSystemState(dx->systemStateHandle);
    dx->systemStateHandle = NULL;
  }
}

VOID HoldTransfers(DeviceExtension *dx, ULONG pendingState) {
  Lock(dx);
  dx->requestsBlocked = TRUE;
  dx->pnpState = pendingState;
  Unlock(dx);
}

NTSTATUS StartPnp(DeviceExtension *dx, PIRP irp) {
  NTSTATUS status = ForwardAndWait(dx->lowerDevice, irp);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  // Already running: the bus interface and the configuration stay as they are.
  if (dx->pnpState == PNP_STARTED) return Complete(irp, status);
  Lock(dx);
  status = StartDevice(dx);
  if (status == STATUS_SUCCESS) dx->pnpState = PNP_STARTED;
  Unlock(dx);
  return Complete(irp, status);
}

// Cancel stop and cancel remove: only once the lower driver is back in service.
NTSTATUS ResumePnp(DeviceExtension *dx, PIRP irp) {
  NTSTATUS status = ForwardAndWait(dx->lowerDevice, irp);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  Lock(dx);
  // A device powered down stays held until its power-up.
  dx->requestsBlocked = CurrentPowerState(dx) != PowerDeviceD0;
  StartQueuedTransfers(dx);
  dx->pnpState = PNP_STARTED;
  Unlock(dx);
  return Complete(irp, status);
}

NTSTATUS RemovePnp(DeviceExtension *dx, PIRP irp) {
  Lock(dx);
  dx->pnpState = PNP_REMOVED;
  ReleaseDevice(dx, irp, TRUE);
  // The dispatch's own reference keeps this from reaching 0 here.
  if (InterlockedDecrement(&dx->referenceCount) == 0) TeardownDevice(dx);
  Unlock(dx);
  return HandDownSucceeded(dx, irp);
}

NTSTATUS CapabilitiesPnp(DeviceExtension *dx, PIRP irp) {
  NTSTATUS status = ForwardAndWait(dx->lowerDevice, irp);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  // Nothing is left to keep powered once the system shuts down.
  caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  Lock(dx);
  // Spares the user the "unsafe removal" dialog.
  if (dx->parameters.suppressPnPRemoveDlg) caps->SurpriseRemovalOK = 1;
  RtlCopyMemory(&dx->capabilities, caps, sizeof dx->capabilities);
  Unlock(dx);
  return Complete(irp, status);
}

NTSTATUS DeviceStatePnp(DeviceExtension *dx, PIRP irp) {
  if (!dx->parameters.hideDevNodeWhenStarted) return HandDown(dx, irp);
  if (!NT_SUCCESS(ForwardAndWait(dx->lowerDevice, irp))) irp->IoStatus.Information = 0;
  irp->IoStatus.Information |= PNP_DEVICE_DONT_DISPLAY_IN_UI;
  return Complete(irp, STATUS_SUCCESS);
}

// A paging, hibernation or crash-dump file on the device would put the whole stack in the paging
// path, non-pageable (DO_POWER_PAGABLE clear; "Supporting Special Files" on learn.microsoft.com).
// No file system sits on this device, so none is accepted; a driver that fails the notification
// completes it without passing it down.
NTSTATUS UsagePnp(DeviceExtension *dx, PIRP irp) {
  const PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const DEVICE_USAGE_NOTIFICATION_TYPE type = s->Parameters.UsageNotification.Type;
  const BOOLEAN special =
      type == DeviceUsageTypePaging || type == DeviceUsageTypeHibernation || type == DeviceUsageTypeDumpFile;
  if (special && s->Parameters.UsageNotification.InPath) return Complete(irp, STATUS_UNSUCCESSFUL);
  return HandDown(dx, irp);
}

NTSTATUS HandleMinor(DeviceExtension *dx, PIRP irp, UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return StartPnp(dx, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      HoldTransfers(dx, PNP_STOP_PENDING);
      return HandDownSucceeded(dx, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return ResumePnp(dx, irp);
    case IRP_MN_STOP_DEVICE:
      Lock(dx);
      ReleaseDevice(dx, irp, FALSE);
      dx->pnpState = PNP_STOPPED;
      Unlock(dx);
      return HandDownSucceeded(dx, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      HoldTransfers(dx, PNP_REMOVE_PENDING);
      return HandDownSucceeded(dx, irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemovePnp(dx, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      Lock(dx);
      dx->pnpState = PNP_SURPRISE_REMOVED;
      ReleaseDevice(dx, irp, TRUE);
      Unlock(dx);
      return HandDownSucceeded(dx, irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return CapabilitiesPnp(dx, irp);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      return DeviceStatePnp(dx, irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      return UsagePnp(dx, irp);
    default:
      return HandDown(dx, irp);
  }
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lowerDevice, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SyncCompletionRoutine, &done, TRUE, TRUE, TRUE);
  // Pending or not, the completion routine signals the event.
  (VOID) IofCallDriver(lowerDevice, irp);
  WaitForObject(&done, Suspended);
  return irp->IoStatus.Status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  // The record outlives a removal while a handle is open; a second removal must not drop
  // the AddDevice reference again.
  if (dx->pnpState == PNP_REMOVED && minor == IRP_MN_REMOVE_DEVICE) return Complete(irp, STATUS_DELETE_PENDING);

  InterlockedIncrement(&dx->referenceCount);
  const NTSTATUS status = HandleMinor(dx, irp, minor);
  if (InterlockedDecrement(&dx->referenceCount) == 0) TeardownDevice(dx);
  return status;
}
