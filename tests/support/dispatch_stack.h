// A device stack whose dispatch and completion routines are lambdas, a queue that holds IRPs
// cancellable, and a sender that records how each IRP ended.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/world.h"

namespace support {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Routine = Dispatch;

struct TestDevice {
  Dispatch dispatch;
  PDEVICE_OBJECT lower = nullptr;
};
inline TestDevice *Of(PDEVICE_OBJECT d) { return *static_cast<TestDevice **>(d->DeviceExtension); }
inline NTSTATUS TestDispatch(PDEVICE_OBJECT d, PIRP irp) { return Of(d)->dispatch(d, irp); }
inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto &f : driver->MajorFunction) f = TestDispatch;
  return STATUS_SUCCESS;
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
inline Dispatch CompleteWith(NTSTATUS status, ULONG_PTR information = 0) {
  return [=](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, status, information); };
}
inline Dispatch PassDown() {
  return [](PDEVICE_OBJECT d, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Of(d)->lower, irp);
  };
}
inline NTSTATUS CallRoutine(PDEVICE_OBJECT d, PIRP irp, PVOID context) {
  return (*static_cast<Routine *>(context))(d, irp);
}
// Copies the current location to the next, installs 'routine' there and calls the lower device.
inline NTSTATUS ForwardWith(PDEVICE_OBJECT d, PIRP irp, Routine *routine, bool success = true, bool error = true,
                            bool cancel = true) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, CallRoutine, routine, success, error, cancel);
  return IoCallDriver(Of(d)->lower, irp);
}

// Devices of one test driver, [0] at the bottom; each completes with success until told otherwise.
class Stack {
 public:
  explicit Stack(int n, ULONG extraFlags = 0) {
    static int serial = 0;
    PDRIVER_OBJECT driver = sim::LoadDriver(TestDriverEntry, sim::ToU16(("stack" + std::to_string(serial++)).c_str()));
    for (int i = 0; i < n; ++i) {
      PDEVICE_OBJECT d = nullptr;
      EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(void *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d));
      tests_.push_back(std::make_unique<TestDevice>(TestDevice{CompleteWith(STATUS_SUCCESS)}));
      *static_cast<TestDevice **>(d->DeviceExtension) = tests_.back().get();
      d->Flags = (d->Flags & ~DO_DEVICE_INITIALIZING) | extraFlags;
      if (i > 0) tests_.back()->lower = IoAttachDeviceToDeviceStack(d, devices_.back());
      devices_.push_back(d);
    }
  }
  PDEVICE_OBJECT operator[](size_t i) const { return devices_[i]; }
  PDEVICE_OBJECT Top() const { return devices_.back(); }
  void On(size_t i, Dispatch d) { tests_[i]->dispatch = std::move(d); }

 private:
  std::vector<PDEVICE_OBJECT> devices_;
  std::vector<std::unique_ptr<TestDevice>> tests_;
};

// Keeps IRPs pending and cancellable until the test completes them (the usual queue pattern).
class Holder {
 public:
  NTSTATUS Pend(PIRP irp) {
    std::unique_lock<std::mutex> lock(m_);
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    IoSetCancelRoutine(irp, Cancel);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
      lock.unlock();
      ++cancelled;
      Complete(irp, STATUS_CANCELLED);
    } else {
      irps_.push_back(irp);
    }
    return STATUS_PENDING;
  }
  Dispatch Hold() {
    return [this](PDEVICE_OBJECT, PIRP irp) { return Pend(irp); };
  }
  PIRP Take() {
    std::lock_guard<std::mutex> guard(m_);
    if (irps_.empty()) return nullptr;
    PIRP irp = irps_.front();
    irps_.erase(irps_.begin());
    return irp;
  }
  // Completes the oldest IRP unless its cancellation has begun; true when it did. The cancel
  // routine needs the lock before it can complete the IRP, so the IRP stays valid while held.
  bool CompleteNext(NTSTATUS status, ULONG_PTR information = 0) {
    PIRP irp;
    {
      std::lock_guard<std::mutex> guard(m_);
      if (irps_.empty() || !IoSetCancelRoutine(irps_.front(), nullptr)) return false;
      irp = irps_.front();
      irps_.erase(irps_.begin());
    }
    Complete(irp, status, information);
    return true;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(m_);
    return irps_.size();
  }
  std::atomic<int> cancelled{0};  // IRPs this queue completed as cancelled

 private:
  static VOID Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto *self = static_cast<Holder *>(irp->Tail.Overlay.DriverContext[0]);
    {
      std::lock_guard<std::mutex> guard(self->m_);
      std::erase(self->irps_, irp);
    }
    ++self->cancelled;
    Complete(irp, STATUS_CANCELLED);
  }
  std::mutex m_;
  std::vector<PIRP> irps_;
};

// What the I/O manager reported for one IRP sent with Send.
struct Outcome {
  std::mutex m;
  int done = 0;
  NTSTATUS status = -1;
  ULONG_PTR information = 0;
  PIRP irp = nullptr;
  int Done() {
    std::lock_guard<std::mutex> guard(m);
    return done;
  }
};

// SendIrp of a request of 'major'; Plug and Play and power ones start as STATUS_NOT_SUPPORTED.
inline NTSTATUS Send(PDEVICE_OBJECT device, UCHAR major, Outcome &outcome, UCHAR minor = 0,
                     const std::function<void(PIRP, PIO_STACK_LOCATION)> &more = nullptr) {
  return sim::SendIrp(
      device,
      [&](PIRP irp, PIO_STACK_LOCATION first) {
        first->MajorFunction = major;
        first->MinorFunction = minor;
        if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        outcome.irp = irp;
        if (more) more(irp, first);
      },
      [&outcome](PIRP irp) {
        std::lock_guard<std::mutex> guard(outcome.m);
        ++outcome.done;
        outcome.status = irp->IoStatus.Status;
        outcome.information = irp->IoStatus.Information;
      });
}

class IoTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  sim::World world_;
};

}  // namespace support
