// Selecting and dropping configurations as an application does it, checked against the bus's
// own view of the device, the URBs it saw and what the driver reports back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/pool_tags.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"
#include "sim/usb/bus.h"
#include "plugged_device.h"

namespace {

using sim::usb::Bus;
using sim::usb::Fault;
using sim::usb::Response;
using sim::usb::TraceEntry;
using simwin::HANDLE;
using simwin::INVALID_HANDLE_VALUE;
namespace td = sim::usb::test_device;

struct Setting {
  uint16_t number, alternate;
  uint32_t maxTransfer;
};

SetConfigurationRequest Request(uint16_t index, std::vector<Setting> settings) {
  SetConfigurationRequest r{};
  r.ConfigurationIndex = index;
  r.NumberOfInterfaces = uint16_t(settings.size());
  for (size_t i = 0; i < settings.size() && i < XRUSB_MAX_INTERFACES; ++i)
    r.InterfaceList[i] = {settings[i].number, settings[i].alternate, settings[i].maxTransfer};
  return r;
}

struct Endpoint {
  uint8_t address, type, interval;
  uint16_t maxPacket;
};

// The endpoints of one alternate setting, read from the model's own descriptor block.
std::vector<Endpoint> EndpointsOf(const std::vector<uint8_t> &config, uint8_t number, uint8_t alternate) {
  std::vector<Endpoint> out;
  bool inside = false;
  for (size_t i = 0; i + 1 < config.size() && config[i]; i += config[i]) {
    if (config[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
      inside = config[i + 2] == number && config[i + 3] == alternate;
    else if (inside && config[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
      out.push_back({config[i + 2], uint8_t(config[i + 3] & 3), config[i + 6], uint16_t(config[i + 4] | config[i + 5] << 8)});
  }
  return out;
}

class Configuration : public xrtest::PluggedDevice {
 protected:
  Configuration() : PluggedDevice(false) {}
  NTSTATUS Select(const SetConfigurationRequest &r) { return Send(IOCTL_SET_CONFIGURATION, r).status; }
  NTSTATUS Unconfigure(HANDLE h = INVALID_HANDLE_VALUE) {
    return Send(h == INVALID_HANDLE_VALUE ? h_ : h, IOCTL_UNCONFIGURE_DEVICE).status;
  }
  ConfigurationInfo Info() {
    ConfigurationInfo info;
    memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(Send(IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &info, sizeof info).status, STATUS_SUCCESS);
    EXPECT_EQ(information_, sizeof info);
    return info;
  }
  std::vector<TraceEntry> TakeTrace() {
    std::vector<TraceEntry> trace = Bus::Get().Trace(pdo_);
    Bus::Get().ClearTrace(pdo_);
    return trace;
  }
  // The configuration-descriptor reads and selections the bus saw, as lengths asked for
  // (selections as 0).
  std::vector<ULONG> Reads() {
    std::vector<ULONG> out;
    for (const TraceEntry &t : TakeTrace()) {
      if (t.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) out.push_back(t.setup.wLength);
      if (t.function == URB_FUNCTION_SELECT_CONFIGURATION) out.push_back(0);
    }
    return out;
  }
  // The records must describe what the bus answered for these settings of configuration 'index'.
  void ExpectRecords(uint8_t index, const std::vector<Setting> &settings) {
    const ConfigurationInfo info = Info();
    const std::vector<uint8_t> &config = device_.model->configurations[index];
    ASSERT_EQ(info.NumberOfInterfaces, settings.size());
    size_t pipe = 0;
    for (size_t i = 0; i < settings.size(); ++i) {
      const std::vector<Endpoint> endpoints = EndpointsOf(config, uint8_t(settings[i].number), uint8_t(settings[i].alternate));
      EXPECT_EQ(info.Interfaces[i].InterfaceNumber, settings[i].number);
      EXPECT_EQ(info.Interfaces[i].AlternateSetting, settings[i].alternate);
      EXPECT_EQ(info.Interfaces[i].NumberOfPipes, endpoints.size());
      for (const Endpoint &e : endpoints) {
        SCOPED_TRACE(testing::Message() << "endpoint " << std::hex << int(e.address));
        ASSERT_LT(pipe, XRUSB_MAX_PIPES);
        const PipeSummary &p = info.Pipes[pipe++];
        EXPECT_EQ(p.EndpointAddress, e.address);
        EXPECT_EQ(p.PipeType, e.type);
        EXPECT_EQ(p.Interval, e.interval);
        EXPECT_EQ(p.MaximumPacketSize, e.maxPacket);
        EXPECT_EQ(p.MaximumTransferSize, settings[i].maxTransfer);
        EXPECT_EQ(p.InterfaceNumber, settings[i].number);
      }
    }
    EXPECT_EQ(info.NumberOfPipes, pipe);
    const uint8_t *tail = reinterpret_cast<const uint8_t *>(&info.Pipes[pipe]);
    const uint8_t *end = reinterpret_cast<const uint8_t *>(&info + 1);
    EXPECT_TRUE(std::all_of(tail, end, [](uint8_t b) { return b == 0; })) << "unfilled entries are cleared";
  }
};

TEST_F(Configuration, SelectRecordReselectAndDrop) {
  Plug();
  const std::vector<Setting> first = {{0, 0, 4096}, {1, 1, 8192}, {2, 0, 64}};
  ASSERT_EQ(Select(Request(0, first)), STATUS_SUCCESS);
  EXPECT_EQ(information_, 0u);
  const uint16_t total = uint16_t(device_.model->configurations[0][2] | device_.model->configurations[0][3] << 8);
  EXPECT_EQ(Reads(), (std::vector<ULONG>{9, total, 0}));
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1);
  ExpectRecords(0, first);

  EXPECT_EQ(Select(Request(0, {{0, 0, 1}})), ERR_ALREADY_CONFIGURED);
  EXPECT_TRUE(TakeTrace().empty());
  ExpectRecords(0, first);

  // Another configuration replaces this one without an unconfigure in between.
  const std::vector<Setting> second = {{0, 0, 512}};
  ASSERT_EQ(Select(Request(1, second)), STATUS_SUCCESS);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 2);
  ExpectRecords(1, second);

  // The whole 16-bit index is remembered, only its low byte goes to the device.
  ASSERT_EQ(Select(Request(0x0100, first)), STATUS_SUCCESS);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1);
  EXPECT_EQ(Select(Request(0x0000, first)), STATUS_SUCCESS);

  TakeTrace();
  EXPECT_EQ(Unconfigure(), STATUS_SUCCESS);
  EXPECT_EQ(Reads(), (std::vector<ULONG>{0})) << "the null configuration";
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 0);
  EXPECT_EQ(dx_->storedConfigDescriptor, nullptr);
  ExpectRecords(0, {});
  ASSERT_EQ(Select(Request(0, first)), STATUS_SUCCESS) << "the same index after an unconfigure";
  ExpectRecords(0, first);
}

// Refusals before the selection change nothing; a failure of the selection leaves the device
// unconfigured in the driver.
TEST_F(Configuration, RefusalsAndFailures) {
  Plug();
  const std::vector<Setting> current = {{0, 0, 4096}};
  ASSERT_EQ(Select(Request(0, current)), STATUS_SUCCESS);
  TakeTrace();

  SetConfigurationRequest none = Request(1, current), tooMany = Request(1, current);
  none.NumberOfInterfaces = 0;
  tooMany.NumberOfInterfaces = XRUSB_MAX_INTERFACES + 1;
  struct Row {
    const char *name;
    SetConfigurationRequest request;
    NTSTATUS expect;
    std::vector<ULONG> reads;
  };
  const Row rows[] = {
      {"no interfaces", none, ERR_INVALID_PARAMETER, {}},
      {"33 interfaces", tooMany, ERR_INVALID_PARAMETER, {}},
      {"unknown interface", Request(1, {{0, 0, 64}, {5, 0, 64}}), ERR_INTERFACE_NOT_FOUND, {9, 32}},
      {"unknown alternate setting", Request(1, {{0, 1, 64}}), ERR_INTERFACE_NOT_FOUND, {9, 32}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Select(row.request), row.expect);
    EXPECT_EQ(Reads(), row.reads) << "nothing but the descriptor reads";
    EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1);
    EXPECT_TRUE(dx_->configured);
    ExpectRecords(0, current);
  }

