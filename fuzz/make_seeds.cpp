// Writes the seed corpus of the fuzz target: well-formed configuration blocks of the shapes
// the device models use, made by the descriptor builder. Usage: make_seeds <directory>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/seed_files.h"
#include "sim/usb/descriptors.h"

using sim::usb::ConfigBuilder;
using sim::usb::EndpointType;

int main(int argc, char **argv) {
  std::vector<std::vector<uint8_t>> seeds = {
      ConfigBuilder().Build(),
      ConfigBuilder().Interface(0, 0).Endpoint(0x81, EndpointType::Bulk, 512).Endpoint(0x01, EndpointType::Bulk, 512)
          .Build(),
      ConfigBuilder(1, 0xA0, 100)
          .Interface(0, 0).Endpoint(0x81, EndpointType::Bulk, 512).Endpoint(0x02, EndpointType::Bulk, 512)
          .Interface(0, 1).Endpoint(0x81, EndpointType::Bulk, 512).Endpoint(0x02, EndpointType::Bulk, 512)
          .Endpoint(0x83, EndpointType::Interrupt, 64, 4)
          .Interface(0, 2).Endpoint(0x84, EndpointType::Isochronous, 1024, 1, 3)
          .Endpoint(0x05, EndpointType::Isochronous, 1024, 1, 2)
          .Build(),
      // An audio-like function: association, class-specific descriptors between the standard ones.
      ConfigBuilder(2, 0xC0, 0)
          .Raw({8, 0x0B, 0, 2, 0x01, 0x00, 0x20, 0})
          .Interface(0, 0, 0x01, 0x01, 0x20).Raw({9, 0x24, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00})
          .Interface(1, 0, 0x01, 0x02, 0x20)
          .Interface(1, 1, 0x01, 0x02, 0x20).Raw({16, 0x24, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
          .Endpoint(0x01, EndpointType::Isochronous, 192, 4).Raw({8, 0x25, 0x01, 0, 0, 0, 0, 0})
          .Build(),
      // Super-speed endpoints with their companions.
      ConfigBuilder()
          .Interface(0, 0).Endpoint(0x81, EndpointType::Bulk, 1024).Raw({6, 0x30, 15, 0, 0, 0})
          .Endpoint(0x02, EndpointType::Bulk, 1024).Raw({6, 0x30, 15, 0, 0, 0})
          .Build(),
  };
  ConfigBuilder many(1, 0x80, 250);
  for (uint8_t i = 0; i < 8; ++i)
    many.Interface(i, 0, 0xFF, i, 0).Endpoint(uint8_t(0x81 + i), EndpointType::Interrupt, 8, 10);
  seeds.push_back(many.Build());

  return WriteSeedFiles(argc, argv, seeds);
}
