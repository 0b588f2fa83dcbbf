// Device start and the Plug and Play state machine, driven by the Plug and Play manager with the
// driver above a simulated USB device; and a bus that answers the start's interface query late.
#include <atomic>
#include <cstring>
#include <thread>

#include "driver/pnp_power/pnp.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/pnp.h"
#include "tests/support/await.h"

namespace {

using sim::pnp::NodeState;
using sim::usb::Bus;
using sim::usb::PlugOptions;

constexpr GUID kDefaultGuid = XRUSB_DEFAULT_INTERFACE_GUID;

class PnpStart : public xrtest::PluggedDevice {
 protected:
  PnpStart() : PluggedDevice(false) {}
};

TEST_F(PnpStart, QueriesHoldTransfersStopReleasesAndStartRestores) {
  Plug({{u"MinPowerStateUnused", 0}});  // D0: keep the system awake while started
  EXPECT_EQ(sim::power::SystemStateRegistrations(), 1u);
  EXPECT_EQ(sim::power::Sleep(), STATUS_UNSUCCESSFUL);

  // Pending and stopped, the device holds off what needs the bus with "not ready" (a stopped
  // device is still present) and still answers what does not.
  struct Expect {
    ULONG state;
    bool blocked, enabled;
    long busReferences;
    size_t registrations;
  };
  const auto check = [&](const char *step, NTSTATUS status, Expect e) {
    SCOPED_TRACE(step);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(dx_->pnpState, e.state);
    EXPECT_EQ(SendZeroed(IOCTL_GET_CONFIGURATION, 0, 1).status, e.blocked ? ERR_DEVICE_NOT_READY : STATUS_SUCCESS);
    EXPECT_EQ(SendZeroed(IOCTL_GET_DEVICE_PARAMETERS, 0, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::EnabledInterfaces(kDefaultGuid).size(), e.enabled ? 1u : 0u);
    EXPECT_EQ(Bus::Get().InterfaceReferences(pdo_), e.busReferences);
    EXPECT_EQ(sim::power::SystemStateRegistrations(), e.registrations);
  };
  check("query stop", sim::pnp::QueryStop(pdo_), {PNP_STOP_PENDING, true, true, 1, 1});
  check("cancel stop", sim::pnp::CancelStop(pdo_), {PNP_STARTED, false, true, 1, 1});
  check("query remove", sim::pnp::QueryRemove(pdo_), {PNP_REMOVE_PENDING, true, true, 1, 1});
  check("cancel remove", sim::pnp::CancelRemove(pdo_), {PNP_STARTED, false, true, 1, 1});
  check("query stop again", sim::pnp::QueryStop(pdo_), {PNP_STOP_PENDING, true, true, 1, 1});
  check("stop", sim::pnp::Send(pdo_, IRP_MN_STOP_DEVICE), {PNP_STOPPED, true, false, 0, 0});
  check("start after stop", sim::pnp::Send(pdo_, IRP_MN_START_DEVICE), {PNP_STARTED, false, true, 1, 1});

  // A start of a started device goes down but runs nothing of the driver's own start again.
  SetInterfaceState(dx_, FALSE);
  EXPECT_EQ(sim::pnp::Send(pdo_, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(sim::EnabledInterfaces(kDefaultGuid).empty());
  EXPECT_EQ(Bus::Get().InterfaceReferences(pdo_), 1);
  SetInterfaceState(dx_, TRUE);
  UnplugExpectingNothingLeft();
}

TEST_F(PnpStart, CapabilitiesAndDeviceStateReportedUpward) {
  struct Row {
    const char *name;
    Values values;
    ULONG busSurpriseOk;
    PNP_DEVICE_STATE busFlags;
    ULONG expectSurpriseOk;
    PNP_DEVICE_STATE expectFlags;
  };
  const Values shown = {{u"SuppressPnPRemoveDlg", 0}, {u"HideDevNodeWhenStarted", 0}};
  const Row rows[] = {
      {"defaults", {}, 0, PNP_DEVICE_NOT_DISABLEABLE, 1, PNP_DEVICE_NOT_DISABLEABLE},
      {"dialog kept, bus says no", shown, 0, 0, 0, 0},
      {"dialog kept, bus says yes", shown, 1, 0, 1, 0},
      {"hidden", {{u"SuppressPnPRemoveDlg", 1}, {u"HideDevNodeWhenStarted", 1}}, 0, PNP_DEVICE_NOT_DISABLEABLE, 1,
       PNP_DEVICE_NOT_DISABLEABLE | PNP_DEVICE_DONT_DISPLAY_IN_UI},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    PlugOptions options;
    options.capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    options.capabilities.SurpriseRemovalOK = r.busSurpriseOk;
    options.capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    options.capabilities.DeviceState[PowerSystemShutdown] = PowerDeviceD2;  // the driver makes it D3
    options.capabilities.DeviceWake = PowerDeviceD2;
    options.deviceState = r.busFlags;
    Plug(r.values, options);

    const DEVICE_CAPABILITIES reported = sim::pnp::Capabilities(pdo_);
    EXPECT_EQ(reported.SurpriseRemovalOK, r.expectSurpriseOk);
    EXPECT_EQ(reported.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(reported.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(memcmp(&dx_->capabilities, &reported, sizeof reported), 0) << "the driver keeps what it reported";
    EXPECT_EQ(sim::pnp::DeviceState(pdo_), r.expectFlags);

    // A query the bus driver does not answer leaves the kept copy alone.
    EXPECT_EQ(sim::pnp::Send(pdo_, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(memcmp(&dx_->capabilities, &reported, sizeof reported), 0);
    UnplugExpectingNothingLeft();
  }
}

// What the driver leaves alone reaches the bus and comes back as the bus answered it. A paging
// file it refuses: no file system lives on the device, and the stack stays pageable.
TEST_F(PnpStart, OtherRequestsPassDownAndPagingIsRefused) {
  Plug();
  EXPECT_EQ(sim::pnp::TargetDevice(pdo_), pdo_);
  EXPECT_EQ(sim::pnp::NotifyUsage(pdo_, DeviceUsageTypePaging, true), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(pdo_->Flags & DO_POWER_PAGABLE) << "refused above the bus";
  EXPECT_EQ(sim::pnp::NotifyUsage(pdo_, DeviceUsageTypeBoot, true), STATUS_NOT_SUPPORTED) << "untouched on its way";
  UnplugExpectingNothingLeft();
}

// The device leaves the bus while its start sets the configuration. The start completes first
// (Plug and Play requests for one device are serialised), then the surprise removal and the
// removal take the stack down whole.
TEST_F(PnpStart, DeviceLeavingDuringTheStartGoesAfterIt) {
  key_ = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\leaving";
  sim::registry::SetString(key_, u"DriverDeviceBaseName", u"Dev");
  sim::registry::SetDword(key_, u"ConfigIndex", 0);
  device_ = sim::usb::MakeTestDevice();
  auto model = device_.model;
  model->configured = [m = model.get(), inner = model->configured](uint8_t value) {
    if (inner) inner(value);
    if (value) Bus::Get().Unplug(m->pdo);
  };
  PlugOptions options;
  options.registryKey = key_;
  pdo_ = Bus::Get().Plug(model, driver_, options);
  Bus::Get().Settle();
  const std::vector<UCHAR> sent = sim::pnp::Sent(pdo_);
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(std::vector<UCHAR>(sent.end() - 4, sent.end()),
            std::vector<UCHAR>({IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_SURPRISE_REMOVAL,
                                IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(sim::pnp::State(pdo_), NodeState::Removed);
  ExpectGone(pdo_);
}

// A bus that holds the query, cancellable, until the test answers it.
struct SlowBus {
  static inline std::atomic<PIRP> held{nullptr};
  static inline std::atomic<int> cancels{0};
  static inline std::atomic<int> references{0};

  static VOID Reference(PVOID) { ++references; }
  static VOID Dereference(PVOID) { --references; }
  static VOID Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++cancels;
  }
  static NTSTATUS Pnp(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, Cancel);
    held = irp;
    return STATUS_PENDING;
  }
  // Answers late, handing the interface out referenced as a bus driver does.
  static void AnswerWithSuccess() {
    PIRP irp = held;
    auto *bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(
        IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface.Interface);
    bi->BusContext = irp;
    bi->InterfaceReference = Reference;
    bi->InterfaceDereference = Dereference;
    Reference(bi->BusContext);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
};

TEST(BusInterface, AnAnswerAfterTheTimeOutIsNotKeptAndItsReferenceIsDropped) {
  SlowBus::held = nullptr;
  SlowBus::cancels = SlowBus::references = 0;
  xrtest::DriverWorld w({sim::ClockMode::Manual});
  w.bus->MajorFunction[IRP_MJ_PNP] = SlowBus::Pnp;
  w.Load();
  ASSERT_EQ(xrtest::AddDeviceOn(w, w.pdo), STATUS_SUCCESS);
  DeviceExtension *dx = xrtest::DeviceAbove(w.pdo);

  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread start([&] { result = QueryBusInterface(dx, USB_BUSIF_USBDI_VERSION_1, &dx->usbBusInterface); });
  sim::AwaitTimedWaitsStarted(1);
  sim::AdvanceMs(1999);
  EXPECT_EQ(SlowBus::cancels, 0);
  sim::AdvanceMs(1);  // two seconds: the query is cancelled, and the bus takes its time
  ASSERT_TRUE(support::AwaitUntil([] { return SlowBus::cancels > 0; }));
  for (int s = 0; s < 3; ++s) sim::AdvanceMs(1000);
  EXPECT_EQ(result.load(), STATUS_PENDING);
  SlowBus::AnswerWithSuccess();
  start.join();
  EXPECT_EQ(result.load(), ERR_TIMEOUT);
  EXPECT_EQ(SlowBus::references, 0);
  EXPECT_EQ(dx->busInterface, nullptr);
  TeardownDevice(dx);
}

}  // namespace
