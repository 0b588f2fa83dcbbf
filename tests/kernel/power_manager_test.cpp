// The power manager: requested power IRPs, system sleep and resume, registrations, wake-up.
#include "pnp_test_drivers.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/verifier.h"

namespace pnptest {
namespace {

using Texts = std::vector<std::string>;
constexpr size_t kPlugCount = 3;  // start, capabilities, device state

struct Got {
  std::mutex m;
  std::vector<Callback> calls;
  std::vector<Callback> All() {
    std::lock_guard<std::mutex> guard(m);
    return calls;
  }
};

VOID Record(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb) {
  auto *got = static_cast<Got *>(context);
  std::lock_guard<std::mutex> guard(got->m);
  got->calls.push_back({device, minor, state, iosb->Status});
}

POWER_STATE Device(DEVICE_POWER_STATE d) {
  POWER_STATE s;
  s.DeviceState = d;
  return s;
}
POWER_STATE System(SYSTEM_POWER_STATE st) {
  POWER_STATE s;
  s.SystemState = st;
  return s;
}

TEST_F(PnpTest, RequestedDevicePowerIrpTravelsTheStackToItsCompletionFunction) {
  Pdo &p = PlugStarted();
  Fdo *f = fn_.ForPdo(p.self);
  Got got;
  PIRP irp = nullptr;
  // At PASSIVE_LEVEL the request goes down on the caller's thread and is done on return here.
  EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(p.self, IRP_MN_SET_POWER, Device(PowerDeviceD3), Record, &got, &irp));
  ASSERT_EQ(1u, got.All().size());
  Callback c = got.All()[0];
  EXPECT_EQ(p.self, c.device);  // the device it was asked for, not the top of the stack
  EXPECT_EQ(IRP_MN_SET_POWER, c.minor);
  EXPECT_EQ(PowerDeviceD3, c.state.DeviceState);
  EXPECT_EQ(STATUS_SUCCESS, c.status);
  std::vector<Seen> seen = f->log.All();
  ASSERT_EQ(kPlugCount + 1, seen.size());
  const Seen &s = seen.back();
  EXPECT_EQ(irp, s.irp);
  EXPECT_EQ(IRP_MJ_POWER, s.major);
  EXPECT_EQ(DevicePowerState, s.type);
  EXPECT_EQ(PowerActionNone, s.action);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, s.initialStatus);
  EXPECT_FALSE(s.systemThread);
  EXPECT_EQ(Texts({"set D3"}), p.log.Power());
  EXPECT_EQ(PowerDeviceD3, sim::power::DeclaredState(f->self));
  EXPECT_EQ(0u, sim::power::PowerIrpsOutstanding());

  // Above PASSIVE_LEVEL it goes down from a system thread, where the driver runs at PASSIVE_LEVEL.
  sim::RunAtIrql(DISPATCH_LEVEL, [&] {
    EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(p.self, IRP_MN_QUERY_POWER, Device(PowerDeviceD0), Record, &got, nullptr));
  });
  sim::power::Settle();
  ASSERT_EQ(2u, got.All().size());
  EXPECT_EQ(IRP_MN_QUERY_POWER, got.All()[1].minor);
  EXPECT_TRUE(f->log.All().back().systemThread);
  EXPECT_EQ(PASSIVE_LEVEL, f->log.All().back().irql);

  EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(p.self, IRP_MN_SET_POWER, Device(PowerDeviceD0), Record, &got, nullptr));
  EXPECT_EQ(PowerDeviceD0, sim::power::DeclaredState(f->self));
  EXPECT_EQ(std::vector<DEVICE_POWER_STATE>({PowerDeviceUnspecified, PowerDeviceD3}), f->oldDeclared);

  // A wait-wake stays at the bus until it ends; it carries the system state to wake from.
  EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(p.self, IRP_MN_WAIT_WAKE, System(PowerSystemSleeping3), Record, &got, nullptr));
  EXPECT_EQ(1u, sim::power::PowerIrpsOutstanding());
  EXPECT_EQ("wait-wake S3", p.log.Power().back());
  EXPECT_TRUE(p.waitWakes.CompleteNext(STATUS_CANCELLED));
  EXPECT_EQ(0u, sim::power::PowerIrpsOutstanding());
  EXPECT_EQ(IRP_MN_WAIT_WAKE, got.All().back().minor);
  EXPECT_EQ(STATUS_CANCELLED, got.All().back().status);

  // A request that cannot get its IRP, or is of a kind that cannot be requested, sends nothing.
  size_t before = f->log.All().size();
  sim::FailNth(sim::AllocKind::Irp, 1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            PoRequestPowerIrp(p.self, IRP_MN_SET_POWER, Device(PowerDeviceD2), Record, &got, nullptr));
  EXPECT_EQ(NTSTATUS(0xC00000F0), PoRequestPowerIrp(p.self, IRP_MN_POWER_SEQUENCE, Device(PowerDeviceD0), Record, &got, nullptr));
  EXPECT_EQ(before, f->log.All().size());
  EXPECT_EQ(4u, got.All().size());
  sim::pnp::Unplug(p.self);
}

