// Enumeration through SetupAPI, error texts from the system, and the per-thread event of the
// synchronous calls.
#include "os.h"  // windows.h, which setupapi.h needs before it

#include <setupapi.h>



namespace xrusb::os {

namespace {

struct ThreadEvent {
  HANDLE event = nullptr;
  ~ThreadEvent() {
    if (event) ::CloseHandle(event);
  }
};

}  // namespace

Handle SyncEvent() {
  thread_local ThreadEvent t;
  if (!t.event) t.event = NewEvent();
  return t.event;
}

std::vector<std::u16string> InterfacePaths(const Guid &guid, std::error_code &ec) {
  GUID g = SystemGuid(guid);
  std::vector<std::u16string> paths;
  HDEVINFO set = ::SetupDiGetClassDevsW(&g, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    ec = MakeStatusCode(LastStatus());
    return paths;
  }
  ec.clear();
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &g, i, &data)) {
      if (::GetLastError() != ERROR_NO_MORE_ITEMS) ec = MakeStatusCode(LastStatus());
      break;
    }
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<uint8_t> storage(size);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) continue;
    paths.emplace_back(reinterpret_cast<const char16_t *>(detail->DevicePath));
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return paths;
}

std::string Win32ErrorText(uint32_t error) {
  char text[256];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                             sizeof text, nullptr);
  while (n && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
  return std::string(text, n);
}

}  // namespace xrusb::os
