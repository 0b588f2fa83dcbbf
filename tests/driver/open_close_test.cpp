// Opening and closing the device as applications do: exclusive use across processes, the
// open and close policies, handles that outlive the device, and opens that run out of memory.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/open_handle.h"
#include "driver/core/pool_tags.h"
#include "include/xrusb/interface_guid.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/power.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"
#include "sim/win32/win32.h"

namespace {

using sim::usb::Bus;
using simwin::HANDLE;
using simwin::INVALID_HANDLE_VALUE;
using simwin::ProcessScope;

constexpr GUID kDefaultGuid = XRUSB_DEFAULT_INTERFACE_GUID;

class OpenClose : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
    sim::registry::SetString(key_, u"DriverDeviceBaseName", u"Dev");
  }
  PDEVICE_OBJECT Plug() {
    sim::usb::PlugOptions options;
    options.registryKey = key_;
    pdo_ = Bus::Get().Plug(sim::usb::MakeTestDevice().model, driver_, options);
    dx_ = Dx();
    EXPECT_NE(dx_, nullptr);
    return pdo_;
  }
  DeviceExtension *Dx() const {
    PDEVICE_OBJECT top = sim::StackTop(pdo_);
    return top == pdo_ ? nullptr : static_cast<DeviceExtension *>(top->DeviceExtension);
  }
  // The handle, or INVALID_HANDLE_VALUE with the driver's status in *status.
  static HANDLE Open(NTSTATUS *status = nullptr, DWORD flags = 0) {
    HANDLE h = simwin::CreateFileW(u"\\\\.\\Dev0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                                   nullptr);
    if (status) *status = h == INVALID_HANDLE_VALUE ? simwin::RtlGetLastNtStatus() : STATUS_SUCCESS;
    return h;
  }
  static NTSTATUS Control(HANDLE h, DWORD code) {
    DWORD bytes = 0;
    return simwin::DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &bytes, nullptr) ? STATUS_SUCCESS
                                                                                       : simwin::RtlGetLastNtStatus();
  }
  void ExpectGone() const {
    Bus::Get().Settle();
    EXPECT_EQ(Dx(), nullptr);
    EXPECT_EQ(sim::LookupDeviceByName(u"\\Device\\Dev0"), nullptr);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_TRUE(sim::EnabledInterfaces(kDefaultGuid).empty());
    EXPECT_EQ(Bus::Get().InterfaceReferences(pdo_), 0);
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
    EXPECT_EQ(sim::PoolBlocksOutstanding(), 0u);
  }

  sim::World world_;
  PDRIVER_OBJECT driver_ = nullptr;
  const std::u16string key_ = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\1";
  PDEVICE_OBJECT pdo_ = nullptr;
  DeviceExtension *dx_ = nullptr;
};

