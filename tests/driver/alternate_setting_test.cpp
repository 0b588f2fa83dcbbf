// Switching one interface to another alternate setting as an application does it, checked
// against the device's own view, the selections the bus saw and the driver's records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/open_handle.h"
#include "driver/core/pool_tags.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pool.h"
#include "sim/usb/bus.h"
#include "plugged_device.h"

namespace {

using sim::usb::Bus;
using sim::usb::TraceEntry;
using simwin::HANDLE;
using simwin::INVALID_HANDLE_VALUE;

// The bus's USBD_STATUS_INTERFACE_NOT_FOUND as callers see it.
constexpr NTSTATUS kBusInterfaceNotFound = NTSTATUS(0xE0004000);

struct Endpoint {
  uint8_t address, type;
  uint16_t maxPacket;
};

std::vector<Endpoint> EndpointsOf(const std::vector<uint8_t> &config, uint8_t number, uint8_t alternate) {
  std::vector<Endpoint> out;
  bool inside = false;
  for (size_t i = 0; i + 1 < config.size() && config[i]; i += config[i]) {
    if (config[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
      inside = config[i + 2] == number && config[i + 3] == alternate;
    else if (inside && config[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
      out.push_back({config[i + 2], uint8_t(config[i + 3] & 3), uint16_t(config[i + 4] | config[i + 5] << 8)});
  }
  return out;
}

class AlternateSetting : public xrtest::PluggedDevice {
 protected:
  // Interface 1 at 'alternate', between interfaces 0 and 2.
  void Configure(uint16_t alternate) {
    ASSERT_EQ(PluggedDevice::Configure(0, {{0, 0, 4096}, {1, alternate, 512}, {2, 0, 64}}), STATUS_SUCCESS);
  }
  NTSTATUS Switch(uint16_t number, uint16_t alternate, uint32_t maxTransfer) {
    const InterfaceSetting s{number, alternate, maxTransfer};
    const NTSTATUS status = Send(IOCTL_SET_INTERFACE, &s, sizeof s).status;
    EXPECT_EQ(information_, 0u);
    EXPECT_EQ(sim::PoolUsage(TAG_ALTERNATE_SETTING).blocksOutstanding, 0u);
    return status;
  }
  ConfigurationInfo Info() {
    ConfigurationInfo info;
    EXPECT_EQ(Send(IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &info, sizeof info).status, STATUS_SUCCESS);
    return info;
  }
  // The select-interface requests the bus saw since the last look; what they selected shows in
  // the device.
  size_t Selections() {
    size_t n = 0;
    for (const TraceEntry &t : Bus::Get().Trace(pdo_)) n += t.function == URB_FUNCTION_SELECT_INTERFACE;
    Bus::Get().ClearTrace(pdo_);
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
  // Interfaces 0 and 2 as configured, in that order, with nothing of interface 1.
  void ExpectOnlyOthers(const ConfigurationInfo &info) {
    ASSERT_EQ(info.NumberOfInterfaces, 2u);
    EXPECT_EQ(info.Interfaces[0].InterfaceNumber, 0);
    EXPECT_EQ(info.Interfaces[1].InterfaceNumber, 2);
    ASSERT_EQ(info.NumberOfPipes, 7u);
    for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(info.Pipes[i].InterfaceNumber, i < 6 ? 0 : 2);
  }
};

// Bindings are made by hand: the bind code is not carried out here.
void Bind(OpenHandle *h, PipeContext *p) {
  h->boundPipe = p;
  p->boundHandle = h;
}

TEST_F(AlternateSetting, SwitchAndBackLeavesOtherInterfacesAlone) {
  Configure(0);
  const std::vector<PipeContext *> zeroPipes = PipesOf(0), twoPipes = PipesOf(2);
  ASSERT_EQ(zeroPipes.size(), 6u);

  ASSERT_EQ(Switch(1, 2, 0x3000), STATUS_SUCCESS);
  EXPECT_EQ(Selections(), 1u);
  EXPECT_EQ(DeviceAlternate(1), 2);
  ConfigurationInfo info = Info();
  ASSERT_EQ(info.NumberOfInterfaces, 3u);
  EXPECT_EQ(info.Interfaces[2].InterfaceNumber, 1) << "the switched interface comes last";
  EXPECT_EQ(info.Interfaces[2].AlternateSetting, 2);
  const std::vector<Endpoint> endpoints = EndpointsOf(device_.model->configurations[0], 1, 2);
  ASSERT_EQ(endpoints.size(), 2u);
  ASSERT_EQ(info.NumberOfPipes, 9u);
  for (size_t i = 0; i < endpoints.size(); ++i) {
    const PipeSummary &p = info.Pipes[7 + i];
    EXPECT_EQ(p.InterfaceNumber, 1);
    EXPECT_EQ(p.EndpointAddress, endpoints[i].address);
    EXPECT_EQ(p.PipeType, endpoints[i].type);
    EXPECT_EQ(p.MaximumPacketSize, endpoints[i].maxPacket);
    EXPECT_EQ(p.MaximumTransferSize, 0x3000u);
  }
  EXPECT_EQ(PipesOf(0), zeroPipes) << "the same records, not new ones";
  EXPECT_EQ(PipesOf(2), twoPipes);

  // A handle on interface 0 keeps its pipe; one on interface 1 loses it.
  HANDLE h2 = simwin::CreateFileW(u"\\\\.\\Dev0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h2, INVALID_HANDLE_VALUE);
  OpenHandle *first = CONTAINING_RECORD(dx_->openHandleList.Flink, OpenHandle, link);
  OpenHandle *second = CONTAINING_RECORD(dx_->openHandleList.Flink->Flink, OpenHandle, link);
  Bind(first, zeroPipes[1]);
  Bind(second, PipesOf(1)[0]);

  ASSERT_EQ(Switch(1, 0, 0x3000), STATUS_SUCCESS);
  EXPECT_EQ(Selections(), 1u);
  EXPECT_EQ(DeviceAlternate(1), 0);
  EXPECT_EQ(second->boundPipe, nullptr);
  EXPECT_EQ(first->boundPipe, zeroPipes[1]);
  EXPECT_EQ(zeroPipes[1]->boundHandle, first);
  info = Info();
  ASSERT_EQ(info.NumberOfInterfaces, 3u);
  EXPECT_EQ(info.Interfaces[2].InterfaceNumber, 1);
  EXPECT_EQ(info.Interfaces[2].AlternateSetting, 0);
  EXPECT_EQ(info.Interfaces[2].NumberOfPipes, 0);
  EXPECT_EQ(info.NumberOfPipes, 7u);
  EXPECT_EQ(PipesOf(0), zeroPipes);

  first->boundPipe = nullptr, zeroPipes[1]->boundHandle = nullptr;
  EXPECT_TRUE(simwin::CloseHandle(h2));
}

// Refused before anything is dropped: the records and the device stay as they were.
TEST_F(AlternateSetting, RefusalsChangeNothing) {
  EXPECT_EQ(Switch(1, 2, 64), ERR_NOT_CONFIGURED);
  Configure(1);
  const ConfigurationInfo before = Info();
  struct Row {
    const char *name;
    uint16_t number;
  };
  for (const Row &row : {Row{"not in the configuration", 3}, Row{"only its low byte is recorded", 0x0101}}) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Switch(row.number, 2, 64), ERR_INTERFACE_NOT_FOUND);
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
    ExpectOnlyOthers(Info());
    EXPECT_EQ(Switch(1, 2, 64), ERR_INTERFACE_NOT_FOUND);
    EXPECT_EQ(DeviceAlternate(1), 2) << "the device keeps the setting it had";
    ASSERT_EQ(Send(IOCTL_UNCONFIGURE_DEVICE, nullptr, 0).status, STATUS_SUCCESS);
  }
}

}  // namespace
