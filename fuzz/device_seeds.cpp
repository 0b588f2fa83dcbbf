// Writes the device fuzzer's seeds: the test device, an FX2 bootloader with a small firmware, and
// shapes of the tests' devices, each with a script that configures it and moves data, and
// answers that are good, then odd. Usage: device_fuzz_seeds <directory>
#include <cstdio>
#include <string>
#include <vector>

#include "device_input.h"
#include "seed_files.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/fx_device.h"
#include "sim/usb/test_device.h"

using namespace xrusb_fuzz;
using sim::usb::ConfigBuilder;
using sim::usb::EndpointType;

namespace {

// Registry value index by name.
uint8_t Value(const char16_t *name) {
  for (size_t i = 0; i < kRegistryCount; ++i)
    if (std::u16string_view(kRegistryNumbers[i]) == name) return uint8_t(i);
  return 0;
}

// Opens two handles, selects configuration 0 with 'interfaces' (alternate 0, 4096-byte
// transfers), binds each handle to a pipe and moves data on it, then the rest of the calls.
std::vector<uint8_t> Script(uint8_t interfaces, std::vector<uint8_t> more = {}) {
  std::vector<uint8_t> s{kOpOpen, kOpOpen, kOpSetConfiguration, 0, uint8_t(interfaces - 1)};
  for (uint8_t i = 0; i < interfaces; ++i) s.insert(s.end(), {i, 0, 0});
  s.insert(s.end(), {kOpBind, 0, 0, kOpBind, 1, 1, kOpRead, 0, 5, kOpWrite, 1, 5, kOpRead, 0, 9,
                     kOpPipeControl, 0, 1, 1, 0xC0, 0x61, 0, 0, 0, 0, 64, 0, 4,
                     kOpVendor, 1, 1, 0, 0x5C, 0, 0, 0, 0, 16, 0, 0,
                     kOpGetDescriptor, 2, 0, 0, 1, kOpReap, kOpAdvance, 10});
  s.insert(s.end(), more.begin(), more.end());
  return s;
}

DeviceInput FromModel(const sim::usb::DeviceModel &m, uint8_t flags) {
  DeviceInput in;
  in.flags = flags;
  in.deviceDescriptor = m.deviceDescriptor;
  in.configurations = m.configurations;
  for (const auto &[index, s] : m.strings) in.strings.push_back({index, s});
  return in;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<DeviceInput> seeds;

  // The test device, configured by an application: bulk, interrupt, the isochronous alternate
  // setting and the second control pipe; all answers good, then a run of odd ones.
  const sim::usb::TestDevice test = sim::usb::MakeTestDevice();
  DeviceInput plain = FromModel(*test.model, 1);
  // Pipe 6 is the second control endpoint; after SET_INTERFACE 1/1, pipes 6 and 7 are isochronous.
  plain.script = Script(3, {kOpOpen, kOpBind, 2, 6, kOpPipeControl, 2, 1, 1, 0xC2, 0x62, 0, 0, 7, 0, 4, 0, 4,
                            kOpPipeControl, 2, 0, 1, 0x42, 0x60, 0, 0, 7, 0, 8, 0, 4, kOpStatistics, 0, 50, 1,
                            kOpSetInterface, 0, 1, 1, 0, kOpUnbind, 2, kOpBind, 2, 7, kOpIso, 2, 1, 8, 0, 5, 1, kOpIso, 2, 0, 8,
                            0, 4, 0, kOpAbortPipe, 2, kOpResetPipe, 0, kOpUnconfigure, 0, kOpClose, 0});
  seeds.push_back(plain);
  DeviceInput odd = plain;
  for (uint8_t a = 0; a < kAnswerCount; ++a)
    if (a != kAnswerVanish) odd.answers.insert(odd.answers.end(), {0, a, 3, 0});
  seeds.push_back(odd);

  // Configured at start from the registry (interface 1, alternate 1), with a short request
  // time-out, full speed, then unplugged while a read waits.
  DeviceInput started = FromModel(*test.model, 0);
  started.registry = {{Value(u"ConfigIndex"), 0}, {Value(u"Interface"), 1}, {Value(u"AlternateSetting"), 1},
                      {Value(u"RequestTimeout"), 50}, {Value(u"MaxTransferSize"), 1024},
                      {Value(u"EnableRemoteWakeup"), 1}};
  started.script = {kOpOpen, kOpBind, 0, 0, kOpRead, 0, 6, kOpAdvance, 50, kOpUnplug, kOpReap};
  started.answers = {0, 0, 0, 0, kAnswerNak, kAnswerNak, kAnswerShort, 3};
  seeds.push_back(started);

  // A device that lies about its configuration: the header read first claims fewer bytes than
  // the whole, and the whole has a wrong bNumEndpoints.
  {
    DeviceInput liar = plain;
    std::vector<uint8_t> &c = liar.configurations[0];
    c[c[0] + 4] = uint8_t(c[c[0] + 4] + 1);
    liar.answers = {3, 40, 0, 0, 0, 0};
    liar.script = Script(3);
    seeds.push_back(liar);
  }

  // Shapes of the tests' other devices: full-speed interrupt only; high-bandwidth isochronous
  // alternates; eight interfaces; a block with class-specific descriptors in between.
  {
    DeviceInput in;
    in.flags = 0;
    in.configurations = {ConfigBuilder(1, 0xA0, 50)
                             .Interface(0, 0)
                             .Endpoint(0x81, EndpointType::Interrupt, 8, 10)
                             .Endpoint(0x02, EndpointType::Interrupt, 64, 1)
                             .Build()};
    in.script = Script(1, {kOpCyclePort, kOpOpen, kOpRead, 2, 3});
    seeds.push_back(in);
  }
  {
    DeviceInput in;
    in.flags = 1;
    in.configurations = {ConfigBuilder()
                             .Interface(0, 0)
                             .Interface(0, 1)
                             .Endpoint(0x81, EndpointType::Isochronous, 1024, 1, 3)
                             .Endpoint(0x02, EndpointType::Isochronous, 1024, 1, 2)
                             .Interface(0, 2)
                             .Endpoint(0x81, EndpointType::Isochronous, 0x7FF, 4)
                             .Build()};
    in.script = Script(1, {kOpSetInterface, 0, 0, 1, 0, kOpBind, 0, 0, kOpIso, 0, 1, 16, 0, 7, 0, kOpSetInterface, 0,
                           0, 2, 0, kOpReap});
    seeds.push_back(in);
  }
  {
    ConfigBuilder many(1, 0x80, 250);
    for (uint8_t i = 0; i < 8; ++i) many.Interface(i, 0, 0xFF, i, 0).Endpoint(uint8_t(0x81 + i), EndpointType::Bulk, 512);
    DeviceInput in;
    in.flags = 1;
    in.configurations = {many.Build(), ConfigBuilder(2).Interface(0, 0).Build()};
    in.registry = {{Value(u"ConfigDescMinQuerySize"), 4096}};
    in.script = Script(3, {kOpSetConfiguration, 1, 0, 0, 0, 0, kOpStoreDescriptor, 9, 0, 0});
    seeds.push_back(in);
  }
  {
    DeviceInput in;
    in.flags = 2;
    in.configurations = {ConfigBuilder(1, 0xC0, 0)
                             .Raw({8, 0x0B, 0, 2, 0x01, 0x00, 0x20, 0})
                             .Interface(0, 0, 0x01, 0x01, 0x20)
                             .Raw({9, 0x24, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00})
                             .Interface(1, 0, 0x01, 0x02, 0x20)
                             .Endpoint(0x81, EndpointType::Bulk, 1024)
                             .Raw({6, 0x30, 15, 0, 0, 0})
                             .Endpoint(0x02, EndpointType::Bulk, 1024)
                             .Raw({6, 0x30, 15, 0, 0, 0})
                             .Build()};
    in.script = Script(2);
    seeds.push_back(in);
  }

  // An FX2 bootloader whose firmware describes a small bulk device: loaded at start, then the
  // device it became is configured and used. And one whose loader requests stall or time out.
  {
    sim::usb::DeviceFields f;
    f.vendorId = 0x04B4;
    f.productId = 0x1005;
    const std::vector<uint8_t> block = sim::usb::FxDescriptorBlock(
        sim::usb::DeviceDescriptor(f),
        {ConfigBuilder().Interface(0, 0).Endpoint(0x81, EndpointType::Bulk, 512).Endpoint(0x02, EndpointType::Bulk, 512).Build()},
        {}, true);
    DeviceInput fx;
    fx.flags = 1 | kFlagFx;
    fx.registry = {{Value(u"FxBootloaderCheck"), 1}};
    const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> segments = {
        {0x0000, {0x02, 0x00, 0x40}}, {0x1000, block}, {0x2000, {0x12, 0x34}}};
    for (const auto &[address, bytes] : segments) {
      fx.firmware.push_back(uint8_t(address));
      fx.firmware.push_back(uint8_t(address >> 8));
      fx.firmware.push_back(uint8_t(bytes.size()));
      fx.firmware.insert(fx.firmware.end(), bytes.begin(), bytes.end());
    }
    fx.script = Script(1);
    seeds.push_back(fx);
    fx.registry = {{Value(u"FxBootloaderCheck"), 1}, {Value(u"RequestTimeout"), 200}};
    fx.answers = {0, 0, 3, kAnswerStall, 0, 0, 3, kAnswerNak, 0, 3, kAnswerShort, 1};
    seeds.push_back(fx);
  }

  std::vector<std::vector<uint8_t>> files;
  for (const DeviceInput &seed : seeds) files.push_back(seed.Encode());
  return WriteSeedFiles(argc, argv, files);
}
