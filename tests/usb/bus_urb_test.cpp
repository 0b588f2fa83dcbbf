// The bus answering URBs: configuration, validation, data and control transfers, halts.
#include <functional>
#include <set>
#include <tuple>

#include "bus_test_client.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/threads.h"

using namespace bustest;

namespace {

using BusUrbTest = BusTest;

const Outcome kOk{STATUS_SUCCESS, USBD_STATUS_SUCCESS};

TEST_F(BusUrbTest, SelectConfigurationAndInterfaceFillEveryField) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  URB &urb = Configure();
  EXPECT_NE(nullptr, urb.UrbSelectConfiguration.ConfigurationHandle);
  ASSERT_EQ(3u, interfaces_.size());
  auto *i0 = interfaces_[0];
  EXPECT_NE(nullptr, i0->InterfaceHandle);
  EXPECT_EQ(0xFF, i0->Class);
  ASSERT_EQ(6u, i0->NumberOfPipes);
  auto fields = [](const USBD_PIPE_INFORMATION &p) {
    return std::make_tuple(p.EndpointAddress, p.PipeType, p.MaximumPacketSize, p.Interval, p.MaximumTransferSize);
  };
  using F = decltype(fields(i0->Pipes[0]));
  const ULONG kept = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;  // as the caller gave it, here and below
  EXPECT_EQ(F(kSourceIn, UsbdPipeTypeBulk, 512, 0, kept), fields(i0->Pipes[0]));
  EXPECT_EQ(F(kInterruptIn, UsbdPipeTypeInterrupt, 8, 4, kept), fields(i0->Pipes[4]));
  std::set<USBD_PIPE_HANDLE> handles;
  for (ULONG p = 0; p < 6; ++p) handles.insert(i0->Pipes[p].PipeHandle);
  EXPECT_EQ(6u, handles.size());
  EXPECT_FALSE(handles.count(nullptr));
  EXPECT_EQ(UsbdPipeTypeControl, interfaces_[2]->Pipes[0].PipeType);
  EXPECT_EQ(1, Bus::Get().ConfigurationValue(pdo_));
  const ULONG interrupt = 2 * 8 * 8;  // two 8-byte interrupt pipes, each once in 8 microframes
  EXPECT_EQ(interrupt, Bus::Get().ConsumedBandwidth());

  // Select interface: each selection replaces the interface's pipes; the old handles die.
  ASSERT_EQ(kOk, SelectInterface(1, 2));
  EXPECT_EQ(F(kIsoIn, UsbdPipeTypeIsochronous, 1024, 1, 0), fields(interfaces_[1]->Pipes[0]));
  EXPECT_EQ(interrupt + 2 * 1024 * 64, Bus::Get().ConsumedBandwidth());
  USBD_PIPE_HANDLE old = Pipe(kIsoOut);
  ASSERT_EQ(kOk, SelectInterface(1, 1));
  EXPECT_EQ(1, dev.state->Snapshot().alternateSettings.at(1));
  EXPECT_EQ(interrupt + 2 * 256 * 64, Bus::Get().ConsumedBandwidth());
  uint8_t data[4] = {};
  URB stale = Bulk(old, data, 4, USBD_TRANSFER_DIRECTION_OUT);
  EXPECT_EQ(Outcome(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE), Run(stale));

