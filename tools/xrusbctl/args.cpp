// Arguments, numbers, hex and files as the commands read them; the device a command works on.
#include <cctype>
#include <cstdarg>
#include <cstdio>

#include "ctl.h"

namespace xrusbctl {

bool Args::Flag(const std::string &name, const std::string &shortName) {
  for (size_t i = 0; i < words_.size(); ++i)
    if (words_[i] == name || (!shortName.empty() && words_[i] == shortName)) {
      words_.erase(words_.begin() + long(i));
      return true;
    }
  return false;
}

std::optional<std::string> Args::Option(const std::string &name, const std::string &shortName) {
  for (size_t i = 0; i < words_.size(); ++i) {
    const std::string &w = words_[i];
    if (w.compare(0, name.size() + 1, name + "=") == 0) {
      std::string value = w.substr(name.size() + 1);
      words_.erase(words_.begin() + long(i));
      return value;
    }
    if (w == name || (!shortName.empty() && w == shortName)) {
      if (i + 1 >= words_.size()) throw UsageError(name + " needs a value");
      std::string value = words_[i + 1];
      words_.erase(words_.begin() + long(i), words_.begin() + long(i) + 2);
      return value;
    }
  }
  return std::nullopt;
}

size_t Args::Count() {
  for (const std::string &w : words_)
    if (w.size() > 1 && w[0] == '-' && !std::isdigit(static_cast<unsigned char>(w[1])))
      throw UsageError("unknown option " + w);
  return words_.size();
}

const std::string &Args::At(size_t i) {
  if (i >= Count()) throw UsageError("missing argument");
  return words_[i];
}

std::optional<std::string> Args::Optional(size_t i) {
  if (i >= Count()) return std::nullopt;
  return words_[i];
}

uint64_t ParseNumber(const std::string &text, uint64_t max, const char *what) {
  size_t used = 0;
  uint64_t v = 0;
  try {
    v = std::stoull(text, &used, 0);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used == 0 || used != text.size() || text[0] == '-' || v > max)
    throw UsageError(std::string(what) + " must be a number up to " + std::to_string(max) + ", not \"" + text + "\"");
  return v;
}

std::vector<uint8_t> ParseHex(const std::string &text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && high < 0) {
      ++i;
      continue;
    }
    if (c == ' ' || c == ',' || c == ':' || c == '\t') {
      if (high >= 0) throw UsageError("hex data: odd number of digits before \"" + text.substr(i) + "\"");
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw UsageError(std::string("hex data: not a hex digit: ") + c);
    const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(uint8_t(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) throw UsageError("hex data: odd number of digits");
  return out;
}

std::vector<uint8_t> ReadFileBytes(const std::string &path) {
  std::FILE *f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) throw UsageError("cannot read " + path);
  std::vector<uint8_t> out;
  uint8_t chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  if (f != stdin) std::fclose(f);
  return out;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", bytes[i]);
    s += b;
  }
  return s;
}

std::string HexDump(std::span<const uint8_t> bytes) {
  std::string s;
  for (size_t row = 0; row < bytes.size(); row += 16) {
    char line[100];
    int n = std::snprintf(line, sizeof line, "%08zx ", row);
    for (size_t i = row; i < row + 16; ++i)
      n += i < bytes.size() ? std::snprintf(line + n, sizeof line - size_t(n), " %02x", bytes[i])
                            : std::snprintf(line + n, sizeof line - size_t(n), "   ");
    n += std::snprintf(line + n, sizeof line - size_t(n), "  |");
    for (size_t i = row; i < row + 16 && i < bytes.size(); ++i) line[n++] = std::isprint(bytes[i]) ? char(bytes[i]) : '.';
    line[n++] = '|';
    line[n] = 0;
    s += line;
    s += '\n';
  }
  return s;
}

std::vector<std::string> Tokenize(const std::string &line) {
  std::vector<std::string> out;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (char c : line) {
    if (quote) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      if (inWord) out.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quote) throw UsageError("unterminated quote");
  if (inWord) out.push_back(word);
  return out;
}

void Context::Text(const char *format, ...) {
  if (json) return;
  va_list ap;
  va_start(ap, format);
  std::vprintf(format, ap);
  va_end(ap);
}

std::vector<xrusb::DeviceEntry> Context::Devices() {
  return xrusb::ListDevices(xrusb::kDefaultInterfaceGuid, xrusb::ListFlags::ReadDescriptor);
}

xrusb::Device &Context::Open() {
  if (device && openedFor == select) {
    std::error_code ec;
    for (const xrusb::DeviceEntry &e : xrusb::ListDevices(xrusb::kDefaultInterfaceGuid, xrusb::ListFlags::None, ec))
      if (e.path == device->Path()) return *device;
  }
  Forget();
  device = OpenSelected();
  openedFor = select;
  return *device;
}

xrusb::Pipe &Context::OpenPipe(uint8_t endpoint) {
  xrusb::Device &d = Open();
  auto found = pipes.find(endpoint);
  if (found == pipes.end()) found = pipes.emplace(endpoint, d.OpenPipe(endpoint)).first;
  return found->second;
}

xrusb::Device Context::OpenSelected() {
  const std::vector<xrusb::DeviceEntry> all = Devices();
  if (select.empty()) {
    if (all.empty()) throw NoDevice("no xrusb device is present");
    return xrusb::Device::Open(all.front());
  }
  if (std::isdigit(static_cast<unsigned char>(select[0])) && select.find(':') == std::string::npos) {
    const size_t index = ParseNumber(select, 1000, "the device index");
    if (index >= all.size()) throw NoDevice("no device " + select + " (there are " + std::to_string(all.size()) + ")");
    return xrusb::Device::Open(all[index]);
  }
  const size_t colon = select.find(':');
  if (colon != std::string::npos && colon <= 4 && select.find('\\') == std::string::npos) {
    const size_t second = select.find(':', colon + 1);
    const uint16_t vid = uint16_t(ParseNumber("0x" + select.substr(0, colon), 0xFFFF, "the vendor ID"));
    const uint16_t pid = uint16_t(ParseNumber("0x" + select.substr(colon + 1, second - colon - 1), 0xFFFF, "the product ID"));
    std::optional<std::string> serial;
    if (second != std::string::npos) serial = select.substr(second + 1);
    std::vector<xrusb::DeviceEntry> found = xrusb::FindDevices(vid, pid, serial);
    if (found.empty()) throw NoDevice("no device " + select);
    return xrusb::Device::Open(found.front());
  }
  return xrusb::Device::Open(std::string_view(select));
}

const char *SpeedName(xrusb::Speed speed) {
  switch (speed) {
    case xrusb::Speed::Low: return "low";
    case xrusb::Speed::Full: return "full";
    case xrusb::Speed::High: return "high";
    case xrusb::Speed::Super: return "super";
    case xrusb::Speed::Unknown: break;
  }
  return "unknown";
}

}  // namespace xrusbctl
