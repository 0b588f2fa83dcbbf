// Installs the test bus and xrusb.sys the way a device installer does on Windows: xrusb's INF into
// the system's INF folder, so that the bus's children find their function driver when they appear;
// then the root-enumerated bus device, registered and given its driver.
//   xrusb_install <full path of xrusb.inf> <full path of xrusbbus.inf>
// It returns when the bus runs.
#include <windows.h>

#include <cstdio>
#include <string>
#include <newdev.h>
#include <setupapi.h>

#include "windows/usbbus/test_bus_control.h"

namespace {

constexpr wchar_t kBusInstance[] = L"ROOT\\XRUSBBUS\\0000";
constexpr wchar_t kBusHardwareIds[] = L"root\\xrusbbus\0";  // a multi-string

// The path of 'file' in the folder of 'path'.
std::wstring Beside(const wchar_t *path, const wchar_t *file) {
  std::wstring p(path);
  const size_t slash = p.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : p.substr(0, slash + 1)) + file;
}

int Fail(const char *what) {
  std::fprintf(stderr, "xrusb_install: %s failed: error %lu\n", what, GetLastError());
  return 1;
}

int InstallBus(const wchar_t *busInf) {
  GUID system = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  HDEVINFO set = SetupDiCreateDeviceInfoList(&system, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int result = 0;
  if (!SetupDiCreateDeviceInfoW(set, kBusInstance, &system, nullptr, nullptr, 0, &device)) {
    result = Fail("SetupDiCreateDeviceInfo");
  } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE *>(kBusHardwareIds), sizeof kBusHardwareIds)) {
    result = Fail("SetupDiSetDeviceRegistryProperty");
  } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
    result = Fail("DIF_REGISTERDEVICE");
  } else {
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"root\\xrusbbus", busInf, INSTALLFLAG_FORCE, &reboot))
      result = Fail("UpdateDriverForPlugAndPlayDevices");
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

// The system starts the bus on its own time: true once its control device answers.
bool AwaitBus(int seconds) {
  for (int tries = 0; tries < seconds * 10; ++tries) {
    HANDLE bus = CreateFileW(XRBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus != INVALID_HANDLE_VALUE) {
      CloseHandle(bus);
      return true;
    }
    Sleep(100);
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: xrusb_install <xrusb.inf> <xrusbbus.inf>\n");
    return 2;
  }
  wchar_t installed[MAX_PATH];
  if (!SetupCopyOEMInfW(argv[1], nullptr, SPOST_PATH, 0, installed, MAX_PATH, nullptr, nullptr))
    return Fail("SetupCopyOEMInf");
  std::printf("xrusb.inf installed as %ls\n", installed);
  // Windows installs a device later from the package's source media that SetupCopyOEMInf
  // recorded (SPOST_PATH). Wine looks for the files beside the installed INF instead, and its
  // default queue callback asks for the missing media again and again, holding up Plug and Play
  // for good. So the image goes there as well.
  if (!CopyFileW(Beside(argv[1], L"xrusb.sys").c_str(), Beside(installed, L"xrusb.sys").c_str(), FALSE))
    return Fail("copying xrusb.sys beside the installed INF");
  if (int r = InstallBus(argv[2])) return r;
  if (AwaitBus(60)) {
    std::printf("test bus installed and running\n");
    return 0;
  }
  std::fprintf(stderr, "xrusb_install: the test bus did not start within a minute\n");
  return 1;
}