  // Alternate 3 needs more periodic bandwidth than a high-speed bus has: refused, alternate 1 stays.
  EXPECT_EQ(Outcome(STATUS_UNSUCCESSFUL, USBD_STATUS_NO_BANDWIDTH), SelectInterface(1, 3));
  EXPECT_EQ(interrupt + 2 * 256 * 64, Bus::Get().ConsumedBandwidth());
  // An alternate setting the device lacks, and a configuration handle of nothing.
  EXPECT_EQ(Outcome(STATUS_UNSUCCESSFUL, USBD_STATUS_INTERFACE_NOT_FOUND), SelectInterface(1, 7));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SelectInterface(0, 0, reinterpret_cast<void *>(0x1234)).first);

  // The stack parses the caller's descriptor, wants an entry for each of its interfaces, and
  // opens the pipes that descriptor describes; the device has the last word on the value.
  const std::vector<uint8_t> &own = dev.model->configurations[0];
  auto &sc = urb.UrbSelectConfiguration;
  const USHORT fullLength = sc.Hdr.Length;
  struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> block;
    std::function<void()> urb;
    USBD_STATUS status;
  };
  const Case cases[] = {
      {"a configuration value the device lacks", [](auto &b) { b[5] = 9; }, [] {}, USBD_STATUS_SET_CONFIG_FAILED},
      {"an interface the descriptor lacks", [](auto &) {}, [&] { i0->InterfaceNumber = 3; },
       USBD_STATUS_INTERFACE_NOT_FOUND},
      {"a descriptor of length 0", [](auto &b) { b[9] = 0; }, [] {}, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
      {"the last descriptor running past wTotalLength", [](auto &b) { b[b.size() - 7] = 9; }, [] {},
       USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
      {"no entry for the last interface", [](auto &) {},
       [&] { sc.Hdr.Length = USHORT(fullLength - interfaces_[2]->Length); },
       USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR},
      {"the caller's copy with 256-byte bulk packets", [](auto &b) { b[22] = 0, b[23] = 1; }, [] {},
       USBD_STATUS_SUCCESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> block = own;
    c.block(block);
    sc.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.data());
    sc.Hdr.Length = fullLength;
    i0->InterfaceNumber = 0;
    c.urb();
    EXPECT_EQ(c.status, Run(urb).second);
    EXPECT_EQ(1, Bus::Get().ConfigurationValue(pdo_));
  }
  EXPECT_EQ(256, i0->Pipes[0].MaximumPacketSize);

  // Null descriptor: unconfigured, every pipe closed, bandwidth back.
  URB none{};
  UsbBuildSelectConfigurationRequest(&none, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(kOk, Run(none));
  EXPECT_EQ(0, Bus::Get().ConfigurationValue(pdo_));
  EXPECT_EQ(0u, Bus::Get().ConsumedBandwidth());
}

TEST_F(BusUrbTest, MalformedUrbsAreRefusedAsAUsbStackDoes) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  Configure();
  USBD_PIPE_HANDLE out = Pipe(kSinkOut), in = Pipe(kSourceIn);
  uint8_t data[64] = {};

  EXPECT_EQ(STATUS_INVALID_PARAMETER, SendInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr)->Wait());

  struct Case {
    const char *what;
    URB urb;
    USBD_STATUS status;
  };
  std::vector<Case> cases;
  URB shortHeader = Bulk(out, data, 4, 0);
  shortHeader.UrbHeader.Length = 40;
  cases.push_back({"short header length", shortHeader, USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"unknown function", Header(0x16, sizeof(URB)), USBD_STATUS_INVALID_URB_FUNCTION});
  cases.push_back({"handle of nothing", Bulk(reinterpret_cast<void *>(0x40), data, 4, 0), USBD_STATUS_INVALID_PIPE_HANDLE});
  cases.push_back({"IN flag on an OUT pipe", Bulk(out, data, 4, USBD_TRANSFER_DIRECTION_IN), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"OUT on an IN pipe", Bulk(in, data, 4, 0), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"length without a buffer", Bulk(out, nullptr, 4, 0), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"undefined flag", Bulk(out, data, 4, 0x100), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"bulk URB on a control pipe", Bulk(Pipe(kControlPipe), data, 4, 0), USBD_STATUS_INVALID_PARAMETER});
  URB status{};
  UsbBuildGetStatusRequest(&status, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, data, nullptr, nullptr);
  status.UrbControlGetStatusRequest.TransferBufferLength = 3;
  cases.push_back({"status of three bytes", status, USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"short frame-number URB", Header(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, 24),
                   USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"abort of a handle of nothing", PipeRequest(URB_FUNCTION_ABORT_PIPE, data), USBD_STATUS_INVALID_PIPE_HANDLE});
  for (Case &c : cases) EXPECT_EQ(Outcome(STATUS_INVALID_PARAMETER, c.status), Run(c.urb)) << c.what;
  // The MDL, when there is one, is what must hold the bytes.
  PMDL mdl = IoAllocateMdl(data, 8, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  URB viaMdl = Bulk(out, nullptr, 8, 0);
  viaMdl.UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(viaMdl));
  viaMdl.UrbBulkOrInterruptTransfer.TransferBufferLength = 9;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(viaMdl));
  IoFreeMdl(mdl);
}

