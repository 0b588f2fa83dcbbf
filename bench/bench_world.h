// The two places the benchmarks send data from: an application above the whole stack (the
// driver loaded on a plugged test device, a handle open on \\.\Bench0), and a client straight
// above the bus's physical device object, without the driver.
#pragma once
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "driver/core/driver.h"
#include "include/xrusb/ioctl.h"
#include "platform/host/usbioctl.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/work_items.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"
#include "sim/win32/win32.h"

namespace bench {

namespace td = sim::usb::test_device;

// Set-up failures end the run: a benchmark of a broken path measures nothing.
[[noreturn]] inline void Die(const char *what, unsigned long value = 0) {
  std::fprintf(stderr, "bench set-up failed: %s (0x%lx)\n", what, value);
  std::abort();
}

// Zero payload (modulus 1): the sink's check of each byte is then a compare with 0, so large
// transfers measure the stack rather than the device model's arithmetic.
inline sim::usb::TestDeviceOptions BenchDevice() {
  sim::usb::TestDeviceOptions o;
  o.patternModulus = 1;
  return o;
}

// The driver on a plugged test device and one overlapped handle on it.
class StackWorld {
 public:
  using Values = std::vector<std::pair<std::u16string, uint32_t>>;

  explicit StackWorld(const Values &values = {}) {
    sim::usb::Bus::Get().SetPace(sim::usb::Pace::Fast);
    driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
    const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1209&PID_7355\\bench";
    sim::registry::SetString(key, u"DriverDeviceBaseName", u"Bench");
    for (const auto &[name, value] : values) sim::registry::SetDword(key, name, value);
    sim::usb::PlugOptions options;
    options.registryKey = key;
    device_ = sim::usb::MakeTestDevice(BenchDevice());
    pdo_ = sim::usb::Bus::Get().Plug(device_.model, driver_, options);
    handle_ = simwin::CreateFileW(u"\\\\.\\Bench0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == simwin::INVALID_HANDLE_VALUE) Die("CreateFileW", simwin::GetLastError());
  }
  // A completing request holds the file until the bus thread is done with it, and its final
  // close then comes from a system worker: both must be over before the unplug, or the removal
  // would wait for a close that lands after the world is gone.
  ~StackWorld() {
    sim::usb::Bus::Get().Settle();
    simwin::CloseHandle(handle_);
    for (simwin::HANDLE h : extra_) simwin::CloseHandle(h);
    sim::DrainWorkItems();
    sim::usb::Bus::Get().Unplug(pdo_);
    sim::usb::Bus::Get().Settle();
  }

  // Interfaces as IOCTL_SET_CONFIGURATION takes them: {number, alternate, maximum transfer};
  // every interface of the configuration, as Windows wants.
  void Configure(std::initializer_list<InterfaceSetting> interfaces) {
    SetConfigurationRequest r{};
    r.NumberOfInterfaces = uint16_t(interfaces.size());
    size_t i = 0;
    for (const InterfaceSetting &s : interfaces) r.InterfaceList[i++] = s;
    Control(handle_, IOCTL_SET_CONFIGURATION, &r, sizeof r, "IOCTL_SET_CONFIGURATION");
  }
  // A handle bound to the endpoint; the first call binds the world's own handle.
  simwin::HANDLE Bind(uint8_t endpoint) {
    simwin::HANDLE h = handle_;
    if (bound_) {
      h = simwin::CreateFileW(u"\\\\.\\Bench0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
      if (h == simwin::INVALID_HANDLE_VALUE) Die("CreateFileW", simwin::GetLastError());
      extra_.push_back(h);
    }
    bound_ = true;
    const BindPipeRequest r{endpoint};
    Control(h, IOCTL_BIND_PIPE, &r, sizeof r, "IOCTL_BIND_PIPE");
    return h;
  }
  // Rate statistics on the pipe 'h' is bound to, over 'intervalMs' (0: off).
  static void SetupStatistics(simwin::HANDLE h, ULONG intervalMs) {
    const StatisticsSetup r{intervalMs, {}};
    Control(h, IOCTL_SETUP_PIPE_STATISTICS, &r, sizeof r, "IOCTL_SETUP_PIPE_STATISTICS");
  }
  PDEVICE_OBJECT Pdo() const { return pdo_; }

 private:
  static void Control(simwin::HANDLE h, DWORD code, const void *in, DWORD length, const char *what) {
    simwin::OVERLAPPED o{};
    DWORD bytes = 0;
    // Control codes complete at once; a failure leaves the OVERLAPPED untouched.
    if (!simwin::DeviceIoControl(h, code, const_cast<void *>(in), length, nullptr, 0, &bytes, &o))
      Die(what, ULONG(simwin::RtlGetLastNtStatus()));
  }

  sim::World world_;
  PDRIVER_OBJECT driver_ = nullptr;
  sim::usb::TestDevice device_;
  PDEVICE_OBJECT pdo_ = nullptr;
  simwin::HANDLE handle_ = simwin::INVALID_HANDLE_VALUE;
  std::vector<simwin::HANDLE> extra_;
  bool bound_ = false;
};

// A pass-down function driver above the bus's PDO: the benchmark sends URBs from its place.
namespace client {
inline PDEVICE_OBJECT g_lower;

inline NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  g_lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

inline NTSTATUS Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  const bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(g_lower, irp);
  if (remove) {
    IoDetachDevice(g_lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

inline NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  return STATUS_SUCCESS;
}
}  // namespace client

// One URB at a time from the client's place, with a fresh IRP for each as a kernel client
// allocates one per request.
class BusRequest {
 public:
  BusRequest() = default;
  BusRequest(const BusRequest &) = delete;
  BusRequest &operator=(const BusRequest &) = delete;
  ~BusRequest() {
    if (irp_) IoFreeIrp(irp_);
  }
  void Send(URB *urb) {
    if (irp_) IoFreeIrp(irp_);
    done_ = false;
    PDEVICE_OBJECT lower = client::g_lower;
    irp_ = IoAllocateIrp(lower->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, Done, this, TRUE, TRUE, TRUE);
    (void)IoCallDriver(lower, irp_);
  }
  NTSTATUS Wait() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return done_; });
    return irp_->IoStatus.Status;
  }

