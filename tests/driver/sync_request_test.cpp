// Synchronous requests to the bus driver: the stack location they go down in, the bounded wait
// with its cancellation, and the status each outcome reaches the caller with.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <optional>
#include <thread>

#include "driver/control/status_map.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"

namespace {

using sim::usb::Bus;
using sim::usb::Fault;
using sim::usb::Response;
namespace td = sim::usb::test_device;

// What the shim does with the device-control IRP it receives.
struct Call {
  PURB urb = nullptr;  // SubmitUrbSync when set, else CallLowerDriverSync with code and argument
  ULONG code = 0;
  PVOID argument = nullptr;
  ULONG timeoutMs = 1000;
  NTSTATUS result = -1;
  NTSTATUS irpStatus = -1;  // IoStatus.Status as the call left it
  std::atomic<bool> done{false};
};

// Our device object as a control code uses it: the caller's IRP goes down from here, comes back
// and is completed here.
NTSTATUS ShimDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
  auto *call = static_cast<Call *>(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
  auto *dx = static_cast<DeviceExtension *>(fdo->DeviceExtension);
  memset(IoGetNextIrpStackLocation(irp), 0xA5, sizeof(IO_STACK_LOCATION));  // left over from an earlier use
  call->result = call->urb ? SubmitUrbSync(dx, irp, call->urb, call->timeoutMs)
                           : CallLowerDriverSync(dx, irp, call->argument, call->code, call->timeoutMs);
  call->irpStatus = irp->IoStatus.Status;
  irp->IoStatus.Status = call->result;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  call->done = true;
  return call->result;
}

NTSTATUS ShimAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT below) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), nullptr, 0x8094, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto *dx = static_cast<DeviceExtension *>(fdo->DeviceExtension);
  dx->deviceObject = fdo;
  dx->physicalDevice = below;
  dx->lowerDevice = IoAttachDeviceToDeviceStack(fdo, below);
  fdo->Flags = (fdo->Flags & ~DO_DEVICE_INITIALIZING) | DO_POWER_PAGABLE;
  return STATUS_SUCCESS;
}

NTSTATUS ShimPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = static_cast<DeviceExtension *>(fdo->DeviceExtension)->lowerDevice;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

NTSTATUS ShimPower(PDEVICE_OBJECT fdo, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<DeviceExtension *>(fdo->DeviceExtension)->lowerDevice, irp);
}

NTSTATUS ShimEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = ShimAddDevice;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ShimDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = ShimPnp;
  driver->MajorFunction[IRP_MJ_POWER] = ShimPower;
  return STATUS_SUCCESS;
}

// A bus driver that answers with whatever the test chooses, for the outcomes the simulated bus
// never produces; optionally with a filter above it that leaves the IRP's status pending.
struct Scripted {
  static inline NTSTATUS status = STATUS_SUCCESS;
  static inline bool writeUrb = false;
  static inline USBD_STATUS urbStatus = 0;
  static inline bool hold = false;  // keep the IRP, cancellable; the test completes it
  static inline IO_STACK_LOCATION seen{};
  static inline USBD_STATUS urbStatusOnArrival = 0;
  static inline std::atomic<PIRP> held{nullptr};
  static inline std::atomic<int> cancels{0};
  static inline PDEVICE_OBJECT filter = nullptr, bottom = nullptr;

  static NTSTATUS LeavePending(PDEVICE_OBJECT, PIRP irp, PVOID) {
    irp->IoStatus.Status = STATUS_PENDING;
    return STATUS_SUCCESS;
  }
  static VOID Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++cancels;
  }
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (device == filter) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, LeavePending, nullptr, TRUE, TRUE, TRUE);
      return IoCallDriver(bottom, irp);
    }
    seen = *IoGetCurrentIrpStackLocation(irp);
    auto *urb = static_cast<PURB>(seen.Parameters.Others.Argument1);
    if (urb) urbStatusOnArrival = urb->UrbHeader.Status;
    if (hold) {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, Cancel);
      held = irp;
      return STATUS_PENDING;
    }
    if (urb && writeUrb) urb->UrbHeader.Status = urbStatus;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    return STATUS_SUCCESS;
  }
};

