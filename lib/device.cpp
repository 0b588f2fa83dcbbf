// Device: one handle, the control codes of the default control pipe, and enumeration.
#include "xrusb/device.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"
#include "xrusb/interface_guid.h"
#include "xrusb/ioctl.h"
#include "xrusb/pipe.hpp"

namespace xrusb {

static_assert(XRUSB_DEFAULT_INTERFACE_GUID.Data1 == kDefaultInterfaceGuid.data1 &&
                  XRUSB_DEFAULT_INTERFACE_GUID.Data2 == kDefaultInterfaceGuid.data2 &&
                  XRUSB_DEFAULT_INTERFACE_GUID.Data3 == kDefaultInterfaceGuid.data3 &&
                  XRUSB_DEFAULT_INTERFACE_GUID.Data4[0] == kDefaultInterfaceGuid.data4[0] &&
                  XRUSB_DEFAULT_INTERFACE_GUID.Data4[7] == kDefaultInterfaceGuid.data4[7],
              "the library's default interface class is the driver's");

using detail::Control;
using detail::OrThrow;
using detail::SetError;

namespace detail {

void AwaitRelease(os::Handle h, os::Overlapped *o) noexcept {
  (void)os::Cancel(h, o);
  while (!os::Completed(o)) os::YieldThread();
}

uint32_t ToMilliseconds(Milliseconds timeout) noexcept {
  if (timeout.count() < 0 || timeout.count() >= int64_t(os::kInfinite)) return os::kInfinite;
  return uint32_t(timeout.count());
}

int32_t Control(os::Handle h, uint32_t code, const void *in, size_t inLength, void *out, size_t outLength,
                uint32_t *bytes) {
  *bytes = 0;
  if (!h) return int32_t(0xC0000008u);  // STATUS_INVALID_HANDLE: the object is not open
  if (inLength > UINT32_MAX || outLength > UINT32_MAX) return status::kInvalidParameter;
  os::Overlapped o{};
  o.hEvent = os::SyncEvent();
  if (os::Ioctl(h, code, in, uint32_t(inLength), out, uint32_t(outLength), bytes, &o)) return 0;
  if (os::LastError() != os::kErrorIoPending) return os::LastStatus();
  if (!os::Result(h, &o, os::kInfinite) && !os::Completed(&o)) AwaitRelease(h, &o);
  *bytes = uint32_t(o.InternalHigh);
  const int32_t status = int32_t(uint32_t(o.Internal));
  return status < 0 ? status : 0;
}

}  // namespace detail

// --- Guid and enumeration ------------------------------------------------------------------

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
  uint8_t bytes[16];
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '-') {
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int hi = nibble(text[i]), lo = i + 1 < text.size() ? nibble(text[i + 1]) : -1;
    if (hi < 0 || lo < 0 || n == 16) return std::nullopt;
    bytes[n++] = uint8_t(hi << 4 | lo);
    i += 2;
  }
  if (n != 16) return std::nullopt;
  Guid g;
  g.data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
  g.data2 = uint16_t(bytes[4] << 8 | bytes[5]);
  g.data3 = uint16_t(bytes[6] << 8 | bytes[7]);
  std::memcpy(g.data4, bytes + 8, 8);
  return g;
}

std::string Guid::ToString() const {
  char s[40];
  std::snprintf(s, sizeof s, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(data1), data2, data3,
                data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
  return s;
}

namespace {

// "vid_1234" (any case) in an interface path, as Windows names USB device instances.
std::optional<uint16_t> IdAfter(const std::u16string &path, const char *tag) {
  const size_t n = std::strlen(tag);
  for (size_t i = 0; i + n + 4 <= path.size(); ++i) {
    bool match = true;
    for (size_t k = 0; k < n && match; ++k) match = std::tolower(path[i + k] < 128 ? int(path[i + k]) : 0) == tag[k];
    if (!match) continue;
    unsigned value = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char16_t c = path[i + n + k];
      const int d = c >= u'0' && c <= u'9'   ? c - u'0'
                    : c >= u'a' && c <= u'f' ? c - u'a' + 10
                    : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                             : -1;
      if (d < 0) return std::nullopt;
      value = value << 4 | unsigned(d);
    }
    return uint16_t(value);
  }
  return std::nullopt;
}

}  // namespace

