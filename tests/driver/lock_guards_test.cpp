// Shared state changes only under its lock: the test holds the lock, sets a path off on another
// thread, and the path must stop there — found waiting on the lock, the state it guards unchanged
// and nothing finished — until the lock is released. Each row forces the interleaving that an
// acquisition left out would lose.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"
#include "driver/core/pool_tags.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/work_items.h"
#include "sim/usb/bus.h"
#include "tests/support/await.h"

namespace {

using sim::usb::Bus;
using simwin::HANDLE;
using xrtest::Io;
namespace td = sim::usb::test_device;

enum class Lock { Queue, Transfer, Device, WaitWake, Pool };

class LockGuards : public xrtest::PluggedDevice {
 protected:
  LockGuards() : PluggedDevice(false) {}

  struct Row {
    const char *what;
    Lock lock;
    std::function<void()> action;   // on a thread of its own
    std::function<bool()> touched;  // the guarded state changed, or the path's effect is visible
  };

  PVOID Object(Lock lock) {
    switch (lock) {
      case Lock::Queue: return &dx_->queueLock;
      case Lock::Transfer: return &dx_->transferMutex;
      case Lock::Device: return &dx_->deviceMutex;
      case Lock::WaitWake: return &dx_->waitWakeLock;
      case Lock::Pool: return &dx_->transferPool.lock;
    }
    return nullptr;
  }
  static bool IsSpinLock(Lock lock) { return lock != Lock::Transfer && lock != Lock::Device; }

  void Expect(const Row &row) {
    SCOPED_TRACE(row.what);
    PVOID lock = Object(row.lock);
    const bool spin = IsSpinLock(row.lock);
    KIRQL irql = PASSIVE_LEVEL;
    if (spin)
      irql = KeAcquireSpinLockRaiseToDpc(static_cast<PKSPIN_LOCK>(lock));
    else
      ASSERT_EQ(KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::atomic<bool> finished{false};
    std::thread path([&] {
      row.action();
      finished = true;
    });
    const auto waiting = [&] { return spin ? sim::SpinnersOn(lock) : sim::WaitersOn(lock); };
    EXPECT_TRUE(support::AwaitUntil([&] { return waiting() != 0 || finished || row.touched(); }, "the path"));
    EXPECT_FALSE(row.touched()) << "changed while the lock was held elsewhere";
    EXPECT_FALSE(finished) << "went past the lock";
    EXPECT_NE(waiting(), 0u);
    if (spin)
      KeReleaseSpinLock(static_cast<PKSPIN_LOCK>(lock), irql);
    else
      KeReleaseMutex(static_cast<PRKMUTEX>(lock), FALSE);
    path.join();
  }

  std::unique_ptr<Io> Queued(HANDLE h) {
    auto io = Start(h, true, std::vector<uint8_t>(64));
    EXPECT_FALSE(simwin::HasOverlappedIoCompleted(&io->o));
    return io;
  }
  bool Done(const std::unique_ptr<Io> &io) { return simwin::HasOverlappedIoCompleted(&io->o); }
};

// Every code that may unbind a handle, release pipe records or abort a pipe waits for
// transferMutex, as do read and write set-up, a handle's cleanup and a stop; opens and every
// other code wait for deviceMutex. The codes fail their own checks once past the lock.
TEST_F(LockGuards, DispatchPathsWaitForTheirMutexes) {
  Plug();
  const HANDLE closing = Open();
  for (const ULONG code : {IOCTL_SET_CONFIGURATION, IOCTL_SET_INTERFACE, IOCTL_UNCONFIGURE_DEVICE, IOCTL_RESET_DEVICE,
                           IOCTL_BIND_PIPE, IOCTL_UNBIND_PIPE, IOCTL_ABORT_PIPE, IOCTL_RESET_PIPE}) {
    std::atomic<bool> sent{false};
    Expect({"a code that changes pipes", Lock::Transfer, [&] { SendZeroed(code); sent = true; }, [&] { return sent.load(); }});
  }
  std::atomic<bool> done{false};
  Expect({"read set-up", Lock::Transfer, [&] {
            std::vector<uint8_t> b(64);
            Transfer(h_, true, b);
            done = true;
          }, [&] { return done.load(); }});
  done = false;
  Expect({"cleanup", Lock::Transfer, [&] { EXPECT_TRUE(simwin::CloseHandle(closing)); done = true; },
          [&] { return done.load(); }});
  done = false;
  simwin::HANDLE opened = simwin::INVALID_HANDLE_VALUE;
  Expect({"open", Lock::Device, [&] { opened = Open(); done = true; }, [&] { return done.load(); }});
  handles_.push_back(opened);
  done = false;
  Expect({"a code that keeps the pipes", Lock::Device, [&] {
            SendZeroed(IOCTL_GET_CONFIGURATION_INFO, 0, sizeof(ConfigurationInfo));
            done = true;
          }, [&] { return done.load(); }});
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  done = false;
  Expect({"stop", Lock::Transfer, [&] { sim::pnp::Send(pdo_, IRP_MN_STOP_DEVICE); done = true; },
          [&] { return done.load(); }});
  EXPECT_EQ(dx_->pnpState, PNP_STOPPED);
}

// The transfer queue: linking a request, its cancel routine, a cancel by pipe, a completion from
// the bus, the abort mark, the power-up that lifts the block and the resume work that restarts
// the queue; the context pool; the statistics ring that completions write to.
TEST_F(LockGuards, TransferPathsWaitForTheirLocks) {
  Plug({{u"DeferCancelledIrps", 0}});
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  const HANDLE loopback = Another();
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(loopback, td::kLoopbackIn), STATUS_SUCCESS);

