// The bus FDO on the root-enumerated device: starts the worker, reports the plugged test devices
// as its children, passes the rest down. PASSIVE_LEVEL.
#include "windows/usbbus/bus.h"

namespace xrbus {
namespace {

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Bus *bus, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(bus->lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(Bus *bus, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus->lower, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The children present now. Paged pool: the PnP manager frees it.
NTSTATUS ReportChildren(Bus *bus, PIRP irp) {
  PDEVICE_OBJECT children[XRBUS_MAX_PORTS];
  ULONG count = 0;
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  for (Port &p : bus->ports)
    if (p.present && p.pdo) children[count++] = p.pdo;
  KeReleaseSpinLock(&bus->lock, irql);
  const ULONG size = sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT);
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
  if (!relations) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = count;
  for (ULONG i = 0; i < count; ++i) {
    ObReferenceObject(children[i]);
    relations->Objects[i] = children[i];
  }
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

VOID RemoveBus(Bus *bus) {
  StopWorker(bus);
  for (ULONG i = 0; i < XRBUS_MAX_PORTS; ++i) {
    Port &p = bus->ports[i];
    p.present = FALSE;
    if (p.pdo) {
      PDEVICE_OBJECT pdo = p.pdo;
      p.pdo = NULL;
      IoDeleteDevice(pdo);
    }
  }
  g_bus = NULL;
}

}  // namespace

NTSTATUS DispatchFdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  Bus *bus = ExtensionOf(fdo)->bus;
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(bus, irp);
      if (NT_SUCCESS(status) && !bus->thread) status = StartWorker(bus);
      if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(bus->physical, BusRelations);
      return Complete(irp, status);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (s->Parameters.QueryDeviceRelations.Type != BusRelations) return PassDown(bus, irp);
      const NTSTATUS status = ReportChildren(bus, irp);
      if (!NT_SUCCESS(status)) return Complete(irp, status);
      irp->IoStatus.Status = status;
      return PassDown(bus, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
      RemoveBus(bus);
      irp->IoStatus.Status = STATUS_SUCCESS;
      const NTSTATUS status = PassDown(bus, irp);
      IoDetachDevice(bus->lower);
      IoDeleteDevice(fdo);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(bus, irp);
    default:
      return PassDown(bus, irp);
  }
}

NTSTATUS DispatchFdoPower(PDEVICE_OBJECT fdo, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(ExtensionOf(fdo)->bus->lower, irp);
}

}  // namespace xrbus
