// The bus answering URBs: configuration, validation, data and control transfers, halts.
#include "bus_test_client.h"

using namespace bustest;

namespace {

class BusUrbTest : public BusTest {
 protected:
  // Configuration 1 with interface 0 at alternate 0 and interface 1; returns the select URB.
  std::unique_ptr<SelectConfig> Configure(TestDevice &dev) {
    auto sc = std::make_unique<SelectConfig>(dev.model->configurations[0], std::initializer_list<std::array<uint8_t, 3>>{
                                                                                {0, 0, 3}, {1, 0, 1}});
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(*sc->urb()));
    return sc;
  }
  USBD_PIPE_HANDLE PipeFor(SelectConfig &sc, size_t interface, size_t pipe) {
    return sc.Interface(interface)->Pipes[pipe].PipeHandle;
  }
};

TEST_F(BusUrbTest, SelectConfigurationAndInterfaceFillEveryField) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = Configure(dev);
  URB *urb = sc->urb();
  EXPECT_EQ(USBD_STATUS_SUCCESS, urb->UrbHeader.Status);
  EXPECT_NE(nullptr, urb->UrbSelectConfiguration.ConfigurationHandle);
  auto *i0 = sc->Interface(0);
  EXPECT_NE(nullptr, i0->InterfaceHandle);
  EXPECT_EQ(0xFF, i0->Class);
  ASSERT_EQ(3u, i0->NumberOfPipes);
  const struct {
    UCHAR address;
    USBD_PIPE_TYPE type;
    USHORT maxPacket;
    UCHAR interval;
  } expected[] = {{0x01, UsbdPipeTypeBulk, 512, 0}, {0x81, UsbdPipeTypeBulk, 512, 0}, {0x83, UsbdPipeTypeInterrupt, 64, 4}};
  for (int p = 0; p < 3; ++p) {
    EXPECT_EQ(expected[p].address, i0->Pipes[p].EndpointAddress);
    EXPECT_EQ(expected[p].type, i0->Pipes[p].PipeType);
    EXPECT_EQ(expected[p].maxPacket, i0->Pipes[p].MaximumPacketSize);
    EXPECT_EQ(expected[p].interval, i0->Pipes[p].Interval);
    EXPECT_EQ(ULONG(0x10000 + p), i0->Pipes[p].MaximumTransferSize) << "kept as given";
    EXPECT_NE(nullptr, i0->Pipes[p].PipeHandle);
  }
  EXPECT_NE(i0->Pipes[0].PipeHandle, i0->Pipes[1].PipeHandle);
  EXPECT_EQ(1, sc->Interface(1)->SubClass);
  EXPECT_EQ(UsbdPipeTypeControl, sc->Interface(1)->Pipes[0].PipeType);
  EXPECT_EQ(1, Bus::Get().ConfigurationValue(pdo_));
  EXPECT_EQ(64u * 8 * 8 / 8, Bus::Get().ConsumedBandwidth()) << "the interrupt pipe: 64 bytes every 8 microframes";

  // Select interface: alternate 2 replaces the pipes of interface 0; the old handles die.
  std::vector<uint8_t> si(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
  auto *su = reinterpret_cast<URB *>(si.data());
  UsbBuildSelectInterfaceRequest(su, USHORT(si.size()), urb->UrbSelectConfiguration.ConfigurationHandle, 0, 2);
  USBD_PIPE_HANDLE oldBulk = i0->Pipes[0].PipeHandle;
  su->UrbSelectInterface.Interface.Pipes[0].MaximumTransferSize = 4096;
  ASSERT_EQ(STATUS_SUCCESS, SubmitSync(*su));
  auto &ni = su->UrbSelectInterface.Interface;
  EXPECT_EQ(2u, ni.NumberOfPipes);
  EXPECT_EQ(0x82, ni.Pipes[0].EndpointAddress);
  EXPECT_EQ(UsbdPipeTypeIsochronous, ni.Pipes[0].PipeType);
  EXPECT_EQ(1024, ni.Pipes[0].MaximumPacketSize);
  EXPECT_EQ(4096u, ni.Pipes[0].MaximumTransferSize);
  EXPECT_EQ((1024u + 512u) * 64, Bus::Get().ConsumedBandwidth());
  uint8_t data[4] = {};
  URB stale = Bulk(oldBulk, data, 4, USBD_TRANSFER_DIRECTION_OUT);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(stale));
  EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, stale.UrbHeader.Status);

  // Alternate 1 needs more periodic bandwidth than a high-speed bus has: refused, alternate 2 stays.
  UsbBuildSelectInterfaceRequest(su, USHORT(si.size()), urb->UrbSelectConfiguration.ConfigurationHandle, 0, 1);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(*su));
  EXPECT_EQ(USBD_STATUS_NO_BANDWIDTH, su->UrbHeader.Status);
  EXPECT_EQ((1024u + 512u) * 64, Bus::Get().ConsumedBandwidth());
  // An alternate setting or interface the device lacks, and a configuration handle of nothing.
  UsbBuildSelectInterfaceRequest(su, USHORT(si.size()), urb->UrbSelectConfiguration.ConfigurationHandle, 0, 7);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(*su));
  EXPECT_EQ(USBD_STATUS_INTERFACE_NOT_FOUND, su->UrbHeader.Status);
  UsbBuildSelectInterfaceRequest(su, USHORT(si.size()), reinterpret_cast<void *>(0x1234), 0, 0);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(*su));

  // An unknown configuration value, an unknown interface: refused, configuration 1 stays.
  std::vector<uint8_t> bogus = dev.model->configurations[1];
  bogus[5] = 9;
  SelectConfig bad(bogus, {{0, 0, 2}});
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(*bad.urb()));
  EXPECT_EQ(USBD_STATUS_SET_CONFIG_FAILED, bad.urb()->UrbHeader.Status);
  SelectConfig noInterface(dev.model->configurations[1], {{3, 0, 2}});
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(*noInterface.urb()));
  EXPECT_EQ(USBD_STATUS_INTERFACE_NOT_FOUND, noInterface.urb()->UrbHeader.Status);
  EXPECT_EQ(1, Bus::Get().ConfigurationValue(pdo_));

  // Null descriptor: unconfigured, every pipe closed, bandwidth back.
  URB none{};
  UsbBuildSelectConfigurationRequest(&none, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(none));
  EXPECT_EQ(0, Bus::Get().ConfigurationValue(pdo_));
  EXPECT_EQ(0u, Bus::Get().ConsumedBandwidth());
  std::lock_guard<std::mutex> guard(dev.m);
  EXPECT_EQ((std::vector<int>{1, 0}), dev.configured);
}

