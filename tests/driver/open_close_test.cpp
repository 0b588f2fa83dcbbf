// Opening and closing the device as applications do: exclusive use across processes, the
// open and close policies, handles that outlive the device, opens refused while it goes, and
// opens that run out of memory.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/pnp.h"
#include "tests/support/await.h"

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

// The first open and the last close set the device's power state; the system-required
// registration stands exactly while the minimum state of the moment (in use, unused) is D0,
// over more than one open and close.
TEST_F(OpenClose, PowerPoliciesOfFirstOpenAndLastClose) {
  struct Row {
    const char *name;
    Values values;
    DEVICE_POWER_STATE open, closed;
    size_t whileOpen, whileClosed;
  };
  const Row rows[] = {{"defaults", {}, PowerDeviceD0, PowerDeviceD0, 0, 0},
                      {"D2 in use", {{u"PowerStateOnOpen", 2}}, PowerDeviceD2, PowerDeviceD0, 0, 0},
                      {"D3 unused", {{u"PowerStateOnClose", 3}}, PowerDeviceD0, PowerDeviceD3, 0, 0},
                      {"used D0", {{u"MinPowerStateUsed", 0}}, PowerDeviceD0, PowerDeviceD0, 1, 0},
                      {"unused D0", {{u"MinPowerStateUnused", 0}}, PowerDeviceD0, PowerDeviceD0, 1, 1}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    Plug(r.values);
    for (int cycle = 0; cycle < 2; ++cycle) {
      HANDLE h1 = Open(), h2 = Open();
      ASSERT_NE(h2, INVALID_HANDLE_VALUE);
      EXPECT_EQ(sim::usb::Bus::Get().PowerState(pdo_), r.open);
      EXPECT_EQ(sim::power::SystemStateRegistrations(), r.whileOpen) << "one registration for both handles";
      EXPECT_TRUE(simwin::CloseHandle(h1));
      EXPECT_EQ(sim::power::SystemStateRegistrations(), r.whileOpen) << "not the last close";
      EXPECT_TRUE(simwin::CloseHandle(h2));
      EXPECT_EQ(sim::power::SystemStateRegistrations(), r.whileClosed);
      EXPECT_EQ(sim::power::DeclaredState(dx_->deviceObject), r.closed);
    }
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

  // A disable while handles are open is vetoed and cancelled; the handles go on working, and the
  // disable succeeds once they are closed.
  Plug();
  HANDLE h1 = Open(), h2 = Open();
  ASSERT_NE(h2, INVALID_HANDLE_VALUE);
  sim::pnp::Veto veto = sim::pnp::Veto::None;
  EXPECT_EQ(sim::pnp::Disable(pdo_, &veto), STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_EQ(veto, sim::pnp::Veto::OutstandingOpen);
  EXPECT_EQ(dx_->pnpState, PNP_STARTED);
  EXPECT_EQ(Send(h1, IOCTL_ACQUIRE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(simwin::CloseHandle(h1));
  EXPECT_TRUE(simwin::CloseHandle(h2));
  EXPECT_EQ(sim::pnp::Disable(pdo_), STATUS_SUCCESS);
  ExpectGone(pdo_);
}

// The I/O manager lets creates through after a query remove and a surprise removal: the driver
// refuses them itself with STATUS_DELETE_PENDING, until a cancel remove.
TEST_F(OpenClose, CreatesRefusedWhileTheDeviceIsGoing) {
  struct Row {
    const char *what;
    std::function<void()> go, back;  // back: none, the device stays gone
  };
  const Row rows[] = {
      {"query remove", [&] { EXPECT_EQ(sim::pnp::QueryRemove(pdo_), STATUS_SUCCESS); },
       [&] { EXPECT_EQ(sim::pnp::CancelRemove(pdo_), STATUS_SUCCESS); }},
      {"surprise removal", [&] { Remove(); }, nullptr},
      // A removal that finds a handle open; a second one is refused before it takes a reference,
      // so none is dropped twice.
      {"removal",
       [&] {
         EXPECT_EQ(sim::pnp::Send(pdo_, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
         EXPECT_EQ(sim::pnp::Send(pdo_, IRP_MN_REMOVE_DEVICE), STATUS_DELETE_PENDING);
       },
       nullptr},
  };
  PEPROCESS app = sim::NewProcess("app");
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    Plug();
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    r.go();
    EXPECT_EQ(OpenIn(app), STATUS_DELETE_PENDING);
    EXPECT_EQ(dx_->openHandleCount, 1);
    if (r.back) {
      r.back();
      EXPECT_EQ(OpenIn(app), STATUS_SUCCESS);
    }
    EXPECT_TRUE(simwin::CloseHandle(h));
    UnplugExpectingNothingLeft();
  }
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

// Closes racing a disable: it is vetoed while a handle is still open after its query, else the
// removal follows the last close; either way the device goes once, whole.
TEST_F(OpenClose, CloseDuringDisableConcurrency) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    Plug();
    std::vector<HANDLE> handles;
    for (int i = 0; i < 3; ++i) handles.push_back(Open());
    for (HANDLE h : handles) ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::thread closer([&] {
      for (HANDLE h : handles) EXPECT_TRUE(simwin::CloseHandle(h));
    });
    const NTSTATUS first = sim::pnp::Disable(pdo_);
    closer.join();
    if (first != STATUS_SUCCESS) {
      EXPECT_EQ(first, STATUS_PLUGPLAY_QUERY_VETOED);
      EXPECT_EQ(sim::pnp::Disable(pdo_), STATUS_SUCCESS);
    }
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
    ASSERT_TRUE(support::AwaitUntil([&] { return started.load(); }));
    std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
    Remove();
    opener.join();
    EXPECT_EQ(opened + refused, 100);
    ExpectGone(pdo_);
  }
}

}  // namespace
