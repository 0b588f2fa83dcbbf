// Synchronous requests to the bus driver: the stack location they go down in, the bounded wait
// with its cancellation, and the status each outcome reaches the caller with.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "driver/control/port_requests.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "include/xrusb/status.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/world.h"
#include "tests/support/await.h"

namespace {

// A URB as every caller builds it: cleared, with the status preset.
struct PresetUrb {
  URB urb;
  uint8_t data[8] = {};
  PresetUrb() {
    memset(&urb, 0, sizeof urb);
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x5E, 0, 0, data, nullptr, 2, nullptr);
    urb.UrbHeader.Status = URB_STATUS_UNWRITTEN;
  }
};

// One request as the driver makes its own: a URB on an IRP of its own.
struct Call {
  PresetUrb u;
  ULONG timeoutMs = 1000;
  NTSTATUS result = -1;
  NTSTATUS irpStatus = -1;  // IoStatus.Status as the call left it
  std::atomic<bool> done{false};
};

// A bus driver that answers with whatever the test chooses, for outcomes a real bus seldom
// produces; optionally with a filter above it that leaves the IRP's status pending.
struct Scripted {
  static inline NTSTATUS status = STATUS_SUCCESS;
  static inline bool writeUrb = false;
  static inline USBD_STATUS urbStatus = 0;
  static inline bool hold = false;              // keep the IRP, cancellable
  static inline bool completeOnCancel = false;  // else the test completes a held IRP
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
    if (!completeOnCancel) return;
    static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)->UrbHeader.Status =
        USBD_STATUS_CANCELED;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (device == filter) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, LeavePending, nullptr, TRUE, TRUE, TRUE);
      return IoCallDriver(bottom, irp);
    }
    seen = *IoGetCurrentIrpStackLocation(irp);
    auto *urb = static_cast<PURB>(seen.Parameters.Others.Argument1);
    if (urb) urbStatusOnArrival = urb->UrbHeader.Status;  // port requests carry none
    if (hold) {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, Cancel);
      held = irp;
      return STATUS_PENDING;
    }
    if (writeUrb && urb) urb->UrbHeader.Status = urbStatus;
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
    scripted_ = sim::LoadDriver(Scripted::Entry, u"\\Driver\\scripted");
    Scripted::status = STATUS_SUCCESS;
    Scripted::writeUrb = Scripted::hold = Scripted::completeOnCancel = false;
    Scripted::held = nullptr;
    Scripted::cancels = 0;
    Scripted::filter = Scripted::bottom = nullptr;
  }
  ~SyncRequest() override {
    if (Scripted::filter) {
      IoDetachDevice(Scripted::bottom);
      IoDeleteDevice(Scripted::filter);
    }
    if (Scripted::bottom) IoDeleteDevice(Scripted::bottom);
    sim::UnloadDriver(scripted_);
  }

  void BuildStack(bool withFilter) {
    ASSERT_EQ(IoCreateDevice(scripted_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &Scripted::bottom),
              STATUS_SUCCESS);
    dx_.lowerDevice = Scripted::bottom;
    if (withFilter) {
      ASSERT_EQ(IoCreateDevice(scripted_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Scripted::filter),
                STATUS_SUCCESS);
      ASSERT_EQ(IoAttachDeviceToDeviceStack(Scripted::filter, Scripted::bottom), Scripted::bottom);
      dx_.lowerDevice = Scripted::filter;
    }
  }

  // Runs on the calling thread; Start runs it on a thread of its own.
  NTSTATUS Run(Call &call) {
    PIRP irp = IoAllocateIrp(dx_.lowerDevice->StackSize, FALSE);
    memset(IoGetNextIrpStackLocation(irp), 0xA5, sizeof(IO_STACK_LOCATION));  // left over from an earlier use
    call.result = SubmitUrbSync(&dx_, irp, &call.u.urb, call.timeoutMs);
    call.irpStatus = irp->IoStatus.Status;
    IoFreeIrp(irp);
    call.done = true;
    return call.result;
  }
  std::thread Start(Call &call) {
    return std::thread([this, &call] { Run(call); });
  }

  sim::World world_;
  PDRIVER_OBJECT scripted_ = nullptr;
  DeviceExtension dx_{};
};

class SyncRequestTimed : public SyncRequest {
 protected:
  SyncRequestTimed() : SyncRequest(sim::ClockMode::Manual) {}
};

