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
#include "sim/usb/bus.h"
#include "plugged_device.h"

namespace {

using sim::pnp::NodeState;
using sim::usb::Bus;
using sim::usb::PlugOptions;
using sim::usb::Speed;
using simwin::HANDLE;
using simwin::INVALID_HANDLE_VALUE;

using xrtest::Result;

PlugOptions Offering(bool v0, bool v1) {
  PlugOptions options;
  options.offerInterfaceV0 = v0;
  options.offerInterfaceV1 = v1;
  return options;
}

class PortRequests : public xrtest::PluggedDevice {
 protected:
  PortRequests() : PluggedDevice(false) {}
  void Plug(PlugOptions options = {}, Speed speed = Speed::High) {
    sim::usb::TestDeviceOptions device;
    device.speed = speed;
    PluggedDevice::Plug({}, options, device);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
  }
  template <typename Record>
  Result Get(DWORD code, Record *record) {
    std::memset(record, 0xA5, sizeof *record);
    return Send(code, nullptr, 0, record, sizeof *record);
  }
};

TEST_F(PortRequests, CyclePortReplacesTheDevice) {
  Plug();
  PDEVICE_OBJECT oldDevice = sim::StackTop(pdo_);
  sim::ReferenceDevice(oldDevice);  // to ask about it after its deletion
  const Result r = Send(h_, IOCTL_CYCLE_PORT);
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
  h_ = Open();
  ASSERT_NE(h_, INVALID_HANDLE_VALUE);
  DeviceInfo info;
  EXPECT_EQ(Get(IOCTL_GET_DEVICE_INFO, &info).status, STATUS_SUCCESS);
}

TEST_F(PortRequests, CyclePortWhileStoppedIsRefused) {
  Plug();
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(uint32_t(Send(h_, IOCTL_CYCLE_PORT).status), uint32_t(ERR_DEVICE_NOT_READY));
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
