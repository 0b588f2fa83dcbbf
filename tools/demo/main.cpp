// The main job on the simulated platform: load the driver, plug the test device into the
// simulated high-speed bus, find it and open it as an application would, ask the driver about
// it, and unplug it with the handle still open.
#include <cstdio>
#include <string>

#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/parameters.h"
#include "include/xrusb/interface_guid.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"
#include "sim/win32/win32.h"

namespace {

std::string Text(PCWSTR s) { return s ? sim::Narrow(s) : "(none)"; }

const char *PowerName(ULONG state) {
  static const char *names[] = {"?", "D0", "D1", "D2", "D3"};
  return state <= 4 ? names[state] : "?";
}

const char *StateName(sim::pnp::NodeState s) {
  switch (s) {
    case sim::pnp::NodeState::Absent: return "absent";
    case sim::pnp::NodeState::Added: return "added";
    case sim::pnp::NodeState::Started: return "started";
    case sim::pnp::NodeState::StopPending: return "stop pending";
    case sim::pnp::NodeState::Stopped: return "stopped";
    case sim::pnp::NodeState::RemovePending: return "remove pending";
    case sim::pnp::NodeState::SurpriseRemoved: return "surprise-removed";
    case sim::pnp::NodeState::Removed: return "removed";
    case sim::pnp::NodeState::Failed: return "failed";
  }
  return "?";
}

void PrintParameters(const DriverParameters &p) {
  printf("  DriverDeviceBaseName    %s\n", Text(p.deviceBaseName).c_str());
  printf("  DriverUserInterfaceGuid %s\n", Text(p.userInterfaceGuid).c_str());
  printf("  FxFwFile                %s\n", Text(p.firmwareFile).c_str());
  printf("  requestTimeout          %u ms\n", p.requestTimeout);
  printf("  options                 0x%X (reset on close %d, unconfigure on close %d, remote wake-up %d)\n",
         p.options, !!(p.options & OPTION_RESET_ON_CLOSE), !!(p.options & OPTION_UNCONFIGURE_ON_CLOSE),
         !!(p.options & OPTION_REMOTE_WAKEUP));
  printf("  maxIsoPackets           %u (isochronous context %u bytes)\n", p.maxIsoPackets, p.isoContextSize);
  printf("  power on open / close   %s / %s;  min used / unused %s / %s\n", PowerName(p.powerStateOnOpen),
         PowerName(p.powerStateOnClose), PowerName(p.minPowerStateUsed), PowerName(p.minPowerStateUnused));
  printf("  configIndex             %u (interface %u, alternate setting %u, max transfer %u)\n", p.configIndex,
         p.interfaceNumber, p.alternateSetting, p.maxTransferSize);
}

void PrintWritten(const std::u16string &key) {
  printf("  the key now holds:");
  int n = 0;
  for (auto &name : sim::registry::ValueNames(key)) {
    auto v = sim::registry::GetDword(key, name);
    printf("%s %s", n++ % 5 ? "," : "\n   ", sim::Narrow(name).c_str());
    if (v) printf("=%u", *v);
  }
  printf("\n");
}

void PrintNames(const char *when) {
  printf("  %s:\n", when);
  for (auto &n : sim::DeviceNames())
    if (n.find(u"XrUsb") != std::u16string::npos) printf("    device name    %s\n", sim::Narrow(n).c_str());
  for (auto &l : sim::SymbolicLinks())
    if (l.find(u"XrUsb") != std::u16string::npos) printf("    symbolic link  %s\n", sim::Narrow(l).c_str());
  for (auto &i : simwin::DeviceInterfacePaths(XRUSB_DEFAULT_INTERFACE_GUID))
    printf("    interface      %s\n", sim::Narrow(i).c_str());
}

const char *StatusName(DWORD error) {
  const char *name = xrusb_status_name(int32_t(error));
  return name ? name : "";
}

}  // namespace