TEST_F(BusUrbTest, MalformedUrbsAreRefusedAsAUsbStackDoes) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = Configure(dev);
  USBD_PIPE_HANDLE out = PipeFor(*sc, 0, 0), in = PipeFor(*sc, 0, 1);
  uint8_t data[64] = {};

  auto r = SendInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, r->Wait());

  struct Case {
    const char *what;
    URB urb;
    USBD_STATUS status;
  };
  std::vector<Case> cases;
  URB shortHeader = Bulk(out, data, 4, 0);
  shortHeader.UrbHeader.Length = 40;
  cases.push_back({"short header length", shortHeader, USBD_STATUS_INVALID_PARAMETER});
  URB unknown{};
  unknown.UrbHeader.Function = 0x16;
  unknown.UrbHeader.Length = sizeof(URB);
  cases.push_back({"unknown function", unknown, USBD_STATUS_INVALID_URB_FUNCTION});
  cases.push_back({"handle of nothing", Bulk(reinterpret_cast<void *>(0x40), data, 4, 0), USBD_STATUS_INVALID_PIPE_HANDLE});
  cases.push_back({"IN flag on an OUT pipe", Bulk(out, data, 4, USBD_TRANSFER_DIRECTION_IN), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"OUT on an IN pipe", Bulk(in, data, 4, 0), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"length without a buffer", Bulk(out, nullptr, 4, 0), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"undefined flag", Bulk(out, data, 4, 0x100), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"bulk URB on a control pipe", Bulk(PipeFor(*sc, 1, 0), data, 4, 0), USBD_STATUS_INVALID_PARAMETER});
  URB status{};
  UsbBuildGetStatusRequest(&status, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, data, nullptr, nullptr);
  status.UrbControlGetStatusRequest.TransferBufferLength = 3;
  cases.push_back({"status of three bytes", status, USBD_STATUS_INVALID_PARAMETER});
  URB frame{};
  frame.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  frame.UrbHeader.Length = 24;
  cases.push_back({"short frame-number URB", frame, USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"abort of a handle of nothing", PipeRequest(URB_FUNCTION_ABORT_PIPE, data), USBD_STATUS_INVALID_PIPE_HANDLE});
  for (Case &c : cases) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(c.urb)) << c.what;
    EXPECT_EQ(c.status, c.urb.UrbHeader.Status) << c.what;
  }
  // The MDL, when there is one, is what must hold the bytes.
  PMDL mdl = IoAllocateMdl(data, 8, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  URB viaMdl = Bulk(out, nullptr, 8, 0);
  viaMdl.UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(viaMdl));
  viaMdl.UrbBulkOrInterruptTransfer.TransferBufferLength = 9;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(viaMdl));
  IoFreeMdl(mdl);

  auto trace = Bus::Get().Trace(pdo_);
  ASSERT_GE(trace.size(), cases.size() + 2);
  EXPECT_EQ(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, trace.back().function);
  EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, trace.back().status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, trace.back().irpStatus);
}

