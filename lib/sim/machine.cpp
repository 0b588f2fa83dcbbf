// The public simulated machine: a world of the kernel substitute with the driver loaded, and the
// simulated bus's devices behind plain ids. Host build only.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "driver/core/driver.h"
#include "sim/kernel/files.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/fx_device.h"
#include "sim/usb/test_device.h"
#include "sim/win32/win32.h"
#include "machine_access.h"
#include "os.h"
#include "usbpcap.h"
#include "xrusb/device.hpp"
#include "xrusb/sim.hpp"

namespace xrusb::sim {
namespace usb = ::sim::usb;

namespace {

std::atomic<bool> g_machineExists{false};

usb::Speed ToBus(Speed s) { return s == Speed::Full ? usb::Speed::Full : s == Speed::High ? usb::Speed::High : usb::Speed::Super; }

usb::Response ToBus(const Response &r) {
  usb::Response b;
  b.kind = usb::Response::Kind(int(r.kind));
  b.status = USBD_STATUS(r.kind == Response::Kind::Stall ? USBD_STATUS_STALL_PID : r.usbdStatus);
  b.data = r.data;
  b.accepted = r.accepted;
  return b;
}

Setup FromBus(const usb::Setup &s) { return {s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength}; }

// The endpoint types of every configuration, for telling bulk from interrupt in the trace.
std::map<uint8_t, TransferType> EndpointTypes(const usb::DeviceModel &m) {
  std::map<uint8_t, TransferType> types;
  for (const std::vector<uint8_t> &block : m.configurations) {
    std::error_code ec;
    std::optional<ConfigurationDescriptor> c = ParseConfiguration(block, ec);
    if (!c) continue;
    for (const Interface &i : c->interfaces)
      for (const AltSetting &a : i.altSettings)
        for (const EndpointDescriptor &e : a.endpoints) types.emplace(e.address, e.Type());
  }
  return types;
}

// Formatted requests are control transfers the bus builds a setup packet for; the other URB
// functions without a data stage of their own are not transfers.
bool IsControlFunction(uint16_t f) {
  return f == URB_FUNCTION_CONTROL_TRANSFER || f == URB_FUNCTION_CONTROL_TRANSFER_EX ||
         (f >= URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && f <= URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR &&
          f != URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && f != URB_FUNCTION_RESERVED_0X0016 &&
          f != URB_FUNCTION_RESERVE_0X001D);
}

}  // namespace

struct Machine::State {
  struct Plugged {
    PDEVICE_OBJECT pdo = nullptr;                  // as plugged; the bus follows re-enumerations
    std::vector<PDEVICE_OBJECT> earlier;           // pdos it had before the current one
    std::u16string path;
    std::map<uint8_t, TransferType> types;
    bool present = true;
    usb::TestDevice testDevice;                    // when it is one
  };

  explicit State(const MachineOptions &o)
      : options(o), world(::sim::WorldOptions{}), epochMs(std::chrono::duration<double, std::milli>(
                                                     std::chrono::system_clock::now().time_since_epoch())
                                                     .count()) {
    driver = ::sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
    usb::Bus::Get().SetPace(o.realTimeBus ? usb::Pace::RealTime : usb::Pace::Fast);
    usb::Bus::Get().SetTraceData(o.captureData);
  }

  Plugged &Find(DeviceId id) {
    if (id == 0 || id > devices.size()) throw std::logic_error("xrusb::sim: no device " + std::to_string(id));
    return devices[id - 1];
  }
  Plugged &FindPresent(DeviceId id) {
    Plugged &p = Find(id);
    if (!p.present) throw std::logic_error("xrusb::sim: device " + std::to_string(id) + " is unplugged");
    return p;
  }
  PDEVICE_OBJECT Current(const Plugged &p) { return usb::Bus::Get().Current(p.pdo); }

  std::vector<Transfer> TraceOf(Plugged &p) {
    // The bus keeps an unplugged device's trace for the world's length.
    std::vector<Transfer> out;
    for (PDEVICE_OBJECT pdo : p.earlier) Convert(p, usb::Bus::Get().Trace(pdo), out);
    Convert(p, usb::Bus::Get().Trace(Current(p)), out);
    return out;
  }

