// The PDO's Plug and Play and power side: the direct-call interface, capabilities, wait-wake,
// suspend, port reset and cycle, bus information.
#include "bus_test_client.h"
#include "platform/host/usbbusif.h"
#include "sim/kernel/power.h"
#include "sim/kernel/threads.h"

using namespace bustest;

namespace {

class BusPnpTest : public BusTest {
 protected:
  NTSTATUS QueryBusInterface(USHORT version, USB_BUS_INTERFACE_USBDI_V1 *bi, const GUID *type = &USB_BUS_INTERFACE_USBDI_GUID) {
    *bi = {};
    return sim::pnp::Send(pdo_, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION s) {
      s->Parameters.QueryInterface.InterfaceType = type;
      s->Parameters.QueryInterface.Size = version ? sizeof(USB_BUS_INTERFACE_USBDI_V1) : sizeof(USB_BUS_INTERFACE_USBDI_V0);
      s->Parameters.QueryInterface.Version = version;
      s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(bi);
    });
  }
  std::unique_ptr<Request> WaitWake() {
    return Send(IRP_MJ_POWER, [](PIO_STACK_LOCATION s) {
      s->MinorFunction = IRP_MN_WAIT_WAKE;
      s->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    });
  }
};

// The speed query per version, the references and the frame clock the driver's port-request
// tests see through the driver; here the values they compare against the bus itself.
TEST_F(BusPnpTest, BusInterfaceAnswersFromTheBusClockAndBandwidth) {
  auto full = MakeTestDevice({.speed = Speed::Full});
  Plug(full.model);
  USB_BUS_INTERFACE_USBDI_V1 bi;
  ASSERT_EQ(STATUS_SUCCESS, QueryBusInterface(1, &bi));
  ULONG frame = 0;
  EXPECT_EQ(STATUS_SUCCESS, bi.QueryBusTime(bi.BusContext, &frame));
  EXPECT_LE(frame, CurrentFrameFromUrb());
  USB_BUS_INFORMATION_LEVEL_0 level0{};
  ULONG length = sizeof level0, actual = 0;
  EXPECT_EQ(STATUS_SUCCESS, bi.QueryBusInformation(bi.BusContext, 0, &level0, &length, &actual));
  EXPECT_EQ(12000u, level0.TotalBandwidth);
  bi.InterfaceDereference(bi.BusContext);
  // Another GUID is not the bus's to answer: the request keeps its status.
  GUID other{};
  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryBusInterface(1, &bi, &other));
}

// The defaults; what a plug passes instead, the driver's start tests see reported upward.
TEST_F(BusPnpTest, DefaultCapabilitiesAndBusInformation) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  DEVICE_CAPABILITIES caps = sim::pnp::Capabilities(pdo_);
  EXPECT_EQ(sizeof caps, caps.Size) << "the caller's size stays";
  EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
  EXPECT_EQ(PowerDeviceD2, caps.DeviceState[PowerSystemSleeping3]);
  EXPECT_EQ(PowerSystemSleeping3, caps.SystemWake);
  EXPECT_EQ(PowerDeviceD2, caps.DeviceWake);
  EXPECT_TRUE(caps.Removable && caps.SurpriseRemovalOK);

  Configure();
  USB_BUS_NOTIFICATION info{};
  info.NotificationType = AcquireBusInfo;
  EXPECT_EQ(STATUS_SUCCESS, SendInternal(IOCTL_INTERNAL_USB_GET_BUS_INFO, &info)->Wait());
  EXPECT_EQ(480000u, info.TotalBandwidth);
  EXPECT_EQ(128u, info.ConsumedBandwidth) << "the two interrupt pipes";
}

// What the hub's port tells the Plug and Play manager of a device before a driver is loaded for
// it: lists keep their NULs; without strings the port names the instance and nothing describes it.
TEST_F(BusPnpTest, IdentifiesTheDeviceAsAHubPortDoes) {
  using namespace std::string_literals;
  struct Row {
    const char *what;
    UCHAR minor;
    ULONG type;
    std::u16string withStrings, without;
  };
  const Row rows[] = {
      {"device", IRP_MN_QUERY_ID, BusQueryDeviceID, u"USB\\VID_1209&PID_7355", u"USB\\VID_1209&PID_7355"},
      {"hardware", IRP_MN_QUERY_ID, BusQueryHardwareIDs, u"USB\\VID_1209&PID_7355&REV_0100\0USB\\VID_1209&PID_7355\0"s,
       u"USB\\VID_1209&PID_7355&REV_0100\0USB\\VID_1209&PID_7355\0"s},
      {"compatible (three interfaces)", IRP_MN_QUERY_ID, BusQueryCompatibleIDs,
       u"USB\\DevClass_00&SubClass_00&Prot_00\0USB\\DevClass_00&SubClass_00\0USB\\DevClass_00\0USB\\COMPOSITE\0"s,
       u"USB\\DevClass_00&SubClass_00&Prot_00\0USB\\DevClass_00&SubClass_00\0USB\\DevClass_00\0USB\\COMPOSITE\0"s},
      {"instance", IRP_MN_QUERY_ID, BusQueryInstanceID, u"0001", u"2"},
      {"description", IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, u"xrusb test device", u""},
      {"location", IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation, u"Port_#0001.Hub_#0001",
       u"Port_#0002.Hub_#0001"},
  };
  auto named = MakeTestDevice();
  PDEVICE_OBJECT withStrings = Plug(named.model);
  auto bare = MakeTestDevice({.product = u"", .serial = u""});
  PDEVICE_OBJECT without = Plug(bare.model);
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(sim::pnp::Text(withStrings, r.minor, r.type), r.withStrings);
    EXPECT_EQ(sim::pnp::Text(without, r.minor, r.type), r.without);
  }
  EXPECT_EQ(sim::pnp::TargetDevice(without), without);
}

