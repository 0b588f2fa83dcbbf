// Device stacks, deletion checks and driver objects.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/world.h"
#include "tests/support/devices.h"

namespace {

using support::EmptyEntry;
PDEVICE_OBJECT Create(PDRIVER_OBJECT driver, ULONG extension = 0) { return support::CreateDevice(driver, extension); }

// A driver whose read requests stay pending until the test completes them.
std::vector<PIRP> g_held;
NTSTATUS HoldRead(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  g_held.push_back(irp);
  return STATUS_PENDING;
}
NTSTATUS HoldingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = HoldRead;
  return STATUS_SUCCESS;
}

void CompleteHeld() {
  for (PIRP irp : g_held) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  g_held.clear();
}

NTSTATUS SendRead(PDEVICE_OBJECT device) {
  return sim::SendIrp(
      device, [](PIRP, PIO_STACK_LOCATION first) { first->MajorFunction = IRP_MJ_READ; }, [](PIRP) {});
}

TEST(ObjectsStack, AttachDetachAndStackSize) {
  sim::World world;
  PDRIVER_OBJECT bus = sim::LoadDriver(EmptyEntry, u"bus");
  PDRIVER_OBJECT fn = sim::LoadDriver(EmptyEntry, u"fn");
  PDEVICE_OBJECT pdo = Create(bus);
  PDEVICE_OBJECT fdo = Create(fn);
  PDEVICE_OBJECT filter = Create(fn);
  pdo->AlignmentRequirement = 3;

  EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(fdo->AlignmentRequirement, 3u);
  // Attaching to any member of the stack goes on top of it.
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), fdo);
  EXPECT_EQ(filter->StackSize, 3);
  EXPECT_EQ(pdo->AttachedDevice, fdo);
  EXPECT_EQ(fdo->AttachedDevice, filter);
  for (PDEVICE_OBJECT d : {pdo, fdo, filter}) {
    EXPECT_EQ(sim::StackTop(d), filter);
    EXPECT_EQ(sim::StackBottom(d), pdo);
  }
  EXPECT_EQ(sim::LowerDevice(filter), fdo);

  IoDetachDevice(fdo);  // removes the filter
  EXPECT_EQ(fdo->AttachedDevice, nullptr);
  EXPECT_EQ(sim::StackTop(pdo), fdo);
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

TEST(ObjectsStack, DriverDefaultsEntryFailureAndUnload) {
  sim::World world;
  static int unloads;
  unloads = 0;
  PDRIVER_OBJECT driver = sim::LoadDriver(
      [](PDRIVER_OBJECT d, PUNICODE_STRING path) -> NTSTATUS {
        EXPECT_EQ(sim::FromUnicodeString(path).rfind(u"\\Services\\plain"), sim::FromUnicodeString(path).size() - 15);
        EXPECT_EQ(IoGetCurrentProcess(), sim::SystemProcess());
        EXPECT_EQ(IoGetDriverExtension(d)->DriverObject, d);
        d->DriverUnload = [](PDRIVER_OBJECT) { ++unloads; };
        return STATUS_SUCCESS;
      },
      u"plain");
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(sim::FromUnicodeString(&driver->DriverName), u"\\Driver\\plain");
  for (PDRIVER_DISPATCH f : driver->MajorFunction) EXPECT_EQ(f, sim::DefaultDispatch);
  sim::UnloadDriver(driver);
  EXPECT_EQ(unloads, 1);

  EXPECT_EQ(sim::LoadDriver([](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_UNSUCCESSFUL; }, u"bad"),
            nullptr);
}

TEST(ObjectsStackDeathTest, DeleteWithRequestsAndPoolLeak) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");

  // A request still pending on the device.
  EXPECT_DEATH(
      {
        sim::World world;
        PDRIVER_OBJECT driver = sim::LoadDriver(HoldingEntry, u"hold");
        PDEVICE_OBJECT dev = Create(driver);
        SendRead(dev);
        IoDeleteDevice(dev);
      },
      sim::check::kDeleteWithRequests);

  // Pool charged to the stack when its last device goes, even after detaching.
  EXPECT_DEATH(
      {
        sim::World world;
        PDRIVER_OBJECT bus = sim::LoadDriver(EmptyEntry, u"bus");
        PDRIVER_OBJECT fn = sim::LoadDriver(EmptyEntry, u"fn");
        PDEVICE_OBJECT pdo = Create(bus);
        PDEVICE_OBJECT fdo = Create(fn);
        IoAttachDeviceToDeviceStack(fdo, pdo);
        {
          sim::PoolOwnerScope owner(pdo);
          ExAllocatePoolWithTag(NonPagedPoolNx, 16, sim::MakeTag("Leak"));
        }
        IoDetachDevice(pdo);
        IoDeleteDevice(fdo);
      },
      "pool still allocated when the device object is deleted.*Leak");
}

TEST(ObjectsStack, DeletionChecksPassWhenClean) {
  sim::World world;
  PDRIVER_OBJECT bus = sim::LoadDriver(EmptyEntry, u"bus");
  PDRIVER_OBJECT fn = sim::LoadDriver(HoldingEntry, u"fn");
  PDEVICE_OBJECT pdo = Create(bus);
  PDEVICE_OBJECT fdo = Create(fn);
  PDEVICE_OBJECT filter = Create(fn);
  IoAttachDeviceToDeviceStack(fdo, pdo);
  IoAttachDeviceToDeviceStack(filter, pdo);

  // Requests on the filter do not stop the function device's deletion, only its own.
  EXPECT_EQ(SendRead(filter), STATUS_PENDING);
  EXPECT_EQ(sim::IrpsReferencing(filter), 1u);

  // Pool charged to the stack may remain while another device of the stack lives.
  void *block;
  {
    sim::PoolOwnerScope owner(pdo);
    block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, sim::MakeTag("Keep"));
  }
  IoDetachDevice(pdo);  // the filter stays on the detached function device
  IoDeleteDevice(fdo);
  CompleteHeld();
  EXPECT_EQ(sim::IrpsReferencing(filter), 0u);
  ExFreePool(block);
  IoDeleteDevice(filter);
  IoDeleteDevice(pdo);
  sim::UnloadDriver(fn);
  sim::UnloadDriver(bus);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(ObjectsStackDeathTest, ExtensionUseAfterDeleteIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::World world;
        PDRIVER_OBJECT driver = sim::LoadDriver(EmptyEntry, u"uad");
        PDEVICE_OBJECT dev = Create(driver, 32);
        auto *ext = static_cast<volatile int *>(dev->DeviceExtension);
        IoDeleteDevice(dev);
        ext[0] = 1;
      },
      "heap-use-after-free");
}
#endif

}  // namespace
