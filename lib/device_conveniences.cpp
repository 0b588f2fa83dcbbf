// What applications expect beyond the control codes: finding a device by its IDs, whole
// configurations by default or by bConfigurationValue, any request from its setup packet, the
// request time-out and the speed.
#include <algorithm>

#include "internal.h"
#include "xrusb/device.hpp"
#include "xrusb/ioctl.h"

namespace xrusb {

using detail::OrThrow;

std::vector<DeviceEntry> FindDevices(uint16_t vendorId, uint16_t productId, const std::optional<std::string> &serial,
                                     const Guid &interfaceClass, std::error_code &ec) {
  std::vector<DeviceEntry> found;
  for (DeviceEntry &e : ListDevices(interfaceClass, ListFlags::ReadDescriptor, ec)) {
    if (e.vendorId != vendorId || e.productId != productId) continue;
    if (serial) {
      std::error_code ignored;
      Device d = Device::Open(std::u16string_view(e.path), ignored);
      if (!d || !e.descriptor || !e.descriptor->serialNumberIndex) continue;
      if (d.GetStringUtf8(e.descriptor->serialNumberIndex, std::nullopt, ignored) != *serial || ignored) continue;
    }
    found.push_back(std::move(e));
  }
  return found;
}

std::vector<DeviceEntry> FindDevices(uint16_t vendorId, uint16_t productId, const std::optional<std::string> &serial,
                                     const Guid &interfaceClass) {
  return OrThrow("xrusb::FindDevices",
                 [&](std::error_code &ec) { return FindDevices(vendorId, productId, serial, interfaceClass, ec); });
}

// --- configuration -------------------------------------------------------------------------

void Device::SetConfiguration(std::error_code &ec) { SetConfigurationByValue(0, {}, ec); }

void Device::SetConfiguration() {
  OrThrow("xrusb::Device::SetConfiguration", [&](std::error_code &ec) { SetConfiguration(ec); });
}

// Value 0 (no configuration has it) stands for the first.
void Device::SetConfigurationByValue(uint8_t value, std::span<const InterfaceSelection> interfaces,
                                     std::error_code &ec) {
  const DeviceDescriptor d = GetDeviceDescriptor(ec);
  if (ec) return;
  for (uint8_t index = 0; index < d.numConfigurations; ++index) {
    const ConfigurationDescriptor c = GetConfigurationDescriptor(index, ec);
    if (ec) return;
    if (value != 0 && c.configurationValue != value) continue;
    if (!interfaces.empty()) return SetConfiguration(index, interfaces, ec);
    if (c.interfaces.empty()) break;
    // SetConfiguration(index, ...) adds every interface not named in alternate setting 0.
    const InterfaceSelection first{c.interfaces.front().number, 0};
    return SetConfiguration(index, std::span<const InterfaceSelection>(&first, 1), ec);
  }
  // USB 2.0, 9.4.7: a device stalls SET_CONFIGURATION for a value it lacks; say so before asking.
  ec = MakeStatusCode(ERR_INVALID_PARAMETER);
}

void Device::SetConfigurationByValue(uint8_t value, std::span<const InterfaceSelection> interfaces) {
  OrThrow("xrusb::Device::SetConfigurationByValue",
          [&](std::error_code &ec) { SetConfigurationByValue(value, interfaces, ec); });
}

// --- requests from a setup packet ----------------------------------------------------------

size_t Device::ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, std::span<uint8_t> data,
                       std::error_code &ec) {
  const bool in = requestType & 0x80;
  const unsigned kind = (requestType >> 5) & 3;
  const unsigned recipientBits = requestType & 0x1F;
  if (kind == 1 || kind == 2) {
    ControlRequest r;
    r.type = kind == 1 ? RequestType::Class : RequestType::Vendor;
    r.recipient = Recipient(recipientBits & 3);
    r.reservedBits = uint8_t(recipientBits & 0x1C);
    r.request = request;
    r.value = value;
    r.index = index;
    return in ? ControlIn(r, data, ec) : ControlOut(r, data, ec);
  }
  const auto invalid = [&] {
    ec = MakeStatusCode(ERR_INVALID_PARAMETER);
    return size_t(0);
  };
  if (kind != 0 || recipientBits > 3) return invalid();
  const Recipient recipient = Recipient(recipientBits);
  const bool feature = request == 1 || request == 3;
  // USB 2.0, 9.4: each standard request has one direction.
  if (in != (request == 0 || request == 6 || request == 8 || request == 10)) return invalid();
  if (feature && !data.empty()) return invalid();
  switch (request) {
    case 0: {  // GET_STATUS
      if (data.size() < 2) return invalid();
      const uint16_t status = GetStatus(recipient, index, ec);
      if (ec) return 0;
      data[0] = uint8_t(status), data[1] = uint8_t(status >> 8);
      return 2;
    }
    case 1:
      ClearFeature(recipient, value, index, ec);
      return 0;
    case 3:
      SetFeature(recipient, value, index, ec);
      return 0;
    case 6:
      return GetDescriptor(uint8_t(value >> 8), uint8_t(value), index, data, recipient, ec);
    case 7:
      return SetDescriptor(uint8_t(value >> 8), uint8_t(value), index, data, recipient, ec);
    case 8: {
      if (data.empty() || recipient != Recipient::Device) return invalid();
      data[0] = GetConfiguration(ec);
      return ec ? 0 : 1;
    }
    case 10: {
      if (data.empty() || recipient != Recipient::Interface) return invalid();
      data[0] = GetInterface(uint8_t(index), ec);
      return ec ? 0 : 1;
    }
    default:
      return invalid();
  }
}

