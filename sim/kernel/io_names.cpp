// The object namespace (device names and symbolic links) and device interfaces.
#include <cstdio>
#include <map>

#include "io_objects_internal.h"
#include "objects.h"
#include "pool.h"
#include "verifier.h"

namespace sim {
namespace {

struct NameEntry {
  std::u16string display;
  PDEVICE_OBJECT device = nullptr;  // a device name
  std::u16string target;            // a symbolic link
};

struct Interface {
  PDEVICE_OBJECT pdo;
  GUID classGuid;
  std::u16string reference;
  std::u16string path;
  bool enabled = false;
  bool pdoDeleted = false;
};

// Keys are upper-cased canonical names; the namespace is case-insensitive.
std::map<std::u16string, NameEntry> g_names;
std::map<std::u16string, Interface> g_interfaces;

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }

bool StartsWithNoCase(const std::u16string &s, const char16_t *prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i)
    if (i >= s.size() || Upper(s[i]) != Upper(prefix[i])) return false;
  return true;
}

// "\DosDevices\X", "\GLOBAL??\X", "\\.\X" and "\\?\X" all name "\??\X".
std::u16string Canonical(const std::u16string &name) {
  static const char16_t *const kAliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\\\.\\", u"\\\\?\\"};
  for (const char16_t *alias : kAliases)
    if (StartsWithNoCase(name, alias)) return u"\\??\\" + name.substr(std::char_traits<char16_t>::length(alias));
  return name;
}

std::u16string Key(const std::u16string &canonical) {
  std::u16string k = canonical;
  for (auto &c : k) c = Upper(c);
  return k;
}

bool SameGuid(const GUID &a, const GUID &b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

std::u16string GuidString(const GUID &g) {
  char buf[40];
  snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
           g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return ToU16(buf);
}

PDEVICE_OBJECT ResolveLocked(const std::u16string &name, std::u16string *remainder) {
  std::u16string current = Canonical(name);
  std::u16string rest;
  for (int hops = 0; hops < 32;) {
    std::u16string key = Key(current);
    if (auto it = g_names.find(key); it != g_names.end()) {
      if (it->second.device) {
        if (remainder) *remainder = rest;
        return it->second.device;
      }
      current = Canonical(it->second.target);
      ++hops;
      continue;
    }
    if (auto it = g_interfaces.find(key); it != g_interfaces.end() && it->second.enabled) {
      if (remainder) *remainder = (it->second.reference.empty() ? u"" : u"\\" + it->second.reference) + rest;
      return it->second.pdo;
    }
    // Not a whole name: the object manager hands the unparsed tail to the device.
    size_t cut = current.rfind(u'\\');
    if (cut == std::u16string::npos || cut == 0 || current.compare(0, cut + 1, u"\\??\\") == 0) break;
    rest = current.substr(cut) + rest;
    current.resize(cut);
  }
  return nullptr;
}

}  // namespace

std::u16string ToU16(const char *ascii) {
  std::u16string s;
  while (*ascii) s.push_back(char16_t(static_cast<unsigned char>(*ascii++)));
  return s;
}

std::string ToAscii(const std::u16string &s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? char(c) : '?');
  return out;
}

std::u16string FromUnicodeString(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / 2);
}

bool AddDeviceNameLocked(const std::u16string &name, PDEVICE_OBJECT device) {
  std::u16string canonical = Canonical(name);
  auto [it, inserted] = g_names.try_emplace(Key(canonical));
  if (!inserted) return false;
  it->second.display = canonical;
  it->second.device = device;
  return true;
}

void RemoveDeviceNameLocked(const std::u16string &name, PDEVICE_OBJECT device) {
  auto it = g_names.find(Key(Canonical(name)));
  if (it != g_names.end() && it->second.device == device) g_names.erase(it);
}

void DisableInterfacesOfLocked(PDEVICE_OBJECT device) {
  for (auto &[key, i] : g_interfaces)
    if (i.pdo == device) {
      i.enabled = false;
      i.pdoDeleted = true;
    }
}

PDEVICE_OBJECT LookupDeviceByName(const std::u16string &name) { return LookupDeviceByName(name, nullptr); }

PDEVICE_OBJECT LookupDeviceByName(const std::u16string &name, std::u16string *remainder) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  return ResolveLocked(name, remainder);
}

PDEVICE_OBJECT ReferenceDeviceByName(const std::u16string &name, std::u16string *remainder) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  PDEVICE_OBJECT d = ResolveLocked(name, remainder);
  if (d) d->DeviceObjectExtension->references.fetch_add(1);
  return d;
}

bool SymbolicLinkExists(const std::u16string &link) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  auto it = g_names.find(Key(Canonical(link)));
  return it != g_names.end() && !it->second.device;
}

