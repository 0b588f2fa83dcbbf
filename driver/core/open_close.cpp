#include "driver/config/configuration.h"
#include "driver/config/pipes.h"
#include "driver/control/reset_device.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/open_handle.h"
#include "driver/core/pool_tags.h"
#include "driver/pnp_power/power.h"
#include "driver/transfer/request_queue.h"
#include "include/xrusb/status.h"

namespace {

DeviceExtension *RecordOf(PDEVICE_OBJECT deviceObject) {
  return static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
}

// The I/O manager lets creates through once a removal was queried, and after a surprise
// removal; the function driver must fail them itself (IRP_MN_QUERY_REMOVE_DEVICE and
// IRP_MN_SURPRISE_REMOVAL on learn.microsoft.com). deviceMutex held: the state changes under it.
BOOLEAN RefusesOpens(const DeviceExtension *dx) {
  return dx->pnpState == PNP_REMOVE_PENDING || dx->pnpState == PNP_SURPRISE_REMOVED || dx->pnpState == PNP_REMOVED;
}

VOID RegisterSystemRequired(DeviceExtension *dx) {
  dx->systemStateHandle = PoRegisterSystemState(dx->systemStateHandle, ES_SYSTEM_REQUIRED | ES_CONTINUOUS);
}

// The first handle's open policies.
VOID FirstOpen(DeviceExtension *dx) {
  (VOID) SetDevicePowerState(dx, dx->parameters.powerStateOnOpen);
  if (dx->parameters.minPowerStateUsed == PowerDeviceD0) RegisterSystemRequired(dx);
}

// The last handle's close policies; their failures do not keep the handle.
VOID LastClose(DeviceExtension *dx, PIRP irp) {
  dx->exclusiveOwner = NULL;
  if (dx->parameters.options & OPTION_RESET_ON_CLOSE)
    (VOID) ResetDevice(dx, irp);
  else if (dx->parameters.options & OPTION_UNCONFIGURE_ON_CLOSE)
    (VOID) Unconfigure(dx, irp, TRUE);
  // The unused device's registration, which start made, stays; stop and removal withdrew it.
  if (dx->parameters.minPowerStateUnused == PowerDeviceD0 && dx->pnpState == PNP_STARTED) {
    RegisterSystemRequired(dx);
  } else if (dx->systemStateHandle) {
    PoUnregisterSystemState(dx->systemStateHandle);
    dx->systemStateHandle = NULL;
  }
  (VOID) SetDevicePowerState(dx, dx->parameters.powerStateOnClose);
}

}  // namespace

NTSTATUS DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = RecordOf(deviceObject);
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
  PEPROCESS process = IoGetCurrentProcess();
  NTSTATUS status = STATUS_SUCCESS;

  WaitForObject(&dx->deviceMutex, Executive);
  if (RefusesOpens(dx)) {
    status = STATUS_DELETE_PENDING;
  } else if (dx->exclusiveOwner && dx->exclusiveOwner != process) {
    status = ERR_DEVICE_ACQUIRED;
  } else {
    OpenHandle *handle = static_cast<OpenHandle *>(AllocateNonPaged(sizeof(OpenHandle), TAG_OPEN_HANDLE));
    if (!handle) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlZeroMemory(handle, sizeof *handle);
      handle->fileObject = fileObject;
      handle->process = process;
      fileObject->FsContext = handle;
      InsertTailList(&dx->openHandleList, &handle->link);
      InterlockedIncrement(&dx->referenceCount);
      if (InterlockedIncrement(&dx->openHandleCount) == 1) FirstOpen(dx);
    }
  }
  KeReleaseMutex(&dx->deviceMutex, FALSE);
  return CompleteRequest(irp, status);
}

// transferMutex too: no read or write may set up on the pipe while its binding goes.
NTSTATUS DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = RecordOf(deviceObject);
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
  WaitForObject(&dx->deviceMutex, Executive);
  WaitForObject(&dx->transferMutex, Executive);
  const OpenHandle *handle = HandleOf(fileObject);
  if (handle && handle->boundPipe) {
    PipeContext *pipe = handle->boundPipe;
    CancelQueuedRequests(dx, fileObject);
    (VOID) SendAbortPipe(dx, irp, pipe);
    if (pipe->boundHandle) DissolveBinding(dx, pipe);
  }
  KeReleaseMutex(&dx->transferMutex, FALSE);
  KeReleaseMutex(&dx->deviceMutex, FALSE);
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = RecordOf(deviceObject);
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
  // Held across the close so that a removed device outlives the handle's own reference.
  InterlockedIncrement(&dx->referenceCount);

  WaitForObject(&dx->deviceMutex, Executive);
  OpenHandle *handle = HandleOf(fileObject);
  if (handle) {
    // Windows sends IRP_MJ_CLEANUP before this and the binding is gone; a system that skips it
    // (Wine does) would leave the pipe pointing at the record freed below.
    if (handle->boundPipe) {
      WaitForObject(&dx->transferMutex, Executive);
      DissolveBinding(dx, handle->boundPipe);
      KeReleaseMutex(&dx->transferMutex, FALSE);
    }
    RemoveEntryList(&handle->link);
    ExFreePoolWithTag(handle, 0);
    fileObject->FsContext = NULL;
    if (InterlockedDecrement(&dx->openHandleCount) == 0) LastClose(dx, irp);
    InterlockedDecrement(&dx->referenceCount);
  }
  KeReleaseMutex(&dx->deviceMutex, FALSE);

  // Completed first: the last reference may tear down the device object this IRP still names.
  const NTSTATUS status = CompleteRequest(irp, STATUS_SUCCESS);
  if (InterlockedDecrement(&dx->referenceCount) == 0) TeardownDevice(dx);
  return status;
}