TEST_F(OpenClose, ExclusiveUseAcrossProcesses) {
  Plug();
  PEPROCESS a = sim::NewProcess("A"), b = sim::NewProcess("B"), c = sim::NewProcess("C");
  HANDLE a1, a2, b1;
  NTSTATUS status;
  {
    ProcessScope in(a);
    a1 = Open();
    ASSERT_NE(a1, INVALID_HANDLE_VALUE);
  }
  {
    ProcessScope in(b);
    b1 = Open();
    ASSERT_NE(b1, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Control(b1, IOCTL_ACQUIRE_DEVICE), ERR_OPENED_BY_OTHER_PROCESS);
    // Nobody owns the device: releasing it is no one's privilege and succeeds.
    EXPECT_EQ(Control(b1, IOCTL_RELEASE_DEVICE), STATUS_SUCCESS);
  }
  {
    ProcessScope in(a);
    EXPECT_EQ(Control(a1, IOCTL_ACQUIRE_DEVICE), ERR_OPENED_BY_OTHER_PROCESS);
  }
  {
    ProcessScope in(b);
    EXPECT_TRUE(simwin::CloseHandle(b1));
  }
  {
    ProcessScope in(a);
    EXPECT_EQ(Control(a1, IOCTL_ACQUIRE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Control(a1, IOCTL_ACQUIRE_DEVICE), STATUS_SUCCESS) << "the owner again";
    a2 = Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS) << "the owner's further opens";
  }
  {
    ProcessScope in(b);
    EXPECT_EQ(Open(&status), INVALID_HANDLE_VALUE);
    EXPECT_EQ(status, ERR_DEVICE_ACQUIRED);
    EXPECT_EQ(simwin::GetLastError(), 0xE0001020u) << "driver codes reach the application unchanged";
  }
  {
    ProcessScope in(a);
    EXPECT_EQ(Control(a1, IOCTL_RELEASE_DEVICE), STATUS_SUCCESS);
  }
  {
    ProcessScope in(b);
    b1 = Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS) << "released";
    EXPECT_TRUE(simwin::CloseHandle(b1));
  }
  {
    ProcessScope in(a);
    EXPECT_EQ(Control(a1, IOCTL_ACQUIRE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(simwin::CloseHandle(a1));
  }
  {
    ProcessScope in(c);
    EXPECT_EQ(Open(&status), INVALID_HANDLE_VALUE) << "one of the owner's handles is still open";
    EXPECT_EQ(status, ERR_DEVICE_ACQUIRED);
  }
  {
    ProcessScope in(a);
    EXPECT_TRUE(simwin::CloseHandle(a2));
  }
  EXPECT_EQ(dx_->exclusiveOwner, nullptr);
  {
    ProcessScope in(c);
    HANDLE c1 = Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS) << "the owner's last close ended exclusive use";
    EXPECT_TRUE(simwin::CloseHandle(c1));
  }
  EXPECT_EQ(dx_->openHandleCount, 0);
  EXPECT_EQ(dx_->referenceCount, 1);
  EXPECT_TRUE(IsListEmpty(&dx_->openHandleList));
  Bus::Get().Unplug(pdo_);
  ExpectGone();
}

TEST_F(OpenClose, SystemRequiredWhileOpenOnlyForMinPowerStateUsedD0) {
  struct Row {
    const char *name;
    int minPowerStateUsed;  // -1: registry default (3)
    size_t whileOpen;
  };
  const Row rows[] = {{"D0", 0, 1}, {"default", -1, 0}, {"D2", 2, 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    sim::registry::DeleteValue(key_, u"MinPowerStateUsed");
    if (r.minPowerStateUsed >= 0) sim::registry::SetDword(key_, u"MinPowerStateUsed", ULONG(r.minPowerStateUsed));
    Plug();
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
    HANDLE h1 = Open(), h2 = Open();
    ASSERT_NE(h1, INVALID_HANDLE_VALUE);
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::power::SystemStateRegistrations(), r.whileOpen) << "one registration for both handles";
    EXPECT_TRUE(simwin::CloseHandle(h1));
    EXPECT_EQ(sim::power::SystemStateRegistrations(), r.whileOpen) << "not the last close";
    EXPECT_TRUE(simwin::CloseHandle(h2));
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
    EXPECT_EQ(dx_->systemStateHandle, nullptr);
    EXPECT_EQ(sim::power::DeclaredState(dx_->deviceObject), PowerDeviceD0);
    Bus::Get().Unplug(pdo_);
    ExpectGone();
  }
}

