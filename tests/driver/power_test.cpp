// Power policy as applications and the system see it: the device power state through the control
// codes, transfers held and released around a low state, system sleep with the wake check, and
// the wait-wake request's cancel against its own completion.
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/work_items.h"
#include "tests/support/await.h"

namespace {

using simwin::HANDLE;
namespace td = sim::usb::test_device;

class Power : public xrtest::PluggedDevice {
 protected:
  Power() : PluggedDevice(false) {}

  NTSTATUS SetPower(uint32_t state) {
    const PowerStateValue v{state};
    return Send(IOCTL_SET_DEVICE_POWER_STATE, &v, sizeof v).status;
  }
  uint32_t GetPower() {
    PowerStateValue v{0xEE};
    EXPECT_EQ(Send(IOCTL_GET_DEVICE_POWER_STATE, nullptr, 0, &v, sizeof v).status, STATUS_SUCCESS);
    return v.PowerState;
  }
  HANDLE BoundTo(uint8_t endpoint) {
    const HANDLE h = Another();
    EXPECT_EQ(BindPipe(h, endpoint), STATUS_SUCCESS);
    return h;
  }
  // Requested lengths of the writes on 'endpoint' the bus saw since the last look.
  std::vector<ULONG> WritesSeen(uint8_t endpoint) {
    std::vector<ULONG> lengths;
    for (const sim::usb::TraceEntry &e : TakeTrace())
      if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.endpoint == endpoint)
        lengths.push_back(e.requestedLength);
    return lengths;
  }
  void Settle() {
    sim::power::Settle();
    sim::DrainWorkItems();
  }
};

// Only D0 and one low state at a time; the current state sends nothing; a power-up the bus fails
// leaves the device where it was, its transfers held until a power-up succeeds.
TEST_F(Power, ControlCodesMoveTheDeviceThroughD0Only) {
  Plug();
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  const HANDLE out = BoundTo(td::kLoopbackOut);
  std::unique_ptr<xrtest::Io> held;
  auto &bus = sim::usb::Bus::Get();
  struct Step {
    const char *what;
    uint32_t set;
    NTSTATUS status;
    uint32_t after;
    std::function<void()> then;
  };
  const Step steps[] = {
      {"down to D3", 3, STATUS_SUCCESS, 3, [&] { held = Start(out, false, std::vector<uint8_t>(16, 1)); }},
      {"low to low", 2, ERR_INVALID_POWER_STATE, 3, nullptr},
      {"no such state", 4, ERR_INVALID_PARAMETER, 3,
       [&] { bus.FailPowerRequests(pdo_, IRP_MN_SET_POWER, DevicePowerState, STATUS_UNSUCCESSFUL); }},
      {"the current one, sending nothing", 3, STATUS_SUCCESS, 3, nullptr},
      {"up, failed by the bus", 0, STATUS_UNSUCCESSFUL, 3, [&] { EXPECT_TRUE(WritesSeen(td::kLoopbackOut).empty()); }},
      {"up", 0, STATUS_SUCCESS, 0, [&] { EXPECT_EQ(Finish(out, *held), (xrtest::Result{STATUS_SUCCESS, 16})); }},
      {"down to D2", 2, STATUS_SUCCESS, 2, nullptr},
      {"up again", 0, STATUS_SUCCESS, 0, nullptr}};
  for (const Step &s : steps) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(SetPower(s.set), s.status);
    EXPECT_EQ(GetPower(), s.after);
    EXPECT_EQ(bus.PowerState(pdo_), DEVICE_POWER_STATE(s.after + 1));
    EXPECT_EQ(sim::power::DeclaredState(dx_->deviceObject), DEVICE_POWER_STATE(s.after + 1));
    if (s.then) s.then();
  }
  EXPECT_EQ(WritesSeen(td::kLoopbackOut), std::vector<ULONG>{16});
  UnplugExpectingNothingLeft();
}