TEST_F(SyncRequest, GoesDownInTheNextLocationAndMapsEveryOutcome) {
  BuildStack(false);
  Call call;
  EXPECT_EQ(Run(call), STATUS_SUCCESS);
  const IO_STACK_LOCATION &s = Scripted::seen;
  EXPECT_EQ(s.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(s.Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
  EXPECT_EQ(s.Parameters.DeviceIoControl.IoControlCode, IOCTL_INTERNAL_USB_SUBMIT_URB);
  EXPECT_EQ(s.Parameters.Others.Argument1, &call.u.urb);
  EXPECT_EQ(s.Parameters.Others.Argument2, nullptr) << "the leftovers of an earlier use are cleared";
  EXPECT_EQ(s.DeviceObject, Scripted::bottom);
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
      {STATUS_UNSUCCESSFUL, true, 0xC0000004, 0xE0000004},  // a stall
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
    Call c;
    EXPECT_EQ(uint32_t(Run(c)), r.expected) << std::hex << r.irpStatus << " / " << r.urbStatus;
  }
}

// A port cycle: an informational status from the bus is success to the caller; a failure passes.
TEST_F(SyncRequest, PortCycleTakesInformationalStatusAsSuccess) {
  BuildStack(false);
  for (auto [bus, expected] : {std::pair{NTSTATUS(0x40000001), STATUS_SUCCESS}, {STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL}}) {
    Scripted::status = bus;
    PIRP irp = IoAllocateIrp(dx_.lowerDevice->StackSize, FALSE);
    EXPECT_EQ(CyclePort(&dx_, irp), expected);
    EXPECT_EQ(Scripted::seen.Parameters.DeviceIoControl.IoControlCode, IOCTL_INTERNAL_USB_CYCLE_PORT);
    IoFreeIrp(irp);
  }
}

TEST_F(SyncRequest, StatusStillPendingAfterCompletionBecomesUnsuccessful) {
  BuildStack(true);
  Call call;
  EXPECT_EQ(Run(call), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(call.irpStatus, STATUS_UNSUCCESSFUL);
}

TEST_F(SyncRequestTimed, TimeOutCancelsTheRequestAndZeroWaitsForever) {
  BuildStack(false);
  Scripted::hold = Scripted::completeOnCancel = true;
  Call call;
  const uint64_t waits = sim::TimedWaitsStarted();  // before the start: the wait may begin at once
  std::thread t = Start(call);
  sim::AwaitTimedWaitsStarted(waits + 1);
  sim::AdvanceMs(999);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(call.done);
  EXPECT_EQ(Scripted::cancels, 0);
  sim::AdvanceMs(1);
  t.join();
  EXPECT_EQ(call.result, ERR_TIMEOUT);
  EXPECT_EQ(Scripted::cancels, 1);

  // No time-out: an hour later it still waits, and ends only when the request does.
  const uint64_t before = sim::TimedWaitsStarted();
  Scripted::held = nullptr;
  Call forever;
  forever.timeoutMs = 0;
  t = Start(forever);
  ASSERT_TRUE(support::AwaitUntil([&] { return Scripted::held.load() || forever.done; }));
  sim::AdvanceMs(3600 * 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(forever.done);
  IoCancelIrp(Scripted::held);
  t.join();
  EXPECT_EQ(forever.result, ERR_USBD_CANCELED);
  EXPECT_EQ(sim::TimedWaitsStarted(), before);

  // Cancelled, but the bus driver takes its time: the caller's IRP and URB stay its until then,
  // and even a success after that is a time-out.
  Scripted::completeOnCancel = false;
  Scripted::held = nullptr;
  Scripted::cancels = 0;
  Call late;
  late.timeoutMs = 250;
  t = Start(late);
  sim::AwaitTimedWaitsStarted(before + 1);
  sim::AdvanceMs(250);
  ASSERT_TRUE(support::AwaitUntil([] { return Scripted::cancels > 0; }));
  for (int s = 0; s < 5; ++s) sim::AdvanceMs(1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(late.done);
  PIRP irp = Scripted::held;
  late.u.urb.UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  t.join();
  EXPECT_EQ(late.result, ERR_TIMEOUT);
  EXPECT_EQ(late.irpStatus, STATUS_SUCCESS);
  EXPECT_EQ(Scripted::cancels, 1);
}

}  // namespace