TEST_F(BusUrbTest, BulkTransfersMoveDataAndReportShortPackets) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = Configure(dev);
  std::vector<uint8_t> payload(512);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i ^ 0x3C);
  URB w = Bulk(PipeFor(*sc, 0, 0), payload.data(), 512, USBD_TRANSFER_DIRECTION_OUT);
  auto r = Submit(w);
  EXPECT_EQ(STATUS_PENDING, r->returned) << "data transfers complete from the bus thread";
  EXPECT_EQ(STATUS_SUCCESS, r->Wait());
  EXPECT_EQ(512u, w.UrbBulkOrInterruptTransfer.TransferBufferLength);
  {
    std::lock_guard<std::mutex> guard(dev.m);
    EXPECT_EQ(payload, dev.lastOut);
    dev.inLimit = 100;
  }
  std::vector<uint8_t> got(512, 0xEE);
  URB rd = Bulk(PipeFor(*sc, 0, 1), got.data(), 512, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(rd));
  EXPECT_EQ(100u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(uint8_t(99 * 7), got[99]);
  EXPECT_EQ(0xEE, got[100]);
  // Without the short-transfer flag the short packet is an error, with the bytes that came.
  rd = Bulk(PipeFor(*sc, 0, 1), got.data(), 512, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(rd));
  EXPECT_EQ(USBD_STATUS_ERROR_SHORT_TRANSFER, rd.UrbHeader.Status);
  EXPECT_EQ(100u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
  // More than the buffer holds: babble, which halts the pipe.
  Bus::Get().FailEndpoint(pdo_, 0x81, {Response::Ack(std::vector<uint8_t>(60))});
  rd = Bulk(PipeFor(*sc, 0, 1), got.data(), 50, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(rd));
  EXPECT_EQ(USBD_STATUS_BABBLE_DETECTED, rd.UrbHeader.Status);
  EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, (SubmitSync(rd), rd.UrbHeader.Status));

  auto trace = Bus::Get().Trace(pdo_);
  const TraceEntry &first = trace[1];
  EXPECT_EQ(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, first.function);
  EXPECT_EQ(0x01, first.endpoint);
  EXPECT_EQ(PipeFor(*sc, 0, 0), first.pipe);
  EXPECT_EQ(512u, first.requestedLength);
  EXPECT_EQ(512u, first.actualLength);
  EXPECT_EQ(USBD_STATUS_SUCCESS, first.status);
  EXPECT_EQ(100u, trace[2].actualLength);
}

