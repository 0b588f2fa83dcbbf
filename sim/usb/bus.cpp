// The bus as tests see it, and the physical device object's Plug and Play side and its
// direct-call interface (its power side: bus_power.cpp).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim/kernel/clock.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus_internal.h"
#include "platform/host/usbbusif.h"

namespace sim::usb::detail {
namespace {

// --- the direct-call interface ------------------------------------------------

Device *FromContext(PVOID context) { return static_cast<Device *>(context); }

VOID InterfaceReference(PVOID context) {
  std::lock_guard<std::mutex> guard(State().lock);
  ++FromContext(context)->interfaceReferences;
}

VOID InterfaceDereference(PVOID context) {
  std::lock_guard<std::mutex> guard(State().lock);
  if (--FromContext(context)->interfaceReferences < 0)
    VerifierFail(check::kBadObject, "USB bus interface of device %p dereferenced more often than referenced",
                 static_cast<void *>(FromContext(context)->pdo));
}

VOID GetUSBDIVersion(PVOID context, PUSBD_VERSION_INFORMATION info, PULONG caps) {
  if (info) {
    info->USBDI_Version = USBDI_VERSION;
    info->Supported_USB_Version = FromContext(context)->model->speed == Speed::Super ? 0x300 : 0x200;
  }
  if (caps) *caps = 0;
}

NTSTATUS QueryBusTime(PVOID, PULONG frame) {
  if (!frame) return STATUS_INVALID_PARAMETER;
  *frame = CurrentFrame();
  return STATUS_SUCCESS;
}

NTSTATUS SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS QueryBusInformation(PVOID context, ULONG level, PVOID buffer, PULONG bufferLength, PULONG actualLength) {
  if (level != 0) return STATUS_NOT_SUPPORTED;
  if (actualLength) *actualLength = sizeof(USB_BUS_INFORMATION_LEVEL_0);
  if (!bufferLength || *bufferLength < sizeof(USB_BUS_INFORMATION_LEVEL_0)) return STATUS_BUFFER_TOO_SMALL;
  auto *info = static_cast<PUSB_BUS_INFORMATION_LEVEL_0>(buffer);
  std::lock_guard<std::mutex> guard(State().lock);
  info->TotalBandwidth = TotalBandwidthOf(FromContext(context)->model->speed);
  info->ConsumedBandwidth = State().consumedBandwidth;
  return STATUS_SUCCESS;
}

BOOLEAN IsDeviceHighSpeed(PVOID context) { return FromContext(context)->model->speed != Speed::Full; }

NTSTATUS QueryInterface(Device &d, PIO_STACK_LOCATION s, NTSTATUS current) {
  const auto &q = s->Parameters.QueryInterface;
  if (!q.InterfaceType || memcmp(q.InterfaceType, &USB_BUS_INTERFACE_USBDI_GUID, sizeof(GUID)) != 0 || !q.Interface)
    return current;
  bool v1 = q.Version == USB_BUSIF_USBDI_VERSION_1 && d.options.offerInterfaceV1 &&
            q.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V1);
  bool v0 = q.Version == USB_BUSIF_USBDI_VERSION_0 && d.options.offerInterfaceV0 &&
            q.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V0);
  if (!v0 && !v1) return STATUS_NOT_SUPPORTED;
  // V1 only adds a member at the end, so one fill serves both.
  auto *bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(q.Interface);
  bi->Size = v1 ? sizeof(USB_BUS_INTERFACE_USBDI_V1) : sizeof(USB_BUS_INTERFACE_USBDI_V0);
  bi->Version = q.Version;
  bi->BusContext = &d;
  bi->InterfaceReference = InterfaceReference;
  bi->InterfaceDereference = InterfaceDereference;
  bi->GetUSBDIVersion = GetUSBDIVersion;
  bi->QueryBusTime = QueryBusTime;
  bi->SubmitIsoOutUrb = SubmitIsoOutUrb;
  bi->QueryBusInformation = QueryBusInformation;
  if (v1) bi->IsDeviceHighSpeed = IsDeviceHighSpeed;
  // The exporter hands the interface out referenced.
  InterfaceReference(&d);
  return STATUS_SUCCESS;
}

