// URBs per second through the simulated bus in Fast pace: 512-byte bulk OUT transfers from one
// submitting thread, one at a time and with 8 in flight.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/host/usbioctl.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"

namespace {

using namespace sim::usb;

PDEVICE_OBJECT g_lower;

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  g_lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(g_lower, irp);
  if (remove) {
    IoDetachDevice(g_lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  return STATUS_SUCCESS;
}

struct Slot {
  PIRP irp = nullptr;
  URB urb{};
  std::mutex m;
  std::condition_variable cv;
  bool done = true;
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto *s = static_cast<Slot *>(context);
    std::lock_guard<std::mutex> guard(s->m);
    s->done = true;
    s->cv.notify_one();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  void Send(USBD_PIPE_HANDLE pipe, void *buffer) {
    done = false;
    urb = {};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, nullptr,
                                           512, 0, nullptr);
    // A fresh IRP per URB, as the driver's synchronous requests have one each.
    if (irp) IoFreeIrp(irp);
    irp = IoAllocateIrp(g_lower->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
    IoCallDriver(g_lower, irp);
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
  }
};

void BulkOut(benchmark::State &state) {
  const size_t inFlight = size_t(state.range(0));
  sim::World world;
  PDRIVER_OBJECT driver = sim::LoadDriver(Entry, u"benchclient");
  auto model = std::make_shared<DeviceModel>();
  model->deviceDescriptor = DeviceDescriptor({});
  model->configurations.push_back(ConfigBuilder(1).Interface(0, 0).Endpoint(0x01, EndpointType::Bulk, 512).Build());
  PDEVICE_OBJECT pdo = Bus::Get().Plug(model, driver);
  // Room for the whole URB union: the builders write through URB pointers.
  std::vector<uint8_t> select(std::max(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1), sizeof(URB)));
  auto *sc = reinterpret_cast<URB *>(select.data());
  sc->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  sc->UrbHeader.Length = USHORT(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1));
  sc->UrbSelectConfiguration.ConfigurationDescriptor =
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(model->configurations[0].data());
  sc->UrbSelectConfiguration.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(1));
  std::vector<Slot> slots(inFlight);
  {
    Slot &s = slots[0];
    s.irp = IoAllocateIrp(g_lower->StackSize, FALSE);
    s.done = false;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s.irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = sc;
    IoSetCompletionRoutine(s.irp, Slot::Done, &s, TRUE, TRUE, TRUE);
    IoCallDriver(g_lower, s.irp);
    s.Wait();
  }
  USBD_PIPE_HANDLE pipe = sc->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
  std::vector<uint8_t> payload(512, 0xA5);
  size_t next = 0;
  for (auto _ : state) {
    Slot &s = slots[next];
    next = (next + 1) % inFlight;
    s.Wait();
    s.Send(pipe, payload.data());
  }
  for (auto &s : slots) {
    s.Wait();
    if (s.irp) IoFreeIrp(s.irp);
  }
  state.SetItemsProcessed(state.iterations());
  Bus::Get().Unplug(pdo);
  Bus::Get().Settle();
}

}  // namespace

BENCHMARK(BulkOut)->Arg(1)->Arg(8)->UseRealTime();
BENCHMARK_MAIN();