std::vector<DeviceEntry> ListDevices(const Guid &interfaceClass, ListFlags flags, std::error_code &ec) {
  std::vector<DeviceEntry> out;
  for (std::u16string &path : os::InterfacePaths(interfaceClass, ec)) {
    DeviceEntry e;
    e.vendorId = IdAfter(path, "vid_");
    e.productId = IdAfter(path, "pid_");
    e.path = std::move(path);
    if (unsigned(flags) & unsigned(ListFlags::ReadDescriptor)) {
      std::error_code ignored;
      Device d = Device::Open(std::u16string_view(e.path), ignored);
      if (d) {
        DeviceDescriptor dd = d.GetDeviceDescriptor(ignored);
        if (!ignored) {
          e.descriptor = dd;
          e.vendorId = dd.vendorId;
          e.productId = dd.productId;
        }
      }
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<DeviceEntry> ListDevices(const Guid &interfaceClass, ListFlags flags) {
  return OrThrow("xrusb::ListDevices", [&](std::error_code &ec) { return ListDevices(interfaceClass, flags, ec); });
}

// --- lifetime ------------------------------------------------------------------------------

Device::~Device() { Close(); }

Device::Device(Device &&other) noexcept : path_(std::move(other.path_)), handle_(other.handle_) {
  other.handle_ = nullptr;
}

Device &Device::operator=(Device &&other) noexcept {
  if (this != &other) {
    Close();
    path_ = std::move(other.path_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

Device Device::Open(std::u16string_view path, std::error_code &ec) {
  std::u16string p(path);
  os::Handle h = os::OpenFile(p.c_str());
  if (h == os::InvalidHandle()) {
    ec = MakeStatusCode(os::LastStatus());
    return Device();
  }
  ec.clear();
  return Device(std::move(p), h);
}

Device Device::Open(std::u16string_view path) {
  std::error_code ec;
  Device d = Open(path, ec);
  if (ec) throw std::system_error(ec, "xrusb::Device::Open " + ToUtf8(path));
  return d;
}

Device Device::Open(std::string_view utf8Path, std::error_code &ec) { return Open(FromUtf8(utf8Path), ec); }
Device Device::Open(std::string_view utf8Path) { return Open(std::u16string_view(FromUtf8(utf8Path))); }

bool Device::IsOpen() const noexcept { return handle_ != nullptr; }

void Device::Close() noexcept {
  if (handle_) os::CloseFile(handle_);
  handle_ = nullptr;
}

Pipe Device::OpenPipe(uint8_t endpoint, std::error_code &ec) const { return Pipe::Open(path_, endpoint, ec); }
Pipe Device::OpenPipe(uint8_t endpoint) const { return Pipe::Open(path_, endpoint); }

size_t Device::IoControl(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out, std::error_code &ec) {
  uint32_t bytes = 0;
  SetError(ec, Control(handle_, code, in.data(), in.size(), out.data(), out.size(), &bytes));
  return ec ? 0 : std::min<size_t>(bytes, out.size());  // callers index 'out' with it
}

// --- descriptors and standard requests ------------------------------------------------------

size_t Device::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, std::span<uint8_t> buffer,
                             Recipient recipient, std::error_code &ec) {
  const DescriptorRequest r{uint32_t(recipient), type, index, languageId};
  uint32_t bytes = 0;
  if (!SetError(ec, Control(handle_, IOCTL_GET_DESCRIPTOR, &r, sizeof r, buffer.data(), buffer.size(), &bytes)))
    return 0;
  return std::min<size_t>(bytes, buffer.size());
}

size_t Device::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, std::span<uint8_t> buffer,
                             Recipient recipient) {
  return OrThrow("xrusb::Device::GetDescriptor",
                 [&](std::error_code &ec) { return GetDescriptor(type, index, languageId, buffer, recipient, ec); });
}

size_t Device::SetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, std::span<const uint8_t> data,
                             Recipient recipient, std::error_code &ec) {
  const DescriptorRequest r{uint32_t(recipient), type, index, languageId};
  uint32_t bytes = 0;
  if (!SetError(ec, Control(handle_, IOCTL_SET_DESCRIPTOR, &r, sizeof r, const_cast<uint8_t *>(data.data()),
                            data.size(), &bytes)))
    return 0;
  return bytes;
}

size_t Device::SetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, std::span<const uint8_t> data,
                             Recipient recipient) {
  return OrThrow("xrusb::Device::SetDescriptor",
                 [&](std::error_code &ec) { return SetDescriptor(type, index, languageId, data, recipient, ec); });
}

DeviceDescriptor Device::GetDeviceDescriptor(std::error_code &ec) {
  uint8_t b[18] = {};
  const size_t n = GetDescriptor(descriptor_type::kDevice, 0, 0, b, Recipient::Device, ec);
  if (ec) return {};
  std::optional<DeviceDescriptor> d = ParseDeviceDescriptor(std::span(b, n), ec);
  return d ? *d : DeviceDescriptor{};
}

DeviceDescriptor Device::GetDeviceDescriptor() {
  return OrThrow("xrusb::Device::GetDeviceDescriptor", [&](std::error_code &ec) { return GetDeviceDescriptor(ec); });
}

ConfigurationDescriptor Device::GetConfigurationDescriptor(uint8_t index, std::error_code &ec) {
  uint8_t head[9] = {};
  const size_t n = GetDescriptor(descriptor_type::kConfiguration, index, 0, head, Recipient::Device, ec);
  if (ec) return {};
  std::optional<ConfigurationDescriptor> c = ParseConfiguration(std::span(head, n), ec);
  if (!c) return {};
  if (c->totalLength > n) {
    std::vector<uint8_t> block(c->totalLength);
    const size_t got = GetDescriptor(descriptor_type::kConfiguration, index, 0, block, Recipient::Device, ec);
    if (ec) return {};
    c = ParseConfiguration(std::span(block.data(), got), ec);
    if (!c) return {};
  }
  return std::move(*c);
}

ConfigurationDescriptor Device::GetConfigurationDescriptor(uint8_t index) {
  return OrThrow("xrusb::Device::GetConfigurationDescriptor",
                 [&](std::error_code &ec) { return GetConfigurationDescriptor(index, ec); });
}

std::vector<uint16_t> Device::GetLanguages(std::error_code &ec) {
  uint8_t b[255];
  const size_t n = GetDescriptor(descriptor_type::kString, 0, 0, b, Recipient::Device, ec);
  if (ec) return {};
  return ParseLanguages(std::span(b, n), ec);
}

std::vector<uint16_t> Device::GetLanguages() {
  return OrThrow("xrusb::Device::GetLanguages", [&](std::error_code &ec) { return GetLanguages(ec); });
}

std::u16string Device::GetString(uint8_t index, std::optional<uint16_t> languageId, std::error_code &ec) {
  if (!languageId) {
    std::vector<uint16_t> languages = GetLanguages(ec);
    if (ec) return {};
    if (languages.empty()) {
      ec = MakeStatusCode(status::kDeviceDataError);
      return {};
    }
    languageId = languages.front();
  }
  uint8_t b[255];
  const size_t n = GetDescriptor(descriptor_type::kString, index, *languageId, b, Recipient::Device, ec);
  if (ec) return {};
  std::optional<std::u16string> s = ParseString(std::span(b, n), ec);
  return s ? std::move(*s) : std::u16string();
}

std::u16string Device::GetString(uint8_t index, std::optional<uint16_t> languageId) {
  return OrThrow("xrusb::Device::GetString", [&](std::error_code &ec) { return GetString(index, languageId, ec); });
}

std::string Device::GetStringUtf8(uint8_t index, std::optional<uint16_t> languageId, std::error_code &ec) {
  return ToUtf8(GetString(index, languageId, ec));
}

std::string Device::GetStringUtf8(uint8_t index, std::optional<uint16_t> languageId) {
  return ToUtf8(GetString(index, languageId));
}

void Device::SetFeature(Recipient recipient, uint16_t feature, uint16_t index, std::error_code &ec) {
  const FeatureRequest r{uint32_t(recipient), feature, index};
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_SET_FEATURE, &r, sizeof r, nullptr, 0, &bytes));
}

