// The bus tests' harness: a pass-down function driver above the bus's PDO, from whose place in
// the stack the tests send URBs, synchronously or not, as our driver will.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/host/usbioctl.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/test_device.h"
#include "tests/support/devices.h"

namespace bustest {

using namespace sim::usb;
using namespace sim::usb::test_device;
using support::LowerOf;

// One request sent down from the client; the completion routine records what came back.
struct Request {
  PIRP irp = nullptr;
  std::mutex m;
  std::condition_variable cv;
  int completions = 0;
  int sequence = 0;  // its place among the completions of all requests
  NTSTATUS status = -1;
  NTSTATUS returned = -1;

  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *r = static_cast<Request *>(context);
    std::lock_guard<std::mutex> guard(r->m);
    static std::atomic<int> completed{0};
    ++r->completions;
    r->sequence = ++completed;
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

// What a URB came back with: the IRP's status and the URB's.
using Outcome = std::pair<NTSTATUS, USBD_STATUS>;

// URB builders, each over a cleared URB as our driver makes them.
inline URB Header(USHORT function, size_t length) {
  URB urb{};
  urb.UrbHeader.Function = function;
  urb.UrbHeader.Length = USHORT(length);
  return urb;
}

// The test device (or another model) plugged under the client.
class BusTest : public ::testing::Test {
 protected:
  BusTest() = default;
  explicit BusTest(const sim::WorldOptions &options) : world_(options) {}
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    client_ = sim::LoadDriver(support::PassDownEntry, u"bustestclient");
  }
  void TearDown() override {
    if (config_) ExFreePool(config_);
  }

  PDEVICE_OBJECT Plug(std::shared_ptr<DeviceModel> model, const PlugOptions &options = {}) {
    model_ = model;
    pdo_ = Bus::Get().Plug(std::move(model), client_, options);
    return pdo_;
  }
  PDEVICE_OBJECT Fdo() { return sim::StackTop(pdo_); }

  std::unique_ptr<Request> Send(UCHAR major, const std::function<void(PIO_STACK_LOCATION)> &fill) {
    auto r = std::make_unique<Request>();
    PDEVICE_OBJECT fdo = Fdo();
    r->irp = IoAllocateIrp(fdo->StackSize, FALSE);
    r->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
    next->MajorFunction = major;
    fill(next);
    IoSetCompletionRoutine(r->irp, Request::Done, r.get(), TRUE, TRUE, TRUE);
    r->returned = major == IRP_MJ_POWER ? PoCallDriver(LowerOf(fdo), r->irp) : IoCallDriver(LowerOf(fdo), r->irp);
    return r;
  }
  std::unique_ptr<Request> SendInternal(ULONG code, void *argument) {
    return Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PIO_STACK_LOCATION s) {
      s->Parameters.DeviceIoControl.IoControlCode = code;
      s->Parameters.Others.Argument1 = argument;
    });
  }
  std::unique_ptr<Request> Submit(URB &urb) {
    urb.UrbHeader.Status = USBD_STATUS(0xFFFFFFFF);
    return SendInternal(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
  }
  NTSTATUS SubmitSync(URB &urb) { return Submit(urb)->Wait(); }
  Outcome Run(URB &urb) {
    NTSTATUS status = SubmitSync(urb);
    return {status, urb.UrbHeader.Status};
  }
  ULONG CurrentFrameFromUrb() {
    URB u = Header(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(u));
    return u.UrbGetCurrentFrameNumber.FrameNumber;
  }

  // Alternate 0 of every interface of configuration 'index', made with the USB library as our
  // driver makes it. The URB stays in config_, its entries in interfaces_.
  URB &Configure(size_t index = 0) {
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(model_->configurations[index].data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG n = 0; n < config->bNumInterfaces; ++n)
      list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, n, 0, -1, -1, -1), nullptr});
    list.push_back({nullptr, nullptr});
    if (config_) ExFreePool(config_);
    config_ = USBD_CreateConfigurationRequestEx(config, list.data());
    EXPECT_EQ(Outcome(STATUS_SUCCESS, USBD_STATUS_SUCCESS), Run(*config_));
    interfaces_.clear();
    for (auto &entry : list)
      if (entry.Interface) interfaces_.push_back(entry.Interface);
    return *config_;
  }
  // The handle of the open pipe to 'address', from the last configuration or interface selection.
  USBD_PIPE_HANDLE Pipe(uint8_t address) {
    for (PUSBD_INTERFACE_INFORMATION info : interfaces_)
      for (ULONG i = 0; i < info->NumberOfPipes; ++i)
        if (info->Pipes[i].EndpointAddress == address) return info->Pipes[i].PipeHandle;
    ADD_FAILURE() << "no pipe " << int(address);
    return nullptr;
  }
  // Selects an alternate setting; on success its pipes replace the interface's in Pipe().
  Outcome SelectInterface(uint8_t number, uint8_t alternate, USBD_CONFIGURATION_HANDLE handle = nullptr) {
    std::vector<uint8_t> storage(GET_SELECT_INTERFACE_REQUEST_SIZE(8));
    auto *urb = reinterpret_cast<URB *>(storage.data());
    UsbBuildSelectInterfaceRequest(urb, USHORT(storage.size()),
                                   handle ? handle : config_->UrbSelectConfiguration.ConfigurationHandle, number,
                                   alternate);
    Outcome outcome = Run(*urb);
    if (outcome.first == STATUS_SUCCESS) {
      selected_.push_back(std::move(storage));  // the buffer stays where it is
      for (auto &info : interfaces_)
        if (info->InterfaceNumber == number) info = &urb->UrbSelectInterface.Interface;
    }
    return outcome;
  }

  PDRIVER_OBJECT client_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  sim::World world_;
  std::shared_ptr<DeviceModel> model_;
  PURB config_ = nullptr;
  std::vector<PUSBD_INTERFACE_INFORMATION> interfaces_;
  std::vector<std::vector<uint8_t>> selected_;
};

inline URB Bulk(USBD_PIPE_HANDLE pipe, void *buffer, ULONG length, ULONG flags) {
  URB urb{};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                         length, flags, nullptr);
  return urb;
}
inline URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb = Header(function, sizeof(struct _URB_PIPE_REQUEST));
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}
inline URB Vendor(USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index, void *buffer, ULONG length) {
  URB urb{};
  UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request, value,
                        index, buffer, nullptr, length, nullptr);
  return urb;
}
inline URB GetDescriptor(UCHAR type, UCHAR index, void *buffer, ULONG length) {
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, buffer, nullptr,
                               length, nullptr);
  return urb;
}

}  // namespace bustest