// Data transfers complete from the bus thread; more than the buffer holds is babble. The data,
// the counts and short packets the driver's and library's suites see end to end.
TEST_F(BusUrbTest, BulkTransfersCompleteFromTheBusThreadAndBabbleFails) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  Configure();
  uint8_t data[64] = {};
  URB w = Bulk(Pipe(kLoopbackOut), data, 64, USBD_TRANSFER_DIRECTION_OUT);
  auto r = Submit(w);
  EXPECT_EQ(STATUS_PENDING, r->returned);
  EXPECT_EQ(STATUS_SUCCESS, r->Wait());
  Bus::Get().FailEndpoint(pdo_, kSourceIn, {Response::Ack(std::vector<uint8_t>(60))});
  URB rd = Bulk(Pipe(kSourceIn), data, 50, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_EQ(Outcome(STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED), Run(rd));
}

// Descriptors, the configuration, alternate settings and endpoint halts the library's suite reads
// end to end; here what it never asks for.
TEST_F(BusUrbTest, ControlRequestsAreAnsweredByTheBusOrTheModel) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  uint8_t buf[256] = {};
  URB d = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 9, buf, 255);
  EXPECT_EQ(Outcome(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), Run(d));
  Configure();
  URB u = Header(URB_FUNCTION_GET_INTERFACE, sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST));
  u.UrbControlGetInterfaceRequest.TransferBuffer = buf;
  u.UrbControlGetInterfaceRequest.TransferBufferLength = 1;
  u.UrbControlGetInterfaceRequest.Interface = 4;
  EXPECT_NE(STATUS_SUCCESS, SubmitSync(u)) << "no interface 4";
}

// A device that answers GET_DESCRIPTOR itself is passed on as it answered, cut to the length
// asked for; what it leaves to the bus comes from its descriptors.
TEST_F(BusUrbTest, DescriptorsTheDeviceAnswersItselfPassAsReceived) {
  auto dev = MakeTestDevice();
  dev.model->descriptor = [](const sim::usb::Setup &s) -> std::optional<Response> {
    if ((s.wValue & 0xFF) == 1) return std::nullopt;
    return Response::Ack(std::vector<uint8_t>(300, 0x77));
  };
  Plug(dev.model);
  std::vector<uint8_t> buf(260, 0);
  URB lie = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, buf.data(), 9);
  EXPECT_EQ(kOk, Run(lie));
  EXPECT_EQ(lie.UrbControlDescriptorRequest.TransferBufferLength, 9u);
  std::vector<uint8_t> head(9, 0x77);
  head.push_back(0);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 10), head) << "nothing past the length asked for";
  URB truth = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, buf.data(), 260);
  EXPECT_EQ(kOk, Run(truth));
  const std::vector<uint8_t> &block = dev.model->configurations[1];
  ASSERT_EQ(truth.UrbControlDescriptorRequest.TransferBufferLength, block.size());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), buf.begin()));
}

