// The power manager: requested power IRPs, system sleep and resume, registrations, wake-up.
#include <atomic>
#include <thread>

#include "pnp_test_drivers.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/verifier.h"

namespace pnptest {
namespace {

using Texts = std::vector<std::string>;
constexpr size_t kPlugCount = 15;  // the enumeration: identification, start and its queries

// What requested power IRPs' completion functions were told.
struct Callback {
  PDEVICE_OBJECT device;
  UCHAR minor;
  POWER_STATE state;
  NTSTATUS status;
};
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

TEST_F(PnpTest, RequestedDevicePowerIrpTravelsTheStackToItsCompletionFunction) {
  Pdo &p = PlugStarted();
  PDEVICE_OBJECT fdo = p.self->AttachedDevice;
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
  std::vector<Seen> seen = p.log.All();
  ASSERT_EQ(kPlugCount + 1, seen.size());
  EXPECT_EQ(irp, seen.back().irp);
  EXPECT_FALSE(seen.back().systemThread);
  EXPECT_EQ(Texts({"set D3"}), p.log.Power());
  EXPECT_EQ(PowerDeviceD3, sim::power::DeclaredState(fdo));

  // Above PASSIVE_LEVEL it goes down from a system thread, where the driver runs at PASSIVE_LEVEL.
  sim::RunAtIrql(DISPATCH_LEVEL, [&] {
    EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(p.self, IRP_MN_SET_POWER, Device(PowerDeviceD0), Record, &got, nullptr));
  });
  sim::power::Settle();
  ASSERT_EQ(2u, got.All().size());
  EXPECT_TRUE(p.log.All().back().systemThread);
  EXPECT_EQ(PASSIVE_LEVEL, p.log.All().back().irql);
  EXPECT_EQ(PowerDeviceD0, sim::power::DeclaredState(fdo));

  // A request that cannot get its IRP, or is of a kind that cannot be requested, sends nothing.
  sim::FailNth(sim::AllocKind::Irp, 1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            PoRequestPowerIrp(p.self, IRP_MN_SET_POWER, Device(PowerDeviceD2), Record, &got, nullptr));
  EXPECT_EQ(NTSTATUS(0xC00000F0), PoRequestPowerIrp(p.self, IRP_MN_POWER_SEQUENCE, Device(PowerDeviceD0), Record, &got, nullptr));
  EXPECT_EQ(kPlugCount + 2, p.log.All().size());
  EXPECT_EQ(2u, got.All().size());
}

TEST_F(PnpTest, SleepAndResumeReachEveryStartedStackWithDeviceRequestsInBetween) {
  Pdo &a = PlugStarted();
  Pdo &b = PlugStarted();
  Pdo &unplugged = bus_.Add();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(PowerSystemSleeping3));
  EXPECT_EQ(PowerSystemSleeping3, sim::power::SystemState());
  Texts down = {"query S3", "query D3", "set S3", "set D3"};
  EXPECT_EQ(down, a.log.Power());
  EXPECT_EQ(down, b.log.Power());
  EXPECT_TRUE(unplugged.log.All().empty());
  std::vector<Seen> seen = a.log.All();
  EXPECT_TRUE(seen[kPlugCount].systemThread);
  EXPECT_EQ(PowerActionSleep, seen[kPlugCount].action);
  EXPECT_EQ(PowerActionSleep, seen.back().action);  // the device request, asked for during the transition
  EXPECT_EQ(PowerDeviceD3, sim::power::DeclaredState(a.self->AttachedDevice));
  // Asleep: a second sleep is refused.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, sim::power::Sleep(PowerSystemSleeping3));

  EXPECT_EQ(STATUS_SUCCESS, sim::power::Resume());
  EXPECT_EQ(PowerSystemWorking, sim::power::SystemState());
  Texts up = down;
  up.insert(up.end(), {"set S0", "set D0"});
  EXPECT_EQ(up, a.log.Power());
  EXPECT_EQ(up, b.log.Power());
  EXPECT_EQ(PowerActionSleep, a.log.All().back().action);
  // Awake: nothing to resume; not a sleep state: nothing to do.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, sim::power::Resume());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, sim::power::Sleep(PowerSystemWorking));
  EXPECT_EQ(up, a.log.Power());
  // Hibernation is announced as such.
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(PowerSystemHibernate));
  EXPECT_EQ(PowerActionHibernate, a.log.All().back().action);
  EXPECT_EQ("set S4", a.log.Power()[up.size() + 2]);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Resume());
}

TEST_F(PnpTest, SystemRequiredRegistrationRefusesSleepUntilWithdrawn) {
  Pdo &a = PlugStarted();
  PVOID required = PoRegisterSystemState(nullptr, ES_SYSTEM_REQUIRED | ES_CONTINUOUS);
  PVOID display = PoRegisterSystemState(nullptr, ES_DISPLAY_REQUIRED | ES_CONTINUOUS);
  ASSERT_NE(nullptr, required);
  EXPECT_NE(required, display);
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
  size_t before = a.log.Power().size();
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(PowerSystemSleeping1));
  EXPECT_EQ("query S1", a.log.Power()[before]);
  EXPECT_EQ(STATUS_SUCCESS, sim::power::Resume());
  PoUnregisterSystemState(momentary);
  PoUnregisterSystemState(display);
  EXPECT_DEATH(PoUnregisterSystemState(display), "not registered");
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
  EXPECT_TRUE(c.log.Power().empty());
}

VOID CountCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  static_cast<std::atomic<int> *>(context)->fetch_add(1);
}

TEST_F(PnpTest, ConcurrencyPowerRequestsRacingRemovalCompleteExactlyOnce) {
  for (int i = 0; i < 15; ++i) {
    Pdo &p = PlugStarted();
    std::atomic<int> issued{0}, refused{0}, completed{0};
    std::thread requester([&] {
      for (int k = 0; k < 12; ++k) {
        auto request = [&] {
          NTSTATUS status = PoRequestPowerIrp(p.self, IRP_MN_SET_POWER, Device(k % 2 ? PowerDeviceD3 : PowerDeviceD0),
                                              CountCompletion, &completed, nullptr);
          if (status == STATUS_PENDING)
            issued.fetch_add(1);
          else if (status == STATUS_DELETE_PENDING)  // the removal had begun
            refused.fetch_add(1);
        };
        // A third from a caller above PASSIVE_LEVEL, which the power manager hands to a system thread.
        if (k % 3 == 0)
          sim::RunAtIrql(DISPATCH_LEVEL, request);
        else
          request();
      }
    });
    sim::pnp::Unplug(p.self);
    requester.join();
    sim::power::Settle();
    EXPECT_EQ(12, issued.load() + refused.load());
    EXPECT_EQ(issued.load(), completed.load()) << "iteration " << i;
  }
}

TEST_F(PnpTest, VerifierCatchesAPowerIrpRequestedAboveDispatchLevel) {
  support::Stack stack(1);
  EXPECT_DEATH(sim::RunAtIrql(HIGH_LEVEL,
                              [&] { PoRequestPowerIrp(stack[0], IRP_MN_SET_POWER, Device(PowerDeviceD2), nullptr, nullptr, nullptr); }),
               sim::check::kIrqlMisuse);
}

}  // namespace
}  // namespace pnptest