  void Convert(const Plugged &p, const std::vector<usb::TraceEntry> &trace, std::vector<Transfer> &out) {
    for (const usb::TraceEntry &e : trace) {
      Transfer t;
      t.id = e.id;
      t.function = e.function;
      t.endpoint = e.endpoint;
      if (e.function == URB_FUNCTION_ISOCH_TRANSFER) {
        t.type = TransferType::Isochronous;
      } else if (e.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        auto it = p.types.find(e.endpoint);
        t.type = it == p.types.end() ? TransferType::Bulk : it->second;
      }
      if (IsControlFunction(e.function)) t.setup = FromBus(e.setup);
      t.in = t.setup ? t.setup->In() : (e.endpoint & 0x80) != 0;
      t.requestedLength = e.requestedLength;
      t.actualLength = e.actualLength;
      t.isoPackets = e.isoPackets;
      t.usbdStatus = e.status;
      t.pending = e.status == USBD_STATUS_PENDING;
      t.submittedMs = double(e.submitted) / 10000.0;
      t.completedMs = double(e.completed) / 10000.0;
      t.data = e.data;
      for (const usb::TraceEntry::IsoPacket &k : e.packets) t.packets.push_back({k.offset, k.length, uint32_t(k.status)});
      t.startFrame = e.startFrame;
      out.push_back(std::move(t));
    }
  }

  DeviceId Plug(std::shared_ptr<usb::DeviceModel> model, uint16_t vid, uint16_t pid, const PlugOptions &o,
                usb::TestDevice testDevice = {}) {
    std::lock_guard<std::mutex> guard(lock);
    char key[96];
    std::snprintf(key, sizeof key, "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_%04X&PID_%04X\\%zu",
                  vid, pid, devices.size() + 1);
    const std::u16string k = FromUtf8(key);
    ::sim::registry::CreateKey(k);
    for (const auto &[name, value] : o.numbers) ::sim::registry::SetDword(k, FromUtf8(name), value);
    for (const auto &[name, value] : o.strings) ::sim::registry::SetString(k, FromUtf8(name), FromUtf8(value));

    const std::vector<std::u16string> before = simwin::DeviceInterfacePaths(os::SystemGuid(kDefaultInterfaceGuid));
    Plugged p;
    p.types = EndpointTypes(*model);
    p.testDevice = std::move(testDevice);
    usb::PlugOptions plug;
    plug.registryKey = k;
    p.pdo = usb::Bus::Get().Plug(std::move(model), driver, plug);
    for (const std::u16string &path : simwin::DeviceInterfacePaths(os::SystemGuid(kDefaultInterfaceGuid)))
      if (std::find(before.begin(), before.end(), path) == before.end()) p.path = path;
    devices.push_back(std::move(p));
    return DeviceId(devices.size());
  }