DEVICE_CAPABILITIES DefaultCapabilities(ULONG port) {
  DEVICE_CAPABILITIES c{};
  c.DeviceD2 = 1;
  c.Removable = 1;
  c.SurpriseRemovalOK = 1;
  c.WakeFromD2 = 1;
  c.Address = port;
  c.UINumber = port;
  c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  c.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  c.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
  c.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
  c.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  c.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  c.SystemWake = PowerSystemSleeping3;
  c.DeviceWake = PowerDeviceD2;
  return c;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// --- Plug and Play -----------------------------------------------------------

// PNP_BUS_INFORMATION (wdm.h) with the USB bus type GUID_BUS_TYPE_USB.
struct BusInformation {
  GUID busTypeGuid;
  ULONG legacyBusType;  // INTERFACE_TYPE
  ULONG busNumber;
};
constexpr GUID kBusTypeUsb = {0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};
constexpr ULONG kPnpBus = 15;
constexpr ULONG kAnswerTag = MakeTag("UsbP");

// Answers the Plug and Play manager frees: paged pool, charged to no driver.
template <typename T>
ULONG_PTR PagedCopy(const T *data, size_t bytes) {
  PoolOwnerScope owner(nullptr);
  void *block = ExAllocatePoolWithTag(PagedPool, bytes, kAnswerTag);
  if (block) memcpy(block, data, bytes);
  return reinterpret_cast<ULONG_PTR>(block);
}

ULONG_PTR PagedText(const std::u16string &text) { return PagedCopy(text.c_str(), (text.size() + 1) * sizeof(char16_t)); }

std::u16string Printed(const char *format, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
  char buf[64];
  snprintf(buf, sizeof buf, format, a, b, c);
  return ToU16(buf);
}

std::u16string StringOf(const DeviceModel &m, uint8_t index) {
  auto it = m.strings.find(index);
  if (!index || it == m.strings.end() || it->second.size() < 2) return {};
  std::u16string text;
  for (size_t i = 2; i + 1 < it->second.size() && i + 1 < it->second[0]; i += 2)
    text += char16_t(it->second[i] | it->second[i + 1] << 8);
  return text;
}

// The IDs and texts a USB hub reports for its port ("Identifiers Generated for USB Devices",
// learn.microsoft.com); lists end in an extra NUL. 0 and the status unchanged: not answered.
NTSTATUS Identity(const Device &d, PIO_STACK_LOCATION s, NTSTATUS current, ULONG_PTR *information) {
  const std::vector<uint8_t> &dd = d.model->deviceDescriptor;
  if (dd.size() < 18) return current;
  unsigned vid = dd[8] | dd[9] << 8, pid = dd[10] | dd[11] << 8, rev = dd[12] | dd[13] << 8;
  unsigned cls = dd[4], sub = dd[5], prot = dd[6];
  // A device that leaves its class to its interfaces: named by its interface when it has one, else
  // a composite device.
  bool composite = false;
  if (cls == 0 && !d.model->configurations.empty() && d.model->configurations[0].size() > 4) {
    const std::vector<uint8_t> &c = d.model->configurations[0];
    composite = c[4] > 1;
    for (size_t i = 0; !composite && i + 8 < c.size() && c[i]; i += c[i])
      if (c[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
        cls = c[i + 5], sub = c[i + 6], prot = c[i + 7];
        break;
      }
  }
  const std::u16string nul(1, u'\0');
  std::u16string text;
  if (s->MinorFunction == IRP_MN_QUERY_ID) {
    switch (s->Parameters.QueryId.IdType) {
      case BusQueryDeviceID:
        text = Printed("USB\\VID_%04X&PID_%04X", vid, pid);
        break;
      case BusQueryHardwareIDs:
        text = Printed("USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev) + nul + Printed("USB\\VID_%04X&PID_%04X", vid, pid) + nul;
        break;
      case BusQueryCompatibleIDs:
        if (composite)
          text = Printed("USB\\DevClass_00&SubClass_00&Prot_00") + nul + Printed("USB\\DevClass_00&SubClass_00") + nul +
                 Printed("USB\\DevClass_00") + nul + Printed("USB\\COMPOSITE") + nul;
        else
          text = Printed("USB\\Class_%02X&SubClass_%02X&Prot_%02X", cls, sub, prot) + nul +
                 Printed("USB\\Class_%02X&SubClass_%02X", cls, sub) + nul + Printed("USB\\Class_%02X", cls) + nul;
        break;
      case BusQueryInstanceID:
        // The serial number when the device has one, else the port.
        text = StringOf(*d.model, dd[16]);
        if (text.empty()) text = Printed("%u", d.port);
        break;
      default:
        return current;
    }
  } else if (s->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
    text = StringOf(*d.model, dd[15]);
    if (text.empty()) return current;
  } else if (s->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation) {
    text = Printed("Port_#%04u.Hub_#0001", d.port);
  } else {
    return current;
  }
  *information = PagedText(text);
  return *information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void DeleteWhenDetached(PDEVICE_OBJECT pdo) {
  auto start = std::chrono::steady_clock::now();
  while (StackTop(pdo) != pdo) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10))
      VerifierFail(check::kBadObject, "the function driver above USB device %p did not detach after its removal",
                   static_cast<void *>(pdo));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // A request still finishing at the device (the one whose answer set off a re-enumeration, say)
  // keeps the object, as Windows defers a deletion until the last reference goes; one that never
  // finishes is the verifier's at IoDeleteDevice.
  start = std::chrono::steady_clock::now();
  while (IrpsReferencing(pdo) && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  // The shell stays referenced until the world ends, so that no later device reuses its
  // address while tests and the Plug and Play manager still know it.
  ReferenceDevice(pdo);
  IoDeleteDevice(pdo);
  std::lock_guard<std::mutex> guard(State().lock);
  DeviceOf(pdo)->deleted = true;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  BusState &b = State();
  std::unique_lock<std::mutex> lock(b.lock);
  Device &d = *DeviceOf(pdo);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  bool deleteNow = false;
  switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      // A device still on the bus keeps its PDO for the next start; a vanished one goes.
      deleteNow = !d.present && !d.removed;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = s->Parameters.DeviceCapabilities.Capabilities;
      if (!caps) break;
      DEVICE_CAPABILITIES fill = d.options.capabilities.Size ? d.options.capabilities : DefaultCapabilities(d.port);
      fill.Size = caps->Size;
      fill.Version = caps->Version;
      *caps = fill;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      information |= d.options.deviceState;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_INTERFACE:
      lock.unlock();
      status = QueryInterface(d, s, status);
      lock.lock();
      break;
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_DEVICE_TEXT:
      status = Identity(d, s, status, &information);
      break;
    case IRP_MN_QUERY_BUS_INFORMATION: {
      BusInformation info{kBusTypeUsb, kPnpBus, 0};
      information = PagedCopy(&info, sizeof info);
      status = information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      // Of the relations only the target is a PDO's to answer: itself, referenced.
      if (s->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        DEVICE_RELATIONS relations{1, {pdo}};
        information = PagedCopy(&relations, sizeof relations);
        status = information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        if (information) ReferenceDevice(pdo);
      }
      break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: {
      // The hub takes paging, hibernation and dump files (USB storage holds them). Its PDO is the
      // last of the stack to become non-pageable and the first to become pageable again.
      DEVICE_USAGE_NOTIFICATION_TYPE type = s->Parameters.UsageNotification.Type;
      if (type != DeviceUsageTypePaging && type != DeviceUsageTypeHibernation && type != DeviceUsageTypeDumpFile) break;
      d.specialFiles += s->Parameters.UsageNotification.InPath ? 1 : -1;
      if (d.specialFiles > 0)
        pdo->Flags &= ~DO_POWER_PAGABLE;
      else
        pdo->Flags |= DO_POWER_PAGABLE;
      status = STATUS_SUCCESS;
      break;
    }
    default:
      // Resources and their requirements (a USB device has none), bus relations and the rest:
      // completed as they came.
      break;
  }
  std::vector<Completion> orphans;
  if (s->MinorFunction == IRP_MN_REMOVE_DEVICE && d.present) {
    // The hub leaves a device whose driver went away unconfigured, its pipes closed.
    orphans = TakeTransfers(d, nullptr, USBD_STATUS_CANCELED);
    for (auto &[h, p] : d.pipes) {
      b.consumedBandwidth -= p->bandwidth;
      p->bandwidth = 0;
      d.closedPipes.push_back(std::move(p));
    }
    d.pipes.clear();
    d.alternates.clear();
    d.interfaceHandles.clear();
    d.configurationValue = 0;
    d.configurationHandle = nullptr;
  }
  if (deleteNow) {
    d.removed = true;
    orphans = TakeTransfers(d, nullptr, USBD_STATUS_DEVICE_GONE);
    if (d.waitWake && IoSetCancelRoutine(d.waitWake, nullptr))
      orphans.push_back({d.waitWake, STATUS_NO_SUCH_DEVICE, 0, true});
    d.waitWake = nullptr;
  }
  lock.unlock();
  Deliver(orphans);
  Complete(irp, status, information);
  if (deleteNow) {
    // The function driver detaches after the removal has come back from here; the PDO goes
    // once nothing is attached to it any more.
    std::lock_guard<std::mutex> guard(b.reenumerationLock);
    b.reenumerations.push_back(std::make_unique<SystemThread>([pdo] { DeleteWhenDetached(pdo); }));
  }
  return status;
}

NTSTATUS DispatchOther(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  return Complete(irp, status, irp->IoStatus.Information);
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchBusPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchOther;
  return STATUS_SUCCESS;
}

// --- the world's hooks ------------------------------------------------------------

void Drain() {
  Bus::Get().Settle();
  StopThread();
}

void Reset() {
  StopThread();
  BusState &b = State();
  std::vector<PDEVICE_OBJECT> shells;
  {
    std::lock_guard<std::mutex> guard(b.lock);
    for (auto &d : b.devices)
      if (d->deleted) shells.push_back(d->pdo);
    for (auto &[irp, t] : b.byIrp) delete t;
    b.byIrp.clear();
    b.queue.clear();
    b.deferred.clear();
    b.devices.clear();
    b.byPdo.clear();
    b.driver = nullptr;
    b.pace = Pace::Fast;
    b.forcePending = false;
    b.traceData = false;
    b.busFreeAt = 0;
    b.consumedBandwidth = 0;
    b.nextHandle = 1;
    b.nextPort = 1;
  }
  for (PDEVICE_OBJECT pdo : shells) DereferenceDevice(pdo);
}

[[maybe_unused]] const bool g_hooked = [] {
  AddWorldHooks(Drain, Reset);
  return true;
}();

}  // namespace

BusState &State() {
  static BusState state;
  return state;
}

Device *DeviceOf(PDEVICE_OBJECT pdo) {
  auto it = State().byPdo.find(pdo);
  if (it == State().byPdo.end())
    VerifierFail(check::kBadObject, "%p is not a device of the USB bus", static_cast<void *>(pdo));
  return it->second;
}

void *NewHandle() {
  // Handles are never dereferenced; distinct values make a stale one recognisable.
  return reinterpret_cast<void *>(uintptr_t(0x7a5b00000000) + (State().nextHandle++ << 4));
}

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

namespace {

bool TransferIn(const Transfer &t) { return t.control ? t.setup.In() : (t.endpoint & 0x80) != 0; }

}  // namespace

uint64_t TraceUrb(Device &d, PURB urb, const Transfer *t) {
  TraceEntry e;
  e.function = urb->UrbHeader.Function;
  e.status = USBD_STATUS_PENDING;
  e.irpStatus = STATUS_PENDING;
  e.id = d.traceBase + d.trace.size();
  e.submitted = sim::Now100ns();
  if (t) {
    e.pipe = t->pipe ? t->pipe->handle : nullptr;
    e.endpoint = t->endpoint;
    e.flags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
    e.requestedLength = t->length;
    if (t->control) e.setup = t->setup;
    if (e.function == URB_FUNCTION_ISOCH_TRANSFER) e.isoPackets = urb->UrbIsochronousTransfer.NumberOfPackets;
  } else if (e.function == URB_FUNCTION_ABORT_PIPE || e.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
             e.function == URB_FUNCTION_SYNC_RESET_PIPE || e.function == URB_FUNCTION_SYNC_CLEAR_STALL) {
    e.pipe = urb->UrbPipeRequest.PipeHandle;
    auto it = d.pipes.find(e.pipe);
    if (it != d.pipes.end()) e.endpoint = it->second->endpoint.address;
  }
  d.trace.push_back(std::move(e));
  return d.traceBase + d.trace.size() - 1;
}

void TraceOutData(Device &d, uint64_t seq, PURB urb, const Transfer &t) {
  if (!State().traceData || !t.hasBuffer || !t.length || TransferIn(t)) return;
  if (seq < d.traceBase || seq - d.traceBase >= d.trace.size()) return;
  const uint8_t *buffer = BufferOf(urb);
  d.trace[seq - d.traceBase].data.assign(buffer, buffer + t.length);
}

void TraceOutcome(Device &d, uint64_t seq, USBD_STATUS status, ULONG actualLength, PURB urb) {
  if (seq < d.traceBase || seq - d.traceBase >= d.trace.size()) return;  // cleared meanwhile
  TraceEntry &e = d.trace[seq - d.traceBase];
  e.status = status;
  e.irpStatus = IrpStatusFor(status);
  e.actualLength = actualLength;
  e.completed = sim::Now100ns();
  if (!urb || !State().traceData) return;
  const bool in = e.function == URB_FUNCTION_CONTROL_TRANSFER || e.setup.bmRequestType || e.setup.bRequest
                      ? e.setup.In()
                      : (e.endpoint & 0x80) != 0;
  if (e.function == URB_FUNCTION_ISOCH_TRANSFER) {
    const auto &iso = urb->UrbIsochronousTransfer;
    e.startFrame = iso.StartFrame;
    // An isochronous IN buffer holds each packet at its offset, with gaps: keep it up to the
    // end of the last packet that moved data.
    ULONG end = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
      e.packets.push_back({iso.IsoPacket[i].Offset, iso.IsoPacket[i].Length, iso.IsoPacket[i].Status});
      if (iso.IsoPacket[i].Length) end = std::max(end, iso.IsoPacket[i].Offset + iso.IsoPacket[i].Length);
    }
    if (in) actualLength = std::min(end, e.requestedLength);
  }
  if (in && actualLength && BufferValid(urb, actualLength)) {
    const uint8_t *buffer = BufferOf(urb);
    e.data.assign(buffer, buffer + actualLength);
  }
}

}  // namespace sim::usb::detail

