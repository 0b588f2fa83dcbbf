// Device objects, device stacks and driver objects.
#include <cstdlib>
#include <memory>
#include <mutex>

#include "io_manager.h"
#include "io_objects_internal.h"
#include "objects.h"
#include "pool.h"
#include "threads.h"
#include "timers.h"
#include "verifier.h"
#include "faults.h"

namespace sim {
namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDevobjExtension = 13;

struct DriverRecord {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string name;
  std::u16string serviceName;
  std::u16string registryPath;
};

std::vector<std::unique_ptr<DriverRecord>> g_drivers;  // guarded by ObjectLock()
// Every device shell still allocated, deleted or not.
std::vector<PDEVICE_OBJECT> g_shells;
uint32_t g_nextSerial = 1;

_DEVOBJ_EXTENSION *Ext(PDEVICE_OBJECT d) { return d->DeviceObjectExtension; }

void CheckDevice(PDEVICE_OBJECT d, const char *what) {
  if (!d || !d->DeviceObjectExtension || d->Type != kIoTypeDevice || Ext(d)->DeviceObject != d)
    VerifierFail(check::kBadObject, "%s: %p is not a device object", what, static_cast<void *>(d));
}

PDEVICE_OBJECT BottomLocked(PDEVICE_OBJECT d) {
  PDEVICE_OBJECT b = d;
  while (Ext(b)->lower) b = Ext(b)->lower;
  if (Ext(b)->isBottom) return b;
  return Ext(b)->stackBottom ? Ext(b)->stackBottom : b;
}

PDEVICE_OBJECT TopLocked(PDEVICE_OBJECT d) {
  while (d->AttachedDevice) d = d->AttachedDevice;
  return d;
}

void FreeShell(PDEVICE_OBJECT d) {
  delete d->DeviceObjectExtension;
  delete d;
}

}  // namespace

std::mutex &ObjectLock() {
  static std::mutex lock;
  return lock;
}

NTSTATUS DefaultDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string &name) {
  auto record = std::make_unique<DriverRecord>();
  record->name = u"\\Driver\\" + name;
  record->serviceName = name;
  record->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
  DRIVER_OBJECT &d = record->object;
  d.Type = kIoTypeDriver;
  d.Size = sizeof(DRIVER_OBJECT);
  d.DriverExtension = &record->extension;
  record->extension.DriverObject = &d;
  auto asUnicode = [](std::u16string &s) {
    UNICODE_STRING u;
    u.Buffer = s.data();
    u.Length = USHORT(s.size() * 2);
    u.MaximumLength = u.Length;
    return u;
  };
  d.DriverName = asUnicode(record->name);
  record->extension.ServiceKeyName = asUnicode(record->serviceName);
  d.DriverInit = entry;
  for (auto &f : d.MajorFunction) f = DefaultDispatch;
  PDRIVER_OBJECT driver = &d;
  {
    std::lock_guard<std::mutex> guard(ObjectLock());
    g_drivers.push_back(std::move(record));
  }
  UNICODE_STRING registryPath = asUnicode(g_drivers.back()->registryPath);
  // DriverEntry runs in the system process.
  PEPROCESS saved = CurrentThread()->process;
  SetCurrentProcess(nullptr);
  NTSTATUS status = entry(driver, &registryPath);
  SetCurrentProcess(saved);
  if (!NT_SUCCESS(status)) {
    if (driver->DeviceObject)
      VerifierFail(check::kLeakAtEnd, "DriverEntry failed with 0x%08X but left device objects", unsigned(status));
    std::lock_guard<std::mutex> guard(ObjectLock());
    std::erase_if(g_drivers, [&](auto &r) { return &r->object == driver; });
    return nullptr;
  }
  return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DriverUnload) driver->DriverUnload(driver);
  if (driver->DeviceObject)
    VerifierFail(check::kLeakAtEnd, "driver unloaded while its device objects remain");
  std::lock_guard<std::mutex> guard(ObjectLock());
  std::erase_if(g_drivers, [&](auto &r) { return &r->object == driver; });
}

PDEVICE_OBJECT StackBottom(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  return BottomLocked(device);
}

PDEVICE_OBJECT StackTop(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  return TopLocked(device);
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  return Ext(device)->lower;
}

bool DeviceDeleted(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  return Ext(device)->deleted;
}

void ReferenceDevice(PDEVICE_OBJECT device) { Ext(device)->references.fetch_add(1); }

void DereferenceDevice(PDEVICE_OBJECT device) {
  long left = Ext(device)->references.fetch_sub(1) - 1;
  if (left < 0) VerifierFail(check::kBadObject, "device object %p dereferenced too often", static_cast<void *>(device));
  if (left > 0) return;
  {
    std::lock_guard<std::mutex> guard(ObjectLock());
    std::erase(g_shells, device);
  }
  FreeShell(device);
}

void ResetDevicesLocked() {
  for (PDEVICE_OBJECT d : g_shells) {
    if (!Ext(d)->deleted) free(d->DeviceExtension);
    FreeShell(d);
  }
  g_shells.clear();
  g_drivers.clear();
  g_nextSerial = 1;
}

}  // namespace sim

