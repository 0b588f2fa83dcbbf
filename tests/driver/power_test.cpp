// Power policy as applications and the system see it: the device power state through the control
// codes, transfers held and released around a low state, system sleep with the wake check and the
// wait-wake request's cancel against its own completion.
#include <atomic>
#include <thread>

#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/work_items.h"
#include "tests/support/await.h"

namespace {

using simwin::HANDLE;
using xrtest::Result;
namespace td = sim::usb::test_device;

class Power : public xrtest::PluggedDevice {
 protected:
  Power() : PluggedDevice(false) {}
  NTSTATUS SetPower(uint32_t state) { return Send(IOCTL_SET_DEVICE_POWER_STATE, PowerStateValue{state}).status; }
  uint32_t GetPower() {
    PowerStateValue v{0xEE};
    EXPECT_EQ(Send(IOCTL_GET_DEVICE_POWER_STATE, nullptr, 0, &v, sizeof v).status, STATUS_SUCCESS);
    return v.PowerState;
  }
  // A handle bound to the loopback endpoint, the device configured.
  HANDLE Loopback(uint8_t endpoint) {
    if (!dx_->configured) {
      EXPECT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
    }
    const HANDLE h = Another();
    EXPECT_EQ(BindPipe(h, endpoint), STATUS_SUCCESS);
    return h;
  }
  // Lengths of the loopback writes the bus saw since the last look.
  std::vector<ULONG> WritesSeen() {
    std::vector<ULONG> lengths;
    for (const sim::usb::TraceEntry &e : TakeTrace())
      if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.endpoint == td::kLoopbackOut)
        lengths.push_back(e.requestedLength);
    return lengths;
  }
  sim::usb::Bus &bus_ = sim::usb::Bus::Get();
};