namespace sim::usb {

using namespace detail;

Bus &Bus::Get() {
  static Bus bus;
  return bus;
}

void Bus::SetPace(Pace pace) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().pace = pace;
  State().wake.notify_all();
}

void Bus::SetTraceData(bool on) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().traceData = on;
}

void Bus::SetForcePending(bool on) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().forcePending = on;
}

namespace {

// The device object of a device that has just arrived on a port, with its registry key; the Plug
// and Play manager has not heard of it yet.
PDEVICE_OBJECT Attach(Bus *bus, const std::shared_ptr<DeviceModel> &model, PDRIVER_OBJECT functionDriver,
                      const PlugOptions &options) {
  BusState &b = State();
  {
    std::lock_guard<std::mutex> guard(b.lock);
    if (!b.driver) b.driver = LoadDriver(BusDriverEntry, u"xrusbhub");
  }
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(b.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  if (!NT_SUCCESS(status)) VerifierFail(check::kBadObject, "the USB bus could not create a device: 0x%08X", unsigned(status));
  pdo->Flags = (pdo->Flags & ~DO_DEVICE_INITIALIZING) | DO_POWER_PAGABLE;
  auto d = std::make_unique<Device>();
  d->pdo = pdo;
  d->model = model;
  d->functionDriver = functionDriver;
  d->options = options;
  model->bus = bus;
  model->pdo = pdo;
  {
    std::lock_guard<std::mutex> guard(b.lock);
    d->port = b.nextPort++;
    b.byPdo[pdo] = d.get();
    b.devices.push_back(std::move(d));
  }
  std::u16string key = options.registryKey;
  if (key.empty()) {
    char buf[96];
    uint16_t vid = 0, pid = 0;
    if (model->deviceDescriptor.size() >= 12) {
      vid = uint16_t(model->deviceDescriptor[8] | model->deviceDescriptor[9] << 8);
      pid = uint16_t(model->deviceDescriptor[10] | model->deviceDescriptor[11] << 8);
    }
    snprintf(buf, sizeof buf, "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_%04X&PID_%04X\\%u", vid,
             pid, unsigned(DeviceOf(pdo)->port));
    key = ToU16(buf);
    registry::CreateKey(key);
  }
  registry::SetDeviceKey(pdo, key);
  return pdo;
}

}  // namespace

PDEVICE_OBJECT Bus::Plug(std::shared_ptr<DeviceModel> model, PDRIVER_OBJECT functionDriver, const PlugOptions &options) {
  PDEVICE_OBJECT pdo = Attach(this, model, functionDriver, options);
  EnsureThread();
  pnp::Plug(pdo, functionDriver);
  return pdo;
}

void Bus::Unplug(PDEVICE_OBJECT pdo) {
  std::vector<Completion> done;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    Device &d = *DeviceOf(pdo);
    if (!d.present) return;
    d.present = false;
    done = TakeTransfers(d, nullptr, USBD_STATUS_DEVICE_GONE);
    for (auto &w : d.waitingAborts) {
      reinterpret_cast<PURB>(IoGetCurrentIrpStackLocation(w.irp)->Parameters.Others.Argument1)->UrbHeader.Status =
          USBD_STATUS_DEVICE_GONE;
      TraceOutcome(d, w.traceSeq, USBD_STATUS_DEVICE_GONE, 0);
      done.push_back({w.irp, STATUS_DEVICE_NOT_CONNECTED});
    }
    d.waitingAborts.clear();
    if (d.waitWake && IoSetCancelRoutine(d.waitWake, nullptr)) done.push_back({d.waitWake, STATUS_NO_SUCH_DEVICE, 0, true});
    d.waitWake = nullptr;
    for (auto &[h, p] : d.pipes) State().consumedBandwidth -= p->bandwidth;
    for (auto &[h, p] : d.pipes) {
      p->bandwidth = 0;
      d.closedPipes.push_back(std::move(p));
    }
    d.pipes.clear();
    State().wake.notify_all();
  }
  Deliver(done);
  pnp::Unplug(pdo);
}

