#include "driver/control/port_requests.h"

#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"

namespace {

// Only failures carry meaning; a bus driver's informational status is success to the caller.
NTSTATUS PortStatus(NTSTATUS status) { return status < 0 ? status : STATUS_SUCCESS; }

}  // namespace

NTSTATUS CyclePort(DeviceExtension *dx, PIRP irp) {
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  return PortStatus(CallLowerDriverSync(dx, irp, NULL, IOCTL_INTERNAL_USB_CYCLE_PORT, dx->parameters.requestTimeout));
}

// The bus interface answers even while requests to the device are blocked: the frame counter
// belongs to the bus, not to the device.
NTSTATUS GetCurrentFrameNumber(DeviceExtension *dx, PIRP irp, PVOID result) {
  CurrentFrameNumber frame;
  if (dx->busInterface) {
    ULONG number = 0;
    const NTSTATUS status = dx->busInterface->QueryBusTime(dx->busInterface->BusContext, &number);
    frame.FrameNumber = number;
    RtlCopyMemory(result, &frame, sizeof frame);
    return status;
  }

  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  urb.UrbHeader.Status = URB_STATUS_UNWRITTEN;
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  const NTSTATUS status = SubmitUrbSync(dx, irp, &urb, dx->parameters.requestTimeout);
  if (NT_SUCCESS(status)) {
    frame.FrameNumber = urb.UrbGetCurrentFrameNumber.FrameNumber;
    RtlCopyMemory(result, &frame, sizeof frame);
  }
  return status;
}

NTSTATUS GetBandwidthInfo(DeviceExtension *dx, PVOID result) {
  BandwidthInfo info;
  RtlZeroMemory(&info, sizeof info);
  NTSTATUS status;
  PUSB_BUS_INTERFACE_USBDI_V0 bus = dx->busInterface;
  if (bus && bus->QueryBusInformation) {
    USB_BUS_INFORMATION_LEVEL_0 level0;
    RtlZeroMemory(&level0, sizeof level0);
    ULONG length = sizeof level0;
    ULONG actualLength = 0;
    status = bus->QueryBusInformation(bus->BusContext, 0, &level0, &length, &actualLength);
    if (!NT_SUCCESS(status)) return status;
    info.TotalBandwidth = level0.TotalBandwidth;
    info.ConsumedBandwidth = level0.ConsumedBandwidth;
  } else {
    USB_BUS_NOTIFICATION notification;
    RtlZeroMemory(&notification, sizeof notification);
    notification.NotificationType = AcquireBusInfo;
    PIRP irp = IoAllocateIrp(CCHAR(dx->lowerDevice->StackSize + 1), FALSE);
    if (!irp) return ERR_NO_MEMORY;
    status = CallLowerDriverSync(dx, irp, &notification, IOCTL_INTERNAL_USB_GET_BUS_INFO,
                                 dx->parameters.requestTimeout);
    if (status >= 0) {
      info.TotalBandwidth = notification.TotalBandwidth;
      info.ConsumedBandwidth = notification.ConsumedBandwidth;
    }
    IoFreeIrp(irp);
  }
  RtlCopyMemory(result, &info, sizeof info);
  return status;
}

NTSTATUS GetDeviceInfo(DeviceExtension *dx, PVOID result) {
  DeviceInfo info;
  RtlZeroMemory(&info, sizeof info);
  PUSB_BUS_INTERFACE_USBDI_V1 bus = dx->busInterfaceV1;
  if (bus && bus->IsDeviceHighSpeed && bus->IsDeviceHighSpeed(bus->BusContext)) info.Flags |= DEVICE_INFO_HIGH_SPEED;
  info.OpenHandleCount = ULONG(dx->openHandleCount);
  RtlCopyMemory(result, &info, sizeof info);
  return STATUS_SUCCESS;
}
