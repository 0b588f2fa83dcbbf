#include "descriptors.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <set>

namespace sim::usb {
namespace {

constexpr uint8_t kDevice = 1, kConfiguration = 2, kString = 3, kInterface = 4, kEndpoint = 5;
constexpr size_t kConfigurationSize = 9, kInterfaceSize = 9, kEndpointSize = 7;

void Put16(std::vector<uint8_t> &v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

std::string Format(const char *fmt, ...) {
  char buffer[200];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}

}  // namespace

ConfigBuilder::ConfigBuilder(uint8_t configurationValue, uint8_t attributes, uint8_t maxPower, uint8_t stringIndex)
    : bytes_{kConfigurationSize, kConfiguration, 0, 0, 0, configurationValue, stringIndex, attributes, maxPower} {}

ConfigBuilder &ConfigBuilder::Interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass, uint8_t subclass,
                                        uint8_t protocol, uint8_t stringIndex) {
  interfaceOffsets_.push_back(bytes_.size());
  endpointCounts_.push_back(0);
  bytes_.insert(bytes_.end(), {kInterfaceSize, kInterface, number, alternate, 0, interfaceClass, subclass, protocol,
                               stringIndex});
  return *this;
}

ConfigBuilder &ConfigBuilder::Endpoint(uint8_t address, EndpointType type, uint16_t maxPacket, uint8_t interval,
                                       uint8_t transactions) {
  uint16_t extra = transactions > 1 ? uint16_t(((transactions - 1) & 3) << 11) : 0;
  bytes_.insert(bytes_.end(), {kEndpointSize, kEndpoint, address, uint8_t(type)});
  Put16(bytes_, uint16_t((maxPacket & 0x7FF) | extra));
  bytes_.push_back(interval);
  if (!endpointCounts_.empty()) ++endpointCounts_.back();
  return *this;
}

ConfigBuilder &ConfigBuilder::Raw(std::vector<uint8_t> descriptor) {
  bytes_.insert(bytes_.end(), descriptor.begin(), descriptor.end());
  return *this;
}

std::vector<uint8_t> ConfigBuilder::Build() const {
  std::vector<uint8_t> out = bytes_;
  uint16_t total = uint16_t(std::min<size_t>(out.size(), 0xFFFF));
  out[2] = uint8_t(total);
  out[3] = uint8_t(total >> 8);
  std::set<uint8_t> numbers;
  for (size_t i = 0; i < interfaceOffsets_.size(); ++i) {
    numbers.insert(out[interfaceOffsets_[i] + 2]);
    out[interfaceOffsets_[i] + 4] = endpointCounts_[i];
  }
  out[4] = uint8_t(numbers.size());
  return out;
}

std::vector<uint8_t> DeviceDescriptor(const DeviceFields &f) {
  std::vector<uint8_t> v{18, kDevice};
  Put16(v, f.bcdUSB);
  v.insert(v.end(), {f.deviceClass, f.deviceSubClass, f.deviceProtocol, f.maxPacketSize0});
  Put16(v, f.vendorId);
  Put16(v, f.productId);
  Put16(v, f.bcdDevice);
  v.insert(v.end(), {f.manufacturerString, f.productString, f.serialString, f.numConfigurations});
  return v;
}

std::vector<uint8_t> StringDescriptor(std::u16string_view text) {
  size_t n = std::min<size_t>(text.size(), 126);
  std::vector<uint8_t> v{uint8_t(2 + 2 * n), kString};
  for (size_t i = 0; i < n; ++i) Put16(v, uint16_t(text[i]));
  return v;
}

std::vector<uint8_t> LanguageTable(std::initializer_list<uint16_t> languages) {
  size_t n = std::min<size_t>(languages.size(), 126);
  std::vector<uint8_t> v{uint8_t(2 + 2 * n), kString};
  for (uint16_t id : languages) {
    if (v.size() >= 2 + 2 * n) break;
    Put16(v, id);
  }
  return v;
}

const InterfaceInfo *ParsedConfiguration::FindInterface(uint8_t number) const {
  for (const InterfaceInfo &i : interfaces)
    if (i.number == number) return &i;
  return nullptr;
}

const AlternateSetting *ParsedConfiguration::Find(uint8_t number, uint8_t alternate) const {
  if (const InterfaceInfo *i = FindInterface(number))
    for (const AlternateSetting &a : i->alternates)
      if (a.alternateSetting == alternate) return &a;
  return nullptr;
}

ParsedConfiguration Parse(std::span<const uint8_t> block) {
  ParsedConfiguration r;
  auto fail = [&r](std::string why) {
    r.valid = false;
    r.reason = std::move(why);
    return r;
  };
  if (block.size() < kConfigurationSize)
    return fail(Format("block of %zu bytes is shorter than a configuration descriptor", block.size()));
  if (block[1] != kConfiguration)
    return fail(Format("first descriptor has type %u, not a configuration descriptor", block[1]));
  if (block[0] < kConfigurationSize)
    return fail(Format("configuration descriptor bLength %u is less than %zu", block[0], kConfigurationSize));
  r.totalLength = uint16_t(block[2] | block[3] << 8);
  r.declaredInterfaces = block[4];
  r.configurationValue = block[5];
  r.stringIndex = block[6];
  r.attributes = block[7];
  r.maxPower = block[8];
  if (r.totalLength < block[0])
    return fail(Format("wTotalLength %u is less than the configuration descriptor's bLength %u", r.totalLength,
                       block[0]));
  if (r.totalLength > block.size())
    return fail(Format("wTotalLength %u exceeds the %zu bytes of the block", r.totalLength, block.size()));

  // Where the alternate setting being filled lives: interfaces[iface].alternates[alt].
  size_t iface = SIZE_MAX, alt = 0;
  auto current = [&]() -> AlternateSetting & { return r.interfaces[iface].alternates[alt]; };
  auto endpointsComplete = [&]() {
    if (iface == SIZE_MAX) return true;
    const AlternateSetting &a = current();
    return a.endpoints.size() == a.declaredEndpoints;
  };
  auto countFault = [&]() {
    const AlternateSetting &a = current();
    return Format("interface %u alternate %u declares %u endpoints but has %zu", a.interfaceNumber,
                  a.alternateSetting, a.declaredEndpoints, a.endpoints.size());
  };

  const size_t end = r.totalLength;
  size_t pos = block[0];
  while (pos < end) {
    if (end - pos < 2) return fail(Format("stray byte at offset %zu", pos));
    const uint8_t length = block[pos], type = block[pos + 1];
    if (length < 2) return fail(Format("descriptor at offset %zu has bLength %u", pos, length));
    if (length > end - pos)
      return fail(Format("descriptor at offset %zu (bLength %u) runs past wTotalLength %zu", pos, length, end));
    const uint8_t *d = block.data() + pos;

    if (type == kInterface) {
      if (length < kInterfaceSize)
        return fail(Format("interface descriptor at offset %zu has bLength %u", pos, length));
      if (!endpointsComplete()) return fail(countFault());
      AlternateSetting a;
      a.interfaceNumber = d[2];
      a.alternateSetting = d[3];
      a.declaredEndpoints = d[4];
      a.interfaceClass = d[5];
      a.interfaceSubClass = d[6];
      a.interfaceProtocol = d[7];
      a.stringIndex = d[8];
      a.offset = pos;
      if (r.Find(a.interfaceNumber, a.alternateSetting))
        return fail(Format("interface %u alternate %u appears twice (offset %zu)", d[2], d[3], pos));
      auto it = std::find_if(r.interfaces.begin(), r.interfaces.end(),
                             [&](const InterfaceInfo &i) { return i.number == a.interfaceNumber; });
      if (it == r.interfaces.end()) {
        r.interfaces.push_back(InterfaceInfo{a.interfaceNumber, {}});
        it = r.interfaces.end() - 1;
      }
      iface = size_t(it - r.interfaces.begin());
      it->alternates.push_back(std::move(a));
      alt = it->alternates.size() - 1;
    } else if (type == kEndpoint) {
      if (iface == SIZE_MAX) return fail(Format("endpoint descriptor at offset %zu precedes every interface", pos));
      if (length < kEndpointSize)
        return fail(Format("endpoint descriptor at offset %zu has bLength %u", pos, length));
      EndpointInfo e;
      e.address = d[2];
      e.attributes = d[3];
      e.type = EndpointType(d[3] & 3);
      e.wMaxPacketSize = uint16_t(d[4] | d[5] << 8);
      e.maxPacketSize = e.wMaxPacketSize & 0x7FF;
      e.transactions = uint8_t(((e.wMaxPacketSize >> 11) & 3) + 1);
      e.interval = d[6];
      if ((e.address & 0x0F) == 0)
        return fail(Format("endpoint descriptor at offset %zu names endpoint 0 (address 0x%02X)", pos, e.address));
      if (e.transactions == 4)
        return fail(Format("endpoint 0x%02X uses the reserved transaction count in wMaxPacketSize 0x%04X", e.address,
                           e.wMaxPacketSize));
      AlternateSetting &a = current();
      for (const EndpointInfo &other : a.endpoints)
        if (other.address == e.address)
          return fail(Format("interface %u alternate %u has endpoint 0x%02X twice", a.interfaceNumber,
                             a.alternateSetting, e.address));
      a.endpoints.push_back(e);
    } else if (type == kConfiguration) {
      return fail(Format("second configuration descriptor at offset %zu", pos));
    }
    // Other descriptors (class-specific, association, companion) are skipped.
    pos += length;
  }
  if (!endpointsComplete()) return fail(countFault());
  if (r.interfaces.size() != r.declaredInterfaces)
    return fail(Format("bNumInterfaces is %u but the block has %zu interfaces", r.declaredInterfaces,
                       r.interfaces.size()));
  r.valid = true;
  return r;
}

}  // namespace sim::usb