int main() {
  sim::World world;
  PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
  printf("xrusb loaded: system version %u.%u, non-paged pool type %s\n", OsVersion.dwMajorVersion,
         OsVersion.dwMinorVersion,
         OsVersion.dwMajorVersion > 6 || (OsVersion.dwMajorVersion == 6 && OsVersion.dwMinorVersion >= 2)
             ? "NonPagedPoolNx"
             : "NonPagedPool");

  // An installation that set a few values, one of them out of range.
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_04B4&PID_1004\\1";
  sim::registry::SetString(key, u"DriverDeviceBaseName", u"XrUsb");
  sim::registry::SetString(key, u"DriverUserInterfaceGuid", u"{6F1C5A52-1C7E-4F1B-9A0E-3D2B7C8E9F10}");
  sim::registry::SetDword(key, u"MaxIsoPackets", 5000);
  sim::registry::SetDword(key, u"PowerStateOnClose", 3);

  printf("\nplugging the test device into the simulated high-speed bus\n");
  sim::usb::TestDevice device = sim::usb::MakeTestDevice();
  sim::usb::PlugOptions plug;
  plug.registryKey = key;
  PDEVICE_OBJECT pdo = sim::usb::Bus::Get().Plug(device.model, driver, plug);
  printf("  Plug and Play state: %s\n", StateName(sim::pnp::State(pdo)));
  PDEVICE_OBJECT fdo = sim::StackTop(pdo);
  if (fdo != pdo) {
    printf("  the parameters the driver read from its hardware key:\n");
    PrintParameters(static_cast<const DeviceExtension *>(fdo->DeviceExtension)->parameters);
  }
  PrintWritten(key);
  PrintNames("names and interfaces");

  printf("\nan application opens \\\\.\\XrUsb0\n");
  PEPROCESS app = sim::NewProcess("demo");
  HANDLE h;
  {
    simwin::ProcessScope scope(app);
    h = simwin::CreateFileW(u"\\\\.\\XrUsb0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == simwin::INVALID_HANDLE_VALUE) {
      printf("  open failed: 0x%08X\n", unsigned(simwin::GetLastError()));
    } else {
      DeviceParameters dp{};
      DWORD n = 0;
      if (simwin::DeviceIoControl(h, IOCTL_GET_DEVICE_PARAMETERS, nullptr, 0, &dp, sizeof dp, &n, nullptr))
        printf("  device parameters (%u bytes): options 0x%X, request time-out %u ms\n", n, dp.Options,
               dp.RequestTimeout);
      DriverInfo di{};
      if (simwin::DeviceIoControl(h, IOCTL_GET_DRIVER_INFO, nullptr, 0, &di, sizeof di, &n, nullptr))
        printf("  driver info (%u bytes): interface version %X.%02X, driver version %X.%02X, build %u\n", n,
               di.ApiVersion >> 8, di.ApiVersion & 0xFF, di.DriverVersion >> 8, di.DriverVersion & 0xFF,
               di.DriverBuild);
      if (!simwin::DeviceIoControl(h, 0x80940000u | (0x7FF << 2), nullptr, 0, nullptr, 0, &n, nullptr))
        printf("  an unknown control code: 0x%08X %s\n", unsigned(simwin::GetLastError()),
               StatusName(simwin::GetLastError()));
    }
  }

  printf("\nthe device is unplugged while the handle is open\n");
  sim::usb::Bus::Get().Unplug(pdo);
  printf("  Plug and Play state: %s\n", StateName(sim::pnp::State(pdo)));
  if (h != simwin::INVALID_HANDLE_VALUE) {
    simwin::ProcessScope scope(app);
    DeviceParameters dp{};
    DWORD n = 0;
    if (!simwin::DeviceIoControl(h, IOCTL_GET_DEVICE_PARAMETERS, nullptr, 0, &dp, sizeof dp, &n, nullptr))
      printf("  a request on the open handle: 0x%08X %s\n", unsigned(simwin::GetLastError()),
             StatusName(simwin::GetLastError()));
    simwin::CloseHandle(h);
    printf("  the application closes its handle\n");
  }
  sim::pnp::Settle();
  sim::usb::Bus::Get().Settle();
  printf("  Plug and Play state: %s\n", StateName(sim::pnp::State(pdo)));
  PrintNames("names and interfaces left");
  printf("  driver pool still allocated: %llu blocks\n", (unsigned long long)sim::PoolBlocksOutstanding());

  // A second device whose key cannot be opened: AddDevice fails and says why.
  printf("\na second device whose hardware key cannot be opened\n");
  const std::u16string key2 = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_04B4&PID_1004\\2";
  sim::registry::CreateKey(key2);
  sim::registry::FailOpen(key2, STATUS_ACCESS_DENIED);
  sim::usb::PlugOptions plug2;
  plug2.registryKey = key2;
  PDEVICE_OBJECT pdo2 = sim::usb::Bus::Get().Plug(sim::usb::MakeTestDevice().model, driver, plug2);
  printf("  Plug and Play state: %s\n", StateName(sim::pnp::State(pdo2)));
  sim::usb::Bus::Get().Unplug(pdo2);
  sim::pnp::Settle();

  printf("\nevent log:\n");
  for (auto &e : sim::EventLog())
    printf("  [0x%08X] %s\n", e.messageId, e.strings.empty() ? "" : sim::Narrow(e.strings[0]).c_str());
  sim::usb::Bus::Get().Settle();
  return 0;
}