class SyncRequest : public ::testing::Test {
 protected:
  explicit SyncRequest(sim::ClockMode clock = sim::ClockMode::Real) : world_({clock}) {
    shim_ = sim::LoadDriver(ShimEntry, u"\\Driver\\xrusbshim");
    Scripted::status = STATUS_SUCCESS;
    Scripted::writeUrb = Scripted::hold = false;
    Scripted::held = nullptr;
    Scripted::cancels = 0;
    Scripted::filter = Scripted::bottom = nullptr;
  }
  ~SyncRequest() override {
    if (!scripted_) return;
    for (PDEVICE_OBJECT d : {fdo_, Scripted::filter}) {
      if (!d) continue;
      IoDetachDevice(sim::LowerDevice(d));
      IoDeleteDevice(d);
    }
    IoDeleteDevice(Scripted::bottom);
    sim::UnloadDriver(scripted_);
  }

  void PlugTestDevice() {
    device_ = sim::usb::MakeTestDevice();
    pdo_ = Bus::Get().Plug(device_.model, shim_);
    fdo_ = sim::StackTop(pdo_);
  }
  void BuildScriptedStack(bool withFilter) {
    scripted_ = sim::LoadDriver(Scripted::Entry, u"\\Driver\\scripted");
    ASSERT_EQ(IoCreateDevice(scripted_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &Scripted::bottom), STATUS_SUCCESS);
    PDEVICE_OBJECT below = Scripted::bottom;
    if (withFilter) {
      ASSERT_EQ(IoCreateDevice(scripted_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Scripted::filter), STATUS_SUCCESS);
      IoAttachDeviceToDeviceStack(Scripted::filter, below);
      below = Scripted::filter;
    }
    ASSERT_EQ(ShimAddDevice(shim_, below), STATUS_SUCCESS);
    fdo_ = sim::StackTop(below);
  }

  // Sends the IRP on the calling thread; Start sends it from a thread of its own.
  NTSTATUS Run(Call &call) {
    return sim::SendIrpAndWait(fdo_, [&](PIRP, PIO_STACK_LOCATION first) {
      first->MajorFunction = IRP_MJ_DEVICE_CONTROL;
      first->Parameters.DeviceIoControl.IoControlCode = 0x80942000;
      first->Parameters.DeviceIoControl.Type3InputBuffer = &call;
    });
  }
  std::thread Start(Call &call) {
    return std::thread([this, &call] { Run(call); });
  }

  sim::World world_;
  PDRIVER_OBJECT shim_ = nullptr;
  PDRIVER_OBJECT scripted_ = nullptr;
  sim::usb::TestDevice device_;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
};

class SyncRequestTimed : public SyncRequest {
 protected:
  SyncRequestTimed() : SyncRequest(sim::ClockMode::Manual) {}
};

// A URB as every caller builds it: cleared, with the status preset.
struct PresetUrb {
  URB urb;
  uint8_t data[8] = {};
  explicit PresetUrb(UCHAR request = td::kGetRegister) {
    memset(&urb, 0, sizeof urb);
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, request, 0, 0, data, nullptr, 2, nullptr);
    urb.UrbHeader.Status = URB_STATUS_UNWRITTEN;
  }
};

