// The usb.ids database, read once on first use: vendors with their products, classes with
// their subclasses and protocols (the file's own indentation says which is which).
#include "usb_ids.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace xrusbctl {
namespace {

struct Database {
  std::map<uint32_t, std::string> vendors;   // vid << 16 | 0xFFFF, products vid << 16 | pid... see Key
  std::map<uint32_t, std::string> products;  // vid << 16 | pid
  std::map<uint32_t, std::string> classes;   // class << 16 | subclass << 8 | protocol, with 0x1FF for "none"
};

constexpr uint32_t kNone = 0x1FF;
uint32_t ClassKey(uint32_t c, uint32_t s, uint32_t p) { return c << 20 | s << 10 | p; }

bool Hex(const char *s, int digits, uint32_t &out) {
  out = 0;
  for (int i = 0; i < digits; ++i) {
    const char c = s[i];
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return false;
    out = out << 4 | uint32_t(d);
  }
  return true;
}

std::string Rest(const char *s) {
  while (*s == ' ') ++s;
  std::string r(s);
  while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
  return r;
}

Database Load() {
  Database db;
  const char *env = std::getenv("XRUSBCTL_USB_IDS");
  const char *paths[] = {env ? env : "", "/usr/share/misc/usb.ids", "/usr/share/hwdata/usb.ids",
                         "/var/lib/usbutils/usb.ids"};
  std::FILE *f = nullptr;
  for (const char *p : paths)
    if (*p && (f = std::fopen(p, "r"))) break;
  if (!f) return db;
  char line[512];
  enum { kNothing, kVendor, kClass } section = kNothing;
  uint32_t vendor = 0, cls = 0, sub = 0;
  while (std::fgets(line, sizeof line, f)) {
    uint32_t v;
    if (line[0] == '#' || line[0] == '\n') continue;
    if (line[0] != '\t') {
      if (Hex(line, 4, v) && line[4] == ' ') {
        section = kVendor;
        vendor = v;
        db.vendors[v] = Rest(line + 4);
      } else if (line[0] == 'C' && line[1] == ' ' && Hex(line + 2, 2, v)) {
        section = kClass;
        cls = v;
        db.classes[ClassKey(cls, kNone, kNone)] = Rest(line + 4);
      } else {
        section = kNothing;  // other lists (AT, HID, languages...) are not used
      }
    } else if (line[1] != '\t') {
      if (section == kVendor && Hex(line + 1, 4, v)) db.products[vendor << 16 | v] = Rest(line + 5);
      if (section == kClass && Hex(line + 1, 2, v)) {
        sub = v;
        db.classes[ClassKey(cls, sub, kNone)] = Rest(line + 3);
      }
    } else if (section == kClass && Hex(line + 2, 2, v)) {
      db.classes[ClassKey(cls, sub, v)] = Rest(line + 4);
    }
  }
  std::fclose(f);
  return db;
}

const Database &Db() {
  static std::once_flag once;
  static Database db;
  std::call_once(once, [] { db = Load(); });
  return db;
}

std::string Find(const std::map<uint32_t, std::string> &m, uint32_t key) {
  auto it = m.find(key);
  return it == m.end() ? std::string() : it->second;
}

}  // namespace

std::string VendorName(uint16_t vid) { return Find(Db().vendors, vid); }
std::string ProductName(uint16_t vid, uint16_t pid) { return Find(Db().products, uint32_t(vid) << 16 | pid); }
std::string ClassName(uint8_t c) { return Find(Db().classes, ClassKey(c, kNone, kNone)); }
std::string SubClassName(uint8_t c, uint8_t s) { return Find(Db().classes, ClassKey(c, s, kNone)); }
std::string ProtocolName(uint8_t c, uint8_t s, uint8_t p) { return Find(Db().classes, ClassKey(c, s, p)); }

}  // namespace xrusbctl
