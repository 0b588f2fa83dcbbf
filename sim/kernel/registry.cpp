#include "registry.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "faults.h"
#include "kernel_handles.h"
#include "verifier.h"

namespace sim::registry {
namespace {

std::u16string Fold(std::u16string s) {
  for (auto &c : s)
    if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
  return s;
}

struct Key {
  std::map<std::u16string, Value> values;  // by folded name; Value::name keeps the case
  NTSTATUS failOpen = STATUS_SUCCESS;
};

std::mutex g_lock;
std::map<std::u16string, Key> g_keys;  // by folded path
std::map<PDEVICE_OBJECT, std::u16string> g_deviceKeys;
std::map<std::pair<std::u16string, std::u16string>, std::vector<uint8_t>> g_changes;  // folded key, name

struct KeyHandle : KernelObject {
  std::u16string path;
};

std::u16string FromCounted(PUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / 2);
}

void CheckPassive(const char *what) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    VerifierFail(check::kIrqlMisuse, "%s at IRQL %u", what, KeGetCurrentIrql());
}

}  // namespace

void CreateKey(const std::u16string &key) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_keys[Fold(key)];
}

bool KeyExists(const std::u16string &key) {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_keys.count(Fold(key)) != 0;
}

void DeleteKey(const std::u16string &key) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_keys.erase(Fold(key));
}

void SetValue(const std::u16string &key, const std::u16string &name, uint32_t type, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_keys[Fold(key)].values[Fold(name)] = Value{name, type, std::move(data)};
}

void SetDword(const std::u16string &key, const std::u16string &name, uint32_t value) {
  std::vector<uint8_t> d(4);
  memcpy(d.data(), &value, 4);
  SetValue(key, name, REG_DWORD, std::move(d));
}

void SetString(const std::u16string &key, const std::u16string &name, const std::u16string &text, bool terminate,
               uint32_t type) {
  std::u16string t = text;
  if (terminate) t.push_back(u'\0');
  std::vector<uint8_t> d(t.size() * 2);
  memcpy(d.data(), t.data(), d.size());
  SetValue(key, name, type, std::move(d));
}

void DeleteValue(const std::u16string &key, const std::u16string &name) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto k = g_keys.find(Fold(key));
  if (k != g_keys.end()) k->second.values.erase(Fold(name));
}

std::optional<Value> GetValue(const std::u16string &key, const std::u16string &name) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto k = g_keys.find(Fold(key));
  if (k == g_keys.end()) return std::nullopt;
  auto v = k->second.values.find(Fold(name));
  if (v == k->second.values.end()) return std::nullopt;
  return v->second;
}

std::optional<uint32_t> GetDword(const std::u16string &key, const std::u16string &name) {
  auto v = GetValue(key, name);
  if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
  uint32_t x;
  memcpy(&x, v->data.data(), 4);
  return x;
}

std::vector<std::u16string> ValueNames(const std::u16string &key) {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<std::u16string> names;
  auto k = g_keys.find(Fold(key));
  if (k != g_keys.end())
    for (auto &[folded, v] : k->second.values) names.push_back(v.name);
  return names;
}

void SetDeviceKey(PDEVICE_OBJECT pdo, const std::u16string &key) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_deviceKeys[pdo] = key;
  g_keys[Fold(key)];
}

std::u16string DeviceKey(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_deviceKeys.find(pdo);
  return it == g_deviceKeys.end() ? std::u16string() : it->second;
}

void FailOpen(const std::u16string &key, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_keys[Fold(key)].failOpen = status;
}

size_t OpenKernelHandles() { return HandleCount(); }

void ChangeAfterNextQuery(const std::u16string &key, const std::u16string &name, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_changes[{Fold(key), Fold(name)}] = std::move(data);
}

void Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_keys.clear();
  g_deviceKeys.clear();
  g_changes.clear();
}

NTSTATUS OpenDeviceKey(PDEVICE_OBJECT device, ULONG type, PHANDLE out) {
  CheckPassive("IoOpenDeviceRegistryKey");
  if (type != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
  std::u16string path;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_deviceKeys.find(device);
    if (it == g_deviceKeys.end()) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object
    path = Fold(it->second);
    NTSTATUS fail = g_keys[path].failOpen;
    if (fail != STATUS_SUCCESS) return fail;
  }
  if (ShouldFail(AllocKind::RegistryKey, __builtin_return_address(0))) return STATUS_INSUFFICIENT_RESOURCES;
  auto *h = new KeyHandle;
  h->path = path;
  *out = InsertHandle(h);
  return STATUS_SUCCESS;
}

NTSTATUS QueryValue(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                    PULONG resultLength) {
  CheckPassive("ZwQueryValueKey");
  auto *h = dynamic_cast<KeyHandle *>(LookupHandle(handle));
  if (!h) return STATUS_INVALID_HANDLE;
  if (cls != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  Value v;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto k = g_keys.find(h->path);
    if (k == g_keys.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto it = k->second.values.find(Fold(FromCounted(name)));
    if (it == k->second.values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    v = it->second;
    if (auto change = g_changes.find({h->path, it->first}); change != g_changes.end()) {
      it->second.data = std::move(change->second);
      g_changes.erase(change);
    }
  }
  const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG required = header + ULONG(v.data.size());
  *resultLength = required;
  if (length < header) return STATUS_BUFFER_TOO_SMALL;
  auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  info->TitleIndex = 0;
  info->Type = v.type;
  info->DataLength = ULONG(v.data.size());
  ULONG fits = std::min<ULONG>(length - header, ULONG(v.data.size()));
  memcpy(info->Data, v.data.data(), fits);
  return fits < v.data.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS SetValueFromKernel(HANDLE handle, PUNICODE_STRING name, ULONG type, PVOID data, ULONG size) {
  CheckPassive("ZwSetValueKey");
  auto *h = dynamic_cast<KeyHandle *>(LookupHandle(handle));
  if (!h) return STATUS_INVALID_HANDLE;
  std::vector<uint8_t> bytes(static_cast<uint8_t *>(data), static_cast<uint8_t *>(data) + size);
  std::lock_guard<std::mutex> guard(g_lock);
  std::u16string n = FromCounted(name);
  g_keys[h->path].values[Fold(n)] = Value{n, type, std::move(bytes)};
  return STATUS_SUCCESS;
}

}  // namespace sim::registry

extern "C" {

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
  (void)DesiredAccess;  // kernel-mode handles are not access-checked
  return sim::registry::OpenDeviceKey(DeviceObject, DevInstKeyType, DevInstRegKey);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  return sim::registry::QueryValue(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length,
                                   ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  (void)TitleIndex;
  return sim::registry::SetValueFromKernel(KeyHandle, ValueName, Type, Data, DataSize);
}

}  // extern "C"
