// libFuzzer target: the driver against a device whose every answer comes from the input
// (device_input.h): descriptors that lie, requests answered short, long, stalled, failed, never
// or by vanishing, an FX2 bootloader that answers oddly; driven through start (with the registry
// values the input sets), configuration, alternate settings, transfers of every type, pipe
// control transfers and firmware download. A fresh world per input on the manual clock, the
// verifier on: its stops and the world's end-of-run checks (pool, IRPs, timers) abort the run.
// Time moves only when the world waits for nothing else (device_ticker.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "device_input.h"
#include "device_ticker.h"
#include "driver/core/driver.h"
#include "include/xrusb/interface_guid.h"
#include "include/xrusb/ioctl.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/files.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/work_items.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/win32/win32.h"

namespace {

using namespace xrusb_fuzz;
namespace usb = sim::usb;

constexpr int kMaxHandles = 3;
constexpr int kMaxOps = 48;

constexpr ULONG kLengths[] = {0, 1, 7, 8, 64, 512, 513, 1024, 3072, 4096, 65536};
constexpr ULONG kTransferSizes[] = {4096, 64, 512, 65535, 65536, 1, 0, 0x200000};

struct Io {
  simwin::OVERLAPPED o{};
  std::vector<uint8_t> buffer;
};

class Run : public TickedRun {
 public:
  Run(const DeviceInput &input, std::shared_ptr<DeviceScript> script) : input_(input), script_(std::move(script)) {}

  void Plug() {
    driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
    const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1209&PID_7356\\1";
    sim::registry::SetString(key, u"DriverDeviceBaseName", u"Dev");
    for (auto [value, number] : input_.registry)
      sim::registry::SetDword(key, kRegistryNumbers[value % kRegistryCount], number);
    if (input_.Fx()) {
      sim::registry::SetString(key, u"FxFwFile", u"fw.hex");
      const std::string text = input_.FirmwareText();
      sim::files::PutFile("system32\\drivers\\fw.hex", {text.begin(), text.end()});
    }
    usb::PlugOptions options;
    options.registryKey = key;
    options.offerInterfaceV1 = !(input_.flags & kFlagNoV1);
    options.offerInterfaceV0 = !(input_.flags & kFlagNoV0);
    std::shared_ptr<usb::DeviceModel> model = MakeDevice(input_, script_);
    {
      std::lock_guard<std::mutex> guard(unplugLock_);
      model_ = model;
    }
    PDEVICE_OBJECT pdo = usb::Bus::Get().Plug(model, driver_, options);
    {
      std::lock_guard<std::mutex> guard(unplugLock_);
      pdo_ = pdo;
    }
    Settle();
  }

  void Play() {
    Reader r(input_.script);
    for (int n = 0; n < kMaxOps && r.Left(); ++n) {
      if (script_->vanish) Unplug();
      Step(r);
      Settle();
    }
  }

  // Closes every handle, unplugs and lets time run until nothing is left to happen.
  void Finish() {
    for (simwin::HANDLE &h : handles_)
      if (h != simwin::INVALID_HANDLE_VALUE) simwin::CloseHandle(h);
    handles_.clear();
    Unplug();
    Settle();
    for (int i = 0; i < 1000 && sim::AdvanceToNextTimer(); ++i) {
      sim::DrainWorkItems();
      Settle();
    }
    for (auto &io : ios_) {
      if (io->o.Internal == ULONG_PTR(STATUS_PENDING)) Fault("a request never completed after the device went");
      if (Verbose())
        fprintf(stderr, "  transfer of %zu -> 0x%08X %lu\n", io->buffer.size(), unsigned(io->o.Internal),
                static_cast<unsigned long>(io->o.InternalHigh));
    }
  }

  // From either thread: the device leaves the bus. False when it had already gone.
  bool Unplug() override {
    std::lock_guard<std::mutex> guard(unplugLock_);
    // While the plug is under way only the model knows its device object.
    PDEVICE_OBJECT plugged = pdo_ ? pdo_ : model_ ? model_->pdo : nullptr;
    if (!plugged) return false;
    PDEVICE_OBJECT current = usb::Bus::Get().Current(plugged);
    if (!unplugged_.insert(current).second) return false;
    script_->vanish = false;
    usb::Bus::Get().Unplug(current);
    return true;
  }

  bool Vanishing() override { return script_->vanish; }

 private:
  static void Settle() {
    usb::Bus::Get().Settle();
    usb::Bus::Get().AwaitIdle();
  }

