#include "sim/usb/intel_hex.h"

#include <algorithm>
#include <stdexcept>

namespace sim::usb {

namespace {

void Record(std::string &out, uint8_t type, uint16_t address, const uint8_t *data, size_t length,
            const HexOptions &options) {
  const char *digits = options.lowercase ? "0123456789abcdef" : "0123456789ABCDEF";
  uint8_t sum = 0;
  auto byte = [&](uint8_t b) {
    out += digits[b >> 4];
    out += digits[b & 15];
    sum = static_cast<uint8_t>(sum + b);
  };
  out += ':';
  byte(static_cast<uint8_t>(length));
  byte(static_cast<uint8_t>(address >> 8));
  byte(static_cast<uint8_t>(address));
  byte(type);
  for (size_t i = 0; i < length; ++i) byte(data[i]);
  byte(static_cast<uint8_t>(-sum));
  out += options.lineEnd;
}

}  // namespace

std::string WriteIntelHex(const std::vector<HexSegment> &segments, const HexOptions &options) {
  if (options.recordSize < 1 || options.recordSize > 255) throw std::invalid_argument("Intel HEX record size");
  std::string out;
  for (const auto &seg : segments) {
    if (seg.address + seg.data.size() > 0x10000) throw std::invalid_argument("Intel HEX segment past 0xFFFF");
    for (size_t i = 0; i < seg.data.size(); i += options.recordSize) {
      const size_t n = std::min(options.recordSize, seg.data.size() - i);
      Record(out, 0x00, static_cast<uint16_t>(seg.address + i), seg.data.data() + i, n, options);
    }
  }
  if (options.endRecord) Record(out, 0x01, 0, nullptr, 0, options);
  return out;
}

}  // namespace sim::usb
