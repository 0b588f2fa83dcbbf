// The Plug and Play manager: the sequences of requests a device stack lives through.
#include <algorithm>

#include "pnp_test_drivers.h"
#include "sim/win32/win32.h"

namespace pnptest {
namespace {

using sim::pnp::NodeState;
using Minors = std::vector<UCHAR>;

const Minors kPlug = {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE};

Minors Concat(Minors a, const Minors &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Minors Tail(PDEVICE_OBJECT pdo, size_t n) {
  Minors sent = sim::pnp::Sent(pdo);
  return Minors(sent.end() - std::min(n, sent.size()), sent.end());
}
size_t Count(const Minors &m, UCHAR minor) { return size_t(std::count(m.begin(), m.end(), minor)); }

HANDLE Open(Fdo *f) {
  return simwin::CreateFileW(Function::LinkName(f->number).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
}

TEST_F(PnpTest, PlugStartsAndQueriesThenUnplugWithoutHandlesRemovesAtOnce) {
  Pdo &p = bus_.Add();
  p.deviceState = PNP_DEVICE_DONT_DISPLAY_IN_UI;
  sim::pnp::PlugResult r = sim::pnp::Plug(p.self, fn_.Driver());
  ASSERT_EQ(STATUS_SUCCESS, r.addDevice);
  EXPECT_EQ(STATUS_SUCCESS, r.start);
  Fdo *f = fn_.ForPdo(p.self);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(f->self, r.top);
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  EXPECT_EQ(kPlug, sim::pnp::Sent(p.self));
  EXPECT_EQ(kPlug, f->log.Pnp());
  EXPECT_EQ(kPlug, p.log.Pnp());
  for (const Seen &s : f->log.All()) {
    EXPECT_EQ(STATUS_NOT_SUPPORTED, s.initialStatus);
    EXPECT_TRUE(s.systemThread);
    EXPECT_EQ(PASSIVE_LEVEL, s.irql);
  }
  // The capability record arrives initialised as Windows does it; the bus's answer is kept.
  EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), p.received.Size);
  EXPECT_EQ(1, p.received.Version);
  EXPECT_EQ(0xFFFFFFFFu, p.received.Address);
  EXPECT_EQ(0xFFFFFFFFu, p.received.UINumber);
  EXPECT_EQ(PowerDeviceUnspecified, p.received.DeviceState[PowerSystemWorking]);
  DEVICE_CAPABILITIES caps = sim::pnp::Capabilities(p.self);
  EXPECT_EQ(3u, caps.Address);
  EXPECT_EQ(1u, caps.Removable);
  EXPECT_EQ(PowerSystemSleeping3, caps.SystemWake);
  EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemSleeping3]);
  EXPECT_EQ(ULONG(PNP_DEVICE_DONT_DISPLAY_IN_UI), sim::pnp::DeviceState(p.self));

  sim::pnp::Unplug(p.self);
  EXPECT_EQ(Concat(kPlug, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), sim::pnp::Sent(p.self));
  EXPECT_EQ(NodeState::Removed, sim::pnp::State(p.self));
  EXPECT_TRUE(f->removeFromSystemThread);
  // The function device is gone; the physical one is still the bus's.
  EXPECT_EQ(p.self, sim::StackTop(p.self));
  EXPECT_EQ(nullptr, fn_.Driver()->DeviceObject);
  // Unplugging what is gone sends nothing.
  sim::pnp::Unplug(p.self);
  EXPECT_EQ(5u, sim::pnp::Sent(p.self).size());
}

