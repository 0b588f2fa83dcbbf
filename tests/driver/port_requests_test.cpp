// The port and bus queries as an application sends them, against the bus's own answers, with
// and without the bus driver's direct-call interface.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/pnp.h"

namespace {

using sim::pnp::NodeState;
using sim::usb::Bus;
using sim::usb::PlugOptions;
using sim::usb::Speed;
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

TEST_F(PortRequests, CyclePortReplacesTheDeviceUnlessStopping) {
  Plug();
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(uint32_t(Send(h_, IOCTL_CYCLE_PORT).status), uint32_t(ERR_DEVICE_NOT_READY));
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
  Bus::Get().Settle();
  EXPECT_EQ(Bus::Get().Current(pdo_), pdo_) << "the device stayed";

  PDEVICE_OBJECT oldDevice = sim::StackTop(pdo_);
  sim::ReferenceDevice(oldDevice);  // to ask about it after its deletion
  EXPECT_EQ(Send(h_, IOCTL_CYCLE_PORT).status, STATUS_SUCCESS);
  // The old device object goes with the last handle to it.
  CloseAll();
  Bus::Get().Settle();
  sim::pnp::Settle();
  EXPECT_TRUE(sim::DeviceDeleted(oldDevice));
  sim::DereferenceDevice(oldDevice);

  PDEVICE_OBJECT next = Bus::Get().Current(pdo_);
  ASSERT_NE(next, pdo_);
  EXPECT_EQ(sim::pnp::State(next), NodeState::Started);
  ASSERT_NE(xrtest::DeviceAbove(next), nullptr);
  // Named with the first number free when it arrived: the old device may still have held 0.
  const std::string name = "\\\\.\\Dev" + std::to_string(xrtest::DeviceAbove(next)->deviceNumber);
  h_ = simwin::CreateFileW(sim::ToU16(name.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h_, INVALID_HANDLE_VALUE);
  DeviceInfo info;
  EXPECT_EQ(Get(IOCTL_GET_DEVICE_INFO, &info).status, STATUS_SUCCESS);
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
    ULONG frames[2];
    for (ULONG &frame : frames) {
      CurrentFrameNumber result;
      EXPECT_EQ(Get(IOCTL_GET_CURRENT_FRAME_NUMBER, &result), (Result{STATUS_SUCCESS, sizeof result}));
      frame = result.FrameNumber;
      const std::vector<sim::usb::TraceEntry> trace = TakeTrace();
      ASSERT_EQ(trace.size(), row.urbs);
      for (const auto &t : trace) EXPECT_EQ(t.function, URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
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

// Bandwidth is the bus's totals, through the interface or a bus request; only version 1 of the
// interface can tell the speed, without it the flag stays clear; what the bus lent goes back.
TEST_F(PortRequests, BandwidthAndDeviceInfo) {
  struct Row {
    const char *name;
    PlugOptions options;
    Speed speed;
    uint32_t flags;
  };
  // Full speed first: the bus runs at the speed of the fastest device it has seen.
  const Row rows[] = {
      {"bus requests, full speed", Offering(false, false), Speed::Full, 0},
      {"version 1, full speed", Offering(true, true), Speed::Full, 0},
      {"version 0 only, high speed", Offering(true, false), Speed::High, 0},
      {"version 1, high speed", Offering(true, true), Speed::High, DEVICE_INFO_HIGH_SPEED},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Plug(row.options, row.speed);
    BandwidthInfo bandwidth;
    EXPECT_EQ(Get(IOCTL_GET_BANDWIDTH_INFO, &bandwidth), (Result{STATUS_SUCCESS, sizeof bandwidth}));
    EXPECT_EQ(bandwidth.TotalBandwidth, Bus::Get().TotalBandwidth());
    EXPECT_EQ(bandwidth.ConsumedBandwidth, Bus::Get().ConsumedBandwidth());
    EXPECT_EQ(bandwidth.Reserved[0] | bandwidth.Reserved[1], 0u);

    handles_.push_back(Open());
    handles_.push_back(Open());
    DeviceInfo info;
    EXPECT_EQ(Get(IOCTL_GET_DEVICE_INFO, &info), (Result{STATUS_SUCCESS, sizeof info}));
    EXPECT_EQ(info.Flags, row.flags);
    EXPECT_EQ(info.OpenHandleCount, 3u);
    EXPECT_EQ(info.Reserved[0] | info.Reserved[1], 0u);
    // The bus's interface is held while started and given back at removal.
    PDEVICE_OBJECT pdo = pdo_;
    EXPECT_EQ(Bus::Get().InterfaceReferences(pdo), row.options.offerInterfaceV0 || row.options.offerInterfaceV1);
    Unplug();
    EXPECT_EQ(Bus::Get().InterfaceReferences(pdo), 0);
  }

  // The bus request needs an IRP of its own.
  Plug(Offering(false, false));
  sim::FailNth(sim::AllocKind::Irp, 1);
  BandwidthInfo bandwidth;
  EXPECT_EQ(uint32_t(Get(IOCTL_GET_BANDWIDTH_INFO, &bandwidth).status), uint32_t(ERR_NO_MEMORY));
  EXPECT_EQ(sim::FaultsInjected(sim::AllocKind::Irp), 1u);
}

// A reset drops the configuration without selecting none, ending the transfers at the bus and
// the bindings, then resets the port. While requests are blocked the configuration goes all the
// same and the port is left alone. With ResetDeviceOnClose the last close resets.
TEST_F(PortRequests, ResetDeviceDropsTheConfigurationThenResetsThePort) {
  Plug();
  auto resets = [&] { return device_.state->Snapshot().resetCount; };
  auto selections = [&] {
    const auto trace = TakeTrace();
    return std::count_if(trace.begin(), trace.end(), [](auto &t) { return t.function == URB_FUNCTION_SELECT_CONFIGURATION; });
  };
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(h_, sim::usb::test_device::kLoopbackIn), STATUS_SUCCESS);
  auto read = Start(h_, true, std::vector<uint8_t>(64));
  EXPECT_EQ(Send(h_, IOCTL_RESET_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(Finish(h_, *read).status, ERR_USBD_CANCELED);
  const ConfigurationInfo info = Info();
  EXPECT_EQ(info.NumberOfInterfaces + info.NumberOfPipes, 0u);
  EXPECT_EQ(std::make_pair(resets(), selections()), std::make_pair(1u, 0l));

  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(Send(h_, IOCTL_RESET_DEVICE).status, ERR_DEVICE_NOT_READY);
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(Info().NumberOfInterfaces, 0u);
  EXPECT_EQ(resets(), 1u);

  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  const DeviceParameters options{XRUSB_OPTION_RESET_ON_CLOSE | XRUSB_OPTION_UNCONFIGURE_ON_CLOSE, 1000};
  ASSERT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, options).status, STATUS_SUCCESS);
  CloseAll();
  EXPECT_EQ(std::make_pair(resets(), selections()), std::make_pair(2u, 0l)) << "the last close resets instead";
}

}  // namespace
