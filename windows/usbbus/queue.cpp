// The PDOs' internal device control: every URB and port request goes to one worker thread, which
// runs them in arrival order; a transfer the device NAKs waits in the queue, cancellable, and is
// tried again after the device has moved anything else.
#include "windows/usbbus/bus.h"

namespace xrbus {
namespace {

LIST_ENTRY *EntryOf(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }
PIRP IrpOf(LIST_ENTRY *entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }
PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

}  // namespace

VOID CompleteWith(PIRP irp, USBD_STATUS status) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    PURB urb = UrbOf(irp);
    urb->UrbHeader.Status = status;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
      auto &iso = urb->UrbIsochronousTransfer;
      iso.TransferBufferLength = 0;
      for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        iso.IsoPacket[i].Length = 0;
        iso.IsoPacket[i].Status = status;
      }
      iso.ErrorCount = iso.NumberOfPackets;
    }
  }
  irp->IoStatus.Status = IrpStatusFor(status);
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

namespace {

VOID CancelQueued(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Bus *bus = ExtensionOf(pdo)->bus;
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  RemoveEntryList(EntryOf(irp));
  KeReleaseSpinLock(&bus->lock, irql);
  CompleteWith(irp, USBD_STATUS_CANCELED);
}

// Lock held. FALSE: the IRP was cancelled before it could be queued; the caller completes it.
// Inserted before the cancel routine is set, so that a cancel routine always finds it.
BOOLEAN EnqueueLocked(Bus *bus, PIRP irp, BOOLEAN atHead) {
  if (atHead)
    InsertHeadList(&bus->queue, EntryOf(irp));
  else
    InsertTailList(&bus->queue, EntryOf(irp));
  (VOID) IoSetCancelRoutine(irp, CancelQueued);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
    RemoveEntryList(EntryOf(irp));
    return FALSE;
  }
  return TRUE;
}

// Moves the queued IRPs of a port (every port: ~0u) that are not being cancelled to 'taken'.
// Lock held.
VOID TakeQueuedLocked(Bus *bus, ULONG port, LIST_ENTRY *taken) {
  for (LIST_ENTRY *e = bus->queue.Flink; e != &bus->queue;) {
    LIST_ENTRY *next = e->Flink;
    PIRP irp = IrpOf(e);
    const ULONG owner = ExtensionOf(IoGetCurrentIrpStackLocation(irp)->DeviceObject)->port;
    // A NULL cancel routine means the cancel routine owns the IRP: it will take it off the list.
    if ((port == ~0u || owner == port) && IoSetCancelRoutine(irp, NULL)) {
      RemoveEntryList(e);
      InsertTailList(taken, e);
    }
    e = next;
  }
}

// One pass over the queue. TRUE when something completed, so that what waits may move now.
BOOLEAN RunPass(Bus *bus) {
  LIST_ENTRY work;
  InitializeListHead(&work);
  Pass pass = {};
  InitializeListHead(&pass.waiting);
  LIST_ENTRY &waiting = pass.waiting;
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  TakeQueuedLocked(bus, ~0u, &work);
  KeReleaseSpinLock(&bus->lock, irql);

  BOOLEAN progress = FALSE;
  while (!IsListEmpty(&work)) {
    LIST_ENTRY *e = RemoveHeadList(&work);
    if (RunQueued(bus, IrpOf(e), pass))
      progress = TRUE;
    else
      InsertTailList(&waiting, e);
  }

  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KeAcquireSpinLock(&bus->lock, &irql);
  // Back in front of what arrived meanwhile, in their order.
  while (!IsListEmpty(&waiting)) {
    PIRP irp = IrpOf(RemoveTailList(&waiting));
    const ULONG port = ExtensionOf(IoGetCurrentIrpStackLocation(irp)->DeviceObject)->port;
    if (!bus->ports[port].present) {
      InsertTailList(&cancelled, EntryOf(irp));
      continue;
    }
    if (!EnqueueLocked(bus, irp, TRUE)) InsertTailList(&cancelled, EntryOf(irp));
  }
  for (ULONG i = 0; i < XRBUS_MAX_PORTS; ++i) bus->ports[i].held = pass.naked[i];
  KeReleaseSpinLock(&bus->lock, irql);
  while (!IsListEmpty(&cancelled)) {
    PIRP irp = IrpOf(RemoveHeadList(&cancelled));
    const ULONG port = ExtensionOf(IoGetCurrentIrpStackLocation(irp)->DeviceObject)->port;
    CompleteWith(irp, bus->ports[port].present ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE);
  }
  return progress;
}

