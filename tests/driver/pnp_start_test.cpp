// Device start and the Plug and Play state machine, driven by the Plug and Play manager with the
// driver above a simulated USB device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "include/xrusb/interface_guid.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/power.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"

namespace {

using sim::pnp::NodeState;
using sim::usb::Bus;
using sim::usb::PlugOptions;

constexpr GUID kDefaultGuid = XRUSB_DEFAULT_INTERFACE_GUID;

class PnpStart : public ::testing::Test {
 protected:
  void SetUp() override { driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb"); }

  // A fresh hardware key per device, named "Dev" so that its link can be followed.
  std::u16string NewKey() {
    std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\" +
                         sim::ToU16(std::to_string(++keys_).c_str());
    sim::registry::SetString(key, u"DriverDeviceBaseName", u"Dev");
    return key;
  }
  PDEVICE_OBJECT Plug(const std::u16string &key, PlugOptions options = {}) {
    options.registryKey = key;
    return Bus::Get().Plug(sim::usb::MakeTestDevice().model, driver_, options);
  }
  static DeviceExtension *Dx(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT top = sim::StackTop(pdo);
    return top == pdo ? nullptr : static_cast<DeviceExtension *>(top->DeviceExtension);
  }
  static void Unplug(PDEVICE_OBJECT pdo) {
    Bus::Get().Unplug(pdo);
    Bus::Get().Settle();
  }
  // Nothing of a removed device may remain.
  static void ExpectGone(PDEVICE_OBJECT pdo) {
    EXPECT_EQ(Dx(pdo), nullptr);
    EXPECT_EQ(sim::LookupDeviceByName(u"\\Device\\Dev0"), nullptr);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_TRUE(sim::EnabledInterfaces(kDefaultGuid).empty());
    EXPECT_EQ(Bus::Get().InterfaceReferences(pdo), 0);
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
    EXPECT_EQ(sim::PoolBlocksOutstanding(), 0u);
  }

  sim::World world_;
  PDRIVER_OBJECT driver_ = nullptr;
  int keys_ = 0;
};

TEST_F(PnpStart, BusInterfaceVersionsAndTheirRelease) {
  struct Row {
    const char *name;
    bool v0, v1;
    bool expectV1, expectAny;
  };
  const Row rows[] = {
      {"both offered", true, true, true, true},
      {"version 0 only", true, false, false, true},
      {"none", false, false, false, false},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    PlugOptions options;
    options.offerInterfaceV0 = r.v0;
    options.offerInterfaceV1 = r.v1;
    PDEVICE_OBJECT pdo = Plug(NewKey(), options);
    ASSERT_EQ(sim::pnp::State(pdo), NodeState::Started);
    DeviceExtension *dx = Dx(pdo);
    ASSERT_NE(dx, nullptr);
    EXPECT_EQ(dx->pnpState, PNP_STARTED);
    EXPECT_EQ(dx->devicePresent, 1);
    EXPECT_EQ(dx->requestsBlocked, 0);
    EXPECT_EQ(dx->busInterfaceV1 != nullptr, r.expectV1);
    EXPECT_EQ(dx->busInterface != nullptr, r.expectAny);
    EXPECT_EQ(Bus::Get().InterfaceReferences(pdo), r.expectAny ? 1 : 0);
    EXPECT_EQ(sim::EnabledInterfaces(kDefaultGuid).size(), 1u);
    EXPECT_EQ(sim::power::DeclaredState(dx->deviceObject), PowerDeviceD0);
    // MinPowerStateUnused at its default (D3): the system may sleep.
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
    Unplug(pdo);
    ExpectGone(pdo);
  }
}

TEST_F(PnpStart, QueriesHoldTransfersStopReleasesAndStartRestores) {
  std::u16string key = NewKey();
  sim::registry::SetDword(key, u"MinPowerStateUnused", 0);  // D0: keep the system awake while started
  PDEVICE_OBJECT pdo = Plug(key);
  DeviceExtension *dx = Dx(pdo);
  ASSERT_NE(dx, nullptr);
  EXPECT_EQ(sim::power::SystemStateRegistrations(), 1u);
  EXPECT_EQ(sim::power::Sleep(), STATUS_UNSUCCESSFUL);

  struct Expect {
    ULONG state;
    BOOLEAN present, blocked, enabled;
    long busReferences;
    size_t registrations;
  };
  const auto check = [&](const char *step, NTSTATUS status, Expect e) {
    SCOPED_TRACE(step);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(dx->pnpState, e.state);
    EXPECT_EQ(dx->devicePresent, e.present);
    EXPECT_EQ(dx->requestsBlocked, e.blocked);
    EXPECT_EQ(dx->interfacesEnabled, e.enabled);
    EXPECT_EQ(sim::EnabledInterfaces(kDefaultGuid).size(), e.enabled ? 1u : 0u);
    EXPECT_EQ(Bus::Get().InterfaceReferences(pdo), e.busReferences);
    EXPECT_EQ(sim::power::SystemStateRegistrations(), e.registrations);
  };
  check("query stop", sim::pnp::QueryStop(pdo), {PNP_STOP_PENDING, 1, 1, 1, 1, 1});
  check("cancel stop", sim::pnp::CancelStop(pdo), {PNP_STARTED, 1, 0, 1, 1, 1});
  check("query remove", sim::pnp::QueryRemove(pdo), {PNP_REMOVE_PENDING, 1, 1, 1, 1, 1});
  check("cancel remove", sim::pnp::CancelRemove(pdo), {PNP_STARTED, 1, 0, 1, 1, 1});
  check("query stop again", sim::pnp::QueryStop(pdo), {PNP_STOP_PENDING, 1, 1, 1, 1, 1});
  // A stopped device stays present: control codes answer "not ready", not "not present".
  check("stop", sim::pnp::Send(pdo, IRP_MN_STOP_DEVICE), {PNP_STOPPED, 1, 1, 0, 0, 0});
  EXPECT_EQ(dx->busInterface, nullptr);
  check("start after stop", sim::pnp::Send(pdo, IRP_MN_START_DEVICE), {PNP_STARTED, 1, 0, 1, 1, 1});

  // A start of a started device goes down but runs nothing of the driver's own start again.
  SetInterfaceState(dx, FALSE);
  EXPECT_EQ(sim::pnp::Send(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(dx->interfacesEnabled, 0);
  EXPECT_EQ(Bus::Get().InterfaceReferences(pdo), 1);
  SetInterfaceState(dx, TRUE);

  Unplug(pdo);
  ExpectGone(pdo);
}

TEST_F(PnpStart, SurpriseRemovalThenRemovalAndASecondRemoval) {
  PDEVICE_OBJECT pdo = Plug(NewKey());
  DeviceExtension *dx = Dx(pdo);
  ASSERT_NE(dx, nullptr);
  PDEVICE_OBJECT fdo = dx->deviceObject;
  // What an open handle holds; the last close drops it.
  InterlockedIncrement(&dx->referenceCount);

  // Not settled: the bus deletes its device only once the driver has detached.
  Bus::Get().Unplug(pdo);
  // The record outlives the removal while referenced; the device is no longer reachable.
  EXPECT_EQ(sim::StackTop(pdo), fdo);
  EXPECT_EQ(dx->pnpState, PNP_REMOVED);
  EXPECT_EQ(dx->devicePresent, 0);
  EXPECT_EQ(dx->requestsBlocked, 1);
  EXPECT_TRUE(sim::EnabledInterfaces(kDefaultGuid).empty());
  EXPECT_EQ(Bus::Get().InterfaceReferences(pdo), 0);
  EXPECT_EQ(dx->referenceCount, 1);

  // Refused before any reference is taken, so the AddDevice reference is not dropped twice.
  EXPECT_EQ(sim::pnp::Send(pdo, IRP_MN_REMOVE_DEVICE), STATUS_DELETE_PENDING);
  EXPECT_EQ(dx->referenceCount, 1);
  EXPECT_TRUE(sim::SymbolicLinkExists(u"\\DosDevices\\Dev0"));

  if (InterlockedDecrement(&dx->referenceCount) == 0) TeardownDevice(dx);
  Bus::Get().Settle();
  ExpectGone(pdo);
}

TEST_F(PnpStart, CapabilitiesAndDeviceStateReportedUpward) {
  struct Row {
    const char *name;
    int suppressDialog;  // -1: registry default
    int hide;            // -1: registry default
    ULONG busSurpriseOk;
    PNP_DEVICE_STATE busFlags;
    ULONG expectSurpriseOk;
    PNP_DEVICE_STATE expectFlags;
  };
  const Row rows[] = {
      {"defaults", -1, -1, 0, PNP_DEVICE_NOT_DISABLEABLE, 1, PNP_DEVICE_NOT_DISABLEABLE},
      {"dialog kept, bus says no", 0, 0, 0, 0, 0, 0},
      {"dialog kept, bus says yes", 0, 0, 1, 0, 1, 0},
      {"hidden", 1, 1, 0, PNP_DEVICE_NOT_DISABLEABLE, 1, PNP_DEVICE_NOT_DISABLEABLE | PNP_DEVICE_DONT_DISPLAY_IN_UI},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    std::u16string key = NewKey();
    if (r.suppressDialog >= 0) sim::registry::SetDword(key, u"SuppressPnPRemoveDlg", ULONG(r.suppressDialog));
    if (r.hide >= 0) sim::registry::SetDword(key, u"HideDevNodeWhenStarted", ULONG(r.hide));
    PlugOptions options;
    options.capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    options.capabilities.SurpriseRemovalOK = r.busSurpriseOk;
    options.capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    options.capabilities.DeviceState[PowerSystemShutdown] = PowerDeviceD2;  // the driver makes it D3
    options.capabilities.DeviceWake = PowerDeviceD2;
    options.deviceState = r.busFlags;
    PDEVICE_OBJECT pdo = Plug(key, options);
    DeviceExtension *dx = Dx(pdo);
    ASSERT_NE(dx, nullptr);

    const DEVICE_CAPABILITIES reported = sim::pnp::Capabilities(pdo);
    EXPECT_EQ(reported.SurpriseRemovalOK, r.expectSurpriseOk);
    EXPECT_EQ(reported.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(reported.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(memcmp(&dx->capabilities, &reported, sizeof reported), 0) << "the driver keeps what it reported";
    EXPECT_EQ(sim::pnp::DeviceState(pdo), r.expectFlags);

    // A query the bus driver does not answer leaves the kept copy alone.
    EXPECT_EQ(sim::pnp::Send(pdo, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(memcmp(&dx->capabilities, &reported, sizeof reported), 0);
    Unplug(pdo);
    ExpectGone(pdo);
  }
}

// The start selects the configuration itself; the device still goes without a trace.
TEST_F(PnpStart, ConfigIndexConfiguresAtStart) {
  std::u16string key = NewKey();
  sim::registry::SetDword(key, u"ConfigIndex", 1);
  PDEVICE_OBJECT pdo = Plug(key);
  ASSERT_EQ(sim::pnp::State(pdo), NodeState::Started);
  DeviceExtension *dx = Dx(pdo);
  ASSERT_NE(dx, nullptr);
  EXPECT_EQ(dx->configured, 1);
  EXPECT_EQ(dx->configuringProcess, nullptr);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo), 2);
  EXPECT_EQ(sim::EnabledInterfaces(kDefaultGuid).size(), 1u);
  Unplug(pdo);
  ExpectGone(pdo);
}

TEST_F(PnpStart, FirmwareFileFailsStartUntilDownloadExists) {
  std::u16string key = NewKey();
  sim::registry::SetString(key, u"FxFwFile", u"xrusb_fw.hex");
  PDEVICE_OBJECT pdo = Plug(key);
  // The manager removes a stack whose start failed.
  EXPECT_EQ(sim::pnp::State(pdo), NodeState::Failed);
  EXPECT_TRUE(Bus::Get().Trace(pdo).empty());
  Bus::Get().Settle();
  ExpectGone(pdo);
}

}  // namespace
