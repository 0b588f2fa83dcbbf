// The port and bus queries as an application sends them, against the bus's own answers, with
// and without the bus driver's direct-call interface.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/driver.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"
#include "sim/win32/win32.h"

namespace {

using sim::pnp::NodeState;
using sim::usb::Bus;
using sim::usb::PlugOptions;
using sim::usb::Speed;
using simwin::HANDLE;
using simwin::INVALID_HANDLE_VALUE;

struct Result {
  NTSTATUS status;
  ULONG_PTR information;
};

PlugOptions Offering(bool v0, bool v1) {
  PlugOptions options;
  options.offerInterfaceV0 = v0;
  options.offerInterfaceV1 = v1;
  return options;
}

class PortRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
    sim::registry::SetString(kKey, u"DriverDeviceBaseName", u"Dev");
  }
  void TearDown() override {
    sim::ClearFaults();
    Unplug();
  }
  // Plugs a test device and opens one handle to it.
  void Plug(PlugOptions options = {}, Speed speed = Speed::High) {
    options.registryKey = kKey;
    sim::usb::TestDeviceOptions device;
    device.speed = speed;
    pdo_ = Bus::Get().Plug(sim::usb::MakeTestDevice(device).model, driver_, options);
    handles_.push_back(Open());
    ASSERT_NE(handles_.back(), INVALID_HANDLE_VALUE);
  }
  void Unplug() {
    CloseAll();
    if (!pdo_) return;
    Bus::Get().Settle();
    Bus::Get().Unplug(Bus::Get().Current(pdo_));
    Bus::Get().Settle();
    pdo_ = nullptr;
  }
  static HANDLE Open() {
    return simwin::CreateFileW(u"\\\\.\\Dev0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  }
  void CloseAll() {
    for (HANDLE h : handles_) EXPECT_TRUE(simwin::CloseHandle(h));
    handles_.clear();
  }
  Result Send(DWORD code, void *out = nullptr, DWORD outLength = 0) {
    simwin::OVERLAPPED o{};
    DWORD bytes = 0;
    if (!simwin::DeviceIoControl(handles_.front(), code, nullptr, 0, out, outLength, &bytes, &o)) {
      EXPECT_NE(simwin::GetLastError(), DWORD(ERROR_IO_PENDING));
    }
    return {NTSTATUS(uint32_t(o.Internal)), o.InternalHigh};
  }
  template <typename Record>
  Result Get(DWORD code, Record *record) {
    std::memset(record, 0xA5, sizeof *record);
    return Send(code, record, sizeof *record);
  }

  const std::u16string kKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\1";
  sim::World world_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::vector<HANDLE> handles_;
};

TEST_F(PortRequests, CyclePortReplacesTheDevice) {
  Plug();
  PDEVICE_OBJECT oldDevice = sim::StackTop(pdo_);
  sim::ReferenceDevice(oldDevice);  // to ask about it after its deletion
  const Result r = Send(IOCTL_CYCLE_PORT);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  // The old device object goes with the last handle to it.
  CloseAll();
  Bus::Get().Settle();
  sim::pnp::Settle();
  EXPECT_TRUE(sim::DeviceDeleted(oldDevice));
  sim::DereferenceDevice(oldDevice);

  PDEVICE_OBJECT next = Bus::Get().Current(pdo_);
  ASSERT_NE(next, pdo_);
  EXPECT_EQ(sim::pnp::State(next), NodeState::Started);
  EXPECT_NE(sim::StackTop(next), next);
  handles_.push_back(Open());
  ASSERT_NE(handles_.back(), INVALID_HANDLE_VALUE);
  DeviceInfo info;
  EXPECT_EQ(Get(IOCTL_GET_DEVICE_INFO, &info).status, STATUS_SUCCESS);
}

TEST_F(PortRequests, CyclePortWhileStoppedIsRefused) {
  Plug();
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(uint32_t(Send(IOCTL_CYCLE_PORT).status), uint32_t(ERR_DEVICE_NOT_READY));
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
  Bus::Get().Settle();
  EXPECT_EQ(Bus::Get().Current(pdo_), pdo_) << "the device stayed";
}

// The interface is the bus's and answers while the device is stopped; the URB is a request to
// the device's stack and does not.
TEST_F(PortRequests, FrameNumberThroughInterfaceOrUrb) {
  struct Row {
    const char *name;
    PlugOptions options;
    size_t urbs;
    NTSTATUS whileStopped;
  };
  const Row rows[] = {
      {"interface", Offering(true, true), 0, STATUS_SUCCESS},
      {"URB", Offering(false, false), 1, ERR_DEVICE_NOT_READY},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Plug(row.options);
    Bus::Get().ClearTrace(pdo_);
    ULONG frames[2];
    for (ULONG &frame : frames) {
      CurrentFrameNumber result;
      const Result r = Get(IOCTL_GET_CURRENT_FRAME_NUMBER, &result);
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.information, sizeof result);
      frame = result.FrameNumber;
      std::vector<sim::usb::TraceEntry> trace = Bus::Get().Trace(pdo_);
      Bus::Get().ClearTrace(pdo_);
      ASSERT_EQ(trace.size(), row.urbs);
      if (row.urbs) {
        EXPECT_EQ(trace[0].function, URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_GT(frames[1], frames[0]);
    EXPECT_LT(frames[1] - frames[0], 1000u) << "frames are milliseconds";

    ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
    CurrentFrameNumber result;
    EXPECT_EQ(uint32_t(Get(IOCTL_GET_CURRENT_FRAME_NUMBER, &result).status), uint32_t(row.whileStopped));
    ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
    Unplug();
  }
}

TEST_F(PortRequests, BandwidthIsTheBusTotals) {
  struct Row {
    const char *name;
    PlugOptions options;
    Speed speed;
  };
  const Row rows[] = {
      {"bus request", Offering(false, false), Speed::Full},
      {"interface", Offering(true, false), Speed::High},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Plug(row.options, row.speed);
    BandwidthInfo info;
    const Result r = Get(IOCTL_GET_BANDWIDTH_INFO, &info);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof info);
    EXPECT_EQ(info.TotalBandwidth, Bus::Get().TotalBandwidth());
    EXPECT_EQ(info.ConsumedBandwidth, Bus::Get().ConsumedBandwidth());
    EXPECT_EQ(info.Reserved[0], 0u);
    EXPECT_EQ(info.Reserved[1], 0u);
    Unplug();
  }

  // The bus request needs an IRP of its own.
  Plug(Offering(false, false));
  sim::FailNth(sim::AllocKind::Irp, 1);
  BandwidthInfo info;
  EXPECT_EQ(uint32_t(Get(IOCTL_GET_BANDWIDTH_INFO, &info).status), uint32_t(ERR_NO_MEMORY));
  EXPECT_EQ(sim::FaultsInjected(sim::AllocKind::Irp), 1u);
}

// Only version 1 of the interface can tell the speed; without it the flag stays clear.
TEST_F(PortRequests, DeviceInfoCountsHandlesAndKnowsTheSpeedFromVersion1) {
  struct Row {
    const char *name;
    PlugOptions options;
    Speed speed;
    uint32_t flags;
  };
  const Row rows[] = {
      {"version 1, high speed", Offering(true, true), Speed::High, DEVICE_INFO_HIGH_SPEED},
      {"version 1, full speed", Offering(true, true), Speed::Full, 0},
      {"version 0 only, high speed", Offering(true, false), Speed::High, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Plug(row.options, row.speed);
    handles_.push_back(Open());
    handles_.push_back(Open());
    DeviceInfo info;
    const Result r = Get(IOCTL_GET_DEVICE_INFO, &info);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, sizeof info);
    EXPECT_EQ(info.Flags, row.flags);
    EXPECT_EQ(info.OpenHandleCount, 3u);
    EXPECT_EQ(info.Reserved[0], 0u);
    EXPECT_EQ(info.Reserved[1], 0u);
    Unplug();
  }
}

}  // namespace