// A stall halts the pipe: the transfers queued behind it wait, and every reset is refused until
// they are aborted; then each reset clears its own side of the halt. Above PASSIVE_LEVEL the stack
// takes none.
TEST_F(BusUrbTest, StallsHaltThePipeUntilAbortedAndReset) {
  auto dev = MakeTestDevice();
  Plug(dev.model);
  Configure();
  uint8_t buf[2][512];
  const USBD_PIPE_HANDLE source = Pipe(kSourceIn);
  // A read after each reset: the device stalls again, the host holds it (until cancelled), or it runs.
  const struct {
    USHORT reset;
    bool cancel;
    Outcome read;
  } steps[] = {
      {URB_FUNCTION_SYNC_RESET_PIPE, false, {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID}},
      {URB_FUNCTION_SYNC_CLEAR_STALL, true, {STATUS_CANCELLED, USBD_STATUS_CANCELED}},
      {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, false, kOk},
  };
  Bus::Get().FailEndpoint(pdo_, kSourceIn, {Response::Stall()});
  URB first = Bulk(source, buf[0], 512, USBD_TRANSFER_DIRECTION_IN);
  URB behind = Bulk(source, buf[1], 512, USBD_TRANSFER_DIRECTION_IN);
  auto r0 = Submit(first), r1 = Submit(behind);
  EXPECT_EQ(Outcome(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), Outcome(r0->Wait(), first.UrbHeader.Status));
  EXPECT_TRUE(Bus::Get().EndpointHalted(pdo_, kSourceIn));
  for (const auto &step : steps) {
    URB reset = PipeRequest(step.reset, source);
    EXPECT_EQ(Outcome(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY), Run(reset)) << step.reset;
  }
  URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, source);
  EXPECT_EQ(kOk, Run(abort));
  EXPECT_EQ(Outcome(STATUS_CANCELLED, USBD_STATUS_CANCELED), Outcome(r1->Wait(), behind.UrbHeader.Status));
  for (const auto &step : steps) {
    SCOPED_TRACE(step.reset);
    URB reset = PipeRequest(step.reset, source);
    ASSERT_EQ(kOk, Run(reset));
    URB rd = Bulk(source, buf[0], 512, USBD_TRANSFER_DIRECTION_IN);
    auto r = Submit(rd);
    if (step.cancel) IoCancelIrp(r->irp);
    EXPECT_EQ(step.read, Outcome(r->Wait(), rd.UrbHeader.Status));
  }
  EXPECT_FALSE(Bus::Get().EndpointHalted(pdo_, kSourceIn));
  URB reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, source);
  EXPECT_DEATH(sim::RunAtIrql(DISPATCH_LEVEL, [&] { Submit(reset); }), "IRQL misuse");

  // An error status with a count: twice, then the model again; an error is not a stall.
  Bus::Get().FailEndpoint(pdo_, kSinkOut, {Response::Error(USBD_STATUS_DEV_NOT_RESPONDING), 2});
  URB resetSink = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kSinkOut));
  URB w = Bulk(Pipe(kSinkOut), buf, 8, 0);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Outcome(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING), Run(w));
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(resetSink));
  }
  EXPECT_EQ(kOk, Run(w));
  EXPECT_FALSE(Bus::Get().EndpointHalted(pdo_, kSinkOut));

  // A stall on the default pipe fails that request only.
  Bus::Get().FailRequest(pdo_, USB_REQUEST_GET_DESCRIPTOR, {Response::Stall()});
  URB d = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, buf, 18);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(d));
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(d));
}