  simwin::HANDLE Handle(Reader &r) {
    if (handles_.empty()) return simwin::INVALID_HANDLE_VALUE;
    return handles_[r.U8() % handles_.size()];
  }

  void Open() {
    if (handles_.size() >= kMaxHandles) return;
    if (Verbose()) fprintf(stderr, "  open\n");
    std::vector<std::u16string> paths = simwin::DeviceInterfacePaths(XRUSB_DEFAULT_INTERFACE_GUID);
    // By name too: a device that re-enumerated while its earlier self was still being removed
    // has the next number.
    for (const char16_t *name : {u"\\\\.\\Dev0", u"\\\\.\\Dev1", u"\\\\.\\Dev2"}) paths.push_back(name);
    for (const std::u16string &path : paths) {
      simwin::HANDLE h = simwin::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_OVERLAPPED, nullptr);
      if (h != simwin::INVALID_HANDLE_VALUE) {
        handles_.push_back(h);
        return;
      }
    }
  }

  void Send(simwin::HANDLE h, DWORD code, const void *in, DWORD inLength, void *out = nullptr, DWORD outLength = 0) {
    if (h == simwin::INVALID_HANDLE_VALUE) return;
    simwin::OVERLAPPED o{};
    DWORD bytes = 0;
    if (!simwin::DeviceIoControl(h, code, const_cast<void *>(in), inLength, out, outLength, &bytes, &o)) {
      if (simwin::GetLastError() == ERROR_IO_PENDING) Fault("control code 0x%08X left pending", unsigned(code));
      o.Internal = ULONG_PTR(uint32_t(simwin::RtlGetLastNtStatus()));
    }
    if (Verbose())
      fprintf(stderr, "  0x%08X -> 0x%08X %lu\n", unsigned(code), unsigned(o.Internal),
              static_cast<unsigned long>(o.InternalHigh));
    if (o.InternalHigh > outLength) Fault("control code 0x%08X reported %lu bytes of %u", unsigned(code),
                                          static_cast<unsigned long>(o.InternalHigh), unsigned(outLength));
  }

  // The pipes the driver reports now.
  ConfigurationInfo Pipes() {
    ConfigurationInfo info{};
    if (!handles_.empty()) Send(handles_[0], IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &info, sizeof info);
    if (info.NumberOfPipes > XRUSB_MAX_PIPES) Fault("%u pipes reported", unsigned(info.NumberOfPipes));
    if (Verbose()) fprintf(stderr, "  %u interfaces, %u pipes\n", unsigned(info.NumberOfInterfaces), unsigned(info.NumberOfPipes));
    return info;
  }

  void Transfer(simwin::HANDLE h, bool read, std::vector<uint8_t> buffer) {
    if (h == simwin::INVALID_HANDLE_VALUE) return;
    auto io = std::make_unique<Io>();
    io->buffer = std::move(buffer);
    const bool ok = read ? simwin::ReadFile(h, io->buffer.data(), DWORD(io->buffer.size()), nullptr, &io->o)
                         : simwin::WriteFile(h, io->buffer.data(), DWORD(io->buffer.size()), nullptr, &io->o);
    if (!ok && simwin::GetLastError() != ERROR_IO_PENDING) return;
    ios_.push_back(std::move(io));
  }

  static std::vector<uint8_t> IsoBuffer(Reader &r) {
    const ULONG packets = r.U8() % 40 + (r.U8() & 1 ? 0 : 8);
    const ULONG length = kLengths[r.U8() % std::size(kLengths)] % 3073;
    const uint32_t flags = r.U8() & 1 ? ISO_START_ASAP | SHORT_TRANSFER_OK : ISO_START_ASAP;
    const ULONG table = ULONG(sizeof(IsoTransferHeader) + packets * sizeof(IsoPacketDescriptor));
    std::vector<uint8_t> b(table + size_t(packets) * length, 0xEE);
    const IsoTransferHeader head{packets, flags, 0, 0};
    memcpy(b.data(), &head, sizeof head);
    for (ULONG k = 0; k < packets; ++k) {
      const IsoPacketDescriptor d{table + k * length, length, 0xFFFFFFFF};
      memcpy(b.data() + sizeof head + k * sizeof d, &d, sizeof d);
    }
    return b;
  }

