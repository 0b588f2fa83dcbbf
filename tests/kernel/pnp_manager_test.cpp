// The Plug and Play manager: the sequences of requests a device stack lives through. Several stacks
// side by side the power manager's tests and the library's enumeration test show; an unplug racing
// the last close, the driver's open and close tests.
#include <algorithm>
#include <thread>

#include "pnp_test_drivers.h"
#include "sim/win32/win32.h"

namespace pnptest {
namespace {

using sim::pnp::NodeState;
using Minors = std::vector<UCHAR>;

Minors Concat(Minors a, const Minors &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// What the physical device object alone is asked before a driver is loaded for it, then what the
// stack sees from the filtering of its resource requirements on.
const Minors kIdentify = {IRP_MN_QUERY_ID,           IRP_MN_QUERY_CAPABILITIES,       IRP_MN_QUERY_ID,
                          IRP_MN_QUERY_DEVICE_TEXT,  IRP_MN_QUERY_DEVICE_TEXT,        IRP_MN_QUERY_ID,
                          IRP_MN_QUERY_ID,           IRP_MN_QUERY_BUS_INFORMATION,    IRP_MN_QUERY_RESOURCES,
                          IRP_MN_QUERY_RESOURCE_REQUIREMENTS};
const Minors kStart = {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                       IRP_MN_QUERY_DEVICE_RELATIONS};
const Minors kPlug = Concat(Concat(kIdentify, {IRP_MN_FILTER_RESOURCE_REQUIREMENTS}), kStart);
Minors Tail(PDEVICE_OBJECT pdo, size_t n) {
  Minors sent = sim::pnp::Sent(pdo);
  return Minors(sent.end() - std::min(n, sent.size()), sent.end());
}
HANDLE Open(Pdo &p) {
  return simwin::CreateFileW(p.link.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST_F(PnpTest, PlugStartsAndQueriesThenUnplugWithoutHandlesRemovesAtOnce) {
  Pdo &p = bus_.Add();
  p.deviceState = PNP_DEVICE_DONT_DISPLAY_IN_UI;
  sim::pnp::PlugResult r = sim::pnp::Plug(p.self, fn_);
  ASSERT_EQ(STATUS_SUCCESS, r.addDevice);
  EXPECT_EQ(STATUS_SUCCESS, r.start);
  ASSERT_NE(nullptr, p.self->AttachedDevice);
  EXPECT_EQ(p.self->AttachedDevice, r.top);
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  EXPECT_EQ(kPlug, sim::pnp::Sent(p.self));
  // The capability record arrives initialised as Windows does it; the bus's answer is kept.
  EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), p.received.Size);
  EXPECT_EQ(1, p.received.Version);
  EXPECT_EQ(0xFFFFFFFFu, p.received.Address);
  EXPECT_EQ(0xFFFFFFFFu, p.received.UINumber);
  EXPECT_EQ(PowerDeviceUnspecified, p.received.DeviceState[PowerSystemWorking]);
  DEVICE_CAPABILITIES caps = sim::pnp::Capabilities(p.self);
  EXPECT_EQ(3u, caps.Address);
  EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemSleeping3]);
  EXPECT_EQ(ULONG(PNP_DEVICE_DONT_DISPLAY_IN_UI), sim::pnp::DeviceState(p.self));

  sim::pnp::Unplug(p.self);
  EXPECT_EQ(Concat(kPlug, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), p.log.Pnp());
  EXPECT_EQ(NodeState::Removed, sim::pnp::State(p.self));
  for (const Seen &s : p.log.All()) EXPECT_TRUE(s.systemThread && s.irql == PASSIVE_LEVEL);
  // The function device is gone; the physical one is still the bus's.
  EXPECT_EQ(nullptr, p.self->AttachedDevice);
  EXPECT_EQ(nullptr, fn_->DeviceObject);
  // Unplugging what is gone sends nothing.
  sim::pnp::Unplug(p.self);
  EXPECT_EQ(kPlug.size() + 2, sim::pnp::Sent(p.self).size());
}

TEST_F(PnpTest, FailedAddDeviceLeavesNodeFailedAndFailedStartOrRestartIsFollowedByRemoval) {
  g_addStatus = STATUS_INSUFFICIENT_RESOURCES;
  Pdo &a = bus_.Add();
  sim::pnp::PlugResult r = sim::pnp::Plug(a.self, fn_);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.addDevice);
  EXPECT_FALSE(NT_SUCCESS(r.start));
  EXPECT_EQ(NodeState::Failed, sim::pnp::State(a.self));
  EXPECT_EQ(kIdentify, a.log.Pnp());

  g_addStatus = STATUS_SUCCESS;
  Pdo &b = bus_.Add();
  b.startStatus = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, sim::pnp::Plug(b.self, fn_).start);
  EXPECT_EQ(NodeState::Failed, sim::pnp::State(b.self));
  EXPECT_EQ(nullptr, b.self->AttachedDevice);
  // A failed node gets nothing at unplug, and can be plugged again.
  sim::pnp::Unplug(b.self);
  Minors failed = Concat(kIdentify, {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE});
  EXPECT_EQ(failed, b.log.Pnp());
  b.startStatus = STATUS_SUCCESS;
  sim::pnp::Plug(b.self, fn_);
  EXPECT_EQ(NodeState::Started, sim::pnp::State(b.self));
  EXPECT_EQ(Concat(failed, kPlug), sim::pnp::Sent(b.self));
  // A restart that fails takes the stack down too.
  b.startStatus = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, sim::pnp::Rebalance(b.self));
  EXPECT_EQ(Minors({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}),
            Tail(b.self, 4));
  EXPECT_EQ(NodeState::Failed, sim::pnp::State(b.self));
  EXPECT_EQ(nullptr, b.self->AttachedDevice);
}

