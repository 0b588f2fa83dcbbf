// The PDO's Plug and Play and power side: the direct-call interface, capabilities, wait-wake,
// port reset and cycle, bus information.
#include "bus_test_client.h"
#include "platform/host/usbbusif.h"

using namespace bustest;

namespace {

class BusPnpTest : public BusTest {
 protected:
  NTSTATUS QueryBusInterface(USHORT version, USB_BUS_INTERFACE_USBDI_V1 *bi) {
    *bi = {};
    return sim::pnp::Send(pdo_, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION s) {
      s->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
      s->Parameters.QueryInterface.Size = version ? sizeof(USB_BUS_INTERFACE_USBDI_V1) : sizeof(USB_BUS_INTERFACE_USBDI_V0);
      s->Parameters.QueryInterface.Version = version;
      s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(bi);
    });
  }
  NTSTATUS WaitWake(std::unique_ptr<Request> &out) {
    auto r = std::make_unique<Request>();
    PDEVICE_OBJECT fdo = Fdo();
    r->irp = IoAllocateIrp(fdo->StackSize, FALSE);
    r->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_WAIT_WAKE;
    next->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    IoSetCompletionRoutine(r->irp, Request::Done, r.get(), TRUE, TRUE, TRUE);
    r->returned = PoCallDriver(LowerOf(fdo), r->irp);
    out = std::move(r);
    return out->returned;
  }
  void Configure(TestDevice &dev, size_t index) {
    SelectConfig sc(dev.model->configurations[index], {{0, 0, uint8_t(index ? 2 : 3)}});
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(*sc.urb()));
  }
};

TEST_F(BusPnpTest, BusInterfaceVersionsAsOfferedWithBalancedReferences) {
  TestDevice full(Speed::Full);
  Plug(full.model);
  USB_BUS_INTERFACE_USBDI_V1 bi;
  ASSERT_EQ(STATUS_SUCCESS, QueryBusInterface(1, &bi));
  EXPECT_EQ(sizeof(USB_BUS_INTERFACE_USBDI_V1), bi.Size);
  EXPECT_EQ(1, Bus::Get().InterfaceReferences(pdo_)) << "handed out referenced";
  ULONG frame = 0;
  EXPECT_EQ(STATUS_SUCCESS, bi.QueryBusTime(bi.BusContext, &frame));
  EXPECT_LE(frame, CurrentFrameFromUrb());
  EXPECT_FALSE(bi.IsDeviceHighSpeed(bi.BusContext));
  USB_BUS_INFORMATION_LEVEL_0 level0{};
  ULONG length = sizeof level0, actual = 0;
  EXPECT_EQ(STATUS_SUCCESS, bi.QueryBusInformation(bi.BusContext, 0, &level0, &length, &actual));
  EXPECT_EQ(12000u, level0.TotalBandwidth);
  EXPECT_EQ(sizeof level0, actual);
  length = 4;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, bi.QueryBusInformation(bi.BusContext, 0, &level0, &length, &actual));
  USBD_VERSION_INFORMATION version{};
  ULONG caps = 7;
  bi.GetUSBDIVersion(bi.BusContext, &version, &caps);
  EXPECT_EQ(0x200u, version.Supported_USB_Version);
  bi.InterfaceReference(bi.BusContext);
  EXPECT_EQ(2, Bus::Get().InterfaceReferences(pdo_));
  bi.InterfaceDereference(bi.BusContext);
  bi.InterfaceDereference(bi.BusContext);
  EXPECT_EQ(0, Bus::Get().InterfaceReferences(pdo_));
  // Another GUID is not the bus's to answer: the request keeps its status.
  GUID other{};
  NTSTATUS status = sim::pnp::Send(pdo_, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION s) {
    s->Parameters.QueryInterface.InterfaceType = &other;
    s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bi);
  });
  EXPECT_EQ(STATUS_NOT_SUPPORTED, status);

  // A bus that offers version 0 only, then none.
  TestDevice high;
  PlugOptions v0only;
  v0only.offerInterfaceV1 = false;
  Plug(high.model, v0only);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryBusInterface(1, &bi));
  ASSERT_EQ(STATUS_SUCCESS, QueryBusInterface(0, &bi));
  EXPECT_EQ(sizeof(USB_BUS_INTERFACE_USBDI_V0), bi.Size);
  EXPECT_EQ(nullptr, bi.IsDeviceHighSpeed) << "not part of version 0";
  bi.InterfaceDereference(bi.BusContext);
  TestDevice bare;
  PlugOptions none;
  none.offerInterfaceV0 = none.offerInterfaceV1 = false;
  Plug(bare.model, none);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, QueryBusInterface(0, &bi));
  EXPECT_EQ(0, Bus::Get().InterfaceReferences(pdo_));
}