VOID Worker(PVOID context) {
  Bus *bus = static_cast<Bus *>(context);
  while (!bus->stopping) {
    // A held transfer is tried again at least this often, whatever else happens.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * 1000 * 5;
    KeWaitForSingleObject(&bus->wake, Executive, KernelMode, FALSE, &timeout);
    while (!bus->stopping && RunPass(bus)) {
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

NTSTATUS IrpStatusFor(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    default: return STATUS_UNSUCCESSFUL;
  }
}

ULONG CurrentFrame() { return ULONG(KeQueryInterruptTime() / 10000); }

NTSTATUS StartWorker(Bus *bus) {
  bus->stopping = 0;
  return PsCreateSystemThread(&bus->thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, bus);
}

VOID StopWorker(Bus *bus) {
  if (!bus->thread) return;
  InterlockedExchange(&bus->stopping, 1);
  KeSetEvent(&bus->wake, IO_NO_INCREMENT, FALSE);
  ZwWaitForSingleObject(bus->thread, FALSE, NULL);
  ZwClose(bus->thread);
  bus->thread = NULL;
  FailQueued(bus, ~0u, USBD_STATUS_DEVICE_GONE);
}

VOID FailQueued(Bus *bus, ULONG port, USBD_STATUS status) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  TakeQueuedLocked(bus, port, &taken);
  KeReleaseSpinLock(&bus->lock, irql);
  while (!IsListEmpty(&taken)) CompleteWith(IrpOf(RemoveHeadList(&taken)), status);
}

NTSTATUS DispatchPdoInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
  Extension *x = ExtensionOf(pdo);
  Bus *bus = x->bus;
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS status = STATUS_SUCCESS;
  switch (code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      if (!UrbOf(irp)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      [[fallthrough]];
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT: {
      KIRQL irql;
      KeAcquireSpinLock(&bus->lock, &irql);
      if (!bus->ports[x->port].present) {
        KeReleaseSpinLock(&bus->lock, irql);
        CompleteWith(irp, USBD_STATUS_DEVICE_GONE);
        return STATUS_DEVICE_NOT_CONNECTED;
      }
      IoMarkIrpPending(irp);
      const BOOLEAN queued = EnqueueLocked(bus, irp, FALSE);
      KeReleaseSpinLock(&bus->lock, irql);
      if (queued)
        KeSetEvent(&bus->wake, IO_NO_INCREMENT, FALSE);
      else
        CompleteWith(irp, USBD_STATUS_CANCELED);
      return STATUS_PENDING;
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto *port = static_cast<PULONG>(s->Parameters.Others.Argument1);
      if (port) *port = bus->ports[x->port].present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
      break;
    }
    case IOCTL_INTERNAL_USB_GET_BUS_INFO: {
      auto *info = static_cast<PUSB_BUS_NOTIFICATION>(s->Parameters.Others.Argument1);
      if (!info) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      info->NotificationType = AcquireBusInfo;
      info->TotalBandwidth = 480000;
      info->ConsumedBandwidth = 0;
      info->ControllerNameLength = 0;
      irp->IoStatus.Information = sizeof(USB_BUS_NOTIFICATION);
      break;
    }
    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace xrbus
