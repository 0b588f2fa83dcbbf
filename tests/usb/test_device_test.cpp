// The test device's handlers, called directly as the bus would call them.
#include <gtest/gtest.h>

#include <set>

#include "sim/kernel/objects.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/fx_device.h"
#include "sim/usb/test_device.h"

namespace sim::usb {
namespace {

using namespace test_device;

Setup Vendor(bool in, uint8_t request, uint16_t value, uint16_t length) {
  return {static_cast<uint8_t>(in ? 0xC0 : 0x40), request, value, 0, length};
}

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

TEST(TestDevice, DescriptorsAreConsistentAtBothSpeedsAndMatchTheHandlers) {
  sim::World world;
  for (Speed speed : {Speed::High, Speed::Full}) {
    SCOPED_TRACE(speed == Speed::High ? "high speed" : "full speed");
    const bool high = speed == Speed::High;
    auto dev = MakeTestDevice({.speed = speed, .vendorId = 0xABCD, .productId = 0x1234, .manufacturer = u"Acme"});
    const auto &d = dev.model->deviceDescriptor;
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[8] | d[9] << 8 | d[10] << 16 | d[11] << 24, 0x1234ABCD);
    EXPECT_EQ(d[17], 2);  // configurations
    EXPECT_EQ(dev.model->strings.at(d[14]), Bytes({10, 3, 'A', 0, 'c', 0, 'm', 0, 'e', 0}));
    for (int i : {15, 16}) EXPECT_TRUE(dev.model->strings.count(d[i])) << i;

    auto c1 = Parse(dev.model->configurations.at(0));
    ASSERT_TRUE(c1.valid) << c1.reason;
    EXPECT_TRUE(c1.attributes & 0x20);  // remote wake-up
    ASSERT_EQ(c1.interfaces.size(), 3u);
    EXPECT_EQ(c1.Find(0, 0)->endpoints.at(0).maxPacketSize, high ? 512 : 64);
    // Isochronous: alt 0 empty, then growing bandwidth, high-bandwidth last at high speed.
    const auto &iso = c1.FindInterface(1)->alternates;
    ASSERT_GE(iso.size(), 3u);
    EXPECT_TRUE(iso[0].endpoints.empty());
    for (size_t i = 2; i < iso.size(); ++i) {
      const auto &a = iso[i - 1].endpoints.at(0), &b = iso[i].endpoints.at(0);
      EXPECT_GT(b.maxPacketSize * b.transactions, a.maxPacketSize * a.transactions);
    }
    EXPECT_EQ(iso.back().endpoints[0].transactions, high ? 3 : 1);
    EXPECT_EQ(c1.Find(2, 0)->endpoints.at(0).type, EndpointType::Control);
    auto c2 = Parse(dev.model->configurations.at(1));
    ASSERT_TRUE(c2.valid) << c2.reason;
    EXPECT_EQ(c2.Find(0, 0)->endpoints.at(0).maxPacketSize, 64);

    // Every data endpoint a configuration declares is served in it, any other address refused.
    for (const auto &cfg : {c1, c2}) {
      dev.model->configured(cfg.configurationValue);
      std::set<uint8_t> declared;
      for (const auto &itf : cfg.interfaces)
        for (const auto &alt : itf.alternates)
          for (const auto &ep : alt.endpoints)
            if (ep.type != EndpointType::Control) declared.insert(ep.address);
      for (int a = 1; a < 16; ++a) {
        for (uint8_t ep : {uint8_t(a), uint8_t(a | 0x80)}) {
          dev.model->out(cfg.configurationValue == 1 ? kLoopbackOut : kConfig2LoopbackOut, Bytes({1}));
          auto r = ep & 0x80 ? dev.model->in(ep, 8) : dev.model->out(ep, Bytes({0}));
          EXPECT_EQ(r.kind == Response::Kind::Stall, !declared.count(ep))
              << "configuration " << int(cfg.configurationValue) << " endpoint " << int(ep);
        }
      }
    }
  }
}

TEST(TestDevice, SourceAndSinkFollowThePatternAcrossTransfers) {
  sim::World world;
  auto dev = MakeTestDevice();
  auto &m = *dev.model;
  // Unconfigured, nothing moves.
  EXPECT_EQ(m.in(kSourceIn, 16).kind, Response::Kind::Stall);
  m.configured(1);
  std::vector<uint8_t> stream;
  for (size_t len : {1, 250, 513, 7}) {
    auto r = m.in(kSourceIn, len);
    ASSERT_EQ(r.kind, Response::Kind::Ack);
    ASSERT_EQ(r.data.size(), len);
    stream.insert(stream.end(), r.data.begin(), r.data.end());
  }
  for (size_t i = 0; i < stream.size(); ++i) ASSERT_EQ(stream[i], i % 251) << i;

  // What the source produced, the sink takes as correct, whatever the chunking.
  EXPECT_EQ(m.out(kSinkOut, std::span(stream).first(300)).kind, Response::Kind::Ack);
  EXPECT_EQ(m.out(kSinkOut, std::span(stream).subspan(300)).kind, Response::Kind::Ack);
  auto c = dev.state->Snapshot();
  EXPECT_EQ(c.sourceBytes, stream.size());
  EXPECT_EQ(c.sinkBytes, stream.size());
  EXPECT_EQ(c.sinkErrors, 0u);
  // Without verification a wrong byte is counted, not refused.
  EXPECT_EQ(m.out(kSinkOut, Bytes({0xFF, 0xFF})).kind, Response::Kind::Ack);
  EXPECT_EQ(dev.state->Snapshot().sinkErrors, 2u);
  // A new configuration restarts both streams.
  m.configured(1);
  EXPECT_EQ(m.in(kSourceIn, 2).data, Bytes({0, 1}));

  auto strict = MakeTestDevice({.patternModulus = 3, .verifySink = true});
  strict.model->configured(1);
  EXPECT_EQ(strict.model->in(kSourceIn, 5).data, Bytes({0, 1, 2, 0, 1}));
  EXPECT_EQ(strict.model->out(kSinkOut, Bytes({0, 1, 2})).kind, Response::Kind::Ack);
  EXPECT_EQ(strict.model->out(kSinkOut, Bytes({0, 2})).kind, Response::Kind::Stall);
  EXPECT_EQ(strict.state->Snapshot().sinkErrors, 1u);
}

TEST(TestDevice, LoopbackIsABoundedFifoThatNaksWhenEmpty) {
  sim::World world;
  auto dev = MakeTestDevice({.loopbackCapacity = 10});
  auto &m = *dev.model;
  m.configured(1);
  EXPECT_EQ(m.in(kLoopbackIn, 64).kind, Response::Kind::Nak);

  EXPECT_EQ(m.out(kLoopbackOut, Bytes({1, 2, 3, 4})).kind, Response::Kind::Ack);
  auto r = m.out(kLoopbackOut, Bytes({5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(r.kind, Response::Kind::Ack);
  EXPECT_EQ(r.accepted, 6u);  // only what fits
  EXPECT_EQ(dev.state->Snapshot().loopbackDepth, 10u);
  EXPECT_EQ(m.out(kLoopbackOut, Bytes({13})).kind, Response::Kind::Nak);

  EXPECT_EQ(m.in(kLoopbackIn, 3).data, Bytes({1, 2, 3}));
  EXPECT_EQ(m.out(kLoopbackOut, Bytes({13})).kind, Response::Kind::Ack);
  EXPECT_EQ(m.in(kLoopbackIn, 64).data, Bytes({4, 5, 6, 7, 8, 9, 10, 13}));  // short: all there is
  EXPECT_EQ(m.in(kLoopbackIn, 64).kind, Response::Kind::Nak);

  // Reconfiguring (here to configuration 2, whose loopback uses other addresses) drops the FIFO.
  m.out(kLoopbackOut, Bytes({42}));
  m.configured(2);
  EXPECT_EQ(dev.state->Snapshot().loopbackDepth, 0u);
  EXPECT_EQ(m.out(kLoopbackOut, Bytes({1})).kind, Response::Kind::Stall);
  EXPECT_EQ(m.out(kConfig2LoopbackOut, Bytes({7, 8})).kind, Response::Kind::Ack);
  EXPECT_EQ(m.in(kConfig2LoopbackIn, 64).data, Bytes({7, 8}));
  EXPECT_EQ(m.in(kConfig2LoopbackIn, 64).kind, Response::Kind::Nak);
}

TEST(TestDevice, VendorRequestsOnBothControlEndpoints) {
  sim::World world;
  auto dev = MakeTestDevice({.memorySize = 16});
  auto &m = *dev.model;
  auto kind = [&](const sim::usb::Setup &s, std::vector<uint8_t> d = {}) { return m.control(s, d).kind; };

  EXPECT_EQ(kind(Vendor(false, kWriteMemory, 4, 3), Bytes({9, 8, 7})), Response::Kind::Ack);
  EXPECT_EQ(m.control(Vendor(true, kReadMemory, 3, 5), {}).data, Bytes({0, 9, 8, 7, 0}));
  EXPECT_EQ(kind(Vendor(false, kSetRegister, 0xBEEF, 0)), Response::Kind::Ack);
  EXPECT_EQ(m.control(Vendor(true, kGetRegister, 0, 2), {}).data, Bytes({0xEF, 0xBE}));
  // Past the memory's end, a data stage on the no-data request, wrong directions, unknown,
  // class and interface-recipient requests: all refused, and the memory is untouched.
  EXPECT_EQ(kind(Vendor(false, kWriteMemory, 14, 3), Bytes({1, 2, 3})), Response::Kind::Stall);
  EXPECT_EQ(kind(Vendor(true, kReadMemory, 10, 7)), Response::Kind::Stall);
  EXPECT_EQ(kind(Vendor(false, kSetRegister, 1, 1), Bytes({1})), Response::Kind::Stall);
  EXPECT_EQ(kind(Vendor(true, kWriteMemory, 0, 1)), Response::Kind::Stall);
  EXPECT_EQ(kind(Vendor(false, kGetRegister, 0, 0)), Response::Kind::Stall);
  EXPECT_EQ(kind(Vendor(true, 0x77, 0, 1)), Response::Kind::Stall);
  EXPECT_EQ(kind({0x21, kSetRegister, 5, 0, 0}), Response::Kind::Stall);
  EXPECT_EQ(kind({0x41, kSetRegister, 5, 0, 0}), Response::Kind::Stall);
  auto c = dev.state->Snapshot();
  EXPECT_EQ(c.memory, Bytes({0, 0, 0, 0, 9, 8, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(c.reg, 0xBEEF);

  // The second control endpoint answers only in configuration 1, only on its own address.
  const sim::usb::Setup pipeWrite{0x40, kPipeWrite, 0, 0, 3}, pipeRead{0xC0, kPipeRead, 0, 0, 64},
      pipeCount{0xC0, kPipeCount, 0, 0, 4};
  EXPECT_EQ(m.endpointControl(kControlPipe, pipeWrite, Bytes({1, 2, 3})).kind, Response::Kind::Stall);
  m.configured(1);
  EXPECT_EQ(m.endpointControl(kControlPipe, pipeWrite, Bytes({1, 2, 3})).kind, Response::Kind::Ack);
  EXPECT_EQ(m.endpointControl(kControlPipe, pipeRead, {}).data, Bytes({1, 2, 3}));
  EXPECT_EQ(m.endpointControl(0x08, pipeRead, {}).kind, Response::Kind::Stall);
  EXPECT_EQ(m.endpointControl(kControlPipe, pipeCount, {}).data, Bytes({3, 0, 0, 0}));
}

TEST(TestDevice, InterruptAndIsochronousEndpointsAndHostNotifications) {
  sim::World world;
  auto dev = MakeTestDevice();
  auto &m = *dev.model;
  EXPECT_FALSE(dev.SignalRemoteWakeup());  // not plugged
  m.configured(1);
  // Reports count up and carry the interrupt-OUT byte count.
  EXPECT_EQ(m.in(kInterruptIn, 8).data, Bytes({0, 0, 0, 0, 0, 0, 0, 0}));
  m.out(kInterruptOut, Bytes({1, 2, 3}));
  m.out(kInterruptOut, Bytes({4, 5}));
  EXPECT_EQ(m.in(kInterruptIn, 8).data, Bytes({1, 0, 0, 0, 5, 0, 0, 0}));

  m.interfaceSelected(1, 3);
  m.in(kIsoIn, 1024);
  EXPECT_EQ(m.in(kIsoIn, 1024).data.at(0), 1024 % 251);  // the stream goes on from packet to packet
  m.out(kIsoOut, std::vector<uint8_t>(100));
  m.out(kIsoOut, {});
  auto c = dev.state->Snapshot();
  EXPECT_EQ(c.lastInterruptOut, Bytes({4, 5}));
  EXPECT_EQ(c.isoOutPackets, 2u);
  EXPECT_EQ(c.isoOutBytes, 100u);
  EXPECT_EQ(c.alternateSettings, (std::map<uint8_t, uint8_t>{{0, 0}, {1, 3}, {2, 0}}));

  m.portReset();
  c = dev.state->Snapshot();
  EXPECT_EQ(c.resetCount, 1u);
  EXPECT_EQ(c.configuration, 0);
  EXPECT_TRUE(c.alternateSettings.empty());
  EXPECT_EQ(m.in(kInterruptIn, 8).kind, Response::Kind::Stall);
}

// The models on the bus, below a function driver that only passes requests down; the test
// sends URBs to the bus driver itself.
PDEVICE_OBJECT &LowerOf(PDEVICE_OBJECT fdo) { return *static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension); }

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT lower = LowerOf(fdo);
  if (sp->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
  }
  const bool remove = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  LowerOf(fdo) = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS PassDownEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto &f : driver->MajorFunction) f = PassDown;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

USBD_STATUS Submit(PDEVICE_OBJECT pdo, URB &urb) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  IoFreeIrp(irp);
  return urb.UrbHeader.Status;
}

USBD_STATUS Vendor(PDEVICE_OBJECT pdo, bool in, uint8_t request, uint16_t value, std::vector<uint8_t> &data) {
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, request, value, 0,
                        data.empty() ? nullptr : data.data(), nullptr, ULONG(data.size()), nullptr);
  USBD_STATUS status = Submit(pdo, urb);
  data.resize(urb.UrbControlVendorClassRequest.TransferBufferLength);
  return status;
}

std::vector<uint8_t> GetDescriptor(PDEVICE_OBJECT pdo, uint8_t type, uint8_t index, size_t length) {
  std::vector<uint8_t> buffer(length);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, buffer.data(),
                               nullptr, ULONG(length), nullptr);
  EXPECT_EQ(Submit(pdo, urb), USBD_STATUS_SUCCESS);
  buffer.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
  return buffer;
}

// Selects a configuration with alternate setting 0 of every interface; pipe handles by address.
std::map<uint8_t, USBD_PIPE_HANDLE> Configure(PDEVICE_OBJECT pdo, std::vector<uint8_t> block) {
  auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.data());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (LONG n = 0; n < config->bNumInterfaces; ++n)
    list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, n, 0, -1, -1, -1), nullptr});
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
  std::map<uint8_t, USBD_PIPE_HANDLE> pipes;
  EXPECT_EQ(Submit(pdo, *urb), USBD_STATUS_SUCCESS);
  for (auto &entry : list)
    if (entry.Interface)
      for (ULONG i = 0; i < entry.Interface->NumberOfPipes; ++i)
        pipes[entry.Interface->Pipes[i].EndpointAddress] = entry.Interface->Pipes[i].PipeHandle;
  ExFreePool(urb);
  return pipes;
}