  void Step(Reader &r) {
    const uint8_t op = r.U8() % kOpCount;
    switch (op) {
      case kOpOpen:
        Open();
        break;
      case kOpClose:
        if (!handles_.empty()) {
          const size_t k = r.U8() % handles_.size();
          simwin::CloseHandle(handles_[k]);
          handles_.erase(handles_.begin() + ptrdiff_t(k));
        }
        break;
      case kOpSetConfiguration: {
        SetConfigurationRequest q{};
        q.ConfigurationIndex = r.U8() % 5;
        q.NumberOfInterfaces = uint16_t(r.U8() % 4 + 1);
        for (unsigned i = 0; i < q.NumberOfInterfaces; ++i)
          q.InterfaceList[i] = {uint16_t(r.U8() % 4), uint16_t(r.U8() % 4), kTransferSizes[r.U8() % std::size(kTransferSizes)]};
        Send(handles_.empty() ? simwin::INVALID_HANDLE_VALUE : handles_[0], IOCTL_SET_CONFIGURATION, &q, sizeof q);
        break;
      }
      case kOpSetInterface: {
        simwin::HANDLE h = Handle(r);
        InterfaceSetting s{uint16_t(r.U8() % 4), uint16_t(r.U8() % 4), kTransferSizes[r.U8() % std::size(kTransferSizes)]};
        Send(h, IOCTL_SET_INTERFACE, &s, sizeof s);
        break;
      }
      case kOpUnconfigure:
        Send(Handle(r), IOCTL_UNCONFIGURE_DEVICE, nullptr, 0);
        break;
      case kOpBind: {
        simwin::HANDLE h = Handle(r);
        const uint8_t pick = r.U8();
        const ConfigurationInfo info = Pipes();
        BindPipeRequest b{info.NumberOfPipes && pick < 0x80 ? info.Pipes[pick % info.NumberOfPipes].EndpointAddress : pick};
        Send(h, IOCTL_BIND_PIPE, &b, sizeof b);
        break;
      }
      case kOpUnbind:
        Send(Handle(r), IOCTL_UNBIND_PIPE, nullptr, 0);
        break;
      case kOpRead:
      case kOpWrite: {
        simwin::HANDLE h = Handle(r);
        Transfer(h, op == kOpRead, std::vector<uint8_t>(kLengths[r.U8() % std::size(kLengths)], 0xC3));
        break;
      }
      case kOpIso: {
        simwin::HANDLE h = Handle(r);
        const bool read = r.U8() & 1;
        Transfer(h, read, IsoBuffer(r));
        break;
      }
      case kOpResetPipe:
        Send(Handle(r), IOCTL_RESET_PIPE, nullptr, 0);
        break;
      case kOpAbortPipe:
        Send(Handle(r), IOCTL_ABORT_PIPE, nullptr, 0);
        break;
      case kOpPipeControl: {
        simwin::HANDLE h = Handle(r);
        const bool in = r.U8() & 1;
        PipeControlTransferRequest q{r.U8() & 1 ? SHORT_TRANSFER_OK : 0u, {}};
        for (uint8_t &b : q.SetupPacket) b = r.U8();
        std::vector<uint8_t> data(kLengths[r.U8() % std::size(kLengths)], 0x3C);
        Send(h, in ? IOCTL_PIPE_CONTROL_TRANSFER_IN : IOCTL_PIPE_CONTROL_TRANSFER_OUT, &q, sizeof q, data.data(),
             DWORD(data.size()));
        break;
      }
      case kOpGetDescriptor: {
        DescriptorRequest q{XRUSB_RECIPIENT_DEVICE, uint8_t(r.U8() % 4), r.U8(), 0x0409};
        std::vector<uint8_t> data(r.U16() % 4097, 0);
        Send(handles_.empty() ? simwin::INVALID_HANDLE_VALUE : handles_[0], IOCTL_GET_DESCRIPTOR, &q, sizeof q,
             data.data(), DWORD(data.size()));
        break;
      }
      case kOpVendor: {
        const bool in = r.U8() & 1;
        ClassOrVendorRequest q{};
        q.Flags = SHORT_TRANSFER_OK;
        q.Type = r.U8() & 1 ? XRUSB_REQUEST_TYPE_VENDOR : XRUSB_REQUEST_TYPE_CLASS;
        q.Recipient = r.U8() % 4;
        q.Request = r.U8();
        q.Value = r.U16();
        q.Index = r.U16();
        std::vector<uint8_t> data(r.U16() % 4097, r.U8());
        Send(handles_.empty() ? simwin::INVALID_HANDLE_VALUE : handles_[0],
             in ? IOCTL_CLASS_OR_VENDOR_IN_REQUEST : IOCTL_CLASS_OR_VENDOR_OUT_REQUEST, &q, sizeof q, data.data(),
             DWORD(data.size()));
        break;
      }
      case kOpFeature: {
        const bool set = r.U8() & 1;
        FeatureRequest q{uint32_t(r.U8() % 4), uint16_t(r.U8() % 3), uint16_t(r.U8())};
        Send(handles_.empty() ? simwin::INVALID_HANDLE_VALUE : handles_[0], set ? IOCTL_SET_FEATURE : IOCTL_CLEAR_FEATURE,
             &q, sizeof q);
        break;
      }
      case kOpGetStatus: {
        StatusRequest q{uint32_t(r.U8() % 4), uint16_t(r.U8())};
        uint8_t out[8];
        Send(handles_.empty() ? simwin::INVALID_HANDLE_VALUE : handles_[0], IOCTL_GET_STATUS, &q, sizeof q, out, 2);
        break;
      }
      case kOpResetDevice:
        Send(handles_.empty() ? simwin::INVALID_HANDLE_VALUE : handles_[0], IOCTL_RESET_DEVICE, nullptr, 0);
        break;
      case kOpCyclePort:
        Send(handles_.empty() ? simwin::INVALID_HANDLE_VALUE : handles_[0], IOCTL_CYCLE_PORT, nullptr, 0);
        break;
      case kOpQuery: {
        static constexpr DWORD kCodes[] = {IOCTL_GET_CONFIGURATION, IOCTL_GET_CONFIGURATION_INFO,
                                           IOCTL_GET_DEVICE_INFO,   IOCTL_GET_BANDWIDTH_INFO,
                                           IOCTL_GET_CURRENT_FRAME_NUMBER, IOCTL_GET_PIPE_PARAMETERS};
        const DWORD code = kCodes[r.U8() % std::size(kCodes)];
        std::vector<uint8_t> out(sizeof(ConfigurationInfo), 0);
        const DWORD length = code == IOCTL_GET_CONFIGURATION ? 1 : code == IOCTL_GET_PIPE_PARAMETERS ? 4 : DWORD(out.size());
        Send(Handle(r), code, nullptr, 0, out.data(), length);
        break;
      }
      case kOpAdvance:
        sim::AdvanceMs(int64_t(r.U8()) * 4);
        break;
      case kOpUnplug:
        Unplug();
        break;
      case kOpReap:
        for (auto &io : ios_) {
          if (io->o.Internal != ULONG_PTR(STATUS_PENDING) && io->o.InternalHigh > io->buffer.size())
            Fault("a transfer of %zu bytes reported %lu", io->buffer.size(), static_cast<unsigned long>(io->o.InternalHigh));
        }
        break;
      case kOpParameters: {
        DeviceParameters p{uint32_t(r.U8() & 7), r.U16()};
        Send(Handle(r), IOCTL_SET_DEVICE_PARAMETERS, &p, sizeof p);
        break;
      }
      case kOpStatistics: {
        simwin::HANDLE h = Handle(r);
        StatisticsSetup s{uint32_t(r.U8()) * 20, {}};
        Send(h, IOCTL_SETUP_PIPE_STATISTICS, &s, sizeof s);
        PipeStatistics q{};
        q.ActualAveragingInterval = r.U8() & 7;
        Send(h, IOCTL_QUERY_PIPE_STATISTICS, &q, sizeof(StatisticsQuery), &q, sizeof q);
        break;
      }
      case kOpStoreDescriptor: {
        std::vector<uint8_t> block = input_.configurations.empty() ? std::vector<uint8_t>(9, 0) : input_.configurations[0];
        block.resize(r.U16() % 1024 + 1, 0);
        Send(Handle(r), IOCTL_STORE_CONFIG_DESCRIPTOR, block.data(), DWORD(block.size()));
        break;
      }
      default:
        break;
    }
  }

  const DeviceInput &input_;
  std::shared_ptr<DeviceScript> script_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::shared_ptr<usb::DeviceModel> model_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::vector<simwin::HANDLE> handles_;
  std::vector<std::unique_ptr<Io>> ios_;  // until the world has ended: completions write into them
  std::mutex unplugLock_;
  std::set<PDEVICE_OBJECT> unplugged_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const DeviceInput input = DeviceInput::Decode({data, size});
  auto script = std::make_shared<DeviceScript>(input.answers);
  auto world = std::make_unique<sim::World>(sim::WorldOptions{sim::ClockMode::Manual});
  {
    Run run(input, script);
    TickBegin(&run);
    run.Plug();
    run.Play();
    run.Finish();
    TickEnd();
    world.reset();
  }
  return 0;
}
