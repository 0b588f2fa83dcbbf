// The registry as tests see it: keys by path, values with a type and raw bytes, and the
// hardware key of each device.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim::registry {

struct Value {
  std::u16string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

void CreateKey(const std::u16string &key);
bool KeyExists(const std::u16string &key);
void DeleteKey(const std::u16string &key);
void SetValue(const std::u16string &key, const std::u16string &name, uint32_t type, std::vector<uint8_t> data);
void SetDword(const std::u16string &key, const std::u16string &name, uint32_t value);
// UTF-16 text; with 'terminate' a 16-bit zero is stored after it, as installers do.
void SetString(const std::u16string &key, const std::u16string &name, const std::u16string &text,
               bool terminate = true, uint32_t type = REG_SZ);
void DeleteValue(const std::u16string &key, const std::u16string &name);
std::optional<Value> GetValue(const std::u16string &key, const std::u16string &name);
std::optional<uint32_t> GetDword(const std::u16string &key, const std::u16string &name);
std::vector<std::u16string> ValueNames(const std::u16string &key);

// The hardware key IoOpenDeviceRegistryKey opens for a physical device object.
void SetDeviceKey(PDEVICE_OBJECT pdo, const std::u16string &key);
std::u16string DeviceKey(PDEVICE_OBJECT pdo);
// The next opens of the key fail with this status (STATUS_SUCCESS: no failure).
void FailOpen(const std::u16string &key, NTSTATUS status);

// Another writer: once the value has been queried once more, it holds 'data' (the driver's
// size query and its read then see different values, as they can on Windows).
void ChangeAfterNextQuery(const std::u16string &key, const std::u16string &name, std::vector<uint8_t> data);

// Kernel handles (keys and files) still open.
size_t OpenKernelHandles();
void Reset();

}  // namespace sim::registry