USBD_STATUS Bulk(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, bool in, std::vector<uint8_t> &data) {
  URB urb{};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data.data(),
                                         nullptr, ULONG(data.size()),
                                         in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
  USBD_STATUS status = Submit(pdo, urb);
  data.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  return status;
}

TEST(ModelsOnTheBus, TestDeviceMovesDataAndAnswersVendorRequests) {
  sim::World world;
  auto dev = MakeTestDevice();
  Bus &bus = Bus::Get();
  PDEVICE_OBJECT pdo = bus.Plug(dev.model, LoadDriver(PassDownEntry, u"passdown"));
  EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18), dev.model->deviceDescriptor);

  auto pipes = Configure(pdo, dev.model->configurations[0]);
  EXPECT_EQ(dev.state->Snapshot().configuration, 1);
  ASSERT_TRUE(pipes.count(kLoopbackOut) && pipes.count(kLoopbackIn) && pipes.count(kSourceIn));

  std::vector<uint8_t> source(700);
  EXPECT_EQ(Bulk(pdo, pipes[kSourceIn], true, source), USBD_STATUS_SUCCESS);
  ASSERT_EQ(source.size(), 700u);
  for (size_t i = 0; i < source.size(); ++i) ASSERT_EQ(source[i], i % 251) << i;

  std::vector<uint8_t> sent{1, 2, 3, 4, 5}, back(64);
  EXPECT_EQ(Bulk(pdo, pipes[kLoopbackOut], false, sent), USBD_STATUS_SUCCESS);
  EXPECT_EQ(Bulk(pdo, pipes[kLoopbackIn], true, back), USBD_STATUS_SUCCESS);
  EXPECT_EQ(back, sent);

  std::vector<uint8_t> none;
  EXPECT_EQ(Vendor(pdo, false, kSetRegister, 0x1234, none), USBD_STATUS_SUCCESS);
  std::vector<uint8_t> reg(2);
  EXPECT_EQ(Vendor(pdo, true, kGetRegister, 0, reg), USBD_STATUS_SUCCESS);
  EXPECT_EQ(reg, Bytes({0x34, 0x12}));
  std::vector<uint8_t> bad(1);
  EXPECT_NE(Vendor(pdo, true, 0x77, 0, bad), USBD_STATUS_SUCCESS);

  bus.Unplug(pdo);
  bus.Settle();
}