TEST_F(PnpTest, FailedAddDeviceLeavesNodeFailedAndFailedStartIsFollowedByRemoval) {
  fn_.options.addStatus = STATUS_INSUFFICIENT_RESOURCES;
  Pdo &a = bus_.Add();
  sim::pnp::PlugResult r = sim::pnp::Plug(a.self, fn_.Driver());
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.addDevice);
  EXPECT_FALSE(NT_SUCCESS(r.start));
  EXPECT_EQ(a.self, r.top);
  EXPECT_EQ(NodeState::Failed, sim::pnp::State(a.self));
  EXPECT_TRUE(sim::pnp::Sent(a.self).empty());
  EXPECT_TRUE(a.log.All().empty());
  EXPECT_TRUE(sim::pnp::StartedStacks().empty());

  fn_.options.addStatus = STATUS_SUCCESS;
  Pdo &b = bus_.Add();
  b.startStatus = STATUS_DEVICE_NOT_CONNECTED;
  r = sim::pnp::Plug(b.self, fn_.Driver());
  EXPECT_EQ(STATUS_SUCCESS, r.addDevice);
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, r.start);
  Minors failed = {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE};
  EXPECT_EQ(failed, sim::pnp::Sent(b.self));
  EXPECT_EQ(failed, fn_.ForPdo(b.self)->log.Pnp());
  EXPECT_EQ(NodeState::Failed, sim::pnp::State(b.self));
  EXPECT_EQ(b.self, sim::StackTop(b.self));
  // A failed node gets nothing at unplug, and can be plugged again.
  sim::pnp::Unplug(b.self);
  EXPECT_EQ(failed, sim::pnp::Sent(b.self));
  b.startStatus = STATUS_SUCCESS;
  r = sim::pnp::Plug(b.self, fn_.Driver());
  EXPECT_EQ(STATUS_SUCCESS, r.start);
  EXPECT_EQ(NodeState::Started, sim::pnp::State(b.self));
  EXPECT_EQ(Concat(failed, kPlug), sim::pnp::Sent(b.self));
  sim::pnp::Unplug(b.self);
}

TEST_F(PnpTest, UnplugWithOpenHandlesRemovesAfterTheLastClose) {
  Pdo &p = PlugStarted();
  Fdo *f = fn_.ForPdo(p.self);
  HANDLE h1 = Open(f), h2 = Open(f);
  ASSERT_NE(simwin::INVALID_HANDLE_VALUE, h1);
  ASSERT_NE(simwin::INVALID_HANDLE_VALUE, h2);

  sim::pnp::Unplug(p.self);
  EXPECT_EQ(Concat(kPlug, {IRP_MN_SURPRISE_REMOVAL}), sim::pnp::Sent(p.self));
  EXPECT_EQ(NodeState::SurpriseRemoved, sim::pnp::State(p.self));
  EXPECT_TRUE(sim::pnp::StartedStacks().empty());
  // A second unplug does not repeat the surprise removal.
  sim::pnp::Unplug(p.self);
  EXPECT_TRUE(simwin::CloseHandle(h1));
  sim::pnp::Settle();
  EXPECT_EQ(Concat(kPlug, {IRP_MN_SURPRISE_REMOVAL}), sim::pnp::Sent(p.self));

  EXPECT_TRUE(simwin::CloseHandle(h2));
  sim::pnp::Settle();
  EXPECT_EQ(Concat(kPlug, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), sim::pnp::Sent(p.self));
  EXPECT_EQ(NodeState::Removed, sim::pnp::State(p.self));
  EXPECT_EQ(0, f->opensAtRemove);  // both closes reached the driver first
  EXPECT_TRUE(f->removeFromSystemThread);
}

TEST_F(PnpTest, DisableWithAndWithoutVeto) {
  Pdo &p = PlugStarted();
  Fdo *f = fn_.ForPdo(p.self);
  f->options.vetoQueryRemove = true;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::Disable(p.self));
  EXPECT_EQ(Minors({IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}), Tail(p.self, 2));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  // The veto stopped the query at the function driver; the cancel went all the way down.
  EXPECT_EQ(Concat(kPlug, {IRP_MN_CANCEL_REMOVE_DEVICE}), p.log.Pnp());

  // An open handle does not hold a disable back; its close comes after the removal.
  f->options.vetoQueryRemove = false;
  HANDLE h = Open(f);
  ASSERT_NE(simwin::INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Disable(p.self));
  EXPECT_EQ(Minors({IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}), Tail(p.self, 2));
  EXPECT_EQ(NodeState::Removed, sim::pnp::State(p.self));
  EXPECT_EQ(1, f->opensAtRemove);
  EXPECT_TRUE(simwin::CloseHandle(h));
  sim::pnp::Settle();
  EXPECT_EQ(1u, Count(sim::pnp::Sent(p.self), IRP_MN_REMOVE_DEVICE));
}