// What waits when the device goes down: with AbortPipesOnPowerDown the queued write is cancelled
// and the read at the bus ends ERR_POWER_DOWN; without it both stay. Either way what is held
// reaches the bus in order at the next D0.
TEST_F(Power, PowerDownCancelsOrKeepsWhatWaits) {
  for (const uint32_t abort : {1u, 0u}) {
    SCOPED_TRACE(abort);
    Plug({{u"AbortPipesOnPowerDown", abort}});
    ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
    const HANDLE in = BoundTo(td::kLoopbackIn), out = BoundTo(td::kLoopbackOut);
    auto atBus = Start(in, true, std::vector<uint8_t>(64));  // the empty loopback holds it
    ASSERT_TRUE(support::AwaitUntil([&] { return sim::usb::Bus::Get().HeldTransfers(pdo_) == 1; }));
    // The system's query: from here on transfers are held.
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    ASSERT_EQ(PoRequestPowerIrp(pdo_, IRP_MN_QUERY_POWER, d2, nullptr, nullptr, nullptr), STATUS_PENDING);
    auto queued = Start(out, false, std::vector<uint8_t>(16, 1));
    ASSERT_EQ(SetPower(2), STATUS_SUCCESS);
    if (abort) {
      EXPECT_EQ(Finish(in, *atBus), (xrtest::Result{ERR_POWER_DOWN, 0}));
      EXPECT_EQ(Finish(out, *queued), (xrtest::Result{STATUS_CANCELLED, 0}));
    }
    auto later = Start(out, false, std::vector<uint8_t>(32, 2));
    EXPECT_TRUE(WritesSeen(td::kLoopbackOut).empty());
    ASSERT_EQ(SetPower(0), STATUS_SUCCESS);
    EXPECT_EQ(Finish(out, *later), (xrtest::Result{STATUS_SUCCESS, 32}));
    if (!abort) {
      EXPECT_EQ(Finish(out, *queued), (xrtest::Result{STATUS_SUCCESS, 16}));
      EXPECT_EQ(Finish(in, *atBus).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(WritesSeen(td::kLoopbackOut), (abort ? std::vector<ULONG>{32} : std::vector<ULONG>{16, 32}));
    UnplugExpectingNothingLeft();
  }
}

// Remote wake-up armed: a sleep the device cannot wake the system from cancels the wait-wake at
// the query; one within DeviceWake and SystemWake keeps it, and the device's wake-up brings the
// system back. After resume the wait-wake is armed again; a second one is refused meanwhile.
TEST_F(Power, SleepKeepsTheWaitWakeOnlyWhereTheDeviceCanWake) {
  struct Row {
    const char *what;
    DEVICE_POWER_STATE deviceWake;
    SYSTEM_POWER_STATE systemWake;
    bool kept;
  };
  const Row rows[] = {{"within both", PowerDeviceD2, PowerSystemSleeping3, true},
                      {"deeper than DeviceWake", PowerDeviceD1, PowerSystemSleeping3, false},
                      {"beyond SystemWake", PowerDeviceD2, PowerSystemSleeping1, false}};
  auto &bus = sim::usb::Bus::Get();
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    sim::usb::PlugOptions options;
    DEVICE_CAPABILITIES &c = options.capabilities;
    c.Size = sizeof c;
    c.Version = 1;
    c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) c.DeviceState[s] = PowerDeviceD2;
    c.DeviceWake = r.deviceWake;
    c.SystemWake = r.systemWake;
    Plug({{u"EnableRemoteWakeup", 1}}, options);
    ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
    ASSERT_TRUE(bus.WaitWakePending(pdo_));
    NTSTATUS second = STATUS_PENDING;
    POWER_STATE wake;
    wake.SystemState = r.systemWake;
    PoRequestPowerIrp(pdo_, IRP_MN_WAIT_WAKE, wake,
                      [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
                        *static_cast<NTSTATUS *>(context) = io->Status;
                      },
                      &second, nullptr);
    EXPECT_EQ(second, STATUS_DEVICE_BUSY);

    ASSERT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bus.PowerState(pdo_), PowerDeviceD2);
    EXPECT_EQ(bus.WaitWakePending(pdo_), r.kept);
    if (r.kept)
      EXPECT_TRUE(bus.SignalRemoteWakeup(pdo_));
    else
      EXPECT_EQ(sim::power::Resume(), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(sim::power::SystemState(), PowerSystemWorking);
    EXPECT_EQ(GetPower(), 0u);
    EXPECT_TRUE(bus.WaitWakePending(pdo_));
    UnplugExpectingNothingLeft();
  }
}

// A system set-power completes with the lower driver's status whether the device request fails
// or cannot be issued; a device query that fails vetoes the sleep, and the rollback releases
// what the query held.
TEST_F(Power, SystemRequestsEndWithTheLowerDriversStatus) {
  Plug();
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  const HANDLE out = BoundTo(td::kLoopbackOut);
  auto &bus = sim::usb::Bus::Get();
  const std::function<void()> faults[] = {
      [&] { bus.FailPowerRequests(pdo_, IRP_MN_SET_POWER, DevicePowerState, STATUS_UNSUCCESSFUL); },
      [] { sim::FailNth(sim::AllocKind::Irp, 1); }};
  for (const auto &fault : faults) {
    fault();
    EXPECT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    sim::ClearFaults();
    EXPECT_EQ(sim::power::Resume(), STATUS_SUCCESS);
    Settle();
  }
  bus.FailPowerRequests(pdo_, IRP_MN_QUERY_POWER, DevicePowerState, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
  Settle();
  EXPECT_EQ(sim::power::SystemState(), PowerSystemWorking);
  std::vector<uint8_t> data(8, 3);
  EXPECT_EQ(Transfer(out, false, data), (xrtest::Result{STATUS_SUCCESS, 8}));
  UnplugExpectingNothingLeft();
}

// The wait-wake request completes (a wake-up) after a cancel has taken it and before its
// IoCancelIrp: the IRP must still be there for the cancel, and end once.
TEST_F(Power, WaitWakeCompletingUnderItsCancel) {
  Plug({{u"EnableRemoteWakeup", 1}});
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  auto &bus = sim::usb::Bus::Get();
  ASSERT_TRUE(bus.WaitWakePending(pdo_));
  bool woke = false;
  sim::SetBeforeCancelHook([&](PIRP) { woke = woke || bus.SignalRemoteWakeup(pdo_); });
  const DeviceParameters disarm{XRUSB_OPTION_UNCONFIGURE_ON_CLOSE, 1000}, arm{disarm.Options | XRUSB_OPTION_REMOTE_WAKEUP, 1000};
  EXPECT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, disarm).status, STATUS_SUCCESS);
  sim::SetBeforeCancelHook(nullptr);
  EXPECT_TRUE(woke);
  EXPECT_FALSE(bus.WaitWakePending(pdo_));
  EXPECT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, arm).status, STATUS_SUCCESS);
  EXPECT_TRUE(bus.WaitWakePending(pdo_));
  UnplugExpectingNothingLeft();
}

}  // namespace