size_t Device::ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, std::span<uint8_t> data) {
  return OrThrow("xrusb::Device::ControlTransfer",
                 [&](std::error_code &ec) { return ControlTransfer(requestType, request, value, index, data, ec); });
}

void Device::SetRequestTimeout(Milliseconds timeout, std::error_code &ec) {
  DeviceSettings s = GetSettings(ec);
  if (ec) return;
  s.requestTimeoutMs = timeout.count() < 0 ? 0 : uint32_t(std::min<int64_t>(timeout.count(), UINT32_MAX));
  SetSettings(s, ec);
}

void Device::SetRequestTimeout(Milliseconds timeout) {
  OrThrow("xrusb::Device::SetRequestTimeout", [&](std::error_code &ec) { SetRequestTimeout(timeout, ec); });
}

BosDescriptor Device::GetBosDescriptor(std::error_code &ec) {
  uint8_t head[5] = {};
  const size_t n = GetDescriptor(descriptor_type::kBos, 0, 0, head, Recipient::Device, ec);
  if (ec) return {};
  std::optional<BosDescriptor> bos = ParseBos(std::span<const uint8_t>(head, n), ec);
  if (!bos) return {};
  std::vector<uint8_t> all(std::max<size_t>(bos->totalLength, sizeof head));
  const size_t got = GetDescriptor(descriptor_type::kBos, 0, 0, all, Recipient::Device, ec);
  if (ec) return {};
  bos = ParseBos(std::span<const uint8_t>(all.data(), got), ec);
  return bos ? *bos : BosDescriptor{};
}

BosDescriptor Device::GetBosDescriptor() {
  return OrThrow("xrusb::Device::GetBosDescriptor", [&](std::error_code &ec) { return GetBosDescriptor(ec); });
}

Speed Device::GetSpeed(std::error_code &ec) {
  const DeviceProperties p = GetProperties(ec);
  if (ec) return Speed::Unknown;
  if (!p.highSpeed) return Speed::Full;
  const DeviceDescriptor d = GetDeviceDescriptor(ec);
  if (ec) return Speed::Unknown;
  return d.bcdUSB >= 0x0300 ? Speed::Super : Speed::High;
}

Speed Device::GetSpeed() {
  return OrThrow("xrusb::Device::GetSpeed", [&](std::error_code &ec) { return GetSpeed(ec); });
}

}  // namespace xrusb