using sim::Ext;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) {
  *DeviceObject = nullptr;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "IoCreateDevice at IRQL %u", KeGetCurrentIrql());
  if (sim::ShouldFail(sim::AllocKind::Pool, __builtin_return_address(0), sim::MakeTag("Devi")))
    return STATUS_INSUFFICIENT_RESOURCES;
  std::u16string name = DeviceName ? sim::FromUnicodeString(DeviceName) : std::u16string();
  if (DeviceName && (name.empty() || name[0] != u'\\')) return STATUS_OBJECT_NAME_INVALID;

  auto *d = new DEVICE_OBJECT{};
  auto *x = new _DEVOBJ_EXTENSION{};
  d->Type = sim::kIoTypeDevice;
  d->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  d->DriverObject = DriverObject;
  d->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  d->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
  d->DeviceType = DeviceType;
  d->StackSize = 1;
  d->DeviceObjectExtension = x;
  x->Type = sim::kIoTypeDevobjExtension;
  x->Size = sizeof(*x);
  x->DeviceObject = d;
  x->stackBottom = sim::GetPoolOwner();

  std::lock_guard<std::mutex> guard(sim::ObjectLock());
  x->serial = sim::g_nextSerial++;
  if (!DeviceName && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
    char buf[32];
    snprintf(buf, sizeof buf, "\\Device\\%08x", x->serial);
    name = sim::ToU16(buf);
  }
  if (!name.empty()) {
    if (!sim::AddDeviceNameLocked(name, d)) {
      delete x;
      delete d;
      return STATUS_OBJECT_NAME_COLLISION;
    }
    x->name = name;
  }
  // Allocated apart from the shell so that a use after IoDeleteDevice is caught.
  d->DeviceExtension = DeviceExtensionSize ? calloc(1, DeviceExtensionSize) : nullptr;
  x->extensionSize = DeviceExtensionSize;
  d->NextDevice = DriverObject ? DriverObject->DeviceObject : nullptr;
  if (DriverObject) DriverObject->DeviceObject = d;
  sim::g_shells.push_back(d);
  *DeviceObject = d;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  sim::CheckDevice(DeviceObject, "IoDeleteDevice");
  _DEVOBJ_EXTENSION *x = Ext(DeviceObject);
  if (x->deleted) sim::VerifierFail(sim::check::kBadObject, "device object %p deleted twice", static_cast<void *>(DeviceObject));
  // A function or filter driver detaches before it deletes (learn.microsoft.com, "Handling an
  // IRP_MN_REMOVE_DEVICE Request": IoDetachDevice, then IoDeleteDevice).
  if (PDEVICE_OBJECT lower = sim::LowerDevice(DeviceObject))
    sim::VerifierFail(sim::check::kDeleteAttachedDevice, "device object %p is still attached to %p",
                      static_cast<void *>(DeviceObject), static_cast<void *>(lower));
  if (size_t n = sim::IrpsReferencing(DeviceObject))
    sim::VerifierFail(sim::check::kDeleteWithRequests, "%zu IRP(s) still reference device object %p", n,
                      static_cast<void *>(DeviceObject));
  PDEVICE_OBJECT checkStack = nullptr;
  {
    std::lock_guard<std::mutex> guard(sim::ObjectLock());
    PDEVICE_OBJECT bottom = sim::BottomLocked(DeviceObject);
    if (bottom != DeviceObject && DeviceObject->DriverObject) {
      bool others = false;
      for (PDEVICE_OBJECT e : sim::g_shells)
        if (e != DeviceObject && e != bottom && !Ext(e)->deleted && !Ext(e)->isBottom && e->DriverObject &&
            sim::BottomLocked(e) == bottom)
          others = true;
      if (!others) checkStack = bottom;
    }
  }
  if (DeviceObject->DeviceExtension)
    sim::CheckNoTimerOrDpcIn(DeviceObject->DeviceExtension, x->extensionSize,
                             "device object deleted with its extension");
  // The stack's memory must be back before its last driver-created device goes.
  if (checkStack) sim::CheckNoPoolOwnedBy(checkStack, "the last device object of its stack is deleted");

  {
    std::lock_guard<std::mutex> guard(sim::ObjectLock());
    x->deleted = true;
    if (!x->name.empty()) sim::RemoveDeviceNameLocked(x->name, DeviceObject);
    sim::DisableInterfacesOfLocked(DeviceObject);
    if (PDRIVER_OBJECT driver = DeviceObject->DriverObject) {
      for (PDEVICE_OBJECT *p = &driver->DeviceObject; *p; p = &(*p)->NextDevice)
        if (*p == DeviceObject) {
          *p = DeviceObject->NextDevice;
          break;
        }
    }
    if (DeviceObject->AttachedDevice) Ext(DeviceObject->AttachedDevice)->lower = nullptr;
    DeviceObject->AttachedDevice = nullptr;
    free(DeviceObject->DeviceExtension);
  }
  sim::DereferenceDevice(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  sim::CheckDevice(SourceDevice, "IoAttachDeviceToDeviceStack source");
  sim::CheckDevice(TargetDevice, "IoAttachDeviceToDeviceStack target");
  std::lock_guard<std::mutex> guard(sim::ObjectLock());
  PDEVICE_OBJECT top = sim::TopLocked(TargetDevice);
  if (Ext(top)->deleted || Ext(TargetDevice)->deleted) return nullptr;
  if (Ext(SourceDevice)->lower)
    sim::VerifierFail(sim::check::kBadObject, "device object %p is already attached", static_cast<void *>(SourceDevice));
  if (!Ext(top)->lower) {
    Ext(top)->isBottom = true;
    Ext(top)->stackBottom = top;
  }
  Ext(SourceDevice)->lower = top;
  Ext(SourceDevice)->stackBottom = sim::BottomLocked(top);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = CCHAR(top->StackSize + 1);
  if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement)
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  sim::CheckDevice(TargetDevice, "IoDetachDevice");
  std::lock_guard<std::mutex> guard(sim::ObjectLock());
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (!upper)
    sim::VerifierFail(sim::check::kBadObject, "IoDetachDevice: nothing is attached to %p", static_cast<void *>(TargetDevice));
  Ext(upper)->lower = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDRIVER_EXTENSION IoGetDriverExtension(PDRIVER_OBJECT DriverObject) { return DriverObject->DriverExtension; }

}  // extern "C"