// Only D0 and one low state at a time; the current state sends nothing; a power-up the bus fails
// leaves the device where it was, its transfers held until a power-up succeeds.
TEST_F(Power, ControlCodesMoveTheDeviceThroughD0Only) {
  Plug();
  const HANDLE out = Loopback(td::kLoopbackOut);
  std::unique_ptr<xrtest::Io> held;
  const struct {
    uint32_t set;
    NTSTATUS status;
    uint32_t after;
    std::function<void()> then;
  } steps[] = {
      {3, STATUS_SUCCESS, 3, [&] { held = Start(out, false, std::vector<uint8_t>(16, 1)); }},
      {2, ERR_INVALID_POWER_STATE, 3, nullptr},
      {4, ERR_INVALID_PARAMETER, 3,
       [&] { bus_.FailPowerRequests(pdo_, IRP_MN_SET_POWER, DevicePowerState, STATUS_UNSUCCESSFUL); }},
      {3, STATUS_SUCCESS, 3, nullptr},  // sends nothing: the fault waits for the next request
      {0, STATUS_UNSUCCESSFUL, 3, [&] { EXPECT_TRUE(WritesSeen().empty()); }},
      {0, STATUS_SUCCESS, 0, [&] { EXPECT_EQ(Finish(out, *held), (Result{STATUS_SUCCESS, 16})); }},
      {2, STATUS_SUCCESS, 2,
       [&] {  // a stop asked for and called off does not release what the low state holds
         EXPECT_EQ(sim::pnp::Send(pdo_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
         EXPECT_EQ(sim::pnp::Send(pdo_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
         held = Start(out, false, std::vector<uint8_t>(8, 2));
       }},
      {0, STATUS_SUCCESS, 0, [&] { EXPECT_EQ(Finish(out, *held), (Result{STATUS_SUCCESS, 8})); }}};
  for (const auto &s : steps) {
    SCOPED_TRACE(testing::Message() << "set " << s.set << " after " << &s - steps << " steps");
    EXPECT_EQ(SetPower(s.set), s.status);
    EXPECT_EQ(GetPower(), s.after);
    EXPECT_EQ(sim::power::DeclaredState(dx_->deviceObject), DEVICE_POWER_STATE(s.after + 1));
    if (s.then) s.then();
  }
  EXPECT_EQ(WritesSeen(), (std::vector<ULONG>{16, 8}));
  UnplugExpectingNothingLeft();
}

// What waits when the device goes down: with AbortPipesOnPowerDown the write queued behind the
// system's query is cancelled and the read at the bus ends ERR_POWER_DOWN; without it both stay.
// Either way what is held reaches the bus in order at the next D0.
TEST_F(Power, PowerDownCancelsOrKeepsWhatWaits) {
  for (const uint32_t abort : {1u, 0u}) {
    SCOPED_TRACE(abort);
    Plug({{u"AbortPipesOnPowerDown", abort}});
    const HANDLE in = Loopback(td::kLoopbackIn), out = Loopback(td::kLoopbackOut);
    auto atBus = Start(in, true, std::vector<uint8_t>(64));  // the empty loopback holds it
    ASSERT_TRUE(support::AwaitUntil([&] { return bus_.HeldTransfers(pdo_) == 1; }));
    POWER_STATE d2{.DeviceState = PowerDeviceD2};
    ASSERT_EQ(PoRequestPowerIrp(pdo_, IRP_MN_QUERY_POWER, d2, nullptr, nullptr, nullptr), STATUS_PENDING);
    auto queued = Start(out, false, std::vector<uint8_t>(16, 1));
    ASSERT_EQ(SetPower(2), STATUS_SUCCESS);
    if (abort) {
      EXPECT_EQ(Finish(in, *atBus), (Result{ERR_POWER_DOWN, 0}));
      EXPECT_EQ(Finish(out, *queued), (Result{STATUS_CANCELLED, 0}));
    }
    auto later = Start(out, false, std::vector<uint8_t>(32, 2));
    EXPECT_TRUE(WritesSeen().empty());
    ASSERT_EQ(SetPower(0), STATUS_SUCCESS);
    EXPECT_EQ(Finish(out, *later), (Result{STATUS_SUCCESS, 32}));
    if (!abort) {
      EXPECT_EQ(Finish(out, *queued), (Result{STATUS_SUCCESS, 16}));
      EXPECT_EQ(Finish(in, *atBus).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(WritesSeen(), (abort ? std::vector<ULONG>{32} : std::vector<ULONG>{16, 32}));
    UnplugExpectingNothingLeft();
  }
}

// A power-down waits for what the bus still holds after its aborts, also when an earlier drain
// left the event signalled.
TEST_F(Power, PowerDownWaitsForTransfersTheBusStillHolds) {
  Plug({{u"DeferCancelledIrps", 0}});
  const HANDLE in = Loopback(td::kLoopbackIn);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto atBus = Start(in, true, std::vector<uint8_t>(64));
    ASSERT_TRUE(support::AwaitUntil([&] { return bus_.HeldTransfers(pdo_) == 1; }, "the read at the bus"));
    bus_.HoldAbortedTransfers(true);
    std::atomic<bool> down{false};
    std::thread powerDown([&] {
      EXPECT_EQ(SetPower(2), STATUS_SUCCESS);
      down = true;
    });
    EXPECT_TRUE(support::AwaitUntil([&] { return sim::WaitersOn(&dx_->transfersDrainedEvent) != 0 || down; },
                                    "the power-down waiting"));
    EXPECT_FALSE(down) << "powered down with a transfer at the bus";
    bus_.HoldAbortedTransfers(false);
    bus_.ReleaseAbortedTransfers();
    powerDown.join();
    EXPECT_EQ(Finish(in, *atBus), (Result{ERR_POWER_DOWN, 0}));
    ASSERT_EQ(SetPower(0), STATUS_SUCCESS);
  }
}

// Power does not release what Plug and Play holds: a power-up during a pending stop leaves the
// queued read in the driver until the stop is called off.
TEST_F(Power, PowerUpKeepsAStopPendingDeviceHeld) {
  Plug({{u"AbortPipesOnPowerDown", 0}});
  const HANDLE out = Loopback(td::kLoopbackOut);
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  auto queued = Start(out, false, std::vector<uint8_t>(16, 1));
  ASSERT_EQ(SetPower(2), STATUS_SUCCESS);
  ASSERT_EQ(SetPower(0), STATUS_SUCCESS);
  sim::DrainWorkItems();
  EXPECT_TRUE(WritesSeen().empty());
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(Finish(out, *queued), (Result{STATUS_SUCCESS, 16}));
}

// Wake-up goes with the configuration that armed it.
TEST_F(Power, UnconfigureDisarmsWakeUp) {
  Plug({{u"EnableRemoteWakeup", 1}});
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  ASSERT_TRUE(bus_.WaitWakePending(pdo_));
  ASSERT_EQ(Send(IOCTL_UNCONFIGURE_DEVICE, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_FALSE(bus_.WaitWakePending(pdo_));
}

// Remote wake-up armed: a sleep the device cannot wake the system from cancels the wait-wake at
// the query; one within DeviceWake and SystemWake keeps it, and the device's wake-up brings the
// system back. A second wait-wake is refused; after resume one is armed again.
TEST_F(Power, SleepKeepsTheWaitWakeOnlyWhereTheDeviceCanWake) {
  const struct {
    DEVICE_POWER_STATE deviceWake;
    SYSTEM_POWER_STATE systemWake;
    bool kept;
  } rows[] = {{PowerDeviceD2, PowerSystemSleeping3, true},
              {PowerDeviceD1, PowerSystemSleeping3, false},
              {PowerDeviceD2, PowerSystemSleeping1, false}};
  for (const auto &r : rows) {
    SCOPED_TRACE(testing::Message() << "DeviceWake D" << r.deviceWake - 1 << ", SystemWake S" << r.systemWake - 1);
    sim::usb::PlugOptions options;
    DEVICE_CAPABILITIES &c = options.capabilities;
    c = {.Size = sizeof c, .Version = 1, .SystemWake = r.systemWake, .DeviceWake = r.deviceWake};
    for (int s = PowerSystemWorking; s <= PowerSystemShutdown; ++s) c.DeviceState[s] = s == 1 ? PowerDeviceD0 : PowerDeviceD2;
    Plug({{u"EnableRemoteWakeup", 1}}, options);
    ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
    ASSERT_TRUE(bus_.WaitWakePending(pdo_));
    NTSTATUS second = STATUS_PENDING;
    PoRequestPowerIrp(pdo_, IRP_MN_WAIT_WAKE, POWER_STATE{.SystemState = r.systemWake},
                      [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID status, PIO_STATUS_BLOCK io) {
                        *static_cast<NTSTATUS *>(status) = io->Status;
                      }, &second, nullptr);
    EXPECT_EQ(second, STATUS_DEVICE_BUSY);

    ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bus_.PowerState(pdo_), PowerDeviceD2);
    EXPECT_EQ(bus_.WaitWakePending(pdo_), r.kept);
    EXPECT_TRUE(r.kept ? bus_.SignalRemoteWakeup(pdo_) : sim::power::Resume() == STATUS_SUCCESS);
    sim::power::Settle();
    sim::DrainWorkItems();
    EXPECT_EQ(sim::power::SystemState(), PowerSystemWorking);
    EXPECT_EQ(GetPower(), 0u);
    EXPECT_TRUE(bus_.WaitWakePending(pdo_));
    // A wake-up between a cancel's taking of the request and its IoCancelIrp: the IRP must still
    // be there for the cancel, and end once.
    bool woke = false;
    sim::SetBeforeCancelHook([&](PIRP) { woke = woke || bus_.SignalRemoteWakeup(pdo_); });
    EXPECT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, DeviceParameters{XRUSB_OPTION_UNCONFIGURE_ON_CLOSE, 1000}).status,
              STATUS_SUCCESS);
    sim::SetBeforeCancelHook(nullptr);
    EXPECT_TRUE(woke && !bus_.WaitWakePending(pdo_));
    UnplugExpectingNothingLeft();
  }
}

// A system set-power completes with the lower driver's status whether the device request fails
// or cannot be issued; a device query that fails vetoes the sleep, and the rollback releases
// what the query held.
TEST_F(Power, SystemRequestsEndWithTheLowerDriversStatus) {
  Plug();
  const HANDLE out = Loopback(td::kLoopbackOut);
  for (const std::function<void()> &fault : std::initializer_list<std::function<void()>>{
           [&] { bus_.FailPowerRequests(pdo_, IRP_MN_SET_POWER, DevicePowerState, STATUS_UNSUCCESSFUL); },
           [] { sim::FailNth(sim::AllocKind::Irp, 1); }}) {
    fault();
    EXPECT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    sim::ClearFaults();
    EXPECT_EQ(sim::power::Resume(), STATUS_SUCCESS);
  }
  bus_.FailPowerRequests(pdo_, IRP_MN_QUERY_POWER, DevicePowerState, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
  std::vector<uint8_t> data(8, 3);
  EXPECT_EQ(Transfer(out, false, data), (Result{STATUS_SUCCESS, 8}));
  UnplugExpectingNothingLeft();
}

}  // namespace
