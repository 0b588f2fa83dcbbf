// What the device says about itself: its device descriptor, strings and configurations.
#include "report.h"

namespace demo {

namespace {

void PrintString(xrusb::Device &device, const char *label, uint8_t index) {
  if (index == 0) return;
  std::error_code ec;
  std::string text = device.GetStringUtf8(index, std::nullopt, ec);
  std::printf("  %-13s \"%s\"%s\n", label, ec ? "" : text.c_str(), ec ? Outcome(ec).c_str() : "");
}

void PrintEndpoint(const xrusb::EndpointDescriptor &e) {
  std::printf("        endpoint 0x%02X %-3s %-11s max packet %4u", e.address, e.IsIn() ? "IN" : "OUT",
              xrusb::ToString(e.Type()), e.MaxPacketSize());
  if (e.TransactionsPerMicroframe() > 1) std::printf(" x %u", e.TransactionsPerMicroframe());
  if (e.Type() == xrusb::TransferType::Interrupt || e.Type() == xrusb::TransferType::Isochronous)
    std::printf("  interval %u", e.interval);
  std::printf("\n");
}

}  // namespace

void Describe(xrusb::Device &device) {
  const xrusb::DeviceDescriptor d = device.GetDeviceDescriptor();
  std::printf("  USB %x.%02x  vendor 0x%04X  product 0x%04X  release %x.%02x  class %u  ep0 %u bytes\n",
              d.bcdUSB >> 8, d.bcdUSB & 0xFF, d.vendorId, d.productId, d.bcdDevice >> 8, d.bcdDevice & 0xFF,
              d.deviceClass, d.maxPacketSize0);
  PrintString(device, "manufacturer", d.manufacturerIndex);
  PrintString(device, "product", d.productIndex);
  PrintString(device, "serial number", d.serialNumberIndex);

  for (uint8_t index = 0; index < d.numConfigurations; ++index) {
    const xrusb::ConfigurationDescriptor c = device.GetConfigurationDescriptor(index);
    std::printf("  configuration %u (index %u): %u bytes, %s-powered%s, %u mA\n", c.configurationValue, index,
                c.totalLength, c.attributes & 0x40 ? "self" : "bus", c.attributes & 0x20 ? ", remote wake-up" : "",
                c.maxPower * 2u);
    for (const xrusb::Interface &i : c.interfaces)
      for (const xrusb::AltSetting &a : i.altSettings) {
        std::printf("    interface %u alt %u  class %02X/%02X/%02X, %zu endpoint%s\n", a.interfaceNumber,
                    a.alternateSetting, a.interfaceClass, a.interfaceSubClass, a.interfaceProtocol,
                    a.endpoints.size(), a.endpoints.size() == 1 ? "" : "s");
        for (const xrusb::EndpointDescriptor &e : a.endpoints) PrintEndpoint(e);
      }
  }
}

}  // namespace demo