TEST_F(SyncRequest, GoesDownInTheNextLocationAndMapsEveryOutcome) {
  BuildScriptedStack(false);
  PresetUrb u;
  Call call;
  call.urb = &u.urb;
  Scripted::writeUrb = true;
  EXPECT_EQ(Run(call), STATUS_SUCCESS);
  const IO_STACK_LOCATION &s = Scripted::seen;
  EXPECT_EQ(s.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(s.MinorFunction, 0);
  EXPECT_EQ(s.Flags, 0);
  EXPECT_EQ(s.Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
  EXPECT_EQ(s.Parameters.DeviceIoControl.IoControlCode, IOCTL_INTERNAL_USB_SUBMIT_URB);
  EXPECT_EQ(s.Parameters.Others.Argument1, &u.urb);
  EXPECT_EQ(s.Parameters.Others.Argument2, nullptr);
  EXPECT_EQ(s.Parameters.Others.Argument4, nullptr);
  EXPECT_EQ(s.FileObject, nullptr);
  EXPECT_EQ(s.DeviceObject, Scripted::bottom);
  EXPECT_EQ(s.CompletionRoutine, &SyncCompletionRoutine);
  EXPECT_EQ(Scripted::urbStatusOnArrival, URB_STATUS_UNWRITTEN);

  struct Row {
    NTSTATUS irpStatus;
    bool writeUrb;
    uint32_t urbStatus;
    uint32_t expected;
  };
  const Row rows[] = {
      {STATUS_SUCCESS, true, 0xC0000004, 0},  // success, whatever the URB says
      {STATUS_SUCCESS, false, 0, 0},
      {ERR_TIMEOUT, true, 0xC0000004, uint32_t(ERR_TIMEOUT)},
      {STATUS_INVALID_PARAMETER, false, 0, uint32_t(ERR_INVALID_PARAMETER)},
      {STATUS_INVALID_PARAMETER, true, 0, uint32_t(ERR_INVALID_PARAMETER)},
      {STATUS_INVALID_PARAMETER, true, 0x00000123, 0},
      {STATUS_INVALID_PARAMETER, true, 0xC0000011, 0xE0000011},
      {STATUS_UNSUCCESSFUL, false, 0, 0xC0000001},  // no USB status: the system's passes
      {NTSTATUS(0x40000001), false, 0, 0x40000001},
      {STATUS_CANCELLED, true, 0, 0},
      {STATUS_UNSUCCESSFUL, true, 0x0000FFFF, 0},
      {STATUS_UNSUCCESSFUL, true, 0x00010000, uint32_t(ERR_USBD_CANCELED)},
      {STATUS_UNSUCCESSFUL, true, 0x0ABC0005, 0xEABC0005},
      {STATUS_UNSUCCESSFUL, true, 0xC0001000, uint32_t(ERR_USBD_INSUFFICIENT_RESOURCES)},
      {STATUS_UNSUCCESSFUL, true, 0x20001000, uint32_t(ERR_USBD_INSUFFICIENT_RESOURCES)},
      {STATUS_UNSUCCESSFUL, true, 0xE0001000, uint32_t(ERR_USBD_INSUFFICIENT_RESOURCES)},
  };
  for (const Row &r : rows) {
    Scripted::status = r.irpStatus;
    Scripted::writeUrb = r.writeUrb;
    Scripted::urbStatus = USBD_STATUS(r.urbStatus);
    PresetUrb fresh;
    Call c;
    c.urb = &fresh.urb;
    EXPECT_EQ(uint32_t(Run(c)), r.expected) << std::hex << r.irpStatus << " / " << r.urbStatus;
  }

  // Port requests carry no argument; their status comes back as the IRP has it.
  Scripted::status = STATUS_UNSUCCESSFUL;
  Call cycle;
  cycle.code = IOCTL_INTERNAL_USB_CYCLE_PORT;
  cycle.argument = nullptr;
  EXPECT_EQ(Run(cycle), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Scripted::seen.Parameters.DeviceIoControl.IoControlCode, ULONG(IOCTL_INTERNAL_USB_CYCLE_PORT));
  EXPECT_EQ(Scripted::seen.Parameters.Others.Argument1, nullptr);

  // The names of the USB statuses the driver names are their images.
  for (auto [usbd, err] : {std::pair{USBD_STATUS(0x80000100), ERR_USBD_NO_MEMORY},
                           {USBD_STATUS_INVALID_PARAMETER, ERR_USBD_INVALID_PARAMETER},
                           {USBD_STATUS_INVALID_PIPE_HANDLE, ERR_USBD_INVALID_PIPE_HANDLE},
                           {USBD_STATUS_CANCELED, ERR_USBD_CANCELED},
                           {USBD_STATUS_INSUFFICIENT_RESOURCES, ERR_USBD_INSUFFICIENT_RESOURCES}})
    EXPECT_EQ(MapUsbdStatus(usbd), err);
}

TEST_F(SyncRequest, StatusStillPendingAfterCompletionBecomesUnsuccessful) {
  BuildScriptedStack(true);
  PresetUrb u;
  Call call;
  call.urb = &u.urb;
  EXPECT_EQ(Run(call), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(call.irpStatus, STATUS_UNSUCCESSFUL);
}

TEST_F(SyncRequest, OutcomesOfTheBus) {
  PlugTestDevice();
  PresetUrb ok;
  Call call;
  call.urb = &ok.urb;
  EXPECT_EQ(Run(call), STATUS_SUCCESS);
  EXPECT_EQ(ok.urb.UrbControlVendorClassRequest.TransferBufferLength, 2u);

  struct Row {
    std::optional<Response> fault;
    void (*shape)(URB &);
    NTSTATUS expected;
  };
  auto asIs = [](URB &) {};
  const Row rows[] = {
      {Response::Error(USBD_STATUS_INSUFFICIENT_RESOURCES), asIs, ERR_USBD_INSUFFICIENT_RESOURCES},
      {Response::Error(USBD_STATUS_DEV_NOT_RESPONDING), asIs, NTSTATUS(0xE0000005)},
      {Response::Error(USBD_STATUS_CANCELED), asIs, ERR_USBD_CANCELED},
      {Response::Stall(), asIs, NTSTATUS(0xE0000004)},
      {std::nullopt, [](URB &u) { u.UrbHeader.Length = sizeof(struct _URB_HEADER); }, ERR_USBD_INVALID_PARAMETER},
      {std::nullopt, [](URB &u) { u.UrbHeader.Function = 0x7F00; }, NTSTATUS(0xE0000200)},
      {std::nullopt,
       [](URB &u) {
         UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                reinterpret_cast<USBD_PIPE_HANDLE>(0x1230), nullptr, nullptr, 0,
                                                USBD_TRANSFER_DIRECTION_IN, nullptr);
         u.UrbHeader.Status = URB_STATUS_UNWRITTEN;
       },
       ERR_USBD_INVALID_PIPE_HANDLE},
  };
  for (const Row &r : rows) {
    Bus::Get().ClearFaults(pdo_);
    if (r.fault) Bus::Get().FailRequest(pdo_, td::kGetRegister, {*r.fault});
    PresetUrb u;
    r.shape(u.urb);
    Call c;
    c.urb = &u.urb;
    EXPECT_EQ(Run(c), r.expected) << std::hex << c.irpStatus << " / " << u.urb.UrbHeader.Status;
  }
  EXPECT_EQ(Bus::Get().Trace(pdo_).size(), 1 + std::size(rows));

  Call reset;
  reset.code = IOCTL_INTERNAL_USB_RESET_PORT;
  EXPECT_EQ(Run(reset), STATUS_SUCCESS);
  EXPECT_EQ(device_.state->Snapshot().resetCount, 1u);
}

TEST_F(SyncRequestTimed, TimeOutCancelsTheRequestAndZeroWaitsForever) {
  PlugTestDevice();
  Bus::Get().FailRequest(pdo_, td::kGetRegister, {Response::Nak(), 0});
  const uint64_t waits = sim::TimedWaitsStarted();

  PresetUrb u;
  Call call;
  call.urb = &u.urb;
  call.timeoutMs = 1000;
  std::thread t = Start(call);
  sim::AwaitTimedWaitsStarted(waits + 1);
  sim::AdvanceMs(999);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(call.done);
  EXPECT_EQ(Bus::Get().HeldTransfers(pdo_), 1u);
  sim::AdvanceMs(1);
  t.join();
  EXPECT_EQ(call.result, ERR_TIMEOUT);
  EXPECT_EQ(u.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(Bus::Get().PendingTransfers(pdo_), 0u);

  // No time-out: an hour later it still waits, and ends only when the request does.
  const uint64_t before = sim::TimedWaitsStarted();
  PresetUrb v;
  Call forever;
  forever.urb = &v.urb;
  forever.timeoutMs = 0;
  t = Start(forever);
  while (Bus::Get().HeldTransfers(pdo_) != 1 && !forever.done) std::this_thread::yield();
  sim::AdvanceMs(3600 * 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(forever.done);
  sim::CancelSentIrps([](PIRP) { return true; });
  t.join();
  EXPECT_EQ(forever.result, ERR_USBD_CANCELED);
  EXPECT_EQ(sim::TimedWaitsStarted(), before);
}

TEST_F(SyncRequestTimed, TimedOutRequestIsATimeOutEvenIfItThenSucceeds) {
  BuildScriptedStack(false);
  Scripted::hold = true;
  const uint64_t waits = sim::TimedWaitsStarted();
  PresetUrb u;
  Call call;
  call.urb = &u.urb;
  call.timeoutMs = 250;
  std::thread t = Start(call);
  sim::AwaitTimedWaitsStarted(waits + 1);
  sim::AdvanceMs(250);
  while (Scripted::cancels == 0) std::this_thread::yield();

  // Cancelled, but the bus driver takes its time: the caller's IRP and URB stay its until then.
  for (int s = 0; s < 5; ++s) sim::AdvanceMs(1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(call.done);
  PIRP irp = Scripted::held;
  u.urb.UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  t.join();
  EXPECT_EQ(call.result, ERR_TIMEOUT);
  EXPECT_EQ(call.irpStatus, STATUS_SUCCESS);
  EXPECT_EQ(Scripted::cancels, 1);
}

}  // namespace