TEST_F(OpenClose, HandlesOutliveTheDevice) {
  // Surprise removal: the handle stays usable but the device is gone; the removal follows its close.
  Plug();
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Bus::Get().Unplug(pdo_);
  EXPECT_EQ(dx_->pnpState, PNP_SURPRISE_REMOVED);
  EXPECT_EQ(Control(h, IOCTL_RELEASE_DEVICE), ERR_DEVICE_NOT_PRESENT);
  EXPECT_TRUE(simwin::CloseHandle(h));
  ExpectGone();

  // Removal while handles are open (a disable does not wait for them): the last close deletes.
  Plug();
  HANDLE h1 = Open(), h2 = Open();
  ASSERT_NE(h2, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim::pnp::Disable(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(dx_->pnpState, PNP_REMOVED);
  EXPECT_EQ(dx_->referenceCount, 2) << "the two handles' references";
  EXPECT_TRUE(simwin::CloseHandle(h1));
  EXPECT_EQ(Dx(), dx_);
  EXPECT_TRUE(simwin::CloseHandle(h2));
  EXPECT_EQ(Dx(), nullptr) << "deleted by the close";
  ExpectGone();
}

TEST_F(OpenClose, CleanupOfAnUnboundHandleChangesNothing) {
  Plug();
  HANDLE h = Open();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_FALSE(IsListEmpty(&dx_->openHandleList));
  OpenHandle *record = CONTAINING_RECORD(dx_->openHandleList.Flink, OpenHandle, link);
  PFILE_OBJECT fileObject = record->fileObject;
  const OpenHandle before = *record;
  const uint64_t blocks = sim::PoolBlocksOutstanding();

  EXPECT_EQ(sim::SendIrpAndWait(dx_->deviceObject,
                                [&](PIRP irp, PIO_STACK_LOCATION first) {
                                  irp->Tail.Overlay.OriginalFileObject = fileObject;
                                  first->MajorFunction = IRP_MJ_CLEANUP;
                                  first->FileObject = fileObject;
                                }),
            STATUS_SUCCESS);
  EXPECT_EQ(fileObject->FsContext, record);
  EXPECT_EQ(memcmp(&before, record, sizeof before), 0);
  EXPECT_EQ(dx_->openHandleCount, 1);
  EXPECT_EQ(dx_->referenceCount, 2);
  EXPECT_EQ(sim::PoolBlocksOutstanding(), blocks);
  EXPECT_EQ(Control(h, IOCTL_ACQUIRE_DEVICE), STATUS_SUCCESS) << "the handle still works";

  EXPECT_TRUE(simwin::CloseHandle(h));
  EXPECT_EQ(dx_->exclusiveOwner, nullptr);
  Bus::Get().Unplug(pdo_);
  ExpectGone();
}

TEST_F(OpenClose, OpenWithoutMemoryLeavesNothingBehind) {
  sim::registry::SetDword(key_, u"MinPowerStateUsed", 0);  // the first open registers
  Plug();
  const uint64_t blocks = sim::PoolBlocksOutstanding();
  for (sim::AllocKind kind : {sim::AllocKind::Pool, sim::AllocKind::Irp, sim::AllocKind::Mdl}) {
    sim::FailSystematically(kind);
    int failures = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 20 && h == INVALID_HANDLE_VALUE; ++attempt) {
      NTSTATUS status;
      h = Open(&status);
      if (h != INVALID_HANDLE_VALUE) break;
      ++failures;
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(dx_->openHandleCount, 0);
      EXPECT_EQ(dx_->referenceCount, 1);
      EXPECT_TRUE(IsListEmpty(&dx_->openHandleList));
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
  Bus::Get().Unplug(pdo_);
  ExpectGone();
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
    ExpectGone();
  }
}

// Opens and control codes racing the surprise removal. A handle held across it keeps the
// removal back until the end, as the system does for a device with open handles.
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
          EXPECT_TRUE(simwin::RtlGetLastNtStatus() == STATUS_DELETE_PENDING ||
                      simwin::RtlGetLastNtStatus() == STATUS_NO_SUCH_DEVICE ||
                      simwin::RtlGetLastNtStatus() == STATUS_OBJECT_NAME_NOT_FOUND)
              << std::hex << simwin::RtlGetLastNtStatus();
          ++refused;
          continue;
        }
        ++opened;
        const NTSTATUS status = Control(h, IOCTL_ACQUIRE_DEVICE);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == ERR_DEVICE_NOT_PRESENT) << std::hex << status;
        EXPECT_TRUE(simwin::CloseHandle(h));
      }
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
    Bus::Get().Unplug(pdo_);
    opener.join();
    EXPECT_EQ(opened + refused, 100);
    ExpectGone();
  }
}

}  // namespace