  MachineOptions options;
  ::sim::World world;
  double epochMs;
  PDRIVER_OBJECT driver = nullptr;
  std::mutex lock;  // 'devices'
  std::vector<Plugged> devices;
};

std::vector<uint8_t> StringDescriptor(std::u16string_view text) {
  std::vector<uint8_t> d{uint8_t(std::min<size_t>(2 + 2 * text.size(), 254)), 3};
  for (char16_t c : text.substr(0, 126)) d.insert(d.end(), {uint8_t(c), uint8_t(c >> 8)});
  return d;
}

std::vector<uint8_t> LanguagesDescriptor(std::span<const uint16_t> languageIds) {
  std::vector<uint8_t> d{uint8_t(std::min<size_t>(2 + 2 * languageIds.size(), 254)), 3};
  for (uint16_t id : languageIds.subspan(0, std::min<size_t>(languageIds.size(), 126)))
    d.insert(d.end(), {uint8_t(id), uint8_t(id >> 8)});
  return d;
}

Machine::Machine(const MachineOptions &options) {
  if (g_machineExists.exchange(true)) throw std::logic_error("xrusb::sim: a Machine exists already");
  try {
    s_ = std::make_unique<State>(options);
  } catch (...) {
    g_machineExists = false;
    throw;
  }
}

Machine::~Machine() {
  usb::Bus::Get().Settle();
  for (State::Plugged &p : s_->devices)
    if (p.present) usb::Bus::Get().Unplug(s_->Current(p));
  usb::Bus::Get().Settle();
  ::sim::pnp::Settle();
  s_.reset();
  g_machineExists = false;
}

DeviceId Machine::PlugTestDevice(const TestDeviceOptions &device, const PlugOptions &options) {
  usb::TestDeviceOptions o;
  o.speed = ToBus(device.speed);
  if (o.speed == usb::Speed::Super) throw std::logic_error("xrusb::sim: the test device runs at full or high speed");
  o.vendorId = device.vendorId;
  o.productId = device.productId;
  o.serial = device.serial;
  o.loopbackCapacity = device.loopbackCapacity;
  usb::TestDevice d = usb::MakeTestDevice(o);
  std::shared_ptr<usb::DeviceModel> model = d.model;
  return s_->Plug(std::move(model), o.vendorId, o.productId, options, std::move(d));
}

DeviceId Machine::PlugFx2Bootloader(const PlugOptions &options) {
  usb::FxDevice fx = usb::MakeFxBootloader(usb::FxVariant::Fx2);
  return s_->Plug(fx.model, usb::kFxVendorId, usb::kFx2ProductId, options);
}

void Machine::PutDriverFile(const std::string &name, std::vector<uint8_t> bytes) {
  ::sim::files::PutFile("system32\\drivers\\" + name, std::move(bytes));
}

DeviceId Machine::Plug(DeviceModel m, const PlugOptions &options) {
  auto model = std::make_shared<usb::DeviceModel>();
  model->speed = ToBus(m.speed);
  model->deviceDescriptor = m.deviceDescriptor;
  model->configurations = m.configurations;
  model->strings = m.strings;
  auto user = std::make_shared<DeviceModel>(std::move(m));
  model->control = [user](const usb::Setup &s, std::span<const uint8_t> data) {
    // USB 3.2, 9.6.2: GET_DESCRIPTOR(BOS) on the device; the bus leaves it to the device.
    if (s.bmRequestType == 0x80 && s.bRequest == 6 && (s.wValue >> 8) == 0x0F && !user->bos.empty()) {
      std::vector<uint8_t> bos(user->bos.begin(), user->bos.begin() + std::min<size_t>(s.wLength, user->bos.size()));
      return usb::Response::Ack(std::move(bos));
    }
    return user->control ? ToBus(user->control(FromBus(s), data)) : usb::Response::Stall();
  };
  if (user->endpointControl)
    model->endpointControl = [user](uint8_t ep, const usb::Setup &s, std::span<const uint8_t> data) {
      return ToBus(user->endpointControl(ep, FromBus(s), data));
    };
  if (user->in) model->in = [user](uint8_t ep, size_t length) { return ToBus(user->in(ep, length)); };
  if (user->out) model->out = [user](uint8_t ep, std::span<const uint8_t> data) { return ToBus(user->out(ep, data)); };
  uint16_t vid = 0, pid = 0;
  std::error_code ec;
  if (std::optional<DeviceDescriptor> d = ParseDeviceDescriptor(model->deviceDescriptor, ec)) {
    vid = d->vendorId;
    pid = d->productId;
  }
  return s_->Plug(std::move(model), vid, pid, options);
}

void Machine::Unplug(DeviceId id) {
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard<std::mutex> guard(s_->lock);
    State::Plugged &p = s_->FindPresent(id);
    p.present = false;
    pdo = s_->Current(p);
  }
  usb::Bus::Get().Unplug(pdo);
}

std::vector<DeviceId> Machine::Devices() const {
  std::lock_guard<std::mutex> guard(s_->lock);
  std::vector<DeviceId> out;
  for (size_t i = 0; i < s_->devices.size(); ++i)
    if (s_->devices[i].present) out.push_back(DeviceId(i + 1));
  return out;
}

std::u16string Machine::Path(DeviceId id) const {
  std::lock_guard<std::mutex> guard(s_->lock);
  State::Plugged &p = s_->Find(id);
  if (!p.present) return {};
  PDEVICE_OBJECT now = s_->Current(p);
  PDEVICE_OBJECT last = p.earlier.empty() ? p.pdo : p.earlier.back();
  if (now == p.pdo || (!p.earlier.empty() && now == last)) return p.path;
  // Re-enumerated (a port cycle, a firmware download): the path no other device owns.
  std::vector<std::u16string> others;
  for (const State::Plugged &o : s_->devices)
    if (&o != &p && o.present) others.push_back(o.path);
  p.path.clear();
  for (const std::u16string &path : simwin::DeviceInterfacePaths(os::SystemGuid(kDefaultInterfaceGuid)))
    if (std::find(others.begin(), others.end(), path) == others.end()) p.path = path;
  if (p.earlier.empty() || p.earlier.back() != p.pdo) p.earlier.push_back(p.pdo);
  p.pdo = now;
  return p.path;
}