void Device::SetFeature(Recipient recipient, uint16_t feature, uint16_t index) {
  OrThrow("xrusb::Device::SetFeature", [&](std::error_code &ec) { SetFeature(recipient, feature, index, ec); });
}

void Device::ClearFeature(Recipient recipient, uint16_t feature, uint16_t index, std::error_code &ec) {
  const FeatureRequest r{uint32_t(recipient), feature, index};
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_CLEAR_FEATURE, &r, sizeof r, nullptr, 0, &bytes));
}

void Device::ClearFeature(Recipient recipient, uint16_t feature, uint16_t index) {
  OrThrow("xrusb::Device::ClearFeature", [&](std::error_code &ec) { ClearFeature(recipient, feature, index, ec); });
}

uint16_t Device::GetStatus(Recipient recipient, uint16_t index, std::error_code &ec) {
  const StatusRequest r{uint32_t(recipient), index};
  uint8_t word[2] = {};
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_STATUS, &r, sizeof r, word, sizeof word, &bytes))) return 0;
  return uint16_t(word[0] | word[1] << 8);
}

uint16_t Device::GetStatus(Recipient recipient, uint16_t index) {
  return OrThrow("xrusb::Device::GetStatus", [&](std::error_code &ec) { return GetStatus(recipient, index, ec); });
}