void Bus::Reenumerate(PDEVICE_OBJECT pdo, std::shared_ptr<DeviceModel> replacement) {
  PDRIVER_OBJECT driver;
  PlugOptions options;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    Device &d = *DeviceOf(pdo);
    if (d.reenumerating) return;
    d.reenumerating = true;
    driver = d.functionDriver;
    options = d.options;
  }
  auto body = [this, pdo, replacement, driver, options] {
    Unplug(pdo);
    // The port has its new device from the moment it exists, before the start that may hang on it.
    PDEVICE_OBJECT next = Attach(this, replacement, driver, options);
    {
      std::lock_guard<std::mutex> guard(State().lock);
      DeviceOf(pdo)->replacement = next;
    }
    EnsureThread();
    pnp::Plug(next, driver);
  };
  std::lock_guard<std::mutex> guard(State().reenumerationLock);
  State().reenumerations.push_back(std::make_unique<SystemThread>(body));
}

bool Bus::SignalRemoteWakeup(PDEVICE_OBJECT pdo) {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    Device &d = *DeviceOf(pdo);
    if (!d.waitWake || !d.remoteWakeupEnabled) return false;
    if (IoSetCancelRoutine(d.waitWake, nullptr)) irp = d.waitWake;
    d.waitWake = nullptr;
  }
  if (irp) Deliver({{irp, STATUS_SUCCESS, 0, true}});
  return irp != nullptr;
}

