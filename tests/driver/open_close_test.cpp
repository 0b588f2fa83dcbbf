// Opening and closing the device as applications do: exclusive use across processes, the
// open and close policies, handles that outlive the device, and opens that run out of memory.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/pnp.h"

namespace {

using simwin::HANDLE;
using simwin::INVALID_HANDLE_VALUE;
using simwin::ProcessScope;
using xrtest::DeviceAbove;

class OpenClose : public xrtest::PluggedDevice {
 protected:
  OpenClose() : PluggedDevice(false) { openOnPlug_ = false; }
};

TEST_F(OpenClose, ExclusiveUseAcrossProcesses) {
  Plug();
  PEPROCESS a = sim::NewProcess("A"), b = sim::NewProcess("B"), c = sim::NewProcess("C");
  HANDLE a1, a2, b1;
  ASSERT_EQ(OpenIn(a, &a1), STATUS_SUCCESS);
  ASSERT_EQ(OpenIn(b, &b1), STATUS_SUCCESS);
  EXPECT_EQ(SendIn(b, b1, IOCTL_ACQUIRE_DEVICE), ERR_OPENED_BY_OTHER_PROCESS);
  // Nobody owns the device: releasing it is no one's privilege and succeeds.
  EXPECT_EQ(SendIn(b, b1, IOCTL_RELEASE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(SendIn(a, a1, IOCTL_ACQUIRE_DEVICE), ERR_OPENED_BY_OTHER_PROCESS);
  CloseIn(b, b1);

  EXPECT_EQ(SendIn(a, a1, IOCTL_ACQUIRE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(SendIn(a, a1, IOCTL_ACQUIRE_DEVICE), STATUS_SUCCESS) << "the owner again";
  EXPECT_EQ(OpenIn(a, &a2), STATUS_SUCCESS) << "the owner's further opens";
  EXPECT_EQ(OpenIn(b), ERR_DEVICE_ACQUIRED);
  EXPECT_EQ(simwin::GetLastError(), 0xE0001020u) << "driver codes reach the application unchanged";
  EXPECT_EQ(SendIn(a, a1, IOCTL_RELEASE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(OpenIn(b), STATUS_SUCCESS) << "released";

  EXPECT_EQ(SendIn(a, a1, IOCTL_ACQUIRE_DEVICE), STATUS_SUCCESS);
  CloseIn(a, a1);
  EXPECT_EQ(OpenIn(c), ERR_DEVICE_ACQUIRED) << "one of the owner's handles is still open";
  CloseIn(a, a2);
  EXPECT_EQ(OpenIn(c), STATUS_SUCCESS) << "the owner's last close ended exclusive use";
  UnplugExpectingNothingLeft();
}

TEST_F(OpenClose, SystemRequiredWhileOpenOnlyForMinPowerStateUsedD0) {
  struct Row {
    const char *name;
    Values values;
    size_t whileOpen;
  };
  const Row rows[] = {
      {"D0", {{u"MinPowerStateUsed", 0}}, 1}, {"default", {}, 0}, {"D2", {{u"MinPowerStateUsed", 2}}, 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    Plug(r.values);
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
    HANDLE h1 = Open(), h2 = Open();
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::power::SystemStateRegistrations(), r.whileOpen) << "one registration for both handles";
    EXPECT_TRUE(simwin::CloseHandle(h1));
    EXPECT_EQ(sim::power::SystemStateRegistrations(), r.whileOpen) << "not the last close";
    EXPECT_TRUE(simwin::CloseHandle(h2));
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
    EXPECT_EQ(sim::power::DeclaredState(dx_->deviceObject), PowerDeviceD0);
    UnplugExpectingNothingLeft();
  }
}

TEST_F(OpenClose, HandlesOutliveTheDevice) {
  // Surprise removal: the handle stays usable but the device is gone; the removal follows its close.
  Plug();
  HANDLE h = Open();
  Remove();
  EXPECT_EQ(dx_->pnpState, PNP_SURPRISE_REMOVED);
  EXPECT_EQ(Send(h, IOCTL_RELEASE_DEVICE).status, ERR_DEVICE_NOT_PRESENT);
  EXPECT_TRUE(simwin::CloseHandle(h));
  ExpectGone(pdo_);

  // Removal while handles are open (a disable does not wait for them): what the bus lent goes at
  // once, the record with the last close.
  Plug();
  HANDLE h1 = Open(), h2 = Open();
  ASSERT_NE(h2, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim::pnp::Disable(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(dx_->pnpState, PNP_REMOVED);
  EXPECT_EQ(sim::usb::Bus::Get().InterfaceReferences(pdo_), 0);
  EXPECT_TRUE(sim::EnabledInterfaces(XRUSB_DEFAULT_INTERFACE_GUID).empty());
  // A second removal is refused before it takes a reference, so none is dropped twice.
  EXPECT_EQ(sim::pnp::Send(pdo_, IRP_MN_REMOVE_DEVICE), STATUS_DELETE_PENDING);
  EXPECT_TRUE(simwin::CloseHandle(h1));
  EXPECT_EQ(DeviceAbove(pdo_), dx_);
  EXPECT_TRUE(simwin::CloseHandle(h2));
  EXPECT_EQ(DeviceAbove(pdo_), nullptr) << "deleted by the close";
  ExpectGone(pdo_);
}

TEST_F(OpenClose, OpenWithoutMemoryLeavesNothingBehind) {
  Plug({{u"MinPowerStateUsed", 0}});  // the first open registers
  const uint64_t blocks = sim::PoolBlocksOutstanding();
  for (sim::AllocKind kind : {sim::AllocKind::Pool, sim::AllocKind::Irp, sim::AllocKind::Mdl}) {
    sim::FailSystematically(kind);
    int failures = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (; failures < 20 && (h = Open()) == INVALID_HANDLE_VALUE; ++failures) {
      EXPECT_EQ(simwin::RtlGetLastNtStatus(), STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(dx_->openHandleCount, 0);
      EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
      EXPECT_EQ(sim::PoolBlocksOutstanding(), blocks);
    }
    sim::ClearFaults();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    if (kind == sim::AllocKind::Pool) {
      EXPECT_EQ(failures, 1) << "the handle record is the open's one allocation";
    }
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 1u);
    EXPECT_TRUE(simwin::CloseHandle(h));
    EXPECT_EQ(sim::PoolBlocksOutstanding(), blocks);
  }
  UnplugExpectingNothingLeft();
}

// Closes racing the removal that a disable sends while they are open: whichever drops the last
// reference tears the device down, once.
TEST_F(OpenClose, CloseDuringRemovalConcurrency) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    Plug();
    std::vector<HANDLE> handles;
    for (int i = 0; i < 3; ++i) handles.push_back(Open());
    for (HANDLE h : handles) ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::thread closer([&] {
      for (HANDLE h : handles) EXPECT_TRUE(simwin::CloseHandle(h));
    });
    EXPECT_EQ(sim::pnp::Disable(pdo_), STATUS_SUCCESS);
    closer.join();
    ExpectGone(pdo_);
  }
}

// Opens racing an unplug: each open either gets in before the removal begins (and its handle keeps
// the record alive until it closes) or is refused by the I/O manager; the device goes away with
// the last close, whichever it is.
TEST_F(OpenClose, RemovalDuringOpenConcurrency) {
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    Plug();
    PEPROCESS app = sim::NewProcess("app");
    std::atomic<bool> started{false};
    std::atomic<int> opened{0}, refused{0};
    std::thread opener([&] {
      ProcessScope in(app);
      for (int i = 0; i < 100; ++i) {
        HANDLE h = Open();
        started = true;
        if (h == INVALID_HANDLE_VALUE) {
          const NTSTATUS s = simwin::RtlGetLastNtStatus();
          EXPECT_TRUE(s == STATUS_DELETE_PENDING || s == STATUS_NO_SUCH_DEVICE || s == STATUS_OBJECT_NAME_NOT_FOUND)
              << std::hex << s;
          ++refused;
          continue;
        }
        ++opened;
        const NTSTATUS status = Send(h, IOCTL_ACQUIRE_DEVICE).status;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == ERR_DEVICE_NOT_PRESENT) << std::hex << status;
        EXPECT_TRUE(simwin::CloseHandle(h));
      }
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
    Remove();
    opener.join();
    EXPECT_EQ(opened + refused, 100);
    ExpectGone(pdo_);
  }
}

}  // namespace
