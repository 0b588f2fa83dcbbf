// The driver's entry, its dispatch table, the system-control pass-through and the kernel
// utilities.
#include <atomic>
#include <thread>

#include "driver/core/device_extension.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/pool_tags.h"
#include "driver_fixture.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/version.h"

namespace {

TEST(DriverEntry, InstallsTheDispatchTable) {
  xrtest::DriverWorld w;
  PDRIVER_OBJECT d = w.Load();
  EXPECT_EQ(d->MajorFunction[IRP_MJ_CREATE], &DispatchCreate);
  EXPECT_EQ(d->MajorFunction[IRP_MJ_CLOSE], &DispatchClose);
  EXPECT_EQ(d->MajorFunction[IRP_MJ_CLEANUP], &DispatchCleanup);
  EXPECT_EQ(d->MajorFunction[IRP_MJ_READ], &DispatchReadWrite);
  EXPECT_EQ(d->MajorFunction[IRP_MJ_WRITE], &DispatchReadWrite);
  EXPECT_EQ(d->MajorFunction[IRP_MJ_DEVICE_CONTROL], &DispatchDeviceControl);
  EXPECT_EQ(d->MajorFunction[IRP_MJ_POWER], &DispatchPower);
  EXPECT_EQ(d->MajorFunction[IRP_MJ_SYSTEM_CONTROL], &DispatchSystemControl);
  EXPECT_EQ(d->MajorFunction[IRP_MJ_PNP], &DispatchPnp);
  EXPECT_EQ(d->DriverExtension->AddDevice, &AddDevice);
  EXPECT_EQ(d->DriverUnload, &DriverUnload);
  // Not handled: left to the I/O manager's default.
  EXPECT_EQ(d->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], d->MajorFunction[IRP_MJ_SHUTDOWN]);
  EXPECT_NE(d->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], &DispatchDeviceControl);
}

// A device below the driver that completes whatever reaches it with a status of its own.
struct LowerDevice {
  static inline std::atomic<int> calls{0};
  static inline IO_STACK_LOCATION seen{};
  static NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    seen = *IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Status = NTSTATUS(0xC0000295);  // STATUS_WMI_GUID_NOT_FOUND
    irp->IoStatus.Information = 7;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return NTSTATUS(0xC0000295);
  }
  static NTSTATUS Entry(PDRIVER_OBJECT d, PUNICODE_STRING) {
    d->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = Dispatch;
    d->MajorFunction[IRP_MJ_SHUTDOWN] = Dispatch;
    return STATUS_SUCCESS;
  }
};

TEST(DriverEntry, SystemControlGoesDownUnchangedAndUnhandledRequestsNeverArrive) {
  xrtest::DriverWorld w;
  PDRIVER_OBJECT d = w.Load();
  PDRIVER_OBJECT lowerDriver = sim::LoadDriver(LowerDevice::Entry, u"\\Driver\\lower");
  PDEVICE_OBJECT lower = nullptr, fdo = nullptr;
  ASSERT_EQ(IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(d, sizeof(DeviceExtension), nullptr, 0x8094, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo),
            STATUS_SUCCESS);
  auto *dx = static_cast<DeviceExtension *>(fdo->DeviceExtension);
  dx->lowerDevice = IoAttachDeviceToDeviceStack(fdo, lower);
  ASSERT_EQ(dx->lowerDevice, lower);
  dx->pnpState = PNP_STOPPED;
  DeviceExtension before = *dx;

  ULONG_PTR information = 0;
  NTSTATUS status = sim::SendIrpAndWait(
      fdo,
      [](PIRP, PIO_STACK_LOCATION first) {
        first->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        first->MinorFunction = 0x0B;
        first->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1111);
        first->Parameters.Others.Argument4 = reinterpret_cast<PVOID>(0x4444);
      },
      &information);
  EXPECT_EQ(status, NTSTATUS(0xC0000295));
  EXPECT_EQ(information, 7u);
  EXPECT_EQ(LowerDevice::calls, 1);
  EXPECT_EQ(LowerDevice::seen.MajorFunction, IRP_MJ_SYSTEM_CONTROL);
  EXPECT_EQ(LowerDevice::seen.MinorFunction, 0x0B);
  EXPECT_EQ(LowerDevice::seen.Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x1111));
  EXPECT_EQ(LowerDevice::seen.Parameters.Others.Argument4, reinterpret_cast<PVOID>(0x4444));
  EXPECT_EQ(LowerDevice::seen.CompletionRoutine, nullptr);
  EXPECT_EQ(memcmp(&before, dx, sizeof before), 0);

  // A major function the driver does not handle fails without reaching it (or the device below).
  status = sim::SendIrpAndWait(fdo, [](PIRP, PIO_STACK_LOCATION first) { first->MajorFunction = IRP_MJ_SHUTDOWN; });
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(LowerDevice::calls, 1);

  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  IoDeleteDevice(lower);
  sim::UnloadDriver(lowerDriver);
}

