// list and describe: the devices, and every descriptor decoded as lsusb -v does it.
#include <cstdio>

#include "ctl.h"
#include "usb_ids.h"

namespace xrusbctl {
namespace {

std::string Named(const std::string &name) { return name.empty() ? "" : " " + name; }

std::string StringOf(xrusb::Device &d, uint8_t index) {
  if (!index) return {};
  std::error_code ec;
  std::string s = d.GetStringUtf8(index, std::nullopt, ec);
  return ec ? std::string() : s;
}

const char *EndpointTypeName(xrusb::TransferType t) {
  switch (t) {
    case xrusb::TransferType::Control: return "Control";
    case xrusb::TransferType::Isochronous: return "Isochronous";
    case xrusb::TransferType::Bulk: return "Bulk";
    case xrusb::TransferType::Interrupt: return "Interrupt";
  }
  return "?";
}

// Descriptors the decoder does not know, one per line, as hex.
void ExtraBytes(Context &c, std::span<const uint8_t> bytes, const char *indent, Json &out) {
  for (size_t pos = 0; pos + 2 <= bytes.size() && bytes[pos] >= 2; pos += bytes[pos]) {
    const size_t n = std::min<size_t>(bytes[pos], bytes.size() - pos);
    const std::string hex = Hex(bytes.subspan(pos, n));
    if (bytes[pos + 1] == xrusb::descriptor_type::kSuperSpeedEndpointCompanion) continue;  // decoded with its endpoint
    c.Text("%sDescriptor type 0x%02x, %zu bytes: %s\n", indent, bytes[pos + 1], n, hex.c_str());
    out.Push(hex);
  }
}

Json Endpoint(Context &c, const xrusb::EndpointDescriptor &e) {
  Json j;
  j["bEndpointAddress"] = unsigned(e.address);
  j["type"] = EndpointTypeName(e.Type());
  j["wMaxPacketSize"] = unsigned(e.wMaxPacketSize);
  j["bInterval"] = unsigned(e.interval);
  c.Text("      Endpoint Descriptor:\n");
  c.Text("        bEndpointAddress     0x%02x  EP %u %s\n", e.address, e.Number(), e.IsIn() ? "IN" : "OUT");
  c.Text("        bmAttributes            %3u\n", e.attributes);
  c.Text("          Transfer Type            %s\n", EndpointTypeName(e.Type()));
  c.Text("        wMaxPacketSize     0x%04x  %ux %u bytes\n", e.wMaxPacketSize, e.TransactionsPerMicroframe(),
         e.MaxPacketSize());
  c.Text("        bInterval               %3u\n", e.interval);
  if (std::optional<xrusb::SuperSpeedCompanion> s = e.Companion()) {
    c.Text("        SuperSpeed Endpoint Companion:\n");
    c.Text("          bMaxBurst               %3u\n", s->maxBurst);
    c.Text("          bmAttributes           0x%02x\n", s->attributes);
    c.Text("          wBytesPerInterval    %5u\n", s->bytesPerInterval);
    j["companion"]["bMaxBurst"] = unsigned(s->maxBurst);
    j["companion"]["bmAttributes"] = unsigned(s->attributes);
    j["companion"]["wBytesPerInterval"] = unsigned(s->bytesPerInterval);
  }
  Json extra = Json::Array();
  ExtraBytes(c, e.extra, "        ", extra);
  j["extra"] = std::move(extra);
  return j;
}

Json Configuration(Context &c, xrusb::Device &d, const xrusb::ConfigurationDescriptor &cfg) {
  Json j;
  j["bConfigurationValue"] = unsigned(cfg.configurationValue);
  j["wTotalLength"] = unsigned(cfg.totalLength);
  j["bmAttributes"] = unsigned(cfg.attributes);
  j["bMaxPower"] = unsigned(cfg.maxPower);
  c.Text("  Configuration Descriptor:\n");
  c.Text("    wTotalLength       0x%04x\n", cfg.totalLength);
  c.Text("    bNumInterfaces          %3u\n", cfg.numInterfaces);
  c.Text("    bConfigurationValue     %3u\n", cfg.configurationValue);
  c.Text("    iConfiguration          %3u %s\n", cfg.stringIndex, StringOf(d, cfg.stringIndex).c_str());
  c.Text("    bmAttributes           0x%02x\n", cfg.attributes);
  c.Text(cfg.SelfPowered() ? "      Self Powered\n" : "      (Bus Powered)\n");
  if (cfg.RemoteWakeup()) c.Text("      Remote Wakeup\n");
  c.Text("    MaxPower              %4umA\n", cfg.maxPower * 2u);
  Json extra = Json::Array();
  ExtraBytes(c, cfg.extra, "    ", extra);
  j["extra"] = std::move(extra);
  Json associations = Json::Array();
  for (const xrusb::InterfaceAssociation &a : cfg.associations) {
    c.Text("    Interface Association:\n");
    c.Text("      bFirstInterface         %3u\n", a.firstInterface);
    c.Text("      bInterfaceCount         %3u\n", a.interfaceCount);
    c.Text("      bFunctionClass          %3u%s\n", a.functionClass, Named(xrusbctl::ClassName(a.functionClass)).c_str());
    c.Text("      bFunctionSubClass       %3u\n", a.functionSubClass);
    c.Text("      bFunctionProtocol       %3u\n", a.functionProtocol);
    c.Text("      iFunction               %3u %s\n", a.stringIndex, StringOf(d, a.stringIndex).c_str());
    Json ja;
    ja["bFirstInterface"] = unsigned(a.firstInterface);
    ja["bInterfaceCount"] = unsigned(a.interfaceCount);
    ja["bFunctionClass"] = unsigned(a.functionClass);
    associations.Push(std::move(ja));
  }
  j["associations"] = std::move(associations);
  Json interfaces = Json::Array();
  for (const xrusb::Interface &i : cfg.interfaces)
    for (const xrusb::AltSetting &a : i.altSettings) {
      c.Text("    Interface Descriptor:\n");
      c.Text("      bInterfaceNumber        %3u\n", a.interfaceNumber);
      c.Text("      bAlternateSetting       %3u\n", a.alternateSetting);
      c.Text("      bNumEndpoints           %3u\n", a.numEndpoints);
      c.Text("      bInterfaceClass         %3u%s\n", a.interfaceClass, Named(ClassName(a.interfaceClass)).c_str());
      c.Text("      bInterfaceSubClass      %3u%s\n", a.interfaceSubClass,
             Named(SubClassName(a.interfaceClass, a.interfaceSubClass)).c_str());
      c.Text("      bInterfaceProtocol      %3u%s\n", a.interfaceProtocol,
             Named(ProtocolName(a.interfaceClass, a.interfaceSubClass, a.interfaceProtocol)).c_str());
      c.Text("      iInterface              %3u %s\n", a.stringIndex, StringOf(d, a.stringIndex).c_str());
      Json ji;
      ji["bInterfaceNumber"] = unsigned(a.interfaceNumber);
      ji["bAlternateSetting"] = unsigned(a.alternateSetting);
      ji["bInterfaceClass"] = unsigned(a.interfaceClass);
      Json ex = Json::Array();
      ExtraBytes(c, a.extra, "      ", ex);
      ji["extra"] = std::move(ex);
      Json endpoints = Json::Array();
      for (const xrusb::EndpointDescriptor &e : a.endpoints) endpoints.Push(Endpoint(c, e));
      ji["endpoints"] = std::move(endpoints);
      interfaces.Push(std::move(ji));
    }
  j["interfaces"] = std::move(interfaces);
  if (cfg.truncated || cfg.malformed) c.Text("    (%s)\n", cfg.truncated ? "truncated" : "malformed");
  return j;
}

const char *CapabilityName(uint8_t type) {
  switch (type) {
    case 2: return "USB 2.0 Extension";
    case 3: return "SuperSpeed USB";
    case 4: return "Container ID";
    case 5: return "Platform";
    case 10: return "SuperSpeedPlus USB";
    default: return "Unknown";
  }
}

Json Bos(Context &c, xrusb::Device &d) {
  std::error_code ec;
  const xrusb::BosDescriptor bos = d.GetBosDescriptor(ec);
  if (ec) return {};
  Json j;
  j["wTotalLength"] = unsigned(bos.totalLength);
  Json caps = Json::Array();
  c.Text("Binary Object Store Descriptor:\n");
  c.Text("  wTotalLength       0x%04x\n", bos.totalLength);
  c.Text("  bNumDeviceCaps          %3zu\n", bos.capabilities.size());
  for (const xrusb::DeviceCapability &cap : bos.capabilities) {
    const std::string hex = Hex(cap.data);
    c.Text("  %s Device Capability (type %u): %s\n", CapabilityName(cap.type), cap.type, hex.c_str());
    Json jc;
    jc["type"] = unsigned(cap.type);
    jc["name"] = CapabilityName(cap.type);
    jc["data"] = hex;
    caps.Push(std::move(jc));
  }
  j["capabilities"] = std::move(caps);
  return j;
}

Json Describe(Context &c, xrusb::Device &d) {
  const xrusb::DeviceDescriptor dd = d.GetDeviceDescriptor();
  Json j;
  j["idVendor"] = unsigned(dd.vendorId);
  j["idProduct"] = unsigned(dd.productId);
  j["bcdUSB"] = unsigned(dd.bcdUSB);
  j["bDeviceClass"] = unsigned(dd.deviceClass);
  j["manufacturer"] = StringOf(d, dd.manufacturerIndex);
  j["product"] = StringOf(d, dd.productIndex);
  j["serial"] = StringOf(d, dd.serialNumberIndex);
  c.Text("Device Descriptor:\n");
  c.Text("  bcdUSB               %2x.%02x\n", dd.bcdUSB >> 8, dd.bcdUSB & 0xFF);
  c.Text("  bDeviceClass            %3u%s\n", dd.deviceClass, Named(ClassName(dd.deviceClass)).c_str());
  c.Text("  bDeviceSubClass         %3u%s\n", dd.deviceSubClass, Named(SubClassName(dd.deviceClass, dd.deviceSubClass)).c_str());
  c.Text("  bDeviceProtocol         %3u%s\n", dd.deviceProtocol,
         Named(ProtocolName(dd.deviceClass, dd.deviceSubClass, dd.deviceProtocol)).c_str());
  c.Text("  bMaxPacketSize0         %3u\n", dd.maxPacketSize0);
  c.Text("  idVendor           0x%04x%s\n", dd.vendorId, Named(VendorName(dd.vendorId)).c_str());
  c.Text("  idProduct          0x%04x%s\n", dd.productId, Named(ProductName(dd.vendorId, dd.productId)).c_str());
  c.Text("  bcdDevice            %2x.%02x\n", dd.bcdDevice >> 8, dd.bcdDevice & 0xFF);
  c.Text("  iManufacturer           %3u %s\n", dd.manufacturerIndex, StringOf(d, dd.manufacturerIndex).c_str());
  c.Text("  iProduct                %3u %s\n", dd.productIndex, StringOf(d, dd.productIndex).c_str());
  c.Text("  iSerial                 %3u %s\n", dd.serialNumberIndex, StringOf(d, dd.serialNumberIndex).c_str());
  c.Text("  bNumConfigurations      %3u\n", dd.numConfigurations);
  Json configurations = Json::Array();
  for (uint8_t i = 0; i < dd.numConfigurations; ++i) {
    std::error_code ec;
    const xrusb::ConfigurationDescriptor cfg = d.GetConfigurationDescriptor(i, ec);
    if (ec) {
      c.Text("  Configuration %u: %s\n", i, ec.message().c_str());
      continue;
    }
    configurations.Push(Configuration(c, d, cfg));
  }
  j["configurations"] = std::move(configurations);
  if (dd.bcdUSB >= 0x0201) j["bos"] = Bos(c, d);
  return j;
}

int List(Context &c, Args &a) {
  const bool verbose = a.Flag("--verbose", "-v");
  if (a.Count()) throw UsageError("list takes no arguments");
  const std::vector<xrusb::DeviceEntry> all = c.Devices();
  Json list = Json::Array();
  for (size_t i = 0; i < all.size(); ++i) {
    const xrusb::DeviceEntry &e = all[i];
    std::error_code ec;
    xrusb::Device d = xrusb::Device::Open(std::u16string_view(e.path), ec);
    Json j;
    j["index"] = unsigned(i);
    j["path"] = e.Utf8Path();
    if (ec || !e.descriptor) {
      c.Text("%zu  %s  (%s)\n", i, e.Utf8Path().c_str(), ec ? ec.message().c_str() : "no descriptor");
      j["error"] = ec ? ec.message() : "no descriptor";
      list.Push(std::move(j));
      continue;
    }
    const xrusb::DeviceDescriptor &dd = *e.descriptor;
    const std::string vendor = StringOf(d, dd.manufacturerIndex), product = StringOf(d, dd.productIndex);
    const char *speed = SpeedName(d.GetSpeed(ec));
    j["vendorId"] = unsigned(dd.vendorId);
    j["productId"] = unsigned(dd.productId);
    j["speed"] = speed;
    j["manufacturer"] = vendor;
    j["product"] = product;
    c.Text("%zu  %s  %04x:%04x  %s  %s %s\n", i, e.Utf8Path().c_str(), dd.vendorId, dd.productId, speed,
           vendor.empty() ? VendorName(dd.vendorId).c_str() : vendor.c_str(),
           product.empty() ? ProductName(dd.vendorId, dd.productId).c_str() : product.c_str());
    if (verbose) {
      j["descriptors"] = Describe(c, d);
      c.Text("\n");
    }
    list.Push(std::move(j));
  }
  if (all.empty()) c.Text("no xrusb device is present\n");
  c.result["devices"] = std::move(list);
  return kOk;
}

int DescribeCommand(Context &c, Args &a) {
  if (a.Count()) throw UsageError("describe takes no arguments");
  xrusb::Device &d = c.Open();
  c.result = Describe(c, d);
  return kOk;
}

}  // namespace

const Command kDescribeCommands[] = {
    {"list", "[-v]", "the devices: index, path, VID:PID, speed, names (-v: every descriptor)", List},
    {"describe", "", "every descriptor of the device, decoded", DescribeCommand},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace xrusbctl