TEST_F(PnpTest, SleepAndResumeReachEveryStartedStackWithDeviceRequestsInBetween) {
  Pdo &a = PlugStarted();
  Pdo &b = PlugStarted();
  Pdo &unplugged = bus_.Add();
  Fdo *fa = fn_.ForPdo(a.self);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(PowerSystemSleeping3));
  EXPECT_EQ(PowerSystemSleeping3, sim::power::SystemState());
  Texts down = {"query S3", "query D3", "set S3", "set D3"};
  EXPECT_EQ(down, a.log.Power());
  EXPECT_EQ(down, b.log.Power());
  EXPECT_EQ(down, fa->log.Power());
  EXPECT_TRUE(unplugged.log.All().empty());
  std::vector<Seen> seen = fa->log.All();
  const Seen &query = seen[kPlugCount], &deviceSet = seen.back();
  EXPECT_EQ(STATUS_NOT_SUPPORTED, query.initialStatus);
  EXPECT_TRUE(query.systemThread);
  EXPECT_EQ(PowerActionSleep, query.action);
  EXPECT_NE(0u, query.systemContext);
  EXPECT_EQ(PowerActionSleep, deviceSet.action);  // asked for during the transition
  std::vector<Callback> calls = fa->Callbacks();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(a.self, calls[0].device);
  EXPECT_EQ(IRP_MN_QUERY_POWER, calls[0].minor);
  EXPECT_EQ(IRP_MN_SET_POWER, calls[1].minor);
  EXPECT_EQ(PowerDeviceD3, sim::power::DeclaredState(fa->self));
  // Asleep: a second sleep is refused.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, sim::power::Sleep(PowerSystemSleeping3));

  EXPECT_EQ(STATUS_SUCCESS, sim::power::Resume());
  EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());
  Texts up = down;
  up.insert(up.end(), {"set S0", "set D0"});
  EXPECT_EQ(up, a.log.Power());
  EXPECT_EQ(up, b.log.Power());
  EXPECT_EQ(PowerActionSleep, fa->log.All().back().action);
  EXPECT_EQ(PowerDeviceD0, sim::power::DeclaredState(fa->self));
  // Awake: nothing to resume; not a sleep state: nothing to do.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, sim::power::Resume());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, sim::power::Sleep(PowerSystemWorking));
  EXPECT_EQ(up, a.log.Power());
  // Hibernation is announced as such.
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(PowerSystemHibernate));
  EXPECT_EQ(PowerActionHibernate, fa->log.All().back().action);
  EXPECT_EQ("set S4", a.log.Power()[up.size() + 2]);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Resume());
  sim::pnp::Unplug(a.self);
  sim::pnp::Unplug(b.self);
}

TEST_F(PnpTest, SystemRequiredRegistrationRefusesSleepUntilWithdrawn) {
  Pdo &a = PlugStarted();
  PVOID required = PoRegisterSystemState(nullptr, ES_SYSTEM_REQUIRED | ES_CONTINUOUS);
  PVOID display = PoRegisterSystemState(nullptr, ES_DISPLAY_REQUIRED | ES_CONTINUOUS);
  ASSERT_NE(nullptr, required);
  ASSERT_NE(nullptr, display);
  EXPECT_NE(required, display);
  EXPECT_EQ(2u, sim::power::SystemStateRegistrations());
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::power::Sleep(PowerSystemSleeping3));
  EXPECT_TRUE(a.log.Power().empty());
  EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());

  // Registering again with the handle replaces what it asks for.
  EXPECT_EQ(required, PoRegisterSystemState(required, ES_CONTINUOUS));
  EXPECT_EQ(2u, sim::power::SystemStateRegistrations());
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(PowerSystemSleeping3));
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Resume());
  EXPECT_EQ(required, PoRegisterSystemState(required, ES_SYSTEM_REQUIRED | ES_CONTINUOUS));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::power::Sleep(PowerSystemSleeping1));

  // Withdrawn, it holds nothing back; a request that is not continuous does not stand.
  PoUnregisterSystemState(required);
  PVOID momentary = PoRegisterSystemState(nullptr, ES_SYSTEM_REQUIRED);
  EXPECT_EQ(2u, sim::power::SystemStateRegistrations());
  size_t before = a.log.Power().size();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(PowerSystemSleeping1));
  EXPECT_EQ("query S1", a.log.Power()[before]);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Resume());
  PoUnregisterSystemState(momentary);
  PoUnregisterSystemState(display);
  EXPECT_EQ(0u, sim::power::SystemStateRegistrations());
  EXPECT_DEATH(PoUnregisterSystemState(display), "not registered");
  sim::pnp::Unplug(a.self);
}