TEST_F(BusPnpTest, WaitWakeIsHeldUntilWakeUpOrCancel) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, WaitWake()->returned) << "unconfigured: nothing can wake";
  Configure(1);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, WaitWake()->returned) << "configuration 2 has no remote wake-up attribute";
  Configure(0);
  auto w = WaitWake();
  EXPECT_EQ(STATUS_PENDING, w->returned);
  EXPECT_TRUE(Bus::Get().WaitWakePending(pdo_));
  EXPECT_EQ(NTSTATUS(0x80000011), WaitWake()->returned) << "STATUS_DEVICE_BUSY";
  EXPECT_FALSE(w->Completed());
  EXPECT_TRUE(dev.SignalRemoteWakeup());
  EXPECT_EQ(STATUS_SUCCESS, w->Wait());
  EXPECT_FALSE(dev.SignalRemoteWakeup()) << "no request left to complete";

  w = WaitWake();
  EXPECT_EQ(STATUS_PENDING, w->returned);
  EXPECT_TRUE(IoCancelIrp(w->irp));
  EXPECT_EQ(STATUS_CANCELLED, w->Wait());
  EXPECT_EQ(1, w->completions);
  EXPECT_FALSE(Bus::Get().WaitWakePending(pdo_));

  // Unplugged with one held: it ends as the device does.
  w = WaitWake();
  EXPECT_EQ(STATUS_PENDING, w->returned);
  Bus::Get().Unplug(pdo_);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, w->Wait());
}

// Out of D0 the device is suspended: a transfer the bus holds waits for D0, a new one is refused
// without reaching the device. The set-power request sent from DISPATCH_LEVEL reaches the pageable
// PDO later, at PASSIVE_LEVEL.
TEST_F(BusPnpTest, SuspendedDeviceHoldsTransfersAndRefusesNewOnes) {
  Plug(MakeTestDevice().model);
  Configure(0);
  auto setPower = [&](DEVICE_POWER_STATE d) {
    std::unique_ptr<Request> r;
    sim::RunAtIrql(DISPATCH_LEVEL, [&] {
      r = Send(IRP_MJ_POWER, [d](PIO_STACK_LOCATION s) {
        s->MinorFunction = IRP_MN_SET_POWER;
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = d;
      });
    });
    EXPECT_EQ(Outcome(STATUS_PENDING, STATUS_SUCCESS), Outcome(r->returned, r->Wait()));
    EXPECT_EQ(d, sim::power::DeclaredState(pdo_));
  };
  uint8_t in[16], out[16] = {1, 2, 3};
  URB read = Bulk(Pipe(kLoopbackIn), in, 16, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  auto held = Submit(read);
  setPower(PowerDeviceD2);
  URB write = Bulk(Pipe(kLoopbackOut), out, 16, 0);
  EXPECT_EQ(Outcome(NTSTATUS(0x8000000F), USBD_STATUS(0xFFFFFFFF)), Run(write)) << "STATUS_DEVICE_POWERED_OFF, URB untouched";
  setPower(PowerDeviceD0);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(write));
  EXPECT_EQ(STATUS_SUCCESS, held->Wait()) << "the held read goes on";
}

TEST_F(BusPnpTest, PortResetKeepsTheConfigurationAndCycleReenumerates) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  Configure(1);
  uint8_t buf[16];
  Bus::Get().FailEndpoint(pdo_, kConfig2LoopbackIn, {Response::Stall()});
  URB rd = Bulk(Pipe(kConfig2LoopbackIn), buf, 16, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(rd));
  EXPECT_EQ(STATUS_SUCCESS, SendInternal(IOCTL_INTERNAL_USB_RESET_PORT, nullptr)->Wait());
  auto seen = dev.state->Snapshot();
  EXPECT_EQ(1u, seen.resetCount);
  EXPECT_EQ(2, seen.configuration) << "the hub puts the configuration back";
  EXPECT_EQ(2, Bus::Get().ConfigurationValue(pdo_));
  EXPECT_FALSE(Bus::Get().EndpointHalted(pdo_, kConfig2LoopbackIn));
  URB w = Bulk(Pipe(kConfig2LoopbackOut), buf, 16, 0);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(w));
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(rd)) << "pipe handles stay good across a reset";

  PDEVICE_OBJECT old = pdo_;
  EXPECT_EQ(STATUS_SUCCESS, SendInternal(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr)->Wait());
  Bus::Get().Settle();
  PDEVICE_OBJECT now = Bus::Get().Current(old);
  ASSERT_NE(old, now);
  EXPECT_TRUE(sim::DeviceDeleted(old));
  EXPECT_EQ(sim::pnp::NodeState::Started, sim::pnp::State(now));
  EXPECT_EQ(dev.model, Bus::Get().Model(now));
  EXPECT_EQ(0, Bus::Get().ConfigurationValue(now)) << "a new arrival starts unconfigured";
  pdo_ = now;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(rd)) << "the old device's handles mean nothing";

  // Cycled again before the re-enumeration has run: still one device on the port.
  Bus::Get().Reenumerate(pdo_, dev.model);
  Bus::Get().Reenumerate(pdo_, dev.model);
  Bus::Get().Settle();
  pdo_ = Bus::Get().Current(pdo_);
  EXPECT_EQ(sim::pnp::StartedStacks(), std::vector<PDEVICE_OBJECT>{pdo_});
}

}  // namespace