TEST_F(BusUrbTest, ControlRequestsAreAnsweredByTheBusOrTheModel) {
  TestDevice dev;
  Plug(dev.model);
  uint8_t buf[256] = {};
  URB d{};
  UsbBuildGetDescriptorRequest(&d, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buf,
                               nullptr, 64, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(d));
  EXPECT_EQ(18u, d.UrbControlDescriptorRequest.TransferBufferLength);
  EXPECT_EQ(0, memcmp(buf, dev.model->deviceDescriptor.data(), 18));
  UsbBuildGetDescriptorRequest(&d, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE, 1,
                               0, buf, nullptr, 9, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(d));
  EXPECT_EQ(9u, d.UrbControlDescriptorRequest.TransferBufferLength);
  EXPECT_EQ(2, buf[5]) << "index 1 is configuration value 2";
  UsbBuildGetDescriptorRequest(&d, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 5, 0x409,
                               buf, nullptr, 255, nullptr);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(d));
  EXPECT_EQ(USBD_STATUS_STALL_PID, d.UrbHeader.Status);

  URB config{};
  config.UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION;
  config.UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
  config.UrbControlGetConfigurationRequest.TransferBuffer = buf;
  config.UrbControlGetConfigurationRequest.TransferBufferLength = 1;
  buf[0] = 0xFF;
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(config));
  EXPECT_EQ(0, buf[0]);
  auto sc = Configure(dev);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(config));
  EXPECT_EQ(1, buf[0]);
  URB iface{};
  iface.UrbHeader.Function = URB_FUNCTION_GET_INTERFACE;
  iface.UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
  iface.UrbControlGetInterfaceRequest.TransferBuffer = buf;
  iface.UrbControlGetInterfaceRequest.TransferBufferLength = 1;
  iface.UrbControlGetInterfaceRequest.Interface = 4;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(iface)) << "no interface 4";

  // Endpoint halt through the feature URBs; GET_STATUS reports it.
  URB feature{};
  UsbBuildFeatureRequest(&feature, URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(feature));
  EXPECT_TRUE(Bus::Get().EndpointHalted(pdo_, 0x81));
  URB st{};
  UsbBuildGetStatusRequest(&st, URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x81, buf, nullptr, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(st));
  EXPECT_EQ(1, buf[0]);
  UsbBuildFeatureRequest(&feature, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(feature));
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(st));
  EXPECT_EQ(0, buf[0]);
  UsbBuildGetStatusRequest(&st, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, buf, nullptr, nullptr);
  UsbBuildFeatureRequest(&feature, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(feature));
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(st));
  EXPECT_EQ(USB_GETSTATUS_REMOTE_WAKEUP_ENABLED, buf[0]);

  // Vendor and class requests reach the model, in both directions.
  URB v = Vendor(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0x42, 0, 0, buf, 64);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(v));
  EXPECT_EQ(6u, v.UrbControlVendorClassRequest.TransferBufferLength);
  EXPECT_EQ(6, buf[5]);
  uint8_t outBytes[3] = {7, 8, 9};
  v = Vendor(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x43, 0, 0, outBytes, 3);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(v));
  EXPECT_EQ(3u, v.UrbControlVendorClassRequest.TransferBufferLength);
  v = Vendor(URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0x01, 0, 1, buf, 1);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(v));
  EXPECT_EQ(1, buf[0]) << "the model saw wIndex 1";
  v = Vendor(URB_FUNCTION_VENDOR_ENDPOINT, USBD_TRANSFER_DIRECTION_IN, 0x77, 0, 0, buf, 1);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(v));
  EXPECT_EQ(USBD_STATUS_STALL_PID, v.UrbHeader.Status);
  {
    std::lock_guard<std::mutex> guard(dev.m);
    EXPECT_EQ((std::vector<uint8_t>{7, 8, 9}), dev.lastControlOut);
  }

  // Raw control transfers: on the default pipe by flag, on the second control pipe by handle.
  URB c{};
  c.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
  c.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
  c.UrbControlTransfer.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER | USBD_TRANSFER_DIRECTION_IN;
  c.UrbControlTransfer.TransferBuffer = buf;
  c.UrbControlTransfer.TransferBufferLength = 4;
  const uint8_t vendorIn[8] = {0xC0, 0x42, 0, 0, 0, 0, 4, 0};
  memcpy(c.UrbControlTransfer.SetupPacket, vendorIn, 8);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(c));
  EXPECT_EQ(4u, c.UrbControlTransfer.TransferBufferLength) << "the data stage is the buffer";
  c.UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  c.UrbControlTransfer.PipeHandle = PipeFor(*sc, 1, 0);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(c));
  EXPECT_EQ(2u, c.UrbControlTransfer.TransferBufferLength);
  EXPECT_EQ(9, buf[1]);
  c.UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(c)) << "OUT flag with an IN setup packet";

  auto trace = Bus::Get().Trace(pdo_);
  const TraceEntry &first = trace.front();
  EXPECT_EQ(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, first.function);
  EXPECT_EQ(0x80, first.setup.bmRequestType);
  EXPECT_EQ(USB_REQUEST_GET_DESCRIPTOR, first.setup.bRequest);
  EXPECT_EQ(0x0100, first.setup.wValue);
  EXPECT_EQ(64, first.setup.wLength);
  EXPECT_EQ(18u, first.actualLength);
}

