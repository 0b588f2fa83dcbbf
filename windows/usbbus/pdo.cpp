// A test device's PDO: the Plug and Play queries a USB hub answers for its children (IDs,
// capabilities, text, the USBDI bus interface), and power. PASSIVE_LEVEL except the power IRPs'
// completion.
#include "windows/usbbus/bus.h"

namespace xrbus {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Appends text, then "XXXX" hex of 'value' when 'digits' is non-zero.
VOID Append(PWCHAR &at, const WCHAR *text, ULONG value = 0, int digits = 0) {
  while (*text) *at++ = *text++;
  for (int d = digits - 1; d >= 0; --d) *at++ = L"0123456789ABCDEF"[(value >> (4 * d)) & 0xF];
}

// The answer to one IRP_MN_QUERY_ID: a string or multi-string in paged pool.
NTSTATUS QueryId(Port &p, BUS_QUERY_ID_TYPE type, PIRP irp) {
  WCHAR text[256];
  PWCHAR at = text;
  switch (type) {
    case BusQueryDeviceID:
      Append(at, L"USB\\VID_", kTestVendorId, 4), Append(at, L"&PID_", p.productId, 4);
      *at++ = 0;
      break;
    case BusQueryInstanceID:
      Append(at, L"", p.instance, 4);
      *at++ = 0;
      break;
    case BusQueryHardwareIDs:
      Append(at, L"USB\\VID_", kTestVendorId, 4), Append(at, L"&PID_", p.productId, 4), Append(at, L"&REV_0100");
      *at++ = 0;
      Append(at, L"USB\\VID_", kTestVendorId, 4), Append(at, L"&PID_", p.productId, 4);
      *at++ = 0;
      *at++ = 0;
      break;
    case BusQueryCompatibleIDs:
      Append(at, L"USB\\Class_ff&SubClass_00&Prot_00");
      *at++ = 0;
      Append(at, L"USB\\Class_ff&SubClass_00");
      *at++ = 0;
      Append(at, L"USB\\Class_ff");
      *at++ = 0;
      *at++ = 0;
      break;
    default:
      return irp->IoStatus.Status;
  }
  const SIZE_T size = SIZE_T(at - text) * sizeof(WCHAR);
  auto *copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, text, size);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
  return STATUS_SUCCESS;
}

NTSTATUS QueryText(DEVICE_TEXT_TYPE type, PIRP irp) {
  const WCHAR *text = type == DeviceTextDescription ? L"xrusb test device" : type == DeviceTextLocationInformation ? L"Port_#0001.Hub_#0001" : NULL;
  if (!text) return irp->IoStatus.Status;
  SIZE_T n = 0;
  while (text[n]) ++n;
  auto *copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (n + 1) * sizeof(WCHAR), kPoolTag));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, text, (n + 1) * sizeof(WCHAR));
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
  return STATUS_SUCCESS;
}

NTSTATUS QueryCapabilities(ULONG port, PDEVICE_CAPABILITIES c) {
  if (c->Version != 1 || c->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
  c->Removable = TRUE;
  c->SurpriseRemovalOK = TRUE;
  c->UniqueID = FALSE;
  c->Address = port + 1;
  c->UINumber = port + 1;
  c->DeviceD2 = TRUE;
  c->WakeFromD2 = TRUE;
  c->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) c->DeviceState[s] = PowerDeviceD2;
  c->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  c->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  c->SystemWake = PowerSystemSleeping3;
  c->DeviceWake = PowerDeviceD2;
  return STATUS_SUCCESS;
}

// --- the USBDI bus interface; BusContext is the PDO ---
VOID InterfaceNoOp(PVOID) {}
VOID GetVersion(PVOID, PUSBD_VERSION_INFORMATION info, PULONG capabilities) {
  if (info) {
    info->USBDI_Version = 0x600;
    info->Supported_USB_Version = 0x200;
  }
  if (capabilities) *capabilities = 0;
}
NTSTATUS QueryBusTime(PVOID, PULONG frame) {
  if (!frame) return STATUS_INVALID_PARAMETER;
  *frame = CurrentFrame();
  return STATUS_SUCCESS;
}
NTSTATUS SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }
NTSTATUS QueryBusInformation(PVOID, ULONG level, PVOID buffer, PULONG length, PULONG actual) {
  if (level != 0) return STATUS_NOT_SUPPORTED;
  if (actual) *actual = sizeof(USB_BUS_INFORMATION_LEVEL_0);
  if (!buffer || !length || *length < sizeof(USB_BUS_INFORMATION_LEVEL_0)) return STATUS_BUFFER_TOO_SMALL;
  auto *info = static_cast<PUSB_BUS_INFORMATION_LEVEL_0>(buffer);
  info->TotalBandwidth = 480000;
  info->ConsumedBandwidth = 0;
  return STATUS_SUCCESS;
}
BOOLEAN IsHighSpeed(PVOID) { return TRUE; }

