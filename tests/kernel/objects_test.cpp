// Device objects and stacks, their deletion checks, driver objects, names, symbolic links and
// device interfaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/world.h"
#include "tests/support/devices.h"
#include "tests/support/dispatch_stack.h"
#include "tests/support/misuse.h"

namespace {

using support::EmptyEntry;
PDEVICE_OBJECT Create(PDRIVER_OBJECT driver, ULONG extension = 0) { return support::CreateDevice(driver, extension); }

// A driver whose read requests stay pending until the test completes them.
support::Holder *g_reads = nullptr;
NTSTATUS HoldingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) { return g_reads->Pend(irp); };
  return STATUS_SUCCESS;
}
NTSTATUS SendRead(PDEVICE_OBJECT device) {
  return sim::SendIrp(device, [](PIRP, PIO_STACK_LOCATION first) { first->MajorFunction = IRP_MJ_READ; }, [](PIRP) {});
}

TEST(ObjectsStack, AttachDetachAndStackSize) {
  sim::World world;
  PDRIVER_OBJECT bus = sim::LoadDriver(EmptyEntry, u"bus");
  PDRIVER_OBJECT fn = sim::LoadDriver(EmptyEntry, u"fn");
  PDEVICE_OBJECT pdo = Create(bus), fdo = Create(fn), filter = Create(fn);
  pdo->AlignmentRequirement = 3;

  EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(fdo->AlignmentRequirement, 3u);
  // Attaching to any member of the stack goes on top of it.
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), fdo);
  EXPECT_EQ(filter->StackSize, 3);
  for (PDEVICE_OBJECT d : {pdo, fdo, filter}) {
    EXPECT_EQ(sim::StackTop(d), filter);
    EXPECT_EQ(sim::StackBottom(d), pdo);
  }
  EXPECT_EQ(sim::LowerDevice(filter), fdo);

  IoDetachDevice(fdo);  // removes the filter
  EXPECT_EQ(fdo->AttachedDevice, nullptr);
  EXPECT_EQ(sim::LowerDevice(filter), nullptr);
  // A detached device still charges the stack it belonged to.
  EXPECT_EQ(sim::StackBottom(filter), pdo);
  IoDeleteDevice(filter);

  // Nothing is attached to a device that is being deleted.
  sim::ReferenceDevice(fdo);
  IoDetachDevice(pdo);
  IoDeleteDevice(fdo);
  EXPECT_TRUE(sim::DeviceDeleted(fdo));
  PDEVICE_OBJECT late = Create(fn);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(late, fdo), nullptr);
  EXPECT_EQ(late->StackSize, 1);
  sim::DereferenceDevice(fdo);

  // A device created while a stack's work is charged belongs to that stack until attached.
  {
    sim::PoolOwnerScope owner(pdo);
    PDEVICE_OBJECT fresh = Create(fn);
    EXPECT_EQ(sim::StackBottom(fresh), pdo);
    IoDeleteDevice(fresh);
  }
  IoDeleteDevice(late);
  IoDeleteDevice(pdo);
  sim::UnloadDriver(fn);
  sim::UnloadDriver(bus);
}

TEST(ObjectsStackDeathTest, DeleteWhileAttachedWithRequestsPoolLeakAndUseAfterDelete) {
  support::ExpectEachStopsTheRun({
      // A request still pending on the device.
      {sim::check::kDeleteWithRequests,
       [] {
         support::Holder reads;
         g_reads = &reads;
         PDEVICE_OBJECT dev = Create(sim::LoadDriver(HoldingEntry, u"hold"));
         SendRead(dev);
         IoDeleteDevice(dev);
       }},
      // Deleted while still attached to the device below it.
      {sim::check::kDeleteAttachedDevice,
       [] {
         PDEVICE_OBJECT pdo = Create(sim::LoadDriver(EmptyEntry, u"bus"));
         PDEVICE_OBJECT fdo = Create(sim::LoadDriver(EmptyEntry, u"fn"));
         IoAttachDeviceToDeviceStack(fdo, pdo);
         IoDeleteDevice(fdo);
       }},
      // Pool charged to the stack when its last device goes, even after detaching.
      {"pool still allocated when the device object is deleted.*Leak",
       [] {
         PDEVICE_OBJECT pdo = Create(sim::LoadDriver(EmptyEntry, u"bus"));
         PDEVICE_OBJECT fdo = Create(sim::LoadDriver(EmptyEntry, u"fn"));
         IoAttachDeviceToDeviceStack(fdo, pdo);
         {
           sim::PoolOwnerScope owner(pdo);
           ExAllocatePoolWithTag(NonPagedPoolNx, 16, sim::MakeTag("Leak"));
         }
         IoDetachDevice(pdo);
         IoDeleteDevice(fdo);
       }},
#if defined(__SANITIZE_ADDRESS__)
      {"heap-use-after-free",
       [] {
         PDEVICE_OBJECT dev = Create(sim::LoadDriver(EmptyEntry, u"uad"), 32);
         auto *ext = static_cast<volatile int *>(dev->DeviceExtension);
         IoDeleteDevice(dev);
         ext[0] = 1;
       }},
#endif
  });
}

UNICODE_STRING U(const char16_t *s) {
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, s);
  return us;
}

NTSTATUS CreateNamed(PDRIVER_OBJECT driver, const char16_t *name, PDEVICE_OBJECT *out, ULONG extension = 0) {
  UNICODE_STRING us = U(name);
  return IoCreateDevice(driver, extension, &us, FILE_DEVICE_UNKNOWN, 0, FALSE, out);
}

