// The bus tests' harness: a pass-down function driver above the bus's PDO, from whose place in
// the stack the tests send URBs, synchronously or not, as our driver will.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/usbioctl.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"
#include "tests/support/devices.h"

namespace bustest {

using namespace sim::usb;

using support::LowerOf;

// One request sent down from the client; the completion routine records what came back.
struct Request {
  PIRP irp = nullptr;
  std::mutex m;
  std::condition_variable cv;
  int completions = 0;
  NTSTATUS status = -1;
  NTSTATUS returned = -1;

  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *r = static_cast<Request *>(context);
    std::lock_guard<std::mutex> guard(r->m);
    ++r->completions;
    r->status = irp->IoStatus.Status;
    r->cv.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  NTSTATUS Wait() {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return completions > 0; });
    return status;
  }
  bool Completed() {
    std::lock_guard<std::mutex> guard(m);
    return completions > 0;
  }
  ~Request() {
    if (irp) IoFreeIrp(irp);
  }
};

// The device as a test sees it: a world, a model, the stack built on it by the PnP manager.
class BusTest : public ::testing::Test {
 protected:
  BusTest() = default;
  explicit BusTest(const sim::WorldOptions &options) : world_(options) {}
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    client_ = sim::LoadDriver(support::PassDownEntry, u"bustestclient");
  }

  PDEVICE_OBJECT Plug(std::shared_ptr<DeviceModel> model, const PlugOptions &options = {}) {
    pdo_ = Bus::Get().Plug(std::move(model), client_, options);
    return pdo_;
  }
  PDEVICE_OBJECT Fdo() { return sim::StackTop(pdo_); }

  std::unique_ptr<Request> SendInternal(ULONG code, void *argument) {
    auto r = std::make_unique<Request>();
    PDEVICE_OBJECT fdo = Fdo();
    r->irp = IoAllocateIrp(fdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(r->irp, Request::Done, r.get(), TRUE, TRUE, TRUE);
    r->returned = IoCallDriver(LowerOf(fdo), r->irp);
    return r;
  }
  std::unique_ptr<Request> Submit(URB &urb) {
    urb.UrbHeader.Status = USBD_STATUS(0xFFFFFFFF);
    return SendInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
  }
  NTSTATUS SubmitSync(URB &urb) { return Submit(urb)->Wait(); }
  ULONG CurrentFrameFromUrb() {
    URB u{};
    u.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    u.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(u));
    return u.UrbGetCurrentFrameNumber.FrameNumber;
  }

  PDRIVER_OBJECT client_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  sim::World world_;
};

// URB builders, each over a cleared URB as our driver makes them.
inline URB Bulk(USBD_PIPE_HANDLE pipe, void *buffer, ULONG length, ULONG flags) {
  URB urb{};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                         length, flags, nullptr);
  return urb;
}
inline URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb{};
  urb.UrbHeader.Function = function;
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}
inline URB Vendor(USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, void *buffer, ULONG length) {
  URB urb{};
  UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request, value,
                        index, buffer, nullptr, length, nullptr);
  return urb;
}

// A select-configuration URB for the listed (interface, alternate, pipes) entries.
struct SelectConfig {
  std::vector<uint8_t> storage;
  std::vector<size_t> offsets;
  SelectConfig(std::vector<uint8_t> &descriptor, std::initializer_list<std::array<uint8_t, 3>> interfaces) {
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    for (auto &i : interfaces) {
      offsets.push_back(size);
      size += GET_USBD_INTERFACE_SIZE(i[2]);
    }
    storage.assign(std::max(size, sizeof(URB)), 0);
    urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb()->UrbHeader.Length = USHORT(size);
    urb()->UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
    size_t k = 0;
    for (auto &i : interfaces) {
      auto *info = Interface(k++);
      info->Length = USHORT(GET_USBD_INTERFACE_SIZE(i[2]));
      info->InterfaceNumber = i[0];
      info->AlternateSetting = i[1];
      for (int p = 0; p < i[2]; ++p) info->Pipes[p].MaximumTransferSize = 0x10000 + p;
    }
  }
  URB *urb() { return reinterpret_cast<URB *>(storage.data()); }
  PUSBD_INTERFACE_INFORMATION Interface(size_t k) {
    return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(storage.data() + offsets[k]);
  }
};

