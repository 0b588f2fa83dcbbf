#include "driver/control/sync_request.h"

#include "driver/core/device_extension.h"
#include "driver/core/kernel_utils.h"

NTSTATUS SyncCompletionRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CallLowerDriverSync(DeviceExtension *dx, PIRP irp, PVOID argument, ULONG ioControlCode, ULONG timeoutMs) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  LARGE_INTEGER dueTime;
  PLARGE_INTEGER timeout = NULL;
  if (timeoutMs != 0) {
    dueTime.QuadPart = LONGLONG(timeoutMs) * -10000;
    timeout = &dueTime;
  }

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  RtlZeroMemory(next, sizeof *next);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.Others.Argument1 = argument;
  IoSetCompletionRoutine(irp, SyncCompletionRoutine, &done, TRUE, TRUE, TRUE);

  // Whatever it returns, the completion routine has run or will run: the event decides.
  (VOID) IofCallDriver(dx->lowerDevice, irp);

  if (KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, timeout) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    // The event and the IRP must outlive the bus driver's use of them.
    WaitForObject(&done, Suspended);
    return ERR_TIMEOUT;
  }
  if (irp->IoStatus.Status == STATUS_PENDING) irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  return irp->IoStatus.Status;
}

NTSTATUS SubmitUrbSync(DeviceExtension *dx, PIRP irp, PURB urb, ULONG timeoutMs) {
  const NTSTATUS status = CallLowerDriverSync(dx, irp, urb, IOCTL_INTERNAL_USB_SUBMIT_URB, timeoutMs);
  if (status == STATUS_INVALID_PARAMETER) {
    // Refused as malformed, with no USB status to say more.
    const USBD_STATUS usbdStatus = urb->UrbHeader.Status;
    if (usbdStatus == URB_STATUS_UNWRITTEN || usbdStatus == 0) return ERR_INVALID_PARAMETER;
    return MapUsbdStatus(usbdStatus);
  }
  if (status == ERR_TIMEOUT) return ERR_TIMEOUT;
  if (status == STATUS_SUCCESS) return STATUS_SUCCESS;
  // Failed without a USB status: a system failure, passed on as it is.
  if (urb->UrbHeader.Status == URB_STATUS_UNWRITTEN) return status;
  return MapUsbdStatus(urb->UrbHeader.Status);
}