TEST_F(BusUrbTest, StallsHaltThePipeUntilItIsReset) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = Configure(dev);
  USBD_PIPE_HANDLE in = PipeFor(*sc, 0, 1);
  uint8_t buf[512];
  Bus::Get().FailEndpoint(pdo_, 0x81, {Response::Stall()});
  URB rd = Bulk(in, buf, 512, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(rd));
  EXPECT_EQ(USBD_STATUS_STALL_PID, rd.UrbHeader.Status);
  EXPECT_TRUE(Bus::Get().EndpointHalted(pdo_, 0x81));
  rd = Bulk(in, buf, 512, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(rd));
  EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, rd.UrbHeader.Status);
  // Clearing the device's halt alone leaves the host pipe halted.
  URB feature{};
  UsbBuildFeatureRequest(&feature, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x81, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(feature));
  EXPECT_EQ(USBD_STATUS_ENDPOINT_HALTED, (SubmitSync(rd), rd.UrbHeader.Status));
  URB reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, in);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(reset));
  EXPECT_EQ(USBD_STATUS_SUCCESS, reset.UrbHeader.Status);
  rd = Bulk(in, buf, 512, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(rd));

  // An error status with a count: twice, then the model again; halted-class errors halt.
  Bus::Get().FailEndpoint(pdo_, 0x01, {Response::Error(USBD_STATUS_DEV_NOT_RESPONDING), 2});
  URB reset2 = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, PipeFor(*sc, 0, 0));
  for (int i = 0; i < 2; ++i) {
    URB w = Bulk(PipeFor(*sc, 0, 0), buf, 8, 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(w));
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, w.UrbHeader.Status);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(reset2));
  }
  URB w = Bulk(PipeFor(*sc, 0, 0), buf, 8, 0);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(w));
  EXPECT_FALSE(Bus::Get().EndpointHalted(pdo_, 0x01)) << "an error is not a stall";

  // A stall on the default pipe fails that request only.
  Bus::Get().FailRequest(pdo_, USB_REQUEST_GET_DESCRIPTOR, {Response::Stall()});
  URB d{};
  UsbBuildGetDescriptorRequest(&d, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buf,
                               nullptr, 18, nullptr);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(d));
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(d));
}

