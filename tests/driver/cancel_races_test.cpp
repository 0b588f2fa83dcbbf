// Cancels against the driver's other steps, with the interleaving forced by hooks of the
// substitute rather than hoped for under stress.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "driver/core/device_extension.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp.h"
#include "sim/usb/bus.h"
#include "tests/support/await.h"

namespace {

using sim::usb::Bus;
using xrtest::Result;
namespace td = sim::usb::test_device;

class CancelRaces : public xrtest::PluggedDevice {
 protected:
  void TearDown() override {
    sim::SetBeforeCancelHook(nullptr);
    sim::SetAfterCompleteHook(nullptr);
    sim::SetBeforeSpinLockHook(nullptr);
    PluggedDevice::TearDown();
  }
};

// Once the cancel routine has completed its IRP nothing holds the device for it: the handle may
// close and the device go with its pools before the routine returns. Held right after that
// completion until the device is gone, the routine must have nothing left to give back.
TEST_F(CancelRaces, DeviceGoesWhileTheCancelRoutineReturns) {
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);  // the read waits in the driver
  auto io = Start(h_, true, std::vector<uint8_t>(64));
  ASSERT_FALSE(simwin::HasOverlappedIoCompleted(&io->o));

  std::atomic<PIRP> cancelled{nullptr};
  std::atomic<bool> held{false}, gone{false};
  sim::SetBeforeCancelHook([&](PIRP irp) { cancelled = irp; });
  sim::SetAfterCompleteHook([&](PIRP irp) {
    if (irp != cancelled.load()) return;
    held = true;
    while (!gone) std::this_thread::yield();
  });
  std::thread canceller([&] { EXPECT_TRUE(simwin::CancelIoEx(h_, &io->o)); });
  ASSERT_TRUE(support::AwaitUntil([&] { return held.load(); }, "the cancel routine past its completion"));
  EXPECT_EQ(Finish(h_, *io), (Result{STATUS_CANCELLED, 0}));
  PDEVICE_OBJECT pdo = pdo_;
  Unplug();
  gone = true;
  canceller.join();
  ExpectGone(pdo);
}

// The queue may take a request after IoCancelIrp took its cancel routine and before that routine
// reached queueLock: the request must then stay for the routine rather than go to the bus. The
// routine is held at queueLock's door while a cancelled stop restarts the queue.
TEST_F(CancelRaces, QueueRestartMeetsARunningCancelRoutine) {
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  auto io = Start(h_, true, std::vector<uint8_t>(64));
  TakeTrace();

  std::atomic<std::thread::id> canceller{};
  std::atomic<bool> atDoor{false}, go{false};
  sim::SetBeforeSpinLockHook([&](PKSPIN_LOCK lock) {
    if (lock != &dx_->queueLock || std::this_thread::get_id() != canceller.load()) return;
    atDoor = true;
    while (!go) std::this_thread::yield();
  });
  std::thread cancel([&] {
    canceller = std::this_thread::get_id();
    EXPECT_TRUE(simwin::CancelIoEx(h_, &io->o));
  });
  ASSERT_TRUE(support::AwaitUntil([&] { return atDoor.load(); }, "the cancel routine at queueLock"));
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
  EXPECT_TRUE(TakeTrace().empty()) << "a request being cancelled went to the bus";
  go = true;
  cancel.join();
  EXPECT_EQ(Finish(h_, *io), (Result{STATUS_CANCELLED, 0}));
  EXPECT_EQ(Transfer(h_, true, io->buffer), (Result{STATUS_SUCCESS, 64})) << "the context went back";
}

}  // namespace