// The pool type follows the system version: no-execute pool from 6.2 on.
TEST(DriverEntry, PoolTypeFollowsTheSystemVersion) {
  struct Case {
    uint32_t major, minor;
    bool fail;
    int poolType;
  };
  for (Case c : {Case{6, 1, false, NonPagedPool}, Case{6, 2, false, NonPagedPoolNx}, Case{6, 3, false, NonPagedPoolNx},
                 Case{10, 0, false, NonPagedPoolNx}, Case{5, 2, false, NonPagedPool}, Case{10, 0, true, NonPagedPool}}) {
    xrtest::DriverWorld w;
    sim::SetOsVersion(c.major, c.minor);
    if (c.fail) sim::FailGetVersion();
    w.Load();
    EXPECT_EQ(OsVersion.dwOSVersionInfoSize, sizeof(RTL_OSVERSIONINFOW));
    EXPECT_EQ(OsVersion.dwMajorVersion, c.fail ? 0u : c.major);
    void *p = AllocateNonPaged(16, TAG_OPEN_HANDLE);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sim::PoolUsage(TAG_OPEN_HANDLE).lastPoolType, c.poolType) << c.major << "." << c.minor;
    ExFreePoolWithTag(p, 0);
    // The registry strings take the same road.
    sim::registry::SetString(w.key, u"FxFwFile", u"a.hex");
    xrtest::ReadBlock r(w);
    EXPECT_EQ(sim::PoolUsage(TAG_REGISTRY_STRING).lastPoolType, c.poolType);
  }
}

TEST(KernelUtils, WaitForObjectWaitsInOneSecondSlices) {
  xrtest::DriverWorld w({sim::ClockMode::Manual});
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  std::atomic<bool> held{false}, done{false};
  std::thread holder([&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    held = true;
    KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, FALSE);
  });
  while (!held) std::this_thread::yield();
  std::thread waiter([&] {
    WaitForObject(&mutex, Executive);
    done = true;
    KeReleaseMutex(&mutex, FALSE);
  });
  for (uint64_t slice = 1; slice <= 3; ++slice) {
    sim::AwaitTimedWaitsStarted(slice);
    sim::AdvanceMs(1000);
  }
  sim::AwaitTimedWaitsStarted(4);
  sim::AdvanceMs(500);  // 3.5 s: the holder lets go during the fourth slice
  EXPECT_FALSE(done);
  KeSetEvent(&release, 0, FALSE);
  waiter.join();
  holder.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(sim::TimedWaitsStarted(), 4u);
}

struct CountingBus {
  static inline std::atomic<int> references{0};
  static inline PVOID lastContext = nullptr;
  static VOID Dereference(PVOID context) {
    --references;
    lastContext = context;
  }
};

TEST(KernelUtils, ReleaseBusInterfaceDereferencesOnlyWhatIsHeld) {
  xrtest::DriverWorld w;
  w.Load();
  static DeviceExtension dx;
  RtlZeroMemory(&dx, sizeof dx);
  ReleaseBusInterface(&dx);  // nothing held: nothing called, nothing changed
  EXPECT_EQ(CountingBus::references, 0);

  dx.usbBusInterface.BusContext = &dx;
  dx.usbBusInterface.InterfaceDereference = nullptr;
  dx.busInterface = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V0>(&dx.usbBusInterface);
  dx.busInterfaceV1 = &dx.usbBusInterface;
  ReleaseBusInterface(&dx);  // no dereference routine: left as it is
  EXPECT_NE(dx.busInterface, nullptr);

  CountingBus::references = 1;
  dx.usbBusInterface.InterfaceDereference = CountingBus::Dereference;
  ReleaseBusInterface(&dx);
  EXPECT_EQ(CountingBus::references, 0);
  EXPECT_EQ(CountingBus::lastContext, &dx);
  EXPECT_EQ(dx.busInterface, nullptr);
  EXPECT_EQ(dx.busInterfaceV1, nullptr);
  ReleaseBusInterface(&dx);
  EXPECT_EQ(CountingBus::references, 0);
}

struct TimerProbe {
  TimerRecord record;
  std::atomic<int> calls{0};
  std::atomic<int> irql{-1};
  TimerRecord *seenRecord = nullptr;
  PVOID seenContext = nullptr;
};

VOID ProbeCallback(TimerRecord *record, PVOID context, PVOID, PVOID) {
  auto *probe = static_cast<TimerProbe *>(context);
  probe->seenRecord = record;
  probe->seenContext = context;
  probe->irql = KeGetCurrentIrql();
  if (++probe->calls < 2) {
    LARGE_INTEGER due;
    due.QuadPart = record->dueTime;
    KeSetTimer(&record->timer, due, &record->dpc);
  }
}

TEST(KernelUtils, TimerRecordCallsItsRoutineThroughTheTrampoline) {
  xrtest::DriverWorld w({sim::ClockMode::Manual});
  w.Load();
  TimerProbe probe;
  InitializeTimerRecord(&probe.record, ProbeCallback, &probe, -100000);
  LARGE_INTEGER due;
  due.QuadPart = probe.record.dueTime;
  KeSetTimer(&probe.record.timer, due, &probe.record.dpc);
  sim::AdvanceMs(10);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
  EXPECT_EQ(probe.seenRecord, &probe.record);
  EXPECT_EQ(probe.seenContext, &probe);
  sim::AdvanceMs(10);
  EXPECT_EQ(probe.calls, 2);
  sim::AdvanceMs(10);
  EXPECT_EQ(probe.calls, 2);
}

}  // namespace