void Machine::FailEndpoint(DeviceId id, uint8_t endpoint, Fault fault) {
  std::lock_guard<std::mutex> guard(s_->lock);
  usb::Bus::Get().FailEndpoint(s_->Current(s_->FindPresent(id)), endpoint, {ToBus(fault.response), fault.count});
}

void Machine::FailRequest(DeviceId id, uint8_t bRequest, Fault fault) {
  std::lock_guard<std::mutex> guard(s_->lock);
  usb::Bus::Get().FailRequest(s_->Current(s_->FindPresent(id)), bRequest, {ToBus(fault.response), fault.count});
}

void Machine::ClearFaults(DeviceId id) {
  std::lock_guard<std::mutex> guard(s_->lock);
  usb::Bus::Get().ClearFaults(s_->Current(s_->FindPresent(id)));
}

std::vector<Transfer> Machine::Trace(DeviceId id) const {
  std::lock_guard<std::mutex> guard(s_->lock);
  return s_->TraceOf(s_->Find(id));
}

void Machine::ClearTrace(DeviceId id) {
  std::lock_guard<std::mutex> guard(s_->lock);
  State::Plugged &p = s_->Find(id);
  for (PDEVICE_OBJECT pdo : p.earlier) usb::Bus::Get().ClearTrace(pdo);
  usb::Bus::Get().ClearTrace(s_->Current(p));
}

void Machine::WriteCapture(const std::string &path) const {
  std::vector<detail::CaptureDevice> devices;
  {
    std::lock_guard<std::mutex> guard(s_->lock);
    for (size_t i = 0; i < s_->devices.size(); ++i)
      devices.push_back({uint16_t(i + 1), s_->TraceOf(s_->devices[i])});
  }
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::system_error(errno, std::generic_category(), "xrusb::sim: cannot write " + path);
  const bool ok = detail::WriteUsbPcap(f, devices, s_->epochMs);
  const int error = errno;
  if (std::fclose(f) != 0 || !ok) throw std::system_error(error, std::generic_category(), "xrusb::sim: cannot write " + path);
}

PDEVICE_OBJECT detail::MachineAccess::Pdo(const Machine &m, DeviceId id) {
  std::lock_guard<std::mutex> guard(m.s_->lock);
  return m.s_->Current(m.s_->FindPresent(id));
}

usb::TestDevice detail::MachineAccess::TestDeviceOf(const Machine &m, DeviceId id) {
  std::lock_guard<std::mutex> guard(m.s_->lock);
  return m.s_->Find(id).testDevice;
}

PDRIVER_OBJECT detail::MachineAccess::Driver(const Machine &m) { return m.s_->driver; }

std::string Transfer::Describe() const {
  char line[160];
  const char *status = pending ? "pending" : usbdStatus == 0 ? "ok" : nullptr;
  char code[24];
  if (!status) {
    std::snprintf(code, sizeof code, "USBD 0x%08X", usbdStatus);
    status = code;
  }
  if (setup)
    std::snprintf(line, sizeof line, "#%llu 0x%02X control %s [%02X %02X %04X %04X %04X] %u/%u %s",
                  (unsigned long long)id, endpoint, in ? "IN" : "OUT", setup->requestType, setup->request,
                  setup->value, setup->index, setup->length, actualLength, requestedLength, status);
  else if (type == TransferType::Control)
    std::snprintf(line, sizeof line, "#%llu 0x%02X URB function 0x%04X %s", (unsigned long long)id, endpoint,
                  function, status);
  else
    std::snprintf(line, sizeof line, "#%llu 0x%02X %s %s %u/%u%s %s", (unsigned long long)id, endpoint,
                  ToString(type), in ? "IN" : "OUT", actualLength, requestedLength,
                  isoPackets ? (" in " + std::to_string(isoPackets) + " packets").c_str() : "", status);
  return line;
}

void Machine::Settle() {
  usb::Bus::Get().Settle();
  ::sim::pnp::Settle();
}

}  // namespace xrusb::sim