TEST_F(PnpTest, RebalanceWithAndWithoutVetoAndTheVetoableHalves) {
  Pdo &p = PlugStarted();
  Fdo *f = fn_.ForPdo(p.self);
  f->options.vetoQueryStop = true;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::Rebalance(p.self));
  EXPECT_EQ(Minors({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}), Tail(p.self, 2));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));

  f->options.vetoQueryStop = false;
  p.deviceState = PNP_DEVICE_NOT_DISABLEABLE;
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Rebalance(p.self));
  EXPECT_EQ(Concat({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, kPlug), Tail(p.self, 5));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  EXPECT_EQ(ULONG(PNP_DEVICE_NOT_DISABLEABLE), sim::pnp::DeviceState(p.self));  // queried anew

  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(p.self));
  EXPECT_EQ(NodeState::StopPending, sim::pnp::State(p.self));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(p.self));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(p.self));
  EXPECT_EQ(NodeState::RemovePending, sim::pnp::State(p.self));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(p.self));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));

  // A restart that fails takes the stack down.
  p.startStatus = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, sim::pnp::Rebalance(p.self));
  EXPECT_EQ(Minors({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}),
            Tail(p.self, 4));
  EXPECT_EQ(NodeState::Failed, sim::pnp::State(p.self));
  EXPECT_EQ(p.self, sim::StackTop(p.self));
}

TEST_F(PnpTest, SeveralDevicesLiveIndependently) {
  Pdo &a = PlugStarted();
  Pdo &b = bus_.Add();
  b.deviceState = PNP_DEVICE_DONT_DISPLAY_IN_UI;
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Plug(b.self, fn_.Driver()).start);
  Pdo &c = PlugStarted();
  EXPECT_EQ(std::vector<PDEVICE_OBJECT>({a.self, b.self, c.self}), sim::pnp::StartedStacks());
  EXPECT_EQ(0u, sim::pnp::DeviceState(a.self));  // nobody answered: no flags
  EXPECT_EQ(ULONG(PNP_DEVICE_DONT_DISPLAY_IN_UI), sim::pnp::DeviceState(b.self));

  sim::pnp::Unplug(b.self);
  EXPECT_EQ(NodeState::Removed, sim::pnp::State(b.self));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(a.self));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(c.self));
  EXPECT_EQ(kPlug, sim::pnp::Sent(a.self));
  EXPECT_EQ(kPlug, sim::pnp::Sent(c.self));
  EXPECT_EQ(kPlug, fn_.ForPdo(c.self)->log.Pnp());
  EXPECT_EQ(std::vector<PDEVICE_OBJECT>({a.self, c.self}), sim::pnp::StartedStacks());

  // Send reaches only its own stack and gives back what the stack answered.
  c.deviceState = 0x20;
  ULONG_PTR info = 0;
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Send(c.self, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &info));
  EXPECT_EQ(0x20u, info);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, sim::pnp::Send(a.self, IRP_MN_QUERY_INTERFACE, [](PIO_STACK_LOCATION s) {
              s->Parameters.QueryInterface.Version = 1;
            }));
  EXPECT_EQ(Concat(kPlug, {IRP_MN_QUERY_INTERFACE}), fn_.ForPdo(a.self)->log.Pnp());
  EXPECT_EQ(Concat(kPlug, {IRP_MN_QUERY_PNP_DEVICE_STATE}), c.log.Pnp());
  sim::pnp::Unplug(a.self);
  sim::pnp::Unplug(c.self);
}

TEST_F(PnpTest, VerifierStopsMisusedNodes) {
  Pdo &p = PlugStarted();
  EXPECT_DEATH(sim::pnp::Plug(p.self, fn_.Driver()), "already plugged in");
  sim::pnp::Unplug(p.self);
  EXPECT_DEATH(sim::pnp::QueryStop(p.self), "not plugged in");
}

}  // namespace
}  // namespace pnptest