 private:
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto *r = static_cast<BusRequest *>(context);
    std::lock_guard<std::mutex> guard(r->m_);
    r->done_ = true;
    r->cv_.notify_one();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PIRP irp_ = nullptr;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = true;
};

// The test device under the pass-down client, configured with interface 0 (its bulk endpoints).
class BusWorld {
 public:
  BusWorld() {
    sim::usb::Bus::Get().SetPace(sim::usb::Pace::Fast);
    PDRIVER_OBJECT driver = sim::LoadDriver(client::Entry, u"\\Driver\\benchclient");
    device_ = sim::usb::MakeTestDevice(BenchDevice());
    pdo_ = sim::usb::Bus::Get().Plug(device_.model, driver);
    // Every interface in alternate setting 0, as the bus requires; interface 0 has the bulk pipes.
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device_.model->configurations[0].data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG n = 0; n < cd->bNumInterfaces; ++n)
      list.push_back({USBD_ParseConfigurationDescriptorEx(cd, cd, n, 0, -1, -1, -1), nullptr});
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
    if (!urb) Die("select configuration: no URB");
    for (auto &entry : list)
      for (ULONG p = 0; entry.Interface && p < entry.Interface->NumberOfPipes; ++p)
        entry.Interface->Pipes[p].MaximumTransferSize = 1u << 20;
    BusRequest r;
    r.Send(urb);
    const NTSTATUS status = r.Wait();
    if (status != STATUS_SUCCESS) Die("select configuration", ULONG(status));
    const USBD_INTERFACE_INFORMATION &info = *list[0].Interface;
    for (ULONG p = 0; p < info.NumberOfPipes; ++p)
      pipes_.push_back({info.Pipes[p].EndpointAddress, info.Pipes[p].PipeHandle});
    ExFreePool(urb);
  }
  ~BusWorld() {
    sim::usb::Bus::Get().Settle();
    sim::usb::Bus::Get().Unplug(pdo_);
    sim::usb::Bus::Get().Settle();
  }
  USBD_PIPE_HANDLE Pipe(uint8_t endpoint) const {
    for (auto [address, handle] : pipes_)
      if (address == endpoint) return handle;
    Die("no pipe for endpoint", endpoint);
  }
  PDEVICE_OBJECT Pdo() const { return pdo_; }

 private:
  sim::World world_;
  sim::usb::TestDevice device_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::vector<std::pair<uint8_t, USBD_PIPE_HANDLE>> pipes_;  // interface 0
};

}  // namespace bench