NTSTATUS QueryInterface(PDEVICE_OBJECT pdo, PIO_STACK_LOCATION s, PIRP irp) {
  auto &q = s->Parameters.QueryInterface;
  if (!IsEqualGUID(*q.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID)) return irp->IoStatus.Status;
  const USHORT version = q.Version;
  if (version > USB_BUSIF_USBDI_VERSION_1) return STATUS_NOT_SUPPORTED;
  const USHORT size = version == USB_BUSIF_USBDI_VERSION_1 ? sizeof(USB_BUS_INTERFACE_USBDI_V1) : sizeof(USB_BUS_INTERFACE_USBDI_V0);
  if (q.Size < size || !q.Interface) return STATUS_INVALID_PARAMETER;
  auto *bus = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(q.Interface);
  RtlZeroMemory(bus, size);
  bus->Size = size;
  bus->Version = version;
  bus->BusContext = pdo;
  bus->InterfaceReference = InterfaceNoOp;
  bus->InterfaceDereference = InterfaceNoOp;
  bus->GetUSBDIVersion = GetVersion;
  bus->QueryBusTime = QueryBusTime;
  bus->SubmitIsoOutUrb = SubmitIsoOutUrb;
  bus->QueryBusInformation = QueryBusInformation;
  if (version == USB_BUSIF_USBDI_VERSION_1) bus->IsDeviceHighSpeed = IsHighSpeed;
  return STATUS_SUCCESS;
}

// --- wait-wake: held until cancelled or the device goes ---
VOID CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Extension *x = ExtensionOf(pdo);
  KIRQL irql;
  KeAcquireSpinLock(&x->bus->lock, &irql);
  if (x->waitWake == irp) x->waitWake = NULL;
  KeReleaseSpinLock(&x->bus->lock, irql);
  PoStartNextPowerIrp(irp);
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS HoldWaitWake(Extension *x, PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&x->bus->lock, &irql);
  if (x->waitWake) {
    KeReleaseSpinLock(&x->bus->lock, irql);
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_DEVICE_BUSY);
  }
  IoMarkIrpPending(irp);
  x->waitWake = irp;
  (VOID) IoSetCancelRoutine(irp, CancelWaitWake);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
    x->waitWake = NULL;
    KeReleaseSpinLock(&x->bus->lock, irql);
    PoStartNextPowerIrp(irp);
    Complete(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&x->bus->lock, irql);
  return STATUS_PENDING;
}

VOID EndWaitWake(Extension *x) {
  KIRQL irql;
  KeAcquireSpinLock(&x->bus->lock, &irql);
  PIRP irp = x->waitWake;
  if (irp && IoSetCancelRoutine(irp, NULL))
    x->waitWake = NULL;
  else
    irp = NULL;
  KeReleaseSpinLock(&x->bus->lock, irql);
  if (!irp) return;
  PoStartNextPowerIrp(irp);
  Complete(irp, STATUS_NO_SUCH_DEVICE);
}

}  // namespace

NTSTATUS DispatchPdoPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  Extension *x = ExtensionOf(pdo);
  Bus *bus = x->bus;
  Port &p = bus->ports[x->port];
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (s->MinorFunction) {
    case IRP_MN_QUERY_ID:
      status = QueryId(p, s->Parameters.QueryId.IdType, irp);
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      status = QueryText(s->Parameters.QueryDeviceText.DeviceTextType, irp);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = QueryCapabilities(x->port, s->Parameters.DeviceCapabilities.Capabilities);
      break;
    case IRP_MN_QUERY_INTERFACE:
      status = QueryInterface(pdo, s, irp);
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (s->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto *r = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
        if (!r) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        ObReferenceObject(pdo);
        r->Count = 1;
        r->Objects[0] = pdo;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(r);
        status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      EndWaitWake(x);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      EndWaitWake(x);
      // Still plugged (a disable, a driver update): the PDO stays until the device goes.
      KIRQL irql;
      KeAcquireSpinLock(&bus->lock, &irql);
      const BOOLEAN gone = !p.present && p.pdo == pdo;
      if (gone) p.pdo = NULL;
      KeReleaseSpinLock(&bus->lock, irql);
      Complete(irp, STATUS_SUCCESS);
      if (gone) IoDeleteDevice(pdo);
      return STATUS_SUCCESS;
    }
    default:
      break;
  }
  return Complete(irp, status);
}

NTSTATUS DispatchPdoPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->MinorFunction == IRP_MN_WAIT_WAKE) return HoldWaitWake(ExtensionOf(pdo), irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

}  // namespace xrbus