  Bus::Get().FailEndpoint(pdo_, 0, Fault{Response::Stall()});
  EXPECT_EQ(Select(Request(1, {{0, 0, 64}})), NTSTATUS(0xE0000004)) << "the descriptor read stalled";
  EXPECT_TRUE(dx_->configured) << "a failed read keeps the configuration";
  Bus::Get().ClearFaults(pdo_);

  // Out of memory for the seventh pipe: interface 0's six pipes stay recorded, interface 1 goes.
  sim::FailNth(sim::AllocKind::Pool, 7, TAG_PIPE_CONTEXT);
  EXPECT_EQ(Select(Request(0x0100, {{0, 0, 16}, {1, 1, 16}})), ERR_NO_MEMORY);
  EXPECT_FALSE(dx_->configured);
  EXPECT_EQ(dx_->storedConfigDescriptor, nullptr);
  ExpectRecords(0, {{0, 0, 16}});
}

TEST_F(Configuration, DescriptorReadsAtMostTwice) {
  auto header = [](uint16_t total, size_t size) {
    std::vector<uint8_t> d(size, 0);
    d[0] = 9, d[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE, d[2] = uint8_t(total), d[3] = uint8_t(total >> 8);
    return d;
  };
  const uint16_t total1 = uint16_t(sim::usb::MakeTestDevice().model->configurations[0][2] |
                                   sim::usb::MakeTestDevice().model->configurations[0][3] << 8);
  struct Row {
    const char *name;
    uint32_t minQuery;
    uint16_t index;
    std::vector<ULONG> reads;
  };
  const Row rows[] = {
      {"exact length", 0, 0, {9, total1, 0}},
      {"minimum above the length, short answer accepted", 255, 1, {9, 255, 0}},
      {"minimum above the whole block", 4096, 0, {9, 4096, 0}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Plug({{u"ConfigDescMinQuerySize", row.minQuery}});
    EXPECT_EQ(Select(Request(row.index, {{0, 0, 64}})), STATUS_SUCCESS);
    EXPECT_EQ(Reads(), row.reads);
    Unplug();
  }
  // A block no longer than its head is read once, unless the minimum asks for more.
  for (uint32_t minQuery : {0u, 255u}) {
    SCOPED_TRACE(minQuery);
    Plug({{u"ConfigDescMinQuerySize", minQuery}});
    Bus::Get().FailEndpoint(pdo_, 0, Fault{Response::Ack(header(9, 9)), 0});
    EXPECT_EQ(Select(Request(0, {{0, 0, 64}})), ERR_INTERFACE_NOT_FOUND);
    const std::vector<ULONG> expect = minQuery ? std::vector<ULONG>{9, 255} : std::vector<ULONG>{9};
    EXPECT_EQ(Reads(), expect);
    Unplug();
  }

  // A device that contradicts itself. Each answer is used once, in order.
  struct Bad {
    const char *name;
    std::vector<std::vector<uint8_t>> answers;
    std::vector<ULONG> reads;
  };
  const Bad bads[] = {
      {"short head", {header(32, 7)}, {9}},
      {"second answer of neither length", {header(32, 9), header(32, 20)}, {9, 32}},
      {"still longer after two reads", {header(32, 9), header(64, 32)}, {9, 32}},
  };
  Plug();
  for (const Bad &bad : bads) {
    SCOPED_TRACE(bad.name);
    for (const std::vector<uint8_t> &a : bad.answers) Bus::Get().FailEndpoint(pdo_, 0, Fault{Response::Ack(a)});
    EXPECT_EQ(Select(Request(0, {{0, 0, 64}})), ERR_BAD_CONFIG_DESCRIPTOR);
    EXPECT_EQ(Reads(), bad.reads);
    EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 0);
    Bus::Get().ClearFaults(pdo_);
  }
}

TEST_F(Configuration, UnconfigureByOwnerOnlyAndOnLastClose) {
  Plug();
  PEPROCESS a = sim::NewProcess("A"), b = sim::NewProcess("B");
  HANDLE ha, hb;
  {
    simwin::ProcessScope in(a);
    ha = Open();
    const SetConfigurationRequest r = Request(0, {{0, 0, 64}});
    ASSERT_EQ(Send(ha, IOCTL_SET_CONFIGURATION, &r, sizeof r).status, STATUS_SUCCESS);
  }
  {
    simwin::ProcessScope in(b);
    hb = Open();
    EXPECT_EQ(Unconfigure(hb), ERR_CONFIGURED_BY_OTHER_PROCESS);
    EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1);
    EXPECT_TRUE(simwin::CloseHandle(hb));
  }
  {
    simwin::ProcessScope in(a);
    EXPECT_TRUE(simwin::CloseHandle(ha));
  }
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1) << "the test's own handle is still open";
  TakeTrace();
  EXPECT_TRUE(simwin::CloseHandle(h_));
  h_ = INVALID_HANDLE_VALUE;
  EXPECT_EQ(Reads(), (std::vector<ULONG>{0})) << "the last close selects no configuration";
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 0);
  EXPECT_FALSE(dx_->configured);
}

