// Descriptor parsing. Every length field is checked against the bytes actually present before
// anything behind it is read: descriptors come from devices, and devices lie.
#include "xrusb/descriptors.hpp"

#include <algorithm>

#include "xrusb/error.hpp"

namespace xrusb {
namespace {

uint16_t Le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }

void Append(std::vector<uint8_t> &to, std::span<const uint8_t> bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

}  // namespace

const char *ToString(TransferType type) noexcept {
  switch (type) {
    case TransferType::Control:
      return "control";
    case TransferType::Isochronous:
      return "isochronous";
    case TransferType::Bulk:
      return "bulk";
    case TransferType::Interrupt:
      return "interrupt";
  }
  return "?";
}

const EndpointDescriptor *AltSetting::FindEndpoint(uint8_t address) const noexcept {
  for (const EndpointDescriptor &e : endpoints)
    if (e.address == address) return &e;
  return nullptr;
}

const Interface *ConfigurationDescriptor::FindInterface(uint8_t number) const noexcept {
  for (const Interface &i : interfaces)
    if (i.number == number) return &i;
  return nullptr;
}

const AltSetting *ConfigurationDescriptor::Find(uint8_t interfaceNumber, uint8_t alternateSetting) const noexcept {
  const Interface *i = FindInterface(interfaceNumber);
  if (!i) return nullptr;
  for (const AltSetting &a : i->altSettings)
    if (a.alternateSetting == alternateSetting) return &a;
  return nullptr;
}

std::optional<DeviceDescriptor> ParseDeviceDescriptor(std::span<const uint8_t> b, std::error_code &ec) {
  if (b.size() < 18 || b[0] < 18 || b[1] != descriptor_type::kDevice) {
    ec = MakeStatusCode(status::kDeviceDataError);
    return std::nullopt;
  }
  ec.clear();
  DeviceDescriptor d;
  d.bcdUSB = Le16(&b[2]);
  d.deviceClass = b[4];
  d.deviceSubClass = b[5];
  d.deviceProtocol = b[6];
  d.maxPacketSize0 = b[7];
  d.vendorId = Le16(&b[8]);
  d.productId = Le16(&b[10]);
  d.bcdDevice = Le16(&b[12]);
  d.manufacturerIndex = b[14];
  d.productIndex = b[15];
  d.serialNumberIndex = b[16];
  d.numConfigurations = b[17];
  return d;
}

std::optional<ConfigurationDescriptor> ParseConfiguration(std::span<const uint8_t> b, std::error_code &ec) {
  if (b.size() < 9 || b[0] < 9 || b[1] != descriptor_type::kConfiguration) {
    ec = MakeStatusCode(ERR_BAD_CONFIG_DESCRIPTOR);
    return std::nullopt;
  }
  ec.clear();
  ConfigurationDescriptor c;
  c.totalLength = Le16(&b[2]);
  c.numInterfaces = b[4];
  c.configurationValue = b[5];
  c.stringIndex = b[6];
  c.attributes = b[7];
  c.maxPower = b[8];

  size_t end = b.size();
  if (c.totalLength < end) end = c.totalLength;
  if (c.totalLength > b.size()) c.truncated = true;
  if (end < b[0]) {  // wTotalLength shorter than the configuration descriptor itself
    c.malformed = true;
    end = b[0] <= b.size() ? b[0] : b.size();
  }
  c.raw.assign(b.begin(), b.begin() + ptrdiff_t(end));

  AltSetting *alt = nullptr;
  EndpointDescriptor *endpoint = nullptr;
  size_t pos = b[0];
  while (pos < end) {
    if (end - pos < 2 || b[pos] < 2) {  // a length that cannot advance: nothing behind it is trusted
      c.malformed = true;
      break;
    }
    const size_t length = b[pos];
    if (length > end - pos) {
      c.truncated = true;
      break;
    }
    const std::span<const uint8_t> d = b.subspan(pos, length);
    const uint8_t type = d[1];
    if (type == descriptor_type::kInterface && length >= 9) {
      Interface *in = nullptr;
      for (Interface &i : c.interfaces)
        if (i.number == d[2]) in = &i;
      if (!in) {
        c.interfaces.push_back({d[2], {}});
        in = &c.interfaces.back();
      }
      in->altSettings.push_back({d[2], d[3], d[4], d[5], d[6], d[7], d[8], {}, {}});
      alt = &in->altSettings.back();
      endpoint = nullptr;
    } else if (type == descriptor_type::kInterfaceAssociation && length >= 8) {
      c.associations.push_back({d[2], d[3], d[4], d[5], d[6], d[7]});
    } else if (type == descriptor_type::kEndpoint && length >= 7 && alt) {
      alt->endpoints.push_back({d[2], d[3], Le16(&d[4]), d[6], {}});
      endpoint = &alt->endpoints.back();
    } else {
      // Interface or endpoint descriptors too short to hold their fields, or an endpoint before
      // any interface, are kept as bytes where they stand.
      if ((type == descriptor_type::kInterface && length < 9) || (type == descriptor_type::kEndpoint && length < 7) ||
          (type == descriptor_type::kEndpoint && !alt))
        c.malformed = true;
      Append(endpoint ? endpoint->extra : alt ? alt->extra : c.extra, d);
    }
    pos += length;
  }
  return c;
}

std::optional<SuperSpeedCompanion> EndpointDescriptor::Companion() const noexcept {
  for (size_t pos = 0; pos + 2 <= extra.size() && extra[pos] >= 2; pos += extra[pos])
    if (extra[pos + 1] == descriptor_type::kSuperSpeedEndpointCompanion && extra[pos] >= 6 && pos + 6 <= extra.size())
      return SuperSpeedCompanion{extra[pos + 2], extra[pos + 3], Le16(&extra[pos + 4])};
  return std::nullopt;
}

std::optional<BosDescriptor> ParseBos(std::span<const uint8_t> b, std::error_code &ec) {
  if (b.size() < 5 || b[0] < 5 || b[1] != descriptor_type::kBos) {
    ec = MakeStatusCode(status::kDeviceDataError);
    return std::nullopt;
  }
  ec.clear();
  BosDescriptor bos;
  bos.totalLength = Le16(&b[2]);
  size_t end = std::min<size_t>(bos.totalLength, b.size());
  bos.truncated = bos.totalLength > b.size();
  for (size_t pos = b[0]; pos < end;) {
    const size_t length = b[pos];
    if (length < 3 || length > end - pos) {
      bos.truncated = true;
      break;
    }
    if (b[pos + 1] == descriptor_type::kDeviceCapability)
      bos.capabilities.push_back({b[pos + 2], std::vector<uint8_t>(b.begin() + ptrdiff_t(pos + 3), b.begin() + ptrdiff_t(pos + length))});
    pos += length;
  }
  return bos;
}

std::optional<std::u16string> ParseString(std::span<const uint8_t> b, std::error_code &ec) {
  if (b.size() < 2 || b[0] < 2 || b[1] != descriptor_type::kString) {
    ec = MakeStatusCode(status::kDeviceDataError);
    return std::nullopt;
  }
  ec.clear();
  const size_t length = b[0] < b.size() ? b[0] : b.size();
  std::u16string text;
  text.reserve((length - 2) / 2);
  for (size_t i = 2; i + 1 < length; i += 2) text.push_back(char16_t(Le16(&b[i])));
  return text;
}

std::vector<uint16_t> ParseLanguages(std::span<const uint8_t> b, std::error_code &ec) {
  std::optional<std::u16string> s = ParseString(b, ec);
  if (!s) return {};
  return std::vector<uint16_t>(s->begin(), s->end());
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c < 0x800) {
      out.push_back(char(0xC0 | c >> 6));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(char(0xE0 | c >> 12));
      out.push_back(char(0x80 | (c >> 6 & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    } else {
      out.push_back(char(0xF0 | c >> 18));
      out.push_back(char(0x80 | (c >> 12 & 0x3F)));
      out.push_back(char(0x80 | (c >> 6 & 0x3F)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const uint8_t b = uint8_t(text[i]);
    const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    uint32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    bool ok = n != 0 && i + n <= text.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const uint8_t t = uint8_t(text[i + k]);
      ok = (t >> 6) == 2;
      c = c << 6 | (t & 0x3F);
    }
    // Overlong forms are refused: they would smuggle '/' or '\\' past a check on the text.
    constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || c < kShortest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(char16_t(0xD800 + (c >> 10)));
      out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(char16_t(c));
    }
    i += n;
  }
  return out;
}

}  // namespace xrusb
