#include "driver/config/configuration.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/event_log.h"
#include "driver/core/kernel_utils.h"
#include "driver/firmware/firmware.h"
#include "driver/pnp_power/pnp.h"
#include "driver/transfer/request_queue.h"
#include "include/xrusb/status.h"

namespace {
constexpr LONGLONG BUS_INTERFACE_TIMEOUT = -20000000;  // 2 s, relative
constexpr ULONG NO_START_CONFIGURATION = 255;

// As if an application had asked for one interface (the others in alternate setting 0), but
// owned by no process: any process may drop it.
NTSTATUS SetStartConfiguration(DeviceExtension *dx) {
  SetConfigurationRequest request;
  RtlZeroMemory(&request, sizeof request);
  request.ConfigurationIndex = USHORT(dx->parameters.configIndex);
  request.NumberOfInterfaces = 1;
  request.InterfaceList[0].InterfaceNumber = USHORT(dx->parameters.interfaceNumber);
  request.InterfaceList[0].AlternateSetting = USHORT(dx->parameters.alternateSetting);
  request.InterfaceList[0].MaximumTransferSize = dx->parameters.maxTransferSize;
  PIRP irp = IoAllocateIrp(dx->deviceObject->StackSize, FALSE);
  if (!irp) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status = SetConfigurationNamingEveryInterface(dx, irp, &request);
  dx->configuringProcess = NULL;
  IoFreeIrp(irp);
  if (!NT_SUCCESS(status))
    WriteEventLog(dx->deviceObject, EVENT_MSG_ERROR, "Unable to configure the device during startup.");
  return status;
}
}  // namespace

NTSTATUS QueryBusInterface(DeviceExtension *dx, USHORT version, PUSB_BUS_INTERFACE_USBDI_V1 destination) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = BUS_INTERFACE_TIMEOUT;

  PIRP irp = IoAllocateIrp(dx->deviceObject->StackSize, FALSE);
  if (!irp) return ERR_NO_MEMORY;
  // Bus drivers leave a query they do not answer as they found it.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (version != USB_BUSIF_USBDI_VERSION_0 && version != USB_BUSIF_USBDI_VERSION_1) {
    IoFreeIrp(irp);
    return STATUS_UNSUCCESSFUL;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  next->Parameters.QueryInterface.Size = version == USB_BUSIF_USBDI_VERSION_1 ? sizeof(USB_BUS_INTERFACE_USBDI_V1)
                                                                             : sizeof(USB_BUS_INTERFACE_USBDI_V0);
  next->Parameters.QueryInterface.Version = version;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(destination);
  next->Parameters.QueryInterface.InterfaceSpecificData = NULL;
  IoSetCompletionRoutine(irp, SyncCompletionRoutine, &done, TRUE, TRUE, TRUE);
  (VOID) IofCallDriver(dx->lowerDevice, irp);

  NTSTATUS status;
  if (KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, &dueTime) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    // The IRP and the event must outlive the bus driver's use of them.
    WaitForObject(&done, Suspended);
    // An answer that came after all handed the interface out referenced; it is not kept.
    if (NT_SUCCESS(irp->IoStatus.Status) && destination->InterfaceDereference)
      destination->InterfaceDereference(destination->BusContext);
    status = ERR_TIMEOUT;
  } else {
    status = irp->IoStatus.Status;
    if (status == STATUS_PENDING) status = STATUS_UNSUCCESSFUL;
  }
  IoFreeIrp(irp);
  return status;
}

NTSTATUS StartDevice(DeviceExtension *dx) {
  // A restart after a stop asks again; the bus may offer another version by now.
  ReleaseBusInterface(dx);
  PUSB_BUS_INTERFACE_USBDI_V1 bus = &dx->usbBusInterface;
  if (NT_SUCCESS(QueryBusInterface(dx, USB_BUSIF_USBDI_VERSION_1, bus))) {
    dx->busInterfaceV1 = bus;
    dx->busInterface = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V0>(bus);
  } else if (NT_SUCCESS(QueryBusInterface(dx, USB_BUSIF_USBDI_VERSION_0, bus))) {
    // Version 1 only appends members, so the same record serves.
    dx->busInterface = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V0>(bus);
  }
  // Without either, the users of the interface fall back to bus requests.

  dx->devicePresent = TRUE;
  dx->requestsBlocked = FALSE;

  NTSTATUS status = STATUS_SUCCESS;
  // After a download the device re-enumerates as another one: nothing more is done with it.
  if (!DownloadFirmware(dx, &status)) {
    if (dx->parameters.configIndex != NO_START_CONFIGURATION) status = SetStartConfiguration(dx);
    // Even after a failed configuration: applications can still reach the device to set one.
    SetInterfaceState(dx, TRUE);
    StartQueuedTransfers(dx);
  }

  if (NT_SUCCESS(status)) {
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoSetPowerState(dx->deviceObject, DevicePowerState, d0);
    if (dx->parameters.minPowerStateUnused == PowerDeviceD0)
      dx->systemStateHandle = PoRegisterSystemState(dx->systemStateHandle, ES_SYSTEM_REQUIRED | ES_CONTINUOUS);
  }
  return status;
}