std::vector<std::u16string> DeviceNames() {
  std::lock_guard<std::mutex> guard(ObjectLock());
  std::vector<std::u16string> out;
  for (auto &[k, e] : g_names)
    if (e.device) out.push_back(e.display);
  return out;
}

std::vector<std::u16string> SymbolicLinks() {
  std::lock_guard<std::mutex> guard(ObjectLock());
  std::vector<std::u16string> out;
  for (auto &[k, e] : g_names)
    if (!e.device) out.push_back(e.display);
  return out;
}

std::vector<std::u16string> EnabledInterfaces(const GUID &classGuid) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  std::vector<std::u16string> out;
  for (auto &[k, i] : g_interfaces)
    if (i.enabled && SameGuid(i.classGuid, classGuid)) out.push_back(i.path);
  return out;
}

std::vector<std::u16string> RegisteredInterfaces(const GUID &classGuid) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  std::vector<std::u16string> out;
  for (auto &[k, i] : g_interfaces)
    if (SameGuid(i.classGuid, classGuid)) out.push_back(i.path);
  return out;
}

bool InterfaceEnabled(const std::u16string &path) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  auto it = g_interfaces.find(Key(Canonical(path)));
  return it != g_interfaces.end() && it->second.enabled;
}

PDEVICE_OBJECT DeviceForInterface(const std::u16string &path) {
  std::lock_guard<std::mutex> guard(ObjectLock());
  auto it = g_interfaces.find(Key(Canonical(path)));
  return it == g_interfaces.end() || it->second.pdoDeleted ? nullptr : it->second.pdo;
}

void ResetObjects() {
  std::lock_guard<std::mutex> guard(ObjectLock());
  g_names.clear();
  g_interfaces.clear();
  ResetDevicesLocked();
}

}  // namespace sim

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  std::u16string link = sim::Canonical(sim::FromUnicodeString(SymbolicLinkName));
  std::u16string target = sim::FromUnicodeString(DeviceName);
  if (link.empty() || link[0] != u'\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::mutex> guard(sim::ObjectLock());
  auto [it, inserted] = sim::g_names.try_emplace(sim::Key(link));
  if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
  it->second.display = link;
  it->second.target = target;
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  std::u16string key = sim::Key(sim::Canonical(sim::FromUnicodeString(SymbolicLinkName)));
  std::lock_guard<std::mutex> guard(sim::ObjectLock());
  auto it = sim::g_names.find(key);
  if (it == sim::g_names.end() || it->second.device) return STATUS_OBJECT_NAME_NOT_FOUND;
  sim::g_names.erase(it);
  return STATUS_SUCCESS;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "IoRegisterDeviceInterface at IRQL %u", KeGetCurrentIrql());
  SymbolicLinkName->Buffer = nullptr;
  SymbolicLinkName->Length = SymbolicLinkName->MaximumLength = 0;
  std::u16string reference = sim::FromUnicodeString(ReferenceString);
  std::u16string path;
  {
    std::lock_guard<std::mutex> guard(sim::ObjectLock());
    _DEVOBJ_EXTENSION *x = PhysicalDeviceObject ? PhysicalDeviceObject->DeviceObjectExtension : nullptr;
    // Only a physical device object (the bottom of a stack) has interfaces.
    if (!x || x->deleted || x->lower) return STATUS_INVALID_DEVICE_REQUEST;
    char instance[48];
    snprintf(instance, sizeof instance, "\\??\\SIM#DEVICE#%04u#", x->serial);
    path = sim::ToU16(instance) + sim::GuidString(*InterfaceClassGuid);
    if (!reference.empty()) path += u"\\" + reference;
    auto [it, inserted] = sim::g_interfaces.try_emplace(sim::Key(path));
    if (inserted) it->second = sim::Interface{PhysicalDeviceObject, *InterfaceClassGuid, reference, path};
  }
  size_t bytes = path.size() * 2;
  auto *buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes + 2, sim::MakeTag("IoIf")));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, path.c_str(), bytes + 2);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = USHORT(bytes);
  SymbolicLinkName->MaximumLength = USHORT(bytes + 2);
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  std::u16string key = sim::Key(sim::Canonical(sim::FromUnicodeString(SymbolicLinkName)));
  std::lock_guard<std::mutex> guard(sim::ObjectLock());
  auto it = sim::g_interfaces.find(key);
  if (it == sim::g_interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  sim::Interface &i = it->second;
  if (Enable) {
    if (i.enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (i.pdoDeleted) return STATUS_INVALID_DEVICE_REQUEST;
    i.enabled = true;
  } else {
    if (!i.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    i.enabled = false;
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