TEST_F(BusPnpTest, CapabilitiesDeviceStateAndBusInformation) {
  TestDevice dev;
  Plug(dev.model);
  DEVICE_CAPABILITIES caps = sim::pnp::Capabilities(pdo_);
  EXPECT_EQ(sizeof caps, caps.Size) << "the caller's size stays";
  EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
  EXPECT_EQ(PowerDeviceD2, caps.DeviceState[PowerSystemSleeping3]);
  EXPECT_EQ(PowerSystemSleeping3, caps.SystemWake);
  EXPECT_EQ(PowerDeviceD2, caps.DeviceWake);
  EXPECT_TRUE(caps.Removable && caps.SurpriseRemovalOK);

  TestDevice other;
  PlugOptions options;
  options.capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  options.capabilities.SystemWake = PowerSystemSleeping1;
  options.capabilities.DeviceWake = PowerDeviceD3;
  options.deviceState = PNP_DEVICE_DONT_DISPLAY_IN_UI;
  Plug(other.model, options);
  caps = sim::pnp::Capabilities(pdo_);
  EXPECT_EQ(PowerSystemSleeping1, caps.SystemWake);
  EXPECT_EQ(PowerDeviceD3, caps.DeviceWake);
  EXPECT_EQ(PNP_DEVICE_DONT_DISPLAY_IN_UI, sim::pnp::DeviceState(pdo_));

  Configure(other, 0);
  USB_BUS_NOTIFICATION info{};
  info.NotificationType = AcquireBusInfo;
  EXPECT_EQ(STATUS_SUCCESS, SendInternal(IOCTL_INTERNAL_USB_GET_BUS_INFO, &info)->Wait());
  EXPECT_EQ(480000u, info.TotalBandwidth);
  EXPECT_EQ(512u, info.ConsumedBandwidth);
  EXPECT_EQ(Bus::Get().ConsumedBandwidth(), info.ConsumedBandwidth);
}

TEST_F(BusPnpTest, WaitWakeIsHeldUntilWakeUpOrCancel) {
  TestDevice dev;
  Plug(dev.model);
  std::unique_ptr<Request> w;
  EXPECT_EQ(STATUS_NOT_SUPPORTED, WaitWake(w)) << "unconfigured: nothing can wake";
  Configure(dev, 1);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, WaitWake(w)) << "configuration 2 has no remote wake-up attribute";
  Configure(dev, 0);
  EXPECT_EQ(STATUS_PENDING, WaitWake(w));
  EXPECT_TRUE(Bus::Get().WaitWakePending(pdo_));
  std::unique_ptr<Request> second;
  EXPECT_EQ(NTSTATUS(0x80000011), WaitWake(second)) << "STATUS_DEVICE_BUSY";
  EXPECT_FALSE(w->Completed());
  EXPECT_TRUE(Bus::Get().SignalRemoteWakeup(pdo_));
  EXPECT_EQ(STATUS_SUCCESS, w->Wait());
  EXPECT_FALSE(Bus::Get().SignalRemoteWakeup(pdo_)) << "no request left to complete";

  EXPECT_EQ(STATUS_PENDING, WaitWake(w));
  EXPECT_TRUE(IoCancelIrp(w->irp));
  EXPECT_EQ(STATUS_CANCELLED, w->Wait());
  EXPECT_EQ(1, w->completions);
  EXPECT_FALSE(Bus::Get().WaitWakePending(pdo_));

  // Unplugged with one held: it ends as the device does.
  EXPECT_EQ(STATUS_PENDING, WaitWake(w));
  Bus::Get().Unplug(pdo_);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, w->Wait());
}

TEST_F(BusPnpTest, PortResetKeepsTheConfigurationAndCycleReenumerates) {
  TestDevice dev;
  int resets = 0;
  dev.model->portReset = [&] { ++resets; };
  Plug(dev.model);
  SelectConfig sc(dev.model->configurations[1], {{0, 0, 2}});
  ASSERT_EQ(STATUS_SUCCESS, SubmitSync(*sc.urb()));
  USBD_PIPE_HANDLE in = sc.Interface(0)->Pipes[1].PipeHandle;
  uint8_t buf[16];
  Bus::Get().FailEndpoint(pdo_, 0x81, {Response::Stall()});
  URB rd = Bulk(in, buf, 16, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(rd));
  EXPECT_EQ(STATUS_SUCCESS, SendInternal(IOCTL_INTERNAL_USB_RESET_PORT, nullptr)->Wait());
  EXPECT_EQ(1, resets);
  EXPECT_EQ(2, Bus::Get().ConfigurationValue(pdo_));
  EXPECT_FALSE(Bus::Get().EndpointHalted(pdo_, 0x81));
  rd = Bulk(in, buf, 16, USBD_TRANSFER_DIRECTION_IN);
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
  rd = Bulk(in, buf, 16, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(rd)) << "the old device's handles mean nothing";
}

}  // namespace
