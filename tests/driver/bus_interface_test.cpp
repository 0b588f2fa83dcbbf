// The bus interface query at start when the bus driver answers only after the time-out.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/pnp_power/pnp.h"
#include "include/xrusb/status.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/world.h"

namespace {

// A bus that holds the query, cancellable, until the test answers it.
struct SlowBus {
  static inline std::atomic<PIRP> held{nullptr};
  static inline std::atomic<int> cancels{0};
  static inline std::atomic<int> references{0};

  static VOID Reference(PVOID) { ++references; }
  static VOID Dereference(PVOID) { --references; }
  static VOID Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++cancels;
  }
  static NTSTATUS Pnp(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    held = irp;
    return STATUS_PENDING;
  }
  static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    return STATUS_SUCCESS;
  }
  // Answers late, handing the interface out referenced as a bus driver does.
  static void AnswerWithSuccess() {
    PIRP irp = held;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    auto *bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(sp->Parameters.QueryInterface.Interface);
    bi->BusContext = irp;
    bi->InterfaceReference = Reference;
    bi->InterfaceDereference = Dereference;
    Reference(bi->BusContext);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
};

TEST(BusInterface, AnAnswerAfterTheTimeOutIsNotKeptAndItsReferenceIsDropped) {
  sim::World world({sim::ClockMode::Manual});
  PDRIVER_OBJECT bus = sim::LoadDriver(SlowBus::Entry, u"\\Driver\\slowbus");
  PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
  PDEVICE_OBJECT pdo = nullptr, fdo = nullptr;
  ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(driver, sizeof(DeviceExtension), nullptr, 0x8094, 0, FALSE, &fdo), STATUS_SUCCESS);
  auto *dx = static_cast<DeviceExtension *>(fdo->DeviceExtension);
  dx->deviceObject = fdo;
  dx->lowerDevice = IoAttachDeviceToDeviceStack(fdo, pdo);

  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread start([&] { result = QueryBusInterface(dx, USB_BUSIF_USBDI_VERSION_1, &dx->usbBusInterface); });
  sim::AwaitTimedWaitsStarted(1);
  sim::AdvanceMs(1999);
  EXPECT_EQ(SlowBus::cancels, 0);
  sim::AdvanceMs(1);  // two seconds: the query is cancelled, and the bus takes its time
  while (SlowBus::cancels == 0) std::this_thread::yield();
  for (int s = 0; s < 3; ++s) sim::AdvanceMs(1000);
  EXPECT_EQ(result.load(), STATUS_PENDING);
  SlowBus::AnswerWithSuccess();
  start.join();
  EXPECT_EQ(result.load(), ERR_TIMEOUT);
  EXPECT_EQ(SlowBus::references, 0);
  EXPECT_EQ(dx->busInterface, nullptr);

  IoDetachDevice(pdo);
  IoDeleteDevice(fdo);
  IoDeleteDevice(pdo);
  sim::UnloadDriver(driver);
  sim::UnloadDriver(bus);
}

}  // namespace
