// Lists the xrusb devices with their identities, strings and configurations.
#include <cstdio>

#include "xrusb/xrusb.hpp"

int main() {
  std::error_code ec;
  const std::vector<xrusb::DeviceEntry> devices =
      xrusb::ListDevices(xrusb::kDefaultInterfaceGuid, xrusb::ListFlags::None, ec);
  if (ec) {
    std::printf("enumeration failed: %s\n", ec.message().c_str());
    return 1;
  }
  if (devices.empty()) std::printf("no xrusb device present\n");
  for (const xrusb::DeviceEntry &e : devices) {
    std::printf("%s\n", e.Utf8Path().c_str());
    xrusb::Device dev = xrusb::Device::Open(std::u16string_view(e.path), ec);
    if (ec) {
      std::printf("  cannot open: %s\n", ec.message().c_str());
      continue;
    }
    const xrusb::DeviceDescriptor d = dev.GetDeviceDescriptor(ec);
    if (ec) {
      std::printf("  device descriptor: %s\n", ec.message().c_str());
      continue;
    }
    std::printf("  %04X:%04X USB %X.%02X, %u configuration(s)\n", d.vendorId, d.productId, d.bcdUSB >> 8,
                d.bcdUSB & 0xFF, d.numConfigurations);
    if (d.productIndex) std::printf("  product: %s\n", dev.GetStringUtf8(d.productIndex, std::nullopt, ec).c_str());
    for (uint8_t i = 0; i < d.numConfigurations; ++i) {
      const xrusb::ConfigurationDescriptor c = dev.GetConfigurationDescriptor(i, ec);
      if (ec) break;
      std::printf("  configuration %u: %zu interface(s)%s\n", c.configurationValue, c.interfaces.size(),
                  c.truncated || c.malformed ? " (damaged)" : "");
      for (const xrusb::Interface &in : c.interfaces)
        for (const xrusb::AltSetting &a : in.altSettings)
          for (const xrusb::EndpointDescriptor &ep : a.endpoints)
            std::printf("    interface %u alt %u: endpoint 0x%02X %s, %u bytes\n", a.interfaceNumber,
                        a.alternateSetting, ep.address, xrusb::ToString(ep.Type()), ep.MaxPacketSize());
    }
  }
  return 0;
}