TEST(ModelsOnTheBus, FxLoadReleaseAndComeBackAsTheImage) {
  sim::World world;
  auto fx = MakeFxBootloader(FxVariant::Fx2);
  auto target = MakeTestDevice({.speed = Speed::High, .vendorId = 0x1111, .productId = 0x2222});
  auto block = FxDescriptorBlock(target.model->deviceDescriptor, target.model->configurations,
                                 target.model->strings, true);
  Bus &bus = Bus::Get();
  PDEVICE_OBJECT pdo = bus.Plug(fx.model, LoadDriver(PassDownEntry, u"passdown"));
  EXPECT_EQ(GetDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 0, 16), Bytes({0x02, 0x03}));

  std::vector<uint8_t> hold{1}, ext{0x12, 0x34};
  EXPECT_EQ(Vendor(pdo, false, kFxInternalRequest, kFx2Cpucs, hold), USBD_STATUS_SUCCESS);
  EXPECT_EQ(Vendor(pdo, false, kFxExternalRequest, 0x2000, ext), USBD_STATUS_SUCCESS);
  for (size_t i = 0; i < block.size(); i += 64) {
    std::vector<uint8_t> rec(block.begin() + i, block.begin() + std::min(block.size(), i + 64));
    ASSERT_EQ(Vendor(pdo, false, kFxInternalRequest, uint16_t(kFxDescriptorAddress + i), rec), USBD_STATUS_SUCCESS);
  }
  std::vector<uint8_t> outside{1};
  EXPECT_NE(Vendor(pdo, false, kFxInternalRequest, 0x4000, outside), USBD_STATUS_SUCCESS);
  std::vector<uint8_t> run{0};
  EXPECT_EQ(Vendor(pdo, false, kFxInternalRequest, kFx2Cpucs, run), USBD_STATUS_SUCCESS);
  bus.Settle();

  PDEVICE_OBJECT loaded = bus.Current(pdo);
  ASSERT_NE(loaded, pdo);
  EXPECT_EQ(bus.Model(loaded), fx.state->Firmware()->model);
  EXPECT_EQ(GetDescriptor(loaded, USB_DEVICE_DESCRIPTOR_TYPE, 0, 18), target.model->deviceDescriptor);
  EXPECT_EQ(GetDescriptor(loaded, USB_STRING_DESCRIPTOR_TYPE, 0, 16), Bytes({4, 3, 0x09, 0x04}));
  std::vector<uint8_t> image(2);
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, kFxReadImage, 0x2000, 1, image.data(), nullptr, 2, nullptr);
  EXPECT_EQ(Submit(loaded, urb), USBD_STATUS_SUCCESS);
  EXPECT_EQ(image, ext);

  bus.Unplug(loaded);
  bus.Settle();
}

}  // namespace
}  // namespace sim::usb
