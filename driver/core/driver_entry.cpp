#include "driver/core/driver.h"

#include "driver/core/device_extension.h"
#include "driver/core/kernel_utils.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  // A failed query leaves the fields zero, which selects the older pool type.
  RtlZeroMemory(&OsVersion, sizeof OsVersion);
  OsVersion.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
  RtlGetVersion(&OsVersion);

  driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  driverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driverObject->DriverExtension->AddDevice = AddDevice;
  driverObject->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

// The driver takes no part in WMI.
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  DeviceExtension *dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(dx->lowerDevice, irp);
}

// Every device has released its own resources by the time the driver is unloaded.
VOID DriverUnload(PDRIVER_OBJECT driverObject) { UNREFERENCED_PARAMETER(driverObject); }

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