TEST_F(BusUrbTest, IsochronousTransfersReportEveryPacket) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = Configure(dev);
  std::vector<uint8_t> si(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
  auto *su = reinterpret_cast<URB *>(si.data());
  UsbBuildSelectInterfaceRequest(su, USHORT(si.size()), sc->urb()->UrbSelectConfiguration.ConfigurationHandle, 0, 2);
  ASSERT_EQ(STATUS_SUCCESS, SubmitSync(*su));
  USBD_PIPE_HANDLE isoIn = su->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
  USBD_PIPE_HANDLE isoOut = su->UrbSelectInterface.Interface.Pipes[1].PipeHandle;

  const ULONG n = 16;
  std::vector<uint8_t> storage(GET_ISO_URB_SIZE(n));
  auto *urb = reinterpret_cast<URB *>(storage.data());
  std::vector<uint8_t> data(n * 200);
  auto build = [&](USBD_PIPE_HANDLE pipe, ULONG flags, ULONG packetLength) {
    memset(storage.data(), 0, storage.size());
    auto &iso = urb->UrbIsochronousTransfer;
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.Hdr.Length = USHORT(GET_ISO_URB_SIZE(n));
    iso.PipeHandle = pipe;
    iso.TransferFlags = flags;
    iso.TransferBuffer = data.data();
    iso.TransferBufferLength = ULONG(data.size());
    iso.NumberOfPackets = n;
    for (ULONG k = 0; k < n; ++k) {
      iso.IsoPacket[k].Offset = k * 200;
      iso.IsoPacket[k].Length = packetLength;
    }
  };
  ULONG before = CurrentFrameFromUrb();
  build(isoIn, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK, 200);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(*urb));
  auto &iso = urb->UrbIsochronousTransfer;
  EXPECT_GT(iso.StartFrame, before);
  EXPECT_EQ(0u, iso.ErrorCount);
  EXPECT_EQ(n * 100, iso.TransferBufferLength);
  for (ULONG k = 0; k < n; ++k) {
    EXPECT_EQ(100u, iso.IsoPacket[k].Length);
    EXPECT_EQ(USBD_STATUS_SUCCESS, iso.IsoPacket[k].Status);
  }
  EXPECT_EQ(0x5A, data[200]);
  // ASAP streams on: 16 packets at high speed fill two frames.
  ULONG first = iso.StartFrame;
  build(isoIn, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 200);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(*urb));
  EXPECT_GE(iso.StartFrame, first + 2);
  EXPECT_EQ(n, iso.ErrorCount) << "short packets without the flag are underruns";
  EXPECT_EQ(USBD_STATUS_DATA_UNDERRUN, iso.IsoPacket[3].Status);
  EXPECT_EQ(USBD_STATUS_ISOCH_REQUEST_FAILED, iso.Hdr.Status);

  // Refusals: a start frame out of the window, packets outside the buffer, too long for a
  // write, none at all, more than the limit.
  build(isoIn, USBD_TRANSFER_DIRECTION_IN, 200);
  iso.StartFrame = CurrentFrameFromUrb() + 5000;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(*urb));
  EXPECT_EQ(USBD_STATUS_BAD_START_FRAME, iso.Hdr.Status);
  build(isoIn, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 201);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(*urb)) << "the last packet ends past the buffer";
  build(isoOut, USBD_START_ISO_TRANSFER_ASAP, 200);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(*urb));
  EXPECT_EQ(n * 200, iso.TransferBufferLength);
  iso.IsoPacket[2].Length = 513;
  iso.TransferBufferLength = ULONG(data.size());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(*urb)) << "a write packet above the maximum packet size";
  build(isoOut, USBD_START_ISO_TRANSFER_ASAP, 10);
  iso.NumberOfPackets = 0;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(*urb));
  iso.NumberOfPackets = 1025;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(*urb));
  EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, iso.Hdr.Status);
  EXPECT_EQ(1025u, Bus::Get().Trace(pdo_).back().isoPackets);
}

}  // namespace
