// The main job on the simulated platform: the test device on a simulated high-speed bus, found,
// described, configured and driven by an application through the xrusb library, then pulled
// out with requests in flight.
#include <cstdio>

#include "lib/sim/machine_access.h"
#include "report.h"
#include "xrusb/sim.hpp"

namespace {

namespace td = sim::usb::test_device;

void PrintConfiguration(const xrusb::ActiveConfiguration &c) {
  for (const xrusb::ActiveInterface &i : c.interfaces)
    std::printf("  interface %u alt %u: %u pipe%s\n", i.number, i.altSetting, i.numPipes, i.numPipes == 1 ? "" : "s");
  for (const xrusb::ActivePipe &p : c.pipes)
    std::printf("    pipe 0x%02X %-11s max packet %4u, max transfer %u\n", p.endpoint, xrusb::ToString(p.type),
                p.maxPacketSize, p.maxTransferSize);
}

int Run(demo::Machine &m) {
  demo::Section("a test device is plugged into the simulated high-speed bus");
  xrusb::sim::TestDeviceOptions options;
  options.loopbackCapacity = 1 << 20;
  m.id = m.machine->PlugTestDevice(options, {.strings = {{"DriverDeviceBaseName", "XrUsb"}}});
  m.pdo = xrusb::sim::detail::MachineAccess::Pdo(*m.machine, m.id);
  m.device = xrusb::sim::detail::MachineAccess::TestDeviceOf(*m.machine, m.id);

  const std::vector<xrusb::DeviceEntry> found = xrusb::ListDevices(xrusb::kDefaultInterfaceGuid);
  std::printf("  devices of interface class %s: %zu\n", xrusb::kDefaultInterfaceGuid.ToString().c_str(),
              found.size());
  for (const xrusb::DeviceEntry &e : found) std::printf("    %s\n", e.Utf8Path().c_str());
  if (found.empty()) return 1;
  m.path = found.front().path;

  xrusb::Device device = xrusb::Device::Open(found.front());
  const xrusb::DriverVersion v = device.GetDriverVersion();
  std::printf("  opened; driver version %x.%02x, interface version %x.%02x\n", v.driverVersion >> 8,
              v.driverVersion & 0xFF, v.apiVersion >> 8, v.apiVersion & 0xFF);

  demo::Section("descriptors");
  demo::Describe(device);

  // The library selects interface 2, not named, in alternate setting 0: Windows selects them all.
  demo::Section("configuration 1 with interface 0 (bulk and interrupt) and interface 1 alt 1 (isochronous)");
  device.SetConfiguration(0, {{.interfaceNumber = 0, .altSetting = 0}, {.interfaceNumber = 1, .altSetting = 1}});
  PrintConfiguration(device.GetActiveConfiguration());

  demo::Section("bulk loopback");
  demo::BulkLoopback(m, 32 << 20, 64 << 10, 4);

  demo::Section("interrupt stream");
  demo::InterruptStream(m, std::chrono::milliseconds(200));

  demo::Section("isochronous streams");
  demo::IsoStream(m, std::chrono::milliseconds(300));

  demo::Section("cancel, abort, stall and reset");
  demo::AbortAndCancel(m);

  demo::SleepWithStream(m, device);

  demo::Section("unplugged with requests in flight");
  demo::UnplugInFlight(m, device);
  if (demo::FirmwareLoop(xrusb::sim::detail::MachineAccess::Driver(*m.machine)) != 0) return 1;
  return 0;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The bus moves data at its real payload rate, so that the figures mean something.
  xrusb::sim::Machine machine({.realTimeBus = true});
  demo::Machine m;
  m.machine = &machine;
  int result = 1;
  try {
    result = Run(m);
  } catch (const std::system_error &e) {
    std::printf("\nfailed: %s\n", e.what());
  }
  std::printf("\n");
  return result;
}