  std::unique_ptr<Io> io;
  const ULONG inUse = dx_->transferPool.inUseCount;
  Expect({"context pool", Lock::Pool, [&] { io = Start(h_, true, std::vector<uint8_t>(64)); },
          [&] { return dx_->transferPool.inUseCount != inUse; }});
  ASSERT_EQ(Finish(h_, *io).status, STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_SETUP_PIPE_STATISTICS, StatisticsSetup{100}).status, STATUS_SUCCESS);
  Expect({"statistics ring, turned off before it goes", Lock::Queue,
          [&] { Send(IOCTL_SETUP_PIPE_STATISTICS, StatisticsSetup{0}); },
          [&] { return sim::PoolUsage(TAG_PIPE_STATISTICS).blocksOutstanding == 0; }});
  Expect({"abort mark", Lock::Queue, [&] { SendZeroed(IOCTL_RESET_PIPE); },
          [&] { return !PipeAt(td::kSourceIn)->abortNeeded; }});

  io = Start(loopback, true, std::vector<uint8_t>(64));
  ASSERT_TRUE(support::AwaitUntil([&] { return Bus::Get().HeldTransfers(pdo_) != 0; }, "the read held"));
  // The bus may complete a cancelled transfer on a thread of its own: the path ends with the read.
  Expect({"completion", Lock::Queue, [&] {
            simwin::CancelIoEx(loopback, &io->o);
            Finish(loopback, *io);
          }, [&] { return Done(io); }});
  EXPECT_EQ(Finish(loopback, *io).status, ERR_USBD_CANCELED);

  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  Expect({"queueing", Lock::Queue, [&] { io = Start(h_, true, std::vector<uint8_t>(64)); },
          [&] { return !IsListEmpty(&dx_->waitingQueue); }});
  Expect({"cancel routine", Lock::Queue, [&] { simwin::CancelIoEx(h_, &io->o); }, [&] { return Done(io); }});
  EXPECT_EQ(Finish(h_, *io).status, STATUS_CANCELLED);
  io = Queued(h_);
  Expect({"cancel by handle", Lock::Queue, [&] { SendZeroed(IOCTL_ABORT_PIPE); }, [&] { return Done(io); }});
  EXPECT_EQ(Finish(h_, *io).status, STATUS_CANCELLED);
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);

  ASSERT_EQ(Send(IOCTL_SET_DEVICE_POWER_STATE, PowerStateValue{2}).status, STATUS_SUCCESS);
  const POWER_STATE d0{.DeviceState = PowerDeviceD0};
  std::atomic<bool> poweredUp{false};
  Expect({"power-up", Lock::Queue, [&] {
            PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, d0,
                              [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID done, PIO_STATUS_BLOCK) {
                                *static_cast<std::atomic<bool> *>(done) = true;
                              }, &poweredUp, nullptr);
            while (!poweredUp) std::this_thread::yield();
          }, [&] { return !dx_->requestsBlocked || dx_->devicePowerState == PowerDeviceD0; }});
  sim::DrainWorkItems();
  ASSERT_EQ(Send(IOCTL_SET_DEVICE_POWER_STATE, PowerStateValue{2}).status, STATUS_SUCCESS);
  io = Queued(h_);
  Expect({"resume work", Lock::Transfer, [&] {
            PoRequestPowerIrp(pdo_, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
            sim::DrainWorkItems();
          }, [&] { return Done(io); }});
  EXPECT_EQ(Finish(h_, *io).status, STATUS_SUCCESS);
}

// The wait-wake request is taken for its cancel under waitWakeLock.
TEST_F(LockGuards, WaitWakeCancelWaitsForItsLock) {
  sim::usb::PlugOptions options;
  DEVICE_CAPABILITIES &c = options.capabilities;
  c = {.Size = sizeof c, .Version = 1, .SystemWake = PowerSystemSleeping3, .DeviceWake = PowerDeviceD2};
  for (int s = PowerSystemWorking; s <= PowerSystemShutdown; ++s) c.DeviceState[s] = s == 1 ? PowerDeviceD0 : PowerDeviceD2;
  Plug({{u"EnableRemoteWakeup", 1}}, options);
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  ASSERT_TRUE(Bus::Get().WaitWakePending(pdo_));
  Expect({"wait-wake cancel", Lock::WaitWake, [&] {
            Send(IOCTL_SET_DEVICE_PARAMETERS, DeviceParameters{XRUSB_OPTION_UNCONFIGURE_ON_CLOSE, 1000});
          }, [&] { return dx_->waitWakeRequest == nullptr; }});
  EXPECT_FALSE(Bus::Get().WaitWakePending(pdo_));
}

}  // namespace
