// The FX development loop: a bare FX2 bootloader is plugged, the driver loads the firmware file
// into it at start, the controller leaves the bus and comes back as the device its firmware
// describes, which an application then finds, opens and configures.
#include <algorithm>

#include "report.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/files.h"
#include "sim/kernel/registry.h"
#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/fx_device.h"
#include "sim/usb/intel_hex.h"

namespace demo {

namespace {

namespace usb = sim::usb;

// The image: a jump at the reset vector, the descriptor block the firmware enumerates with, and
// a table in external memory.
std::string FirmwareImage(std::vector<uint8_t> &table) {
  usb::DeviceFields f;
  f.vendorId = usb::kFxVendorId;
  f.productId = usb::kFxLoadedProductId;
  f.manufacturerString = 1;
  f.productString = 2;
  const std::vector<uint8_t> block = usb::FxDescriptorBlock(
      usb::DeviceDescriptor(f),
      {usb::ConfigBuilder(1, 0x80, 100)
           .Interface(0, 0)
           .Endpoint(0x02, usb::EndpointType::Bulk, 512)
           .Endpoint(0x86, usb::EndpointType::Bulk, 512)
           .Build()},
      {{0, usb::LanguageTable()}, {1, usb::StringDescriptor(u"xrusb")}, {2, usb::StringDescriptor(u"FX2 sample firmware")}},
      /*highSpeed=*/true);
  table.resize(256);
  for (size_t i = 0; i < table.size(); ++i) table[i] = uint8_t(i * 7);
  return usb::WriteIntelHex({{0x0000, {0x02, 0x00, 0x80}}, {usb::kFxDescriptorAddress, block}, {0x2000, table}});
}

}  // namespace

int FirmwareLoop(PDRIVER_OBJECT driver) {
  Section("an FX2 bootloader is plugged; the driver loads its firmware at start");
  std::vector<uint8_t> table;
  const std::string hex = FirmwareImage(table);
  sim::files::PutFile("system32\\drivers\\xrusb_fx2.hex", {hex.begin(), hex.end()});
  std::printf("  \\SystemRoot\\system32\\drivers\\xrusb_fx2.hex: %zu bytes of Intel HEX\n", hex.size());
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_04B4&PID_8613\\1";
  sim::registry::SetString(key, u"DriverDeviceBaseName", u"XrFx");
  sim::registry::SetString(key, u"FxFwFile", u"xrusb_fx2.hex");
  usb::FxDevice fx = usb::MakeFxBootloader(usb::FxVariant::Fx2);
  usb::PlugOptions plug;
  plug.registryKey = key;
  sim::ClearEventLog();
  PDEVICE_OBJECT pdo = usb::Bus::Get().Plug(fx.model, driver, plug);
  usb::Bus::Get().Settle();

  const std::vector<usb::FxRequest> log = fx.state->Log();
  const auto count = [&](uint8_t request, bool cpucs) {
    return std::count_if(log.begin(), log.end(), [&](const usb::FxRequest &r) {
      return !r.in && r.request == request && (r.address == usb::kFx2Cpucs || r.address == usb::kFxCpucs) == cpucs;
    });
  };
  std::printf("  bootloader: %zd CPU reset writes, %zd records to external memory (0xA3), %zd to internal (0xA0)\n",
              count(usb::kFxInternalRequest, true), count(usb::kFxExternalRequest, false),
              count(usb::kFxInternalRequest, false));
  std::printf("  CPU released %u time%s; event log: %zu entr%s\n", fx.state->Releases(),
              fx.state->Releases() == 1 ? "" : "s", sim::EventLog().size(), sim::EventLog().size() == 1 ? "y" : "ies");
  for (const sim::LoggedEvent &e : sim::EventLog())
    std::printf("    %s\n", e.strings.empty() ? "" : sim::Narrow(e.strings[0]).c_str());
  const PDEVICE_OBJECT loaded = usb::Bus::Get().Current(pdo);
  if (loaded == pdo) return std::printf("  the device did not come back\n"), 1;

  Section("the controller came back as its firmware");
  int result = 1;
  {
    const std::vector<xrusb::DeviceEntry> found = xrusb::ListDevices(xrusb::kDefaultInterfaceGuid);
    for (const xrusb::DeviceEntry &e : found) std::printf("  %s\n", e.Utf8Path().c_str());
    if (found.size() == 1) {
      xrusb::Device device = xrusb::Device::Open(found.front());
      Describe(device);
      device.SetConfiguration(0, {{.interfaceNumber = 0, .altSetting = 0}});
      std::printf("  configured: %zu pipes\n", device.GetActiveConfiguration().pipes.size());
      // The firmware reads back the memory it was started from.
      std::vector<uint8_t> back(table.size());
      device.ControlIn({.request = usb::kFxReadImage, .value = 0x2000, .index = 1}, back);
      result = back == table ? 0 : 1;
      std::printf("  external memory at 0x2000 read back through the firmware: %s\n",
                  result == 0 ? "as loaded" : "DIFFERENT");
    }
  }
  usb::Bus::Get().Unplug(loaded);
  usb::Bus::Get().Settle();
  return result;
}

}  // namespace demo
