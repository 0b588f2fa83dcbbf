// The control codes as an application sends them: the order of the dispatcher's checks, the
// result lengths, and the codes the dispatcher carries out itself.
#include <cstring>
#include <string>
#include <vector>

#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/timers.h"

namespace {

using Dispatcher = xrtest::PluggedDevice;
using xrtest::Result;

TEST_F(Dispatcher, ChecksInOrderWhilePresentAndAfterRemoval) {
  constexpr DWORD kForeign = 0x00220004;   // another device type
  constexpr DWORD kUnlisted = 0x80942100;  // this device type, no such function
  struct Row {
    const char *name;
    DWORD code, in, out;
    NTSTATUS present, removed;
  };
  const Row rows[] = {
      {"foreign type", kForeign, 0, 0, ERR_INVALID_IOCTL, ERR_INVALID_IOCTL},
      {"unlisted code", kUnlisted, 0, 0, ERR_INVALID_IOCTL, ERR_DEVICE_NOT_PRESENT},
      {"descriptor, short request", IOCTL_GET_DESCRIPTOR, 4, 0, ERR_INVALID_INBUFFER, ERR_DEVICE_NOT_PRESENT},
      {"descriptor, no data buffer", IOCTL_GET_DESCRIPTOR, 8, 0, ERR_INVALID_OUTBUFFER, ERR_DEVICE_NOT_PRESENT},
      // Past the checks: descriptor type 0 goes down and the device stalls it.
      {"descriptor, all there", IOCTL_GET_DESCRIPTOR, 8, 18, NTSTATUS(0xE0000004), ERR_DEVICE_NOT_PRESENT},
      {"statistics, unbound, nothing", IOCTL_QUERY_PIPE_STATISTICS, 0, 0, ERR_NOT_BOUND, ERR_DEVICE_NOT_PRESENT},
      {"statistics, unbound, enough", IOCTL_QUERY_PIPE_STATISTICS, 4, 32, ERR_NOT_BOUND, ERR_DEVICE_NOT_PRESENT},
      {"pipe control in, unbound", IOCTL_PIPE_CONTROL_TRANSFER_IN, 12, 8, ERR_NOT_BOUND, ERR_DEVICE_NOT_PRESENT},
      {"bind, short request", IOCTL_BIND_PIPE, 0, 0, ERR_INVALID_INBUFFER, ERR_DEVICE_NOT_PRESENT},
      {"bind, nothing configured", IOCTL_BIND_PIPE, 1, 0, ERR_PIPE_NOT_FOUND, ERR_DEVICE_NOT_PRESENT},
      {"get status, short result", IOCTL_GET_STATUS, 6, 1, ERR_INVALID_OUTBUFFER, ERR_DEVICE_NOT_PRESENT},
      {"store descriptor, short", IOCTL_STORE_CONFIG_DESCRIPTOR, 8, 0, ERR_INVALID_INBUFFER, ERR_DEVICE_NOT_PRESENT},
      {"store descriptor, short of wTotalLength", IOCTL_STORE_CONFIG_DESCRIPTOR, 19, 0, ERR_INVALID_INBUFFER,
       ERR_DEVICE_NOT_PRESENT},
      {"store descriptor, whole", IOCTL_STORE_CONFIG_DESCRIPTOR, 20, 0, STATUS_SUCCESS, ERR_DEVICE_NOT_PRESENT},
      {"set configuration, short", IOCTL_SET_CONFIGURATION, 259, 0, ERR_INVALID_INBUFFER, ERR_DEVICE_NOT_PRESENT},
      {"configuration info, short", IOCTL_GET_CONFIGURATION_INFO, 0, 775, ERR_INVALID_OUTBUFFER,
       ERR_DEVICE_NOT_PRESENT},
      {"configuration info", IOCTL_GET_CONFIGURATION_INFO, 0, 776, STATUS_SUCCESS, ERR_DEVICE_NOT_PRESENT},
      {"power state 4", IOCTL_SET_DEVICE_POWER_STATE, 4, 0, ERR_INVALID_PARAMETER, ERR_DEVICE_NOT_PRESENT},
      {"driver info, short", IOCTL_GET_DRIVER_INFO, 0, 11, ERR_INVALID_OUTBUFFER, ERR_DEVICE_NOT_PRESENT},
      {"stall, short request", IOCTL_STALL_EXECUTION, 3, 0, ERR_INVALID_INBUFFER, ERR_DEVICE_NOT_PRESENT},
      {"reset device, nothing configured", IOCTL_RESET_DEVICE, 0, 0, ERR_NOT_CONFIGURED, ERR_DEVICE_NOT_PRESENT},
  };
  for (bool present : {true, false}) {
    if (!present) Remove();
    for (const Row &r : rows) {
      SCOPED_TRACE(std::string(r.name) + (present ? ", present" : ", removed"));
      std::vector<uint8_t> in(r.in + 1, 0), out(r.out + 1, 0xA5);
      if (r.code == IOCTL_SET_DEVICE_POWER_STATE) in[0] = 4;
      if (r.code == IOCTL_STORE_CONFIG_DESCRIPTOR && r.in > 2) in[2] = 20;  // wTotalLength
      const Result result = Send(r.code, in.data(), r.in, out.data(), r.out);
      EXPECT_EQ(uint32_t(result.status), uint32_t(present ? r.present : r.removed));
      if (result.status != STATUS_SUCCESS) {
        EXPECT_EQ(result.information, 0u) << "no result length on failure";
      }
    }
  }
}

TEST_F(Dispatcher, DeviceParametersPowerStateAndDriverInfo) {
  uint8_t out[100];
  memset(out, 0xA5, sizeof out);
  EXPECT_EQ(Send(IOCTL_GET_DEVICE_PARAMETERS, nullptr, 0, out, sizeof out),
            (Result{STATUS_SUCCESS, sizeof(DeviceParameters)}));
  DeviceParameters got;
  memcpy(&got, out, sizeof got);
  EXPECT_EQ(got.Options, XRUSB_OPTION_UNCONFIGURE_ON_CLOSE) << "the registry's defaults";
  EXPECT_EQ(got.RequestTimeout, 1000u);

  // Remote wake-up asked for; without a configuration it cannot be armed.
  const DeviceParameters set = {0xFFFF0000u | XRUSB_OPTION_REMOTE_WAKEUP | XRUSB_OPTION_RESET_ON_CLOSE, 0};
  EXPECT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, &set, sizeof set), (Result{STATUS_SUCCESS, 0}));
  EXPECT_EQ(dx_->remoteWakeupArmed, 0);
  EXPECT_EQ(SendZeroed(IOCTL_SET_DEVICE_PARAMETERS, 7, 0).status, ERR_INVALID_INBUFFER);
  EXPECT_EQ(Send(IOCTL_GET_DEVICE_PARAMETERS, nullptr, 0, &got, sizeof got).status, STATUS_SUCCESS);
  EXPECT_EQ(got.Options, set.Options) << "unknown bits are kept";
  EXPECT_EQ(got.RequestTimeout, 0u) << "no time-out is allowed";
  EXPECT_EQ(SendZeroed(IOCTL_GET_DEVICE_PARAMETERS, 0, 7).status, ERR_INVALID_OUTBUFFER);

  PowerStateValue value{0xFFFF};
  EXPECT_EQ(Send(IOCTL_GET_DEVICE_POWER_STATE, nullptr, 0, &value, sizeof value), (Result{STATUS_SUCCESS, 4}));
  EXPECT_EQ(value.PowerState, 0u) << "D0";
  EXPECT_EQ(SendZeroed(IOCTL_GET_DEVICE_POWER_STATE, 0, 3).status, ERR_INVALID_OUTBUFFER);

  memset(out, 0xA5, sizeof out);
  EXPECT_EQ(Send(IOCTL_GET_DRIVER_INFO, nullptr, 0, out, 16), (Result{STATUS_SUCCESS, 12}));
  const uint8_t expect[12] = {0x31, 0x02, 0x4C, 0x02, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(out, expect, sizeof expect), 0) << "little-endian at fixed offsets";
}

// A stall holds the device and a processor: it is bounded, and a longer request does nothing.
TEST_F(Dispatcher, StallIsBounded) {
  struct Row {
    uint32_t microseconds;
    NTSTATUS expect;
    uint64_t stalled;
  };
  const Row rows[] = {{0, STATUS_SUCCESS, 0},
                      {51, STATUS_SUCCESS, 51},
                      {XRUSB_STALL_MAX_MICROSECONDS, STATUS_SUCCESS, XRUSB_STALL_MAX_MICROSECONDS},
                      {XRUSB_STALL_MAX_MICROSECONDS + 1, ERR_INVALID_PARAMETER, 0}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.microseconds);
    const StallRequest request{row.microseconds};
    const uint64_t before = sim::StalledMicroseconds();
    EXPECT_EQ(Send(IOCTL_STALL_EXECUTION, &request, sizeof request), (Result{row.expect, 0}));
    EXPECT_EQ(sim::StalledMicroseconds() - before, row.stalled);
  }
}

}  // namespace