const GUID kClassA = {0xdb293be4, 0x1f5d, 0x40e6, {0x9a, 0x6f, 0x4c, 0x41, 0xd1, 0x2a, 0x33, 0x9e}};
const GUID kClassB = {0x12345678, 0x9abc, 0xdef0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};

TEST(ObjectsNames, DeviceNamesLinksAndCollisions) {
  sim::World world;
  PDRIVER_OBJECT driver = sim::LoadDriver(EmptyEntry, u"names");
  PDEVICE_OBJECT dev = nullptr;
  ASSERT_EQ(CreateNamed(driver, u"\\Device\\Foo0", &dev, 64), STATUS_SUCCESS);
  EXPECT_TRUE(dev->Flags & DO_DEVICE_INITIALIZING);
  auto *ext = static_cast<unsigned char *>(dev->DeviceExtension);
  EXPECT_TRUE(std::all_of(ext, ext + 64, [](unsigned char c) { return c == 0; }));

  // The namespace ignores case: the same name in other letters collides.
  PDEVICE_OBJECT other = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(CreateNamed(driver, u"\\device\\FOO0", &other), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(other, nullptr);

  // \DosDevices and \?? are one namespace.
  UNICODE_STRING link = U(u"\\DosDevices\\Foo0"), target = U(u"\\Device\\Foo0");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  UNICODE_STRING sameLink = U(u"\\??\\foo0");
  EXPECT_EQ(IoCreateSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\??\\FOO0"), dev);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\\\.\\Foo0"), dev);

  // Deleting a device removes its name (free for reuse); the link stays and dangles.
  IoDeleteDevice(dev);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\DosDevices\\Foo0"), nullptr);
  EXPECT_TRUE(sim::SymbolicLinkExists(u"\\DosDevices\\Foo0"));
  ASSERT_EQ(CreateNamed(driver, u"\\Device\\Foo0", &dev), STATUS_SUCCESS);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\DosDevices\\Foo0"), dev);

  EXPECT_EQ(IoDeleteSymbolicLink(&sameLink), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(sim::SymbolicLinkExists(u"\\DosDevices\\Foo0"));

  // Generated names are unique.
  PDEVICE_OBJECT autoA = Create(driver), autoB = Create(driver);
  EXPECT_EQ(sim::DeviceNames().size(), 3u);
  for (PDEVICE_OBJECT d : {dev, autoA, autoB}) IoDeleteDevice(d);
  EXPECT_TRUE(sim::DeviceNames().empty());
  sim::UnloadDriver(driver);
}

TEST(ObjectsNames, DeviceInterfacesRegisterEnableAndResolve) {
  sim::World world;
  PDRIVER_OBJECT bus = sim::LoadDriver(EmptyEntry, u"bus");
  PDRIVER_OBJECT fn = sim::LoadDriver(EmptyEntry, u"fn");
  PDEVICE_OBJECT pdo = Create(bus), pdo2 = Create(bus), fdo = Create(fn);
  ASSERT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);

  UNICODE_STRING a1{}, a2{}, b{}, other{}, onFdo{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClassA, nullptr, &a1), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClassA, nullptr, &a2), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClassB, nullptr, &b), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterDeviceInterface(pdo2, &kClassA, nullptr, &other), STATUS_SUCCESS);
  // Only the physical device object of a stack has interfaces.
  EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kClassA, nullptr, &onFdo), STATUS_INVALID_DEVICE_REQUEST);

  std::u16string pathA = sim::FromUnicodeString(&a1);
  EXPECT_EQ(pathA, sim::FromUnicodeString(&a2));
  std::set<std::u16string> distinct{pathA, sim::FromUnicodeString(&b), sim::FromUnicodeString(&other)};
  EXPECT_EQ(3u, distinct.size());
  // The driver owns the returned strings: pool it frees with RtlFreeUnicodeString.
  EXPECT_TRUE(sim::IsPoolBlock(a1.Buffer));
  EXPECT_EQ(a1.Buffer[a1.Length / 2], u'\0');
  EXPECT_EQ(sim::RegisteredInterfaces(kClassA).size(), 2u);
  EXPECT_EQ(sim::LookupDeviceByName(pathA), nullptr);  // no link until enabled

  EXPECT_EQ(IoSetDeviceInterfaceState(&a1, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&a2, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&b, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(sim::EnabledInterfaces(kClassA), std::vector<std::u16string>{pathA});
  EXPECT_EQ(sim::LookupDeviceByName(pathA), pdo);  // the physical device object, not the top

  EXPECT_EQ(IoSetDeviceInterfaceState(&a1, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&a1, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(sim::LookupDeviceByName(pathA), nullptr);
  UNICODE_STRING unknown = U(u"\\??\\SIM#DEVICE#9999#{00000000-0000-0000-0000-000000000000}");
  EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);

  // Deleting the physical device object withdraws its interfaces.
  IoDetachDevice(pdo);
  IoDeleteDevice(fdo);
  IoDeleteDevice(pdo);
  EXPECT_TRUE(sim::EnabledInterfaces(kClassB).empty());
  EXPECT_EQ(IoSetDeviceInterfaceState(&b, TRUE), STATUS_INVALID_DEVICE_REQUEST);

  for (auto *s : {&a1, &a2, &b, &other}) RtlFreeUnicodeString(s);
  IoDeleteDevice(pdo2);
  sim::UnloadDriver(fn);
  sim::UnloadDriver(bus);
}

}  // namespace
