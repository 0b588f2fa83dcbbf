// Selecting and dropping configurations as an application does it, checked against the bus's
// own view of the device, the URBs it saw and what the driver reports back.
#include <string>
#include <vector>

#include "driver/core/pool_tags.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/pnp.h"
#include "tests/support/await.h"

namespace {

using sim::usb::Bus;
using sim::usb::Fault;
using sim::usb::Response;
using sim::usb::TraceEntry;
using simwin::HANDLE;

constexpr auto Request = xrtest::ConfigRequest;

class Configuration : public xrtest::PluggedDevice {
 protected:
  Configuration() : PluggedDevice(false) {}
  NTSTATUS Select(const SetConfigurationRequest &r) { return Send(IOCTL_SET_CONFIGURATION, r).status; }
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
};

TEST_F(Configuration, SelectRecordReselectAndDrop) {
  Plug();
  const std::vector<InterfaceSetting> first = {{0, 0, 4096}, {1, 1, 8192}, {2, 0, 64}};
  ASSERT_EQ(Send(IOCTL_SET_CONFIGURATION, Request(0, first)), (xrtest::Result{STATUS_SUCCESS, 0}));
  const uint16_t total = uint16_t(device_.model->configurations[0][2] | device_.model->configurations[0][3] << 8);
  EXPECT_EQ(Reads(), (std::vector<ULONG>{9, total, 0}));
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1);
  ExpectRecords(0, first);

  EXPECT_EQ(Select(Request(0, {{0, 0, 1}})), ERR_ALREADY_CONFIGURED);
  EXPECT_TRUE(TakeTrace().empty());
  ExpectRecords(0, first);