bool Bus::WaitWakePending(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  return DeviceOf(pdo)->waitWake != nullptr;
}

void Bus::Settle() {
  BusState &b = State();
  for (;;) {
    std::vector<std::unique_ptr<SystemThread>> threads;
    {
      std::lock_guard<std::mutex> guard(b.reenumerationLock);
      threads.swap(b.reenumerations);
    }
    pnp::Settle();
    if (threads.empty()) break;
    for (auto &t : threads) t->Join();
  }
  // Answers the bus owes in force-pending mode.
  std::unique_lock<std::mutex> lock(b.lock);
  b.wake.notify_all();
  b.wake.wait(lock, [&] { return (b.deferred.empty() && b.busy == 0) || !b.threadRunning; });
}

void Bus::FailEndpoint(PDEVICE_OBJECT pdo, uint8_t endpoint, Fault fault) {
  std::lock_guard<std::mutex> guard(State().lock);
  DeviceOf(pdo)->faults.push_back({false, endpoint, std::move(fault)});
}

void Bus::FailRequest(PDEVICE_OBJECT pdo, uint8_t bRequest, Fault fault) {
  std::lock_guard<std::mutex> guard(State().lock);
  DeviceOf(pdo)->faults.push_back({true, bRequest, std::move(fault)});
}

