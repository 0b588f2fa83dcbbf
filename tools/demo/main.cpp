// The main job on the simulated platform: load the driver, let it read the settings of two
// simulated devices, and show what it read, what it wrote back and what it logged.
#include <cstdio>
#include <string>

#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/parameters.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/world.h"

namespace {

NTSTATUS BusEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

std::string Text(PCWSTR s) { return s ? sim::Narrow(s) : "(none)"; }

const char *PowerName(ULONG state) {
  static const char *names[] = {"?", "D0", "D1", "D2", "D3"};
  return state <= 4 ? names[state] : "?";
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
  printf("  configDescMinQuerySize  %u\n", p.configDescMinQuerySize);
  printf("  power on open / close   %s / %s\n", PowerName(p.powerStateOnOpen), PowerName(p.powerStateOnClose));
  printf("  min power used / unused %s / %s\n", PowerName(p.minPowerStateUsed), PowerName(p.minPowerStateUnused));
  printf("  configIndex             %u (interface %u, alternate setting %u, max transfer %u)\n", p.configIndex,
         p.interfaceNumber, p.alternateSetting, p.maxTransferSize);
  printf("  flags                   shortTransferOk=%d abortPipesOnPowerDown=%d suppressPnPRemoveDlg=%d\n",
         p.shortTransferOk, p.abortPipesOnPowerDown, p.suppressPnPRemoveDlg);
  printf("                          deferCancelledIrps=%d checkPidOnUnconfig=%d disableDefaultInterface=%d\n",
         p.deferCancelledIrps, p.checkPidOnUnconfig, p.disableDefaultInterface);
  printf("                          fxBootloaderCheck=%d fxExtRamBase=0x%X hideDevNodeWhenStarted=%d\n",
         p.fxBootloaderCheck, p.fxExtRamBase, p.hideDevNodeWhenStarted);
}

void PrintKey(const std::u16string &key) {
  printf("  registry %s now holds:", sim::Narrow(key).c_str());
  int n = 0;
  for (auto &name : sim::registry::ValueNames(key)) {
    auto v = sim::registry::GetValue(key, name);
    printf("%s %s", n++ % 4 ? "," : "\n   ", sim::Narrow(name).c_str());
    if (v && v->type == REG_DWORD && v->data.size() == 4) printf("=%u", v->data[0] | v->data[1] << 8 | v->data[2] << 16 | unsigned(v->data[3]) << 24);
  }
  printf("\n");
}

}  // namespace

int main() {
  sim::World world;
  PDRIVER_OBJECT bus = sim::LoadDriver(BusEntry, u"\\Driver\\simbus");
  PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
  printf("xrusb loaded: system version %u.%u, non-paged pool type %s\n", OsVersion.dwMajorVersion,
         OsVersion.dwMinorVersion,
         OsVersion.dwMajorVersion > 6 || (OsVersion.dwMajorVersion == 6 && OsVersion.dwMinorVersion >= 2)
             ? "NonPagedPoolNx"
             : "NonPagedPool");

  // Device 1: an installation that set a few values, one of them out of range.
  PDEVICE_OBJECT pdo1 = nullptr, pdo2 = nullptr;
  IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo1);
  IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo2);
  const std::u16string key1 = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_04B4&PID_1004\\1";
  const std::u16string key2 = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_04B4&PID_1004\\2";
  sim::registry::SetDeviceKey(pdo1, key1);
  sim::registry::SetString(key1, u"DriverDeviceBaseName", u"XrUsb");
  sim::registry::SetString(key1, u"DriverUserInterfaceGuid", u"{6F1C5A52-1C7E-4F1B-9A0E-3D2B7C8E9F10}");
  sim::registry::SetDword(key1, u"MaxIsoPackets", 5000);
  sim::registry::SetDword(key1, u"PowerStateOnClose", 3);
  sim::registry::SetDword(key1, u"ConfigIndex", 0);

  printf("\ndevice 1: reading its hardware key\n");
  DriverParameters parameters{};
  NTSTATUS status = ReadParameters(driver, pdo1, &parameters);
  printf("  ReadParameters -> 0x%08X\n", unsigned(status));
  PrintParameters(parameters);
  PrintKey(key1);
  FreeParameterStrings(&parameters);

  // Device 2: its key cannot be opened; AddDevice fails and says why in the event log.
  sim::registry::SetDeviceKey(pdo2, key2);
  sim::registry::FailOpen(key2, STATUS_ACCESS_DENIED);
  printf("\ndevice 2: its key cannot be opened\n");
  status = driver->DriverExtension->AddDevice(driver, pdo2);
  printf("  AddDevice -> 0x%08X\n", unsigned(status));

  printf("\nevent log:\n");
  for (auto &e : sim::EventLog())
    printf("  [0x%08X] %s (entry of %u bytes)\n", e.messageId, e.strings.empty() ? "" : sim::Narrow(e.strings[0]).c_str(),
           e.entrySize);

  IoDeleteDevice(pdo1);
  IoDeleteDevice(pdo2);
  sim::UnloadDriver(driver);
  sim::UnloadDriver(bus);
  return 0;
}