// Windows' isochronous geometry: packet sizes from the offsets (Length is output only), packet
// counts by speed and interval, short IN packets that are no error, and an ASAP stream that runs
// late when it is not fed instead of starting afresh.
TEST_F(BusUrbTest, IsochronousTransfersReportEveryPacket) {
  sim::SetClockMode(sim::ClockMode::Manual);
  auto dev = MakeTestDevice();
  Plug(dev.model);
  Configure();
  ASSERT_EQ(kOk, SelectInterface(1, 1));  // 256-byte packets either way, eight to a frame

  constexpr ULONG n = 16, kGarbage = 0xDEAD;
  std::vector<uint8_t> storage(GET_ISO_URB_SIZE(n + 1));
  auto *urb = reinterpret_cast<URB *>(storage.data());
  auto &iso = urb->UrbIsochronousTransfer;
  std::vector<uint8_t> data(n * 200);
  auto build = [&](uint8_t endpoint, ULONG flags, ULONG packets) {
    memset(storage.data(), 0, storage.size());
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.Hdr.Length = USHORT(GET_ISO_URB_SIZE(packets));
    iso.PipeHandle = Pipe(endpoint);
    iso.TransferFlags = flags;
    iso.TransferBuffer = data.data();
    iso.TransferBufferLength = ULONG(data.size());
    iso.NumberOfPackets = packets;
    for (ULONG k = 0; k < packets; ++k) iso.IsoPacket[k] = {k * 200, kGarbage, 0};
  };
  const ULONG asapIn = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  const ULONG now = CurrentFrameFromUrb();
  build(kIsoIn, asapIn, n);
  EXPECT_EQ(kOk, Run(*urb));
  EXPECT_EQ(now + 1, iso.StartFrame);
  EXPECT_EQ(n * 200, iso.TransferBufferLength);
  EXPECT_EQ(std::make_pair(200u, 200u), std::make_pair(iso.IsoPacket[3].Length, iso.IsoPacket[n - 1].Length));
  EXPECT_EQ(TestPatternByte(201), data[201]);
  // Short packets, without the short-transfer flag: no error. The stream goes on.
  Bus::Get().FailEndpoint(pdo_, kIsoIn, {Response::Ack(std::vector<uint8_t>(100, 0x5A)), 0});
  build(kIsoIn, asapIn, n);
  EXPECT_EQ(kOk, Run(*urb));
  EXPECT_EQ(now + 3, iso.StartFrame);
  EXPECT_EQ(std::make_pair(0u, n * 100), std::make_pair(iso.ErrorCount, iso.TransferBufferLength));
  Bus::Get().ClearFaults(pdo_);
  // Not fed for 10 frames: the next transfer's frames have passed, all its packets are late.
  sim::AdvanceMs(10);
  build(kIsoIn, asapIn, n);
  EXPECT_EQ(Outcome(STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED), Run(*urb));
  EXPECT_EQ(now + 5, iso.StartFrame);
  EXPECT_EQ(USBD_STATUS_ISO_NA_LATE_USBPORT, iso.IsoPacket[n - 1].Status);
  URB reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kIsoIn));
  EXPECT_EQ(kOk, Run(reset));
  build(kIsoIn, asapIn, n);
  EXPECT_EQ(kOk, Run(*urb));
  EXPECT_EQ(now + 11, iso.StartFrame) << "a reset pipe starts afresh";

  // OUT: 200 bytes a packet, whatever Length says, and Length is left as it was.
  const uint64_t before = dev.state->Snapshot().isoOutBytes;
  build(kIsoOut, USBD_START_ISO_TRANSFER_ASAP, n);
  EXPECT_EQ(kOk, Run(*urb));
  EXPECT_EQ(before + n * 200, dev.state->Snapshot().isoOutBytes);
  EXPECT_EQ(kGarbage, iso.IsoPacket[3].Length);

  // Refusals, each one step past what Windows accepts.
  struct Case { const char *what; uint8_t endpoint; ULONG packets; std::function<void()> edit; Outcome outcome; };
  const Outcome invalid{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
  const Case cases[] = {
      {"start frame out of the window", kIsoIn, n, [&] { iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN, iso.StartFrame = now + 5000; },
       {STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME}},
      {"last offset past the buffer", kIsoIn, n, [&] { iso.IsoPacket[n - 1].Offset = ULONG(data.size()) + 1; }, invalid},
      {"offsets descending", kIsoIn, n, [&] { iso.IsoPacket[3].Offset = iso.IsoPacket[2].Offset - 1; }, invalid},
      {"OUT packet above the maximum packet size", kIsoOut, n, [&] { iso.IsoPacket[3].Offset = 3 * 200 + 144; }, invalid},
      {"no packets", kIsoOut, 0, [] {}, invalid},
      {"part of a frame", kIsoIn, n - 1, [] {}, invalid},
      {"more than 1024", kIsoIn, n, [&] { iso.NumberOfPackets = 1032; }, invalid},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    build(c.endpoint, c.endpoint == kIsoIn ? asapIn : USBD_START_ISO_TRANSFER_ASAP, c.packets);
    c.edit();
    EXPECT_EQ(c.outcome, Run(*urb));
  }
}

// At high speed a longer interval puts fewer packets in a frame; full speed has one a frame and
// at most 255 to a transfer.
TEST_F(BusUrbTest, IsochronousPacketCountsFollowSpeedAndInterval) {
  const std::tuple<Speed, uint8_t, ULONG, NTSTATUS> cases[] = {
      {Speed::High, 2, 4, STATUS_SUCCESS},   {Speed::High, 2, 6, STATUS_INVALID_PARAMETER},
      {Speed::Full, 1, 255, STATUS_SUCCESS}, {Speed::Full, 1, 256, STATUS_INVALID_PARAMETER}};
  for (auto [speed, interval, packets, status] : cases) {
    SCOPED_TRACE(testing::Message() << "interval " << int(interval) << ", " << packets << " packets");
    auto model = std::make_shared<DeviceModel>();
    model->speed = speed;
    model->configurations = {ConfigBuilder().Interface(0, 0).Endpoint(kIsoIn, EndpointType::Isochronous, 8, interval).Build()};
    model->in = [](uint8_t, size_t) { return Response::Ack(); };
    Plug(model);
    Configure();
    std::vector<uint8_t> storage(GET_ISO_URB_SIZE(packets)), data(8);
    auto &iso = reinterpret_cast<URB *>(storage.data())->UrbIsochronousTransfer;
    iso.Hdr = {USHORT(storage.size()), URB_FUNCTION_ISOCH_TRANSFER};
    iso = {iso.Hdr, Pipe(kIsoIn), USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, 8, data.data()};
    iso.NumberOfPackets = packets;
    EXPECT_EQ(status, SubmitSync(*reinterpret_cast<URB *>(storage.data())));
    Bus::Get().Unplug(pdo_);
  }
}

}  // namespace
