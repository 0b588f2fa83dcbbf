// Entry points of the test bus driver: the dispatch table, AddDevice for the root-enumerated bus
// device, and the control device. PASSIVE_LEVEL.
#include "windows/usbbus/bus.h"

namespace xrbus {
namespace {

PDEVICE_OBJECT g_control = NULL;

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  Extension *x = ExtensionOf(device);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (x->kind == ObjectKind::Control) return DispatchControl(device, irp);
  const bool fdo = x->kind == ObjectKind::Fdo;
  switch (s->MajorFunction) {
    case IRP_MJ_PNP:
      return fdo ? DispatchFdoPnp(device, irp) : DispatchPdoPnp(device, irp);
    case IRP_MJ_POWER:
      return fdo ? DispatchFdoPower(device, irp) : DispatchPdoPower(device, irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (!fdo) return DispatchPdoInternalControl(device, irp);
      break;
    default:
      break;
  }
  if (fdo) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(x->bus->lower, irp);
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
  if (g_bus) return STATUS_DEVICE_BUSY;  // one bus: the control device addresses it
  PDEVICE_OBJECT fdo = NULL;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension) + sizeof(Bus), NULL, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Extension *x = ExtensionOf(fdo);
  RtlZeroMemory(x, sizeof(Extension) + sizeof(Bus));
  Bus *bus = reinterpret_cast<Bus *>(x + 1);
  x->kind = ObjectKind::Fdo;
  x->bus = bus;
  bus->fdo = fdo;
  bus->physical = physical;
  KeInitializeSpinLock(&bus->lock);
  InitializeListHead(&bus->queue);
  KeInitializeEvent(&bus->wake, SynchronizationEvent, FALSE);
  bus->lower = IoAttachDeviceToDeviceStack(fdo, physical);
  if (!bus->lower) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  g_bus = bus;
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, XRBUS_LINK_NAME);
  IoDeleteSymbolicLink(&link);
  if (g_control) IoDeleteDevice(g_control);
}

}  // namespace
}  // namespace xrbus

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  using namespace xrbus;
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, XRBUS_DEVICE_NAME);
  RtlInitUnicodeString(&link, XRBUS_LINK_NAME);
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &g_control);
  if (!NT_SUCCESS(status)) return status;
  RtlZeroMemory(g_control->DeviceExtension, sizeof(Extension));
  ExtensionOf(g_control)->kind = ObjectKind::Control;
  g_control->Flags |= DO_BUFFERED_IO;
  g_control->Flags &= ~DO_DEVICE_INITIALIZING;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(g_control);
    g_control = NULL;
  }
  return status;
}