uint8_t Device::GetConfiguration(std::error_code &ec) {
  uint8_t value = 0;
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_CONFIGURATION, nullptr, 0, &value, 1, &bytes))) return 0;
  return value;
}

uint8_t Device::GetConfiguration() {
  return OrThrow("xrusb::Device::GetConfiguration", [&](std::error_code &ec) { return GetConfiguration(ec); });
}

uint8_t Device::GetInterface(uint8_t interfaceNumber, std::error_code &ec) {
  const uint16_t number = interfaceNumber;
  uint8_t alt = 0;
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_INTERFACE, &number, sizeof number, &alt, 1, &bytes))) return 0;
  return alt;
}

uint8_t Device::GetInterface(uint8_t interfaceNumber) {
  return OrThrow("xrusb::Device::GetInterface", [&](std::error_code &ec) { return GetInterface(interfaceNumber, ec); });
}

namespace {

ClassOrVendorRequest Record(const ControlRequest &c) {
  return {c.allowShort ? SHORT_TRANSFER_OK : 0u,
          uint32_t(c.type),
          uint32_t(c.recipient),
          c.reservedBits,
          c.request,
          c.value,
          c.index};
}

}  // namespace

size_t Device::ControlIn(const ControlRequest &request, std::span<uint8_t> data, std::error_code &ec) {
  const ClassOrVendorRequest r = Record(request);
  uint32_t bytes = 0;
  if (!SetError(ec, Control(handle_, IOCTL_CLASS_OR_VENDOR_IN_REQUEST, &r, sizeof r, data.data(), data.size(), &bytes)))
    return 0;
  return std::min<size_t>(bytes, data.size());
}

size_t Device::ControlIn(const ControlRequest &request, std::span<uint8_t> data) {
  return OrThrow("xrusb::Device::ControlIn", [&](std::error_code &ec) { return ControlIn(request, data, ec); });
}

size_t Device::ControlOut(const ControlRequest &request, std::span<const uint8_t> data, std::error_code &ec) {
  const ClassOrVendorRequest r = Record(request);
  uint32_t bytes = 0;
  if (!SetError(ec, Control(handle_, IOCTL_CLASS_OR_VENDOR_OUT_REQUEST, &r, sizeof r,
                            const_cast<uint8_t *>(data.data()), data.size(), &bytes)))
    return 0;
  return bytes;
}

size_t Device::ControlOut(const ControlRequest &request, std::span<const uint8_t> data) {
  return OrThrow("xrusb::Device::ControlOut", [&](std::error_code &ec) { return ControlOut(request, data, ec); });
}

// --- configuration -------------------------------------------------------------------------

void Device::SetConfiguration(uint16_t index, std::span<const InterfaceSelection> interfaces, std::error_code &ec) {
  // The driver would refuse these itself; refusing here keeps a 33rd entry from being dropped.
  if (interfaces.empty() || interfaces.size() > XRUSB_MAX_INTERFACES) {
    ec = MakeStatusCode(ERR_INVALID_PARAMETER);
    return;
  }
  // The driver and the bus want every interface of the configuration named.
  std::vector<InterfaceSelection> all(interfaces.begin(), interfaces.end());
  const ConfigurationDescriptor c = GetConfigurationDescriptor(uint8_t(index), ec);
  if (ec) return;
  for (const Interface &i : c.interfaces)
    if (std::none_of(interfaces.begin(), interfaces.end(),
                     [&](const InterfaceSelection &s) { return s.interfaceNumber == i.number; }))
      all.push_back({i.number, 0});
  if (all.size() > XRUSB_MAX_INTERFACES) {
    ec = MakeStatusCode(ERR_INVALID_PARAMETER);
    return;
  }
  SetConfigurationRequest r{};
  r.ConfigurationIndex = index;
  r.NumberOfInterfaces = uint16_t(all.size());
  for (size_t i = 0; i < all.size(); ++i) r.InterfaceList[i] = {all[i].interfaceNumber, all[i].altSetting, all[i].maxTransferSize};
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_SET_CONFIGURATION, &r, sizeof r, nullptr, 0, &bytes));
}