TEST_F(Configuration, StartTimeConfiguration) {
  Plug({{u"ConfigIndex", 0}, {u"Interface", 1}, {u"AlternateSetting", 1}, {u"MaxTransferSize", 0x12345}});
  ASSERT_EQ(sim::pnp::State(pdo_), sim::pnp::NodeState::Started);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1);
  ExpectRecords(0, {{1, 1, 0x12345}});
  {
    // Made by no process: any may drop it.
    simwin::ProcessScope in(sim::NewProcess("B"));
    HANDLE hb = Open();
    EXPECT_EQ(Unconfigure(hb), STATUS_SUCCESS);
    EXPECT_TRUE(simwin::CloseHandle(hb));
  }
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 0);
  Unplug();

  sim::ClearEventLog();
  Plug({{u"ConfigIndex", 0}, {u"Interface", 7}});
  EXPECT_EQ(sim::pnp::State(pdo_), sim::pnp::NodeState::Failed);
  std::vector<std::string> messages;
  for (const sim::LoggedEvent &e : sim::EventLog())
    if (!e.strings.empty()) messages.push_back(sim::Narrow(e.strings[0]));
  EXPECT_EQ(messages, std::vector<std::string>{"Unable to configure the device during startup."});
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 0);
}

TEST_F(Configuration, StoredDescriptorAndRemoteWakeup) {
  Plug();
  const DeviceParameters wake = {XRUSB_OPTION_REMOTE_WAKEUP, 1000};
  ASSERT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, &wake, sizeof wake).status, STATUS_SUCCESS);
  struct Row {
    uint16_t index;
    bool armed;  // configuration 1 asks for remote wake-up, 2 does not
  };
  for (const Row &row : {Row{0, true}, Row{1, false}}) {
    SCOPED_TRACE(row.index);
    ASSERT_EQ(Select(Request(row.index, {{0, 0, 64}})), STATUS_SUCCESS);
    EXPECT_EQ(bool(dx_->remoteWakeupArmed), row.armed);
    const std::vector<uint8_t> &block = device_.model->configurations[row.index];
    ASSERT_NE(dx_->storedConfigDescriptor, nullptr);
    EXPECT_EQ(memcmp(dx_->storedConfigDescriptor, block.data(), block.size()), 0);
  }

  // A caller's copy with remote wake-up is what the next parameter change looks at.
  std::vector<uint8_t> copy = device_.model->configurations[1];
  copy[7] |= 0x20;
  copy.push_back(0xEE);  // longer than wTotalLength: kept whole
  ASSERT_EQ(Send(IOCTL_STORE_CONFIG_DESCRIPTOR, copy.data(), DWORD(copy.size())).status, STATUS_SUCCESS);
  EXPECT_EQ(memcmp(dx_->storedConfigDescriptor, copy.data(), copy.size()), 0);
  EXPECT_TRUE(dx_->configured) << "the configuration is untouched";
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 2);
  ASSERT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, &wake, sizeof wake).status, STATUS_SUCCESS);
  EXPECT_TRUE(dx_->remoteWakeupArmed);

  sim::FailNth(sim::AllocKind::Pool, 1, TAG_STORED_CONFIG_DESCRIPTOR);
  EXPECT_EQ(Send(IOCTL_STORE_CONFIG_DESCRIPTOR, copy.data(), DWORD(copy.size())).status, ERR_NO_MEMORY);
  EXPECT_EQ(dx_->storedConfigDescriptor, nullptr);

  // Removed while configured, with the handle still open: the records go with the device.
  Bus::Get().Unplug(pdo_);
  EXPECT_TRUE(simwin::CloseHandle(h_));
  Bus::Get().Settle();
  h_ = INVALID_HANDLE_VALUE;
  pdo_ = nullptr;
  EXPECT_EQ(sim::PoolBlocksOutstanding(), 0u) << sim::DescribeOutstandingPool();
}

}  // namespace