TEST_F(PnpTest, FailedSleepQueryReturnsEveryQueriedStackToWorking) {
  Pdo &a = PlugStarted();
  Pdo &b = PlugStarted();
  Pdo &c = PlugStarted();
  b.systemQueryStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::power::Sleep(PowerSystemSleeping3));
  EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());
  EXPECT_EQ(Texts({"query S3", "query D3", "set S0", "set D0"}), a.log.Power());
  // The failed query asked for no device request; the stack still hears the system stays on.
  EXPECT_EQ(Texts({"query S3", "set S0", "set D0"}), b.log.Power());
  EXPECT_EQ(Texts({"query S3", "set S0", "set D0"}), fn_.ForPdo(b.self)->log.Power());
  EXPECT_TRUE(c.log.Power().empty());
  sim::pnp::Unplug(a.self);
  sim::pnp::Unplug(b.self);
  sim::pnp::Unplug(c.self);
}

TEST_F(PnpTest, WakeSignalledWhileAsleepResumesTheSystem) {
  Pdo &a = PlugStarted();
  Got got;
  auto arm = [&] {
    EXPECT_EQ(STATUS_PENDING,
              PoRequestPowerIrp(a.self, IRP_MN_WAIT_WAKE, System(PowerSystemSleeping3), Record, &got, nullptr));
  };
  arm();
  ASSERT_EQ(STATUS_SUCCESS, sim::power::Sleep(PowerSystemSleeping3));
  // A wait-wake that ends without a wake signal leaves the system asleep.
  EXPECT_TRUE(a.waitWakes.CompleteNext(STATUS_CANCELLED));
  sim::power::Settle();
  EXPECT_EQ(PowerSystemSleeping3, sim::power::SystemState());

  arm();
  size_t before = a.log.Power().size();
  // The bus signals wake-up from its own context.
  sim::RunAtIrql(DISPATCH_LEVEL, [&] { EXPECT_TRUE(a.waitWakes.CompleteNext(STATUS_SUCCESS)); });
  sim::power::Settle();
  EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());
  Texts after = a.log.Power();
  EXPECT_EQ(Texts({"set S0", "set D0"}), Texts(after.begin() + long(before), after.end()));
  EXPECT_EQ(STATUS_SUCCESS, got.All().back().status);

  // Awake, a wake signal changes nothing.
  arm();
  before = a.log.Power().size();
  EXPECT_TRUE(a.waitWakes.CompleteNext(STATUS_SUCCESS));
  sim::power::Settle();
  EXPECT_EQ(before, a.log.Power().size());
  EXPECT_EQ(3u, got.All().size());
  sim::pnp::Unplug(a.self);
}

TEST_F(PnpTest, VerifierCatchesAPowerIrpWhoseDriverNeverStartsTheNext) {
  support::Stack stack(1);  // completes everything, PoStartNextPowerIrp never called
  EXPECT_DEATH(PoRequestPowerIrp(stack[0], IRP_MN_SET_POWER, Device(PowerDeviceD2), nullptr, nullptr, nullptr),
               sim::check::kPoStartNextMissing);
  // Asked for above DISPATCH_LEVEL.
  EXPECT_DEATH(sim::RunAtIrql(HIGH_LEVEL,
                              [&] { PoRequestPowerIrp(stack[0], IRP_MN_SET_POWER, Device(PowerDeviceD2), nullptr, nullptr, nullptr); }),
               sim::check::kIrqlMisuse);
}

}  // namespace
}  // namespace pnptest