void Device::SetConfiguration(uint16_t index, std::span<const InterfaceSelection> interfaces) {
  OrThrow("xrusb::Device::SetConfiguration", [&](std::error_code &ec) { SetConfiguration(index, interfaces, ec); });
}

void Device::Unconfigure(std::error_code &ec) {
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_UNCONFIGURE_DEVICE, nullptr, 0, nullptr, 0, &bytes));
}

void Device::Unconfigure() {
  OrThrow("xrusb::Device::Unconfigure", [&](std::error_code &ec) { Unconfigure(ec); });
}

const ActivePipe *ActiveConfiguration::FindPipe(uint8_t endpoint) const noexcept {
  for (const ActivePipe &p : pipes)
    if (p.endpoint == endpoint) return &p;
  return nullptr;
}

const ActiveInterface *ActiveConfiguration::FindInterface(uint8_t number) const noexcept {
  for (const ActiveInterface &i : interfaces)
    if (i.number == number) return &i;
  return nullptr;
}

ActiveConfiguration Device::GetActiveConfiguration(std::error_code &ec) {
  ConfigurationInfo info{};
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &info, sizeof info, &bytes))) return {};
  ActiveConfiguration a;
  for (uint32_t i = 0; i < std::min<uint32_t>(info.NumberOfInterfaces, XRUSB_MAX_INTERFACES); ++i) {
    const InterfaceSummary &s = info.Interfaces[i];
    a.interfaces.push_back({s.InterfaceNumber, s.AlternateSetting, s.Class, s.SubClass, s.Protocol, s.NumberOfPipes});
  }
  for (uint32_t i = 0; i < std::min<uint32_t>(info.NumberOfPipes, XRUSB_MAX_PIPES); ++i) {
    const PipeSummary &s = info.Pipes[i];
    a.pipes.push_back({s.EndpointAddress, TransferType(s.PipeType & 3), s.MaximumPacketSize, s.MaximumTransferSize,
                       s.Interval, s.InterfaceNumber});
  }
  return a;
}

ActiveConfiguration Device::GetActiveConfiguration() {
  return OrThrow("xrusb::Device::GetActiveConfiguration",
                 [&](std::error_code &ec) { return GetActiveConfiguration(ec); });
}

void Device::StoreConfigurationDescriptor(std::span<const uint8_t> block, std::error_code &ec) {
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_STORE_CONFIG_DESCRIPTOR, block.data(), block.size(), nullptr, 0, &bytes));
}

void Device::StoreConfigurationDescriptor(std::span<const uint8_t> block) {
  OrThrow("xrusb::Device::StoreConfigurationDescriptor",
          [&](std::error_code &ec) { StoreConfigurationDescriptor(block, ec); });
}

void Device::SetInterface(const InterfaceSelection &s, std::error_code &ec) {
  const InterfaceSetting r{s.interfaceNumber, s.altSetting, s.maxTransferSize};
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_SET_INTERFACE, &r, sizeof r, nullptr, 0, &bytes));
}

void Device::SetInterface(const InterfaceSelection &selection) {
  OrThrow("xrusb::Device::SetInterface", [&](std::error_code &ec) { SetInterface(selection, ec); });
}

// --- parameters, power, port ---------------------------------------------------------------

DeviceSettings Device::GetSettings(std::error_code &ec) {
  DeviceParameters p{};
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_DEVICE_PARAMETERS, nullptr, 0, &p, sizeof p, &bytes))) return {};
  return {p.Options, p.RequestTimeout};
}

DeviceSettings Device::GetSettings() {
  return OrThrow("xrusb::Device::GetSettings", [&](std::error_code &ec) { return GetSettings(ec); });
}

void Device::SetSettings(const DeviceSettings &s, std::error_code &ec) {
  const DeviceParameters p{s.options, s.requestTimeoutMs};
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_SET_DEVICE_PARAMETERS, &p, sizeof p, nullptr, 0, &bytes));
}

void Device::SetSettings(const DeviceSettings &settings) {
  OrThrow("xrusb::Device::SetSettings", [&](std::error_code &ec) { SetSettings(settings, ec); });
}

PowerState Device::GetPowerState(std::error_code &ec) {
  PowerStateValue v{};
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_DEVICE_POWER_STATE, nullptr, 0, &v, sizeof v, &bytes)))
    return PowerState::D0;
  return PowerState(v.PowerState);
}