TEST_F(PnpTest, UnplugWithOpenHandlesRemovesAfterTheLastClose) {
  Pdo &p = PlugStarted();
  EXPECT_EQ(0u, sim::pnp::DeviceState(p.self));  // nobody answered the query: no flags
  HANDLE h1 = Open(p), h2 = Open(p);
  ASSERT_NE(simwin::INVALID_HANDLE_VALUE, h1);
  ASSERT_NE(simwin::INVALID_HANDLE_VALUE, h2);

  sim::pnp::Unplug(p.self);
  EXPECT_EQ(NodeState::SurpriseRemoved, sim::pnp::State(p.self));
  EXPECT_TRUE(sim::pnp::StartedStacks().empty());
  // A second unplug does not repeat the surprise removal; one close of two removes nothing.
  sim::pnp::Unplug(p.self);
  EXPECT_TRUE(simwin::CloseHandle(h1));
  sim::pnp::Settle();
  EXPECT_EQ(Concat(kPlug, {IRP_MN_SURPRISE_REMOVAL}), sim::pnp::Sent(p.self));

  EXPECT_TRUE(simwin::CloseHandle(h2));
  sim::pnp::Settle();
  EXPECT_EQ(Concat(kPlug, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), sim::pnp::Sent(p.self));
  EXPECT_EQ(NodeState::Removed, sim::pnp::State(p.self));
  EXPECT_EQ(0, p.opensAtRemove);  // both closes reached the driver first
  EXPECT_TRUE(p.log.All().back().systemThread);
}

TEST_F(PnpTest, DisableAndRebalanceWithAndWithoutVeto) {
  Pdo &p = PlugStarted();
  p.vetoQueryRemove = p.vetoQueryStop = true;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::Disable(p.self));  // the driver's status
  EXPECT_EQ(Minors({IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}), Tail(p.self, 2));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::pnp::Rebalance(p.self));
  EXPECT_EQ(Minors({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}), Tail(p.self, 2));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));

  p.vetoQueryStop = false;
  p.deviceState = PNP_DEVICE_NOT_DISABLEABLE;
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Rebalance(p.self));
  EXPECT_EQ(Concat({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, kStart), Tail(p.self, 6));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  EXPECT_EQ(ULONG(PNP_DEVICE_NOT_DISABLEABLE), sim::pnp::DeviceState(p.self));  // queried anew
  // A device that says it cannot be disabled is not asked.
  const size_t sent = sim::pnp::Sent(p.self).size();
  sim::pnp::Veto veto = sim::pnp::Veto::None;
  EXPECT_EQ(STATUS_PLUGPLAY_QUERY_VETOED, sim::pnp::Disable(p.self, &veto));
  EXPECT_EQ(sim::pnp::Veto::NonDisableable, veto);
  EXPECT_EQ(sent, sim::pnp::Sent(p.self).size());
  p.deviceState.reset();
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Rebalance(p.self));

  // The vetoable halves alone.
  HANDLE h = Open(p);
  ASSERT_NE(simwin::INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryStop(p.self));
  EXPECT_EQ(NodeState::StopPending, sim::pnp::State(p.self));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelStop(p.self));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  p.vetoQueryRemove = false;
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::QueryRemove(p.self));
  EXPECT_EQ(NodeState::RemovePending, sim::pnp::State(p.self));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::CancelRemove(p.self));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  HANDLE again = Open(p);  // a cancelled removal leaves the device open to applications
  ASSERT_NE(simwin::INVALID_HANDLE_VALUE, again);
  EXPECT_TRUE(simwin::CloseHandle(again));

  // A handle still open after the query vetoes the disable (PNP_VetoOutstandingOpen); once it is
  // closed the removal goes through.
  EXPECT_EQ(STATUS_PLUGPLAY_QUERY_VETOED, sim::pnp::Disable(p.self, &veto));
  EXPECT_EQ(sim::pnp::Veto::OutstandingOpen, veto);
  EXPECT_EQ(Minors({IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}),
            Tail(p.self, 3));
  EXPECT_EQ(NodeState::Started, sim::pnp::State(p.self));
  EXPECT_TRUE(simwin::CloseHandle(h));
  EXPECT_EQ(STATUS_SUCCESS, sim::pnp::Disable(p.self, &veto));
  EXPECT_EQ(sim::pnp::Veto::None, veto);
  EXPECT_EQ(Minors({IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}), Tail(p.self, 3));
  EXPECT_EQ(NodeState::Removed, sim::pnp::State(p.self));
  EXPECT_EQ(0, p.opensAtRemove);
}

TEST_F(PnpTest, VerifierStopsMisusedNodes) {
  Pdo &p = PlugStarted();
  EXPECT_DEATH(sim::pnp::Plug(p.self, fn_), "already plugged in");
  sim::pnp::Unplug(p.self);
  EXPECT_DEATH(sim::pnp::QueryStop(p.self), "not plugged in");
}

}  // namespace
}  // namespace pnptest
