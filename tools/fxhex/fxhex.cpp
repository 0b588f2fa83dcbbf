#include "tools/fxhex/fxhex.h"

#include <cstdarg>
#include <cstdio>
#include <limits>

#include "driver/firmware/hex_record.h"

namespace fxhex {

namespace {

constexpr uint32_t kAddressSpace = 0x10000;

std::string Printf(const char *format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

Finding At(std::span<const uint8_t> file, uint32_t offset, Finding::Severity severity, std::string message) {
  Finding f{severity, offset, 1, 1, std::move(message)};
  for (uint32_t i = 0; i < offset && i < file.size(); ++i) {
    if (file[i] == '\n') {
      ++f.line;
      f.column = 1;
    } else {
      ++f.column;
    }
  }
  return f;
}

uint8_t Checksum(const HexRecord &r) {
  unsigned sum = r.length + (r.address >> 8) + (r.address & 0xFF) + r.type;
  for (unsigned i = 0; i < r.length; ++i) sum += r.data[i];
  return uint8_t(-sum);
}

// The warnings the driver has no words for: it neither checks checksums nor looks at where a
// record ends.
void Warn(std::span<const uint8_t> file, const HexRecord &r, uint32_t base, std::vector<bool> &written,
          std::vector<Finding> &findings) {
  auto warn = [&](std::string message) { findings.push_back(At(file, r.start, Finding::Severity::Warning, message)); };
  uint8_t stated;
  if (!HexByteValue(char(file[r.next - 2]), char(file[r.next - 1]), &stated))
    warn("checksum field unreadable (the driver does not read it)");
  else if (stated != Checksum(r))
    warn(Printf("checksum error: 0x%02X, the record's bytes give 0x%02X (the driver loads it anyway)", stated,
                Checksum(r)));
  if (r.type != HEX_RECORD_DATA) return;
  const uint32_t end = uint32_t(r.address) + r.length;
  if (!HexRecordIsExternal(r.address, base) && end > base)
    warn(Printf("record 0x%04X-0x%04X runs across FxExtRamBase 0x%X: all of it goes to internal memory", r.address,
                end - 1, base));
  if (end > kAddressSpace) warn(Printf("record at 0x%04X runs past 0xFFFF", r.address));
  bool overlaps = false;
  for (uint32_t a = r.address; a < end; ++a) {
    overlaps = overlaps || written[a];
    written[a] = true;
  }
  if (overlaps) warn(Printf("record at 0x%04X overlaps an earlier record", r.address));
}

// --- the lenient reader of Fix -------------------------------------------------------------

struct Line {
  unsigned number;
  std::string text;  // without its line end and surrounding blanks
};

std::vector<Line> Lines(std::span<const uint8_t> file) {
  std::vector<Line> lines;
  std::string current;
  unsigned number = 1;
  auto flush = [&] {
    const size_t first = current.find_first_not_of(" \t\r");
    const size_t last = current.find_last_not_of(" \t\r");
    if (first != std::string::npos) lines.push_back({number, current.substr(first, last - first + 1)});
    current.clear();
  };
  for (uint8_t c : file) {
    if (c == '\n') {
      flush();
      ++number;
    } else {
      current += char(c);
    }
  }
  flush();
  return lines;
}

// The record's bytes, length through checksum; empty when it is not a whole record.
std::vector<uint8_t> Bytes(const std::string &text) {
  std::vector<uint8_t> bytes;
  if (text.size() < 11 || text.size() % 2 == 0) return {};
  for (size_t i = 1; i < text.size(); i += 2) {
    uint8_t b;
    if (!HexByteValue(text[i], text[i + 1], &b)) return {};
    bytes.push_back(b);
  }
  return bytes.size() == size_t(bytes[0]) + 5 ? bytes : std::vector<uint8_t>{};
}

void Emit(std::string &out, uint8_t type, uint32_t address, const uint8_t *data, size_t length) {
  unsigned sum = unsigned(length) + (address >> 8 & 0xFF) + (address & 0xFF) + type;
  out += Printf(":%02X%04X%02X", unsigned(length), address & 0xFFFF, type);
  for (size_t i = 0; i < length; ++i) {
    out += Printf("%02X", data[i]);
    sum += data[i];
  }
  out += Printf("%02X\r\n", uint8_t(-sum));
}

}  // namespace

CheckResult Check(std::span<const uint8_t> file, uint32_t fxExtRamBase) {
  CheckResult result;
  if (file.size() > std::numeric_limits<uint32_t>::max()) {
    result.findings.push_back({Finding::Severity::Error, 0, 1, 1, "Unable to allocate buffer for FX firmware file."});
    return result;
  }
  std::vector<bool> written(kAddressSpace + 255);
  HexRecord record;
  // One walk serves both of the driver's passes: each parses the whole file the same way.
  for (uint32_t position = 0;; position = record.next) {
    const HexFault fault = ParseHexRecord(file.data(), uint32_t(file.size()), position, &record);
    if (fault != HEX_OK) {
      result.findings.push_back(At(file, record.start, Finding::Severity::Error, HexFaultText(fault)));
      return result;
    }
    Warn(file, record, fxExtRamBase, written, result.findings);
    if (record.type == HEX_RECORD_END_OF_FILE) break;
    ++result.records;
    (HexRecordIsExternal(record.address, fxExtRamBase) ? result.externalBytes : result.internalBytes) += record.length;
  }
  result.loads = true;
  return result;
}

FixResult Fix(std::span<const uint8_t> file) {
  FixResult r;
  auto refuse = [&](std::string why) {
    r.changes.push_back(std::move(why));
    r.text.clear();
    return r;
  };
  uint32_t upper = 0;  // from the last extended-address record
  bool ended = false;
  for (const Line &line : Lines(file)) {
    if (ended) {
      r.changes.push_back(Printf("line %u: text after the end-of-file record dropped", line.number));
      break;
    }
    if (line.text[0] != ':') {
      r.changes.push_back(Printf("line %u: text that is not a record dropped", line.number));
      continue;
    }
    const std::vector<uint8_t> b = Bytes(line.text);
    if (b.empty()) return refuse(Printf("line %u: not a readable record", line.number));
    unsigned sum = 0;
    for (uint8_t x : b) sum += x;
    if (sum & 0xFF) return refuse(Printf("line %u: checksum error; the file may be damaged", line.number));
    const uint8_t length = b[0], type = b[3];
    const uint32_t address = uint32_t(b[1]) << 8 | b[2];
    const uint32_t value = length == 2 ? uint32_t(b[4]) << 8 | b[5] : 0;
    switch (type) {
      case 0x00:
        if (upper + address + length > kAddressSpace)
          return refuse(Printf("line %u: data at 0x%X needs addresses above 64 KiB", line.number, upper + address));
        Emit(r.text, HEX_RECORD_DATA, upper + address, b.data() + 4, length);
        break;
      case 0x01:
        Emit(r.text, HEX_RECORD_END_OF_FILE, 0, nullptr, 0);
        ended = true;
        break;
      case 0x02:
      case 0x04:
        if (length != 2) return refuse(Printf("line %u: not a readable record", line.number));
        upper = type == 0x02 ? value << 4 : value << 16;
        r.changes.push_back(upper == 0 ? Printf("line %u: extended address record of 0 dropped", line.number)
                                       : Printf("line %u: extended address 0x%X applied to the records that follow",
                                                line.number, upper));
        break;
      case 0x03:
      case 0x05:
        r.changes.push_back(Printf("line %u: start address record dropped", line.number));
        break;
      default:
        return refuse(Printf("line %u: unknown record type 0x%02X", line.number, type));
    }
  }
  if (!ended) return refuse("no end-of-file record: the file may be cut short");
  const std::span<const uint8_t> text(reinterpret_cast<const uint8_t *>(r.text.data()), r.text.size());
  if (!Check(text).loads) return refuse("the normalised copy does not load (a fault of fxhex)");
  r.ok = true;
  return r;
}

std::string Format(const std::string &fileName, const Finding &finding) {
  return fileName + ":" + std::to_string(finding.line) + ":" + std::to_string(finding.column) +
         (finding.severity == Finding::Severity::Error ? ": error: " : ": warning: ") + finding.message;
}

}  // namespace fxhex