PowerState Device::GetPowerState() {
  return OrThrow("xrusb::Device::GetPowerState", [&](std::error_code &ec) { return GetPowerState(ec); });
}

void Device::SetPowerState(PowerState state, std::error_code &ec) {
  const PowerStateValue v{uint32_t(state)};
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_SET_DEVICE_POWER_STATE, &v, sizeof v, nullptr, 0, &bytes));
}

void Device::SetPowerState(PowerState state) {
  OrThrow("xrusb::Device::SetPowerState", [&](std::error_code &ec) { SetPowerState(state, ec); });
}

uint32_t Device::GetFrameNumber(std::error_code &ec) {
  CurrentFrameNumber f{};
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_CURRENT_FRAME_NUMBER, nullptr, 0, &f, sizeof f, &bytes))) return 0;
  return f.FrameNumber;
}

uint32_t Device::GetFrameNumber() {
  return OrThrow("xrusb::Device::GetFrameNumber", [&](std::error_code &ec) { return GetFrameNumber(ec); });
}

Bandwidth Device::GetBandwidth(std::error_code &ec) {
  BandwidthInfo b{};
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_BANDWIDTH_INFO, nullptr, 0, &b, sizeof b, &bytes))) return {};
  return {b.TotalBandwidth, b.ConsumedBandwidth};
}

Bandwidth Device::GetBandwidth() {
  return OrThrow("xrusb::Device::GetBandwidth", [&](std::error_code &ec) { return GetBandwidth(ec); });
}

DeviceProperties Device::GetProperties(std::error_code &ec) {
  DeviceInfo d{};
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_DEVICE_INFO, nullptr, 0, &d, sizeof d, &bytes))) return {};
  return {(d.Flags & DEVICE_INFO_HIGH_SPEED) != 0, d.OpenHandleCount, d.Flags};
}

DeviceProperties Device::GetProperties() {
  return OrThrow("xrusb::Device::GetProperties", [&](std::error_code &ec) { return GetProperties(ec); });
}

DriverVersion Device::GetDriverVersion(std::error_code &ec) {
  DriverInfo d{};
  uint32_t bytes;
  if (!SetError(ec, Control(handle_, IOCTL_GET_DRIVER_INFO, nullptr, 0, &d, sizeof d, &bytes))) return {};
  return {d.ApiVersion, d.DriverVersion, d.DriverBuild, d.Flags};
}

DriverVersion Device::GetDriverVersion() {
  return OrThrow("xrusb::Device::GetDriverVersion", [&](std::error_code &ec) { return GetDriverVersion(ec); });
}

namespace {

// The codes without request or result.
void Plain(NativeHandle h, uint32_t code, std::error_code &ec) {
  uint32_t bytes;
  SetError(ec, Control(h, code, nullptr, 0, nullptr, 0, &bytes));
}

}  // namespace

void Device::CyclePort(std::error_code &ec) { Plain(handle_, IOCTL_CYCLE_PORT, ec); }
void Device::CyclePort() {
  OrThrow("xrusb::Device::CyclePort", [&](std::error_code &ec) { CyclePort(ec); });
}

void Device::Reset(std::error_code &ec) { Plain(handle_, IOCTL_RESET_DEVICE, ec); }
void Device::Reset() {
  OrThrow("xrusb::Device::Reset", [&](std::error_code &ec) { Reset(ec); });
}

void Device::Acquire(std::error_code &ec) { Plain(handle_, IOCTL_ACQUIRE_DEVICE, ec); }
void Device::Acquire() {
  OrThrow("xrusb::Device::Acquire", [&](std::error_code &ec) { Acquire(ec); });
}

void Device::Release(std::error_code &ec) { Plain(handle_, IOCTL_RELEASE_DEVICE, ec); }
void Device::Release() {
  OrThrow("xrusb::Device::Release", [&](std::error_code &ec) { Release(ec); });
}

void Device::StallExecution(uint32_t microseconds, std::error_code &ec) {
  const StallRequest r{microseconds};
  uint32_t bytes;
  SetError(ec, Control(handle_, IOCTL_STALL_EXECUTION, &r, sizeof r, nullptr, 0, &bytes));
}

void Device::StallExecution(uint32_t microseconds) {
  OrThrow("xrusb::Device::StallExecution", [&](std::error_code &ec) { StallExecution(microseconds, ec); });
}

}  // namespace xrusb