// The device of these tests: configuration 1 (remote wake-up) with bulk, interrupt and
// isochronous endpoints over three alternate settings and a second control pipe; configuration 2
// plain bulk.
struct TestDevice {
  std::mutex m;
  std::vector<uint8_t> lastOut;
  std::vector<uint8_t> lastControlOut;
  std::vector<int> configured;
  size_t inLimit = SIZE_MAX;  // bytes the bulk IN endpoint has per transfer
  size_t isoInBytes = 100;    // bytes per isochronous IN packet
  std::shared_ptr<DeviceModel> model = std::make_shared<DeviceModel>();

  explicit TestDevice(Speed speed = Speed::High) {
    DeviceFields f;
    f.vendorId = 0x0547;
    f.productId = 0x1002;
    f.numConfigurations = 2;
    model->speed = speed;
    model->deviceDescriptor = DeviceDescriptor(f);
    model->configurations.push_back(ConfigBuilder(1, 0xA0)
                                        .Interface(0, 0)
                                        .Endpoint(0x01, EndpointType::Bulk, 512)
                                        .Endpoint(0x81, EndpointType::Bulk, 512)
                                        .Endpoint(0x83, EndpointType::Interrupt, 64, 4)
                                        .Interface(0, 1)
                                        .Endpoint(0x82, EndpointType::Isochronous, 1024, 1, 3)
                                        .Endpoint(0x02, EndpointType::Isochronous, 1024, 1, 3)
                                        .Interface(0, 2)
                                        .Endpoint(0x82, EndpointType::Isochronous, 1024, 1, 1)
                                        .Endpoint(0x02, EndpointType::Isochronous, 512, 1, 1)
                                        .Interface(1, 0, 0xFF, 1, 2)
                                        .Endpoint(0x04, EndpointType::Control, 64)
                                        .Build());
    model->configurations.push_back(ConfigBuilder(2, 0x80)
                                        .Interface(0, 0)
                                        .Endpoint(0x01, EndpointType::Bulk, 512)
                                        .Endpoint(0x81, EndpointType::Bulk, 512)
                                        .Build());
    model->strings[0] = LanguageTable();
    model->strings[1] = StringDescriptor(u"xrusb");
    model->in = [this](uint8_t ep, size_t length) {
      std::lock_guard<std::mutex> guard(m);
      if (ep == 0x81) {
        std::vector<uint8_t> data(std::min(length, inLimit));
        for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
        return Response::Ack(data);
      }
      if (ep == 0x82) return Response::Ack(std::vector<uint8_t>(std::min(length, isoInBytes), 0x5A));
      return Response::Nak();
    };
    model->out = [this](uint8_t, std::span<const uint8_t> data) {
      std::lock_guard<std::mutex> guard(m);
      lastOut.assign(data.begin(), data.end());
      return Response::Ack();
    };
    model->control = [this](const Setup &s, std::span<const uint8_t> data) {
      std::lock_guard<std::mutex> guard(m);
      if ((s.bmRequestType & 0x60) == 0x40 && s.bRequest == 0x42 && s.In()) return Response::Ack({1, 2, 3, 4, 5, 6});
      if ((s.bmRequestType & 0x60) == 0x40 && s.bRequest == 0x43 && !s.In()) {
        lastControlOut.assign(data.begin(), data.end());
        return Response::Ack();
      }
      if ((s.bmRequestType & 0x7F) == 0x21 && s.bRequest == 0x01) return Response::Ack({uint8_t(s.wIndex)});
      return Response::Stall();
    };
    model->endpointControl = [](uint8_t ep, const Setup &s, std::span<const uint8_t>) {
      return ep == 0x04 && s.In() ? Response::Ack({9, 9}) : Response::Stall();
    };
    model->configured = [this](uint8_t value) {
      std::lock_guard<std::mutex> guard(m);
      configured.push_back(value);
    };
  }
};

}  // namespace bustest