void Bus::ClearFaults(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  DeviceOf(pdo)->faults.clear();
}

std::vector<TraceEntry> Bus::Trace(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  Device &d = *DeviceOf(pdo);
  return {d.trace.begin(), d.trace.end()};
}

void Bus::ClearTrace(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  Device &d = *DeviceOf(pdo);
  d.traceBase += d.trace.size();
  d.trace.clear();
}

size_t Bus::PendingTransfers(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  Device *d = DeviceOf(pdo);
  size_t n = 0;
  for (Transfer *t : State().queue)
    if (t->device == d) ++n;
  return n;
}

size_t Bus::HeldTransfers(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  Device *d = DeviceOf(pdo);
  size_t n = 0;
  for (Transfer *t : State().queue)
    if (t->device == d && t->state == Transfer::State::Parked) ++n;
  return n;
}

uint8_t Bus::ConfigurationValue(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  return DeviceOf(pdo)->configurationValue;
}

bool Bus::EndpointHalted(PDEVICE_OBJECT pdo, uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(State().lock);
  return DeviceOf(pdo)->deviceHalted.count(endpoint) != 0;
}

std::shared_ptr<DeviceModel> Bus::Model(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  return DeviceOf(pdo)->model;
}

PDEVICE_OBJECT Bus::Current(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  while (Device *d = DeviceOf(pdo)) {
    if (!d->replacement) break;
    pdo = d->replacement;
  }
  return pdo;
}

long Bus::InterfaceReferences(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  return DeviceOf(pdo)->interfaceReferences;
}

ULONG Bus::ConsumedBandwidth() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().consumedBandwidth;
}

ULONG Bus::TotalBandwidth() {
  std::lock_guard<std::mutex> guard(State().lock);
  // The bus runs at the speed of its fastest device.
  Speed fastest = Speed::Full;
  for (auto &d : State().devices)
    if (d->model->speed > fastest) fastest = d->model->speed;
  return TotalBandwidthOf(State().devices.empty() ? Speed::High : fastest);
}

}  // namespace sim::usb
