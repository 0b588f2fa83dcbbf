// Switching one interface to another alternate setting as an application does it, checked
// against the device's own view, the selections the bus saw and the driver's records.
#include <cstring>
#include <vector>

#include "driver/core/pool_tags.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/pnp.h"

namespace {

using sim::usb::TraceEntry;
namespace td = sim::usb::test_device;

// The bus's USBD_STATUS_INTERFACE_NOT_FOUND as callers see it.
constexpr NTSTATUS kBusInterfaceNotFound = NTSTATUS(0xE0004000);

class AlternateSetting : public xrtest::PluggedDevice {
 protected:
  // Interface 1 at 'alternate', between interfaces 0 and 2.
  void Configure(uint16_t alternate) {
    ASSERT_EQ(PluggedDevice::Configure(0, {{0, 0, 4096}, {1, alternate, 512}, {2, 0, 64}}), STATUS_SUCCESS);
  }
  NTSTATUS Switch(uint16_t number, uint16_t alternate, uint32_t maxTransfer) {
    const InterfaceSetting s{number, alternate, maxTransfer};
    const xrtest::Result r = Send(IOCTL_SET_INTERFACE, &s, sizeof s);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(sim::PoolUsage(TAG_ALTERNATE_SETTING).blocksOutstanding, 0u);
    return r.status;
  }
  // The select-interface requests the bus saw since the last look; what they selected shows in
  // the device.
  size_t Selections() {
    size_t n = 0;
    for (const TraceEntry &t : TakeTrace()) n += t.function == URB_FUNCTION_SELECT_INTERFACE;
    return n;
  }
  uint8_t DeviceAlternate(uint8_t number) { return device_.state->Snapshot().alternateSettings[number]; }
  std::vector<PipeContext *> PipesOf(uint8_t number) {
    std::vector<PipeContext *> out;
    for (PLIST_ENTRY e = dx_->pipeList.Flink; e != &dx_->pipeList; e = e->Flink) {
      PipeContext *p = CONTAINING_RECORD(e, PipeContext, listEntry);
      if (p->owningInterface->interfaceInfo.InterfaceNumber == number) out.push_back(p);
    }
    return out;
  }
};

TEST_F(AlternateSetting, SwitchAndBackLeavesOtherInterfacesAlone) {
  Configure(0);
  const std::vector<PipeContext *> zeroPipes = PipesOf(0), twoPipes = PipesOf(2);

  ASSERT_EQ(Switch(1, 2, 0x3000), STATUS_SUCCESS);
  EXPECT_EQ(Selections(), 1u);
  EXPECT_EQ(DeviceAlternate(1), 2);
  // The switched interface comes last.
  ExpectRecords(0, {{0, 0, 4096}, {2, 0, 64}, {1, 2, 0x3000}});
  EXPECT_EQ(PipesOf(0), zeroPipes) << "the same records, not new ones";
  EXPECT_EQ(PipesOf(2), twoPipes);

  // A handle on interface 0 keeps its pipe; one on interface 1 loses it.
  handles_.push_back(Open());
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(handles_[0], td::kIsoIn), STATUS_SUCCESS);
  ASSERT_EQ(Switch(1, 0, 0x3000), STATUS_SUCCESS);
  EXPECT_EQ(Selections(), 1u);
  EXPECT_EQ(DeviceAlternate(1), 0);
  EXPECT_EQ(Send(handles_[0], IOCTL_UNBIND_PIPE).status, ERR_NOT_BOUND);
  EXPECT_NE(PipeAt(td::kSourceIn)->boundHandle, nullptr);
  ExpectRecords(0, {{0, 0, 4096}, {2, 0, 64}, {1, 0, 0x3000}});
  EXPECT_EQ(PipesOf(0), zeroPipes);
}

// Refused before anything is dropped: the records and the device stay as they were.
TEST_F(AlternateSetting, RefusalsChangeNothing) {
  EXPECT_EQ(Switch(1, 2, 64), ERR_NOT_CONFIGURED);
  Configure(1);
  const ConfigurationInfo before = Info();
  // 0x0101: only the interface number's low byte is recorded, and the whole is compared.
  for (uint16_t number : {3, 0x0101}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(Switch(number, 2, 64), ERR_INTERFACE_NOT_FOUND);
    const ConfigurationInfo after = Info();
    EXPECT_EQ(memcmp(&after, &before, sizeof before), 0);
  }
  EXPECT_EQ(Selections(), 0u);
  EXPECT_EQ(DeviceAlternate(1), 1);
}

// Once the interface is found its records go first, so any later failure leaves it unrecorded
// until the next configuration; the other interfaces keep theirs.
TEST_F(AlternateSetting, FailuresAfterTheDropLeaveTheInterfaceUnrecorded) {
  struct Row {
    const char *name;
    void (*arrange)(DeviceExtension *);
    NTSTATUS expect;
    size_t selections;
  };
  const Row rows[] = {
      {"a setting the device lacks", [](DeviceExtension *) {}, kBusInterfaceNotFound, 1},
      {"no memory for the request",
       [](DeviceExtension *) { sim::FailNth(sim::AllocKind::Pool, 1, TAG_ALTERNATE_SETTING); }, ERR_NO_MEMORY, 0},
      {"requests blocked", [](DeviceExtension *dx) { dx->requestsBlocked = TRUE; }, ERR_DEVICE_NOT_READY, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Configure(2);
    row.arrange(dx_);
    EXPECT_EQ(Switch(1, 4, 64), row.expect);
    dx_->requestsBlocked = FALSE;
    EXPECT_EQ(Selections(), row.selections);
    EXPECT_TRUE(dx_->configured);
    ExpectRecords(0, {{0, 0, 4096}, {2, 0, 64}});
    EXPECT_EQ(Switch(1, 2, 64), ERR_INTERFACE_NOT_FOUND);
    EXPECT_EQ(DeviceAlternate(1), 2) << "the device keeps the setting it had";
    ASSERT_EQ(Send(IOCTL_UNCONFIGURE_DEVICE, nullptr, 0).status, STATUS_SUCCESS);
  }
}

// A read held in the driver's queue ends with its pipe's interface, also when its handle unbound
// meanwhile: sent later it would go out on a pipe the driver no longer knows, beyond every abort.
// Another interface's switch leaves it queued.
TEST_F(AlternateSetting, SwitchEndsTheReadsQueuedOnItsPipes) {
  Configure(1);  // interface 1 with its isochronous pipes
  ASSERT_EQ(BindPipe(h_, td::kLoopbackIn), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  auto read = Start(h_, true, std::vector<uint8_t>(64));
  ASSERT_EQ(Send(IOCTL_UNBIND_PIPE, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Switch(1, 0, 512), ERR_DEVICE_NOT_READY);
  EXPECT_FALSE(simwin::HasOverlappedIoCompleted(&read->o)) << "ended by another interface's switch";
  EXPECT_EQ(Switch(0, 0, 4096), ERR_DEVICE_NOT_READY);
  const bool ended = simwin::HasOverlappedIoCompleted(&read->o);
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
  if (!ended) Unplug();  // ends the read, which must not outlive its buffer
  ASSERT_TRUE(ended) << "the read stayed queued on a released pipe";
  EXPECT_EQ(Finish(h_, *read), (xrtest::Result{STATUS_CANCELLED, 0}));
}

}  // namespace