  // Another configuration replaces this one without an unconfigure in between.
  const std::vector<InterfaceSetting> second = {{0, 0, 512}};
  ASSERT_EQ(Select(Request(1, second)), STATUS_SUCCESS);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 2);
  ExpectRecords(1, second);

  // The whole 16-bit index is remembered, only its low byte goes to the device.
  ASSERT_EQ(Select(Request(0x0100, first)), STATUS_SUCCESS);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1);
  EXPECT_EQ(Select(Request(0x0000, first)), STATUS_SUCCESS);

  TakeTrace();
  EXPECT_EQ(Send(h_, IOCTL_UNCONFIGURE_DEVICE).status, STATUS_SUCCESS);
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
  const std::vector<InterfaceSetting> current = Completed(0, {{0, 0, 4096}});
  const uint16_t total = uint16_t(device_.model->configurations[0][2] | device_.model->configurations[0][3] << 8);
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
      {"not every interface", Request(0x0100, {{0, 0, 64}, {1, 1, 64}}), ERR_INVALID_PARAMETER, {9, total}},
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
  EXPECT_EQ(Select(Request(0x0100, {{0, 0, 16}, {1, 1, 16}, {2, 0, 16}})), ERR_NO_MEMORY);
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
  // A block no longer than its head is read once, unless the minimum asks for more.
  struct Row {
    const char *name;
    uint32_t minQuery;
    uint16_t index;
    std::vector<uint8_t> answer;  // for every read, instead of the device's own
    NTSTATUS expect;
    std::vector<ULONG> reads;
  };
  const Row rows[] = {
      {"exact length", 0, 0, {}, STATUS_SUCCESS, {9, total1, 0}},
      {"minimum above the length, short answer accepted", 255, 1, {}, STATUS_SUCCESS, {9, 255, 0}},
      {"minimum above the whole block", 4096, 0, {}, STATUS_SUCCESS, {9, 4096, 0}},
      {"head only", 0, 0, header(9, 9), ERR_INTERFACE_NOT_FOUND, {9}},
      {"head only, minimum above it", 255, 0, header(9, 9), ERR_INTERFACE_NOT_FOUND, {9, 255}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Plug({{u"ConfigDescMinQuerySize", row.minQuery}});
    if (!row.answer.empty()) Bus::Get().FailEndpoint(pdo_, 0, Fault{Response::Ack(row.answer), 0});
    EXPECT_EQ(Select(Request(row.index, Completed(row.index, {{0, 0, 64}}))), row.expect);
    EXPECT_EQ(Reads(), row.reads);
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

// CheckPidOnUnconfig 0 lets any process drop the configuration.
TEST_F(Configuration, UnconfigureByOwnerOnlyAndOnLastClose) {
  PEPROCESS a = sim::NewProcess("A"), b = sim::NewProcess("B");
  const SetConfigurationRequest r = Request(0, {{0, 0, 64}, {1, 0, 64}, {2, 0, 64}});
  for (const uint32_t check : {1, 0}) {
    SCOPED_TRACE(check);
    Plug({{u"CheckPidOnUnconfig", check}});
    HANDLE ha = nullptr, hb = nullptr;  // set by OpenIn; initialised for the optimiser, which cannot see it
    ASSERT_EQ(OpenIn(a, &ha), STATUS_SUCCESS);
    ASSERT_EQ(SendIn(a, ha, IOCTL_SET_CONFIGURATION, &r, sizeof r), STATUS_SUCCESS);
    ASSERT_EQ(OpenIn(b, &hb), STATUS_SUCCESS);
    EXPECT_EQ(SendIn(b, hb, IOCTL_UNCONFIGURE_DEVICE), check ? ERR_CONFIGURED_BY_OTHER_PROCESS : STATUS_SUCCESS);
    EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), check ? 1 : 0);
    // Once the owner has dropped it, the configuration of another process is its own.
    EXPECT_EQ(SendIn(a, ha, IOCTL_UNCONFIGURE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendIn(b, hb, IOCTL_SET_CONFIGURATION, &r, sizeof r), STATUS_SUCCESS);
    EXPECT_EQ(SendIn(a, ha, IOCTL_UNCONFIGURE_DEVICE), check ? ERR_CONFIGURED_BY_OTHER_PROCESS : STATUS_SUCCESS);
    EXPECT_EQ(SendIn(b, hb, IOCTL_UNCONFIGURE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendIn(a, ha, IOCTL_UNCONFIGURE_DEVICE), STATUS_SUCCESS) << "unconfigured: no owner left";
    CloseIn(b, hb);
    CloseIn(a, ha);
    Unplug();
  }
  Plug();
  ASSERT_EQ(Select(r), STATUS_SUCCESS);
  TakeTrace();
  CloseAll();
  EXPECT_EQ(Reads(), (std::vector<ULONG>{0})) << "the last close selects no configuration";
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 0);
  EXPECT_FALSE(dx_->configured);
}

// A change of configuration ends the old pipes' transfers before the selection closes their
// handles in the bus driver.
TEST_F(Configuration, ChangeAbortsTheOldPipesBeforeSelecting) {
  Plug();
  ASSERT_EQ(Select(Request(0, Completed(0, {{0, 0, 64}}))), STATUS_SUCCESS);
  const HANDLE in = Another();
  ASSERT_EQ(BindPipe(in, sim::usb::test_device::kLoopbackIn), STATUS_SUCCESS);
  auto read = Start(in, true, std::vector<uint8_t>(64));
  ASSERT_TRUE(support::AwaitUntil([&] { return Bus::Get().HeldTransfers(pdo_) != 0; }, "the read held"));
  TakeTrace();
  ASSERT_EQ(Select(Request(1, Completed(1, {{0, 0, 64}}))), STATUS_SUCCESS);
  std::vector<USHORT> order;
  for (const TraceEntry &t : TakeTrace())
    if (t.function == URB_FUNCTION_ABORT_PIPE || t.function == URB_FUNCTION_SELECT_CONFIGURATION)
      order.push_back(t.function);
  EXPECT_EQ(order, (std::vector<USHORT>{URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SELECT_CONFIGURATION}));
  EXPECT_EQ(Finish(in, *read).status, ERR_USBD_CANCELED);
}

TEST_F(Configuration, StartTimeConfiguration) {
  Plug({{u"ConfigIndex", 0}, {u"Interface", 1}, {u"AlternateSetting", 1}, {u"MaxTransferSize", 0x12345}});
  ASSERT_EQ(sim::pnp::State(pdo_), sim::pnp::NodeState::Started);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 1);
  ExpectRecords(0, Completed(0, {{1, 1, 0x12345}}));  // the others in alternate setting 0
  // Made by no process: any may drop it.
  PEPROCESS b = sim::NewProcess("B");
  HANDLE hb = nullptr;
  ASSERT_EQ(OpenIn(b, &hb), STATUS_SUCCESS);
  EXPECT_EQ(SendIn(b, hb, IOCTL_UNCONFIGURE_DEVICE), STATUS_SUCCESS);
  CloseIn(b, hb);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 0);
  Unplug();

  sim::ClearEventLog();
  Plug({{u"ConfigIndex", 0}, {u"Interface", 7}});
  EXPECT_EQ(sim::pnp::State(pdo_), sim::pnp::NodeState::Failed);
  EXPECT_EQ(xrtest::LoggedTexts(), std::vector<std::string>{"Unable to configure the device during startup."});
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
    ASSERT_EQ(Select(Request(row.index, Completed(row.index, {{0, 0, 64}}))), STATUS_SUCCESS);
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

  // Not configured, the stored copy alone arms nothing.
  ASSERT_EQ(Send(IOCTL_UNCONFIGURE_DEVICE, nullptr, 0).status, STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_STORE_CONFIG_DESCRIPTOR, copy.data(), DWORD(copy.size())).status, STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, &wake, sizeof wake).status, STATUS_SUCCESS);
  EXPECT_FALSE(dx_->remoteWakeupArmed);
  ASSERT_EQ(Select(Request(1, Completed(1, {{0, 0, 64}}))), STATUS_SUCCESS);

  sim::FailNth(sim::AllocKind::Pool, 1, TAG_STORED_CONFIG_DESCRIPTOR);
  EXPECT_EQ(Send(IOCTL_STORE_CONFIG_DESCRIPTOR, copy.data(), DWORD(copy.size())).status, ERR_NO_MEMORY);
  EXPECT_EQ(dx_->storedConfigDescriptor, nullptr);

  // Removed while configured, with the handle still open: the records go with the device.
  Remove();
  CloseAll();
  ExpectGone(pdo_);
}

}  // namespace
