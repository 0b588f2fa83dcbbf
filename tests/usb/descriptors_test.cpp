// Descriptor builders and the parser the bus judges configuration blocks with.
#include "sim/usb/descriptors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <tuple>

#include "platform/platform.h"

namespace {

using sim::usb::ConfigBuilder;
using sim::usb::EndpointType;
using sim::usb::Parse;

TEST(Descriptors, ConfigurationRoundTripsThroughParse) {
  std::vector<uint8_t> block = ConfigBuilder(3, 0xA0, 100, 4)
                                   .Interface(0, 0, 0xFF, 1, 2, 5)
                                   .Endpoint(0x81, EndpointType::Bulk, 512)
                                   .Endpoint(0x02, EndpointType::Bulk, 512)
                                   .Raw({6, 0x21, 1, 2, 3, 4})
                                   .Interface(0, 1, 0xFF, 1, 2)
                                   .Endpoint(0x83, EndpointType::Isochronous, 1024, 1, 3)
                                   .Endpoint(0x04, EndpointType::Interrupt, 64, 8)
                                   .Raw({8, 0x0B, 1, 1, 3, 0, 0, 0})
                                   .Interface(1, 0, 0x03)
                                   .Build();
  sim::usb::ParsedConfiguration p = Parse(block);
  ASSERT_TRUE(p.valid) << p.reason;
  EXPECT_EQ(std::make_tuple(p.configurationValue, p.attributes, p.maxPower, p.stringIndex, p.totalLength),
            std::make_tuple(3, 0xA0, 100, 4, block.size()));
  ASSERT_EQ(p.interfaces.size(), 2u);  // three alternates, two interfaces
  const sim::usb::AlternateSetting *a0 = p.Find(0, 0), *a1 = p.Find(0, 1), *b0 = p.Find(1, 0);
  ASSERT_TRUE(a0 && a1 && b0);
  EXPECT_EQ(p.Find(1, 1), nullptr);
  EXPECT_EQ(std::make_tuple(a0->interfaceClass, a0->interfaceSubClass, a0->interfaceProtocol, a0->stringIndex),
            std::make_tuple(0xFF, 1, 2, 5));
  EXPECT_EQ(b0->interfaceClass, 0x03);
  EXPECT_EQ(USB_INTERFACE_DESCRIPTOR_TYPE, block[a1->offset + 1]) << "offsets point at the descriptors";

  auto fields = [](const sim::usb::EndpointInfo &e) {
    return std::make_tuple(e.address, e.type, e.maxPacketSize, e.transactions, e.interval, e.wMaxPacketSize);
  };
  using T = decltype(fields(a0->endpoints[0]));
  ASSERT_EQ(a0->endpoints.size(), 2u);
  ASSERT_EQ(a1->endpoints.size(), 2u);
  EXPECT_EQ(fields(a0->endpoints[1]), T(0x02, EndpointType::Bulk, 512, 1, 0, 512));
  EXPECT_EQ(fields(a1->endpoints[0]), T(0x83, EndpointType::Isochronous, 1024, 3, 1, 1024 | 2 << 11));
  EXPECT_EQ(fields(a1->endpoints[1]), T(0x04, EndpointType::Interrupt, 64, 1, 8, 64));

  // Bytes past wTotalLength (a device answering a longer request) are not looked at.
  block.insert(block.end(), {0, 0, 0xFF});
  EXPECT_TRUE(Parse(block).valid);
  // A configuration without interfaces is well formed.
  EXPECT_TRUE(Parse(ConfigBuilder().Build()).valid);
}

TEST(Descriptors, DeviceAndStringDescriptors) {
  std::vector<uint8_t> dev = sim::usb::DeviceDescriptor(
      {.bcdUSB = 0x0210, .deviceClass = 0xFF, .maxPacketSize0 = 9, .vendorId = 0x1234, .productId = 0xABCD,
       .bcdDevice = 0x0102, .manufacturerString = 1, .productString = 2, .serialString = 3, .numConfigurations = 2});
  ASSERT_EQ(dev.size(), sizeof(USB_DEVICE_DESCRIPTOR));
  // Byte for byte the platform's structure.
  const USB_DEVICE_DESCRIPTOR expected = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x0210, 0xFF, 0, 0, 9, 0x1234, 0xABCD, 0x0102,
                                          1, 2, 3, 2};
  EXPECT_EQ(memcmp(dev.data(), &expected, sizeof expected), 0);

  auto decode = [](const std::vector<uint8_t> &s) {
    std::u16string text;
    for (size_t i = 2; i + 1 < s.size(); i += 2) text += char16_t(s[i] | s[i + 1] << 8);
    return text;
  };
  // Strings: length and type, then UTF-16LE; cut at the 254 bytes a descriptor can hold.
  std::vector<uint8_t> s = sim::usb::StringDescriptor(u"xrusb \u00e9\u4e2d");
  EXPECT_EQ(std::make_tuple(s[0], s[1], decode(s)), std::make_tuple(uint8_t(s.size()), 3, u"xrusb \u00e9\u4e2d"));
  std::u16string longText(300, u'a');
  s = sim::usb::StringDescriptor(longText);
  EXPECT_EQ(std::make_tuple(s.size(), s[0], decode(s)), std::make_tuple(254u, 254, longText.substr(0, 126)));
  EXPECT_EQ(sim::usb::StringDescriptor(u""), (std::vector<uint8_t>{2, 3}));
  EXPECT_EQ(sim::usb::LanguageTable(), (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
}

TEST(Descriptors, MalformedBlocksAreRefusedWithTheirFault) {
  const std::vector<uint8_t> good = ConfigBuilder()
                                        .Interface(0, 0)
                                        .Endpoint(0x81, EndpointType::Bulk, 512)
                                        .Endpoint(0x02, EndpointType::Bulk, 512)
                                        .Interface(1, 0)
                                        .Endpoint(0x83, EndpointType::Interrupt, 8, 1)
                                        .Build();
  ASSERT_TRUE(Parse(good).valid);
  // Offsets in 'good': interface 0 at 9, its endpoints at 18 and 25, interface 1 at 32, its
  // endpoint at 41; 48 bytes in all.
  ASSERT_EQ(good.size(), 48u);
  auto total = [](std::vector<uint8_t> &v, size_t n) {
    v[2] = uint8_t(n);
    v[3] = uint8_t(n >> 8);
  };
  struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> edit;
    const char *reason;  // a part of the reason that names the fault
  };
  const std::vector<Case> cases = {
      {"shorter than a header", [](auto &v) { v.resize(8); }, "shorter than a configuration descriptor"},
      {"not a configuration", [](auto &v) { v[1] = 1; }, "type 1"},
      {"header bLength", [](auto &v) { v[0] = 8; }, "bLength 8"},
      {"total below header", [&](auto &v) { total(v, 8); }, "wTotalLength 8"},
      {"total past the bytes", [&](auto &v) { total(v, 49); }, "exceeds the 48 bytes"},
      {"bLength 0", [](auto &v) { v[25] = 0; }, "offset 25 has bLength 0"},
      {"bLength 1", [](auto &v) { v[25] = 1; }, "offset 25 has bLength 1"},
      {"bLength past the end", [](auto &v) { v[41] = 8; }, "runs past wTotalLength"},
      {"stray byte", [&](auto &v) { v.push_back(0); total(v, 49); }, "stray byte at offset 48"},
      {"truncated interface", [](auto &v) { v[32] = 8; v.erase(v.begin() + 40); v[2] = 47; }, "offset 32 has bLength 8"},
      {"truncated endpoint", [](auto &v) { v[41] = 6; v.pop_back(); v[2] = 47; }, "offset 41 has bLength 6"},
      {"more endpoints declared", [](auto &v) { v[13] = 3; }, "interface 0 alternate 0 declares 3 endpoints but has 2"},
      {"fewer endpoints declared", [](auto &v) { v[13] = 1; }, "declares 1 endpoints but has 2"},
      {"last interface short of endpoints", [](auto &v) { v[36] = 2; }, "interface 1 alternate 0 declares 2"},
      {"endpoint before interfaces", [](auto &v) { v.insert(v.begin() + 9, {7, 5, 0x85, 2, 0, 2, 0}); v[2] = 55; },
       "offset 9 precedes every interface"},
      {"bNumInterfaces", [](auto &v) { v[4] = 3; }, "bNumInterfaces is 3 but the block has 2"},
      {"same alternate twice", [](auto &v) { v[34] = 0; }, "interface 0 alternate 0 appears twice"},
      {"endpoint 0", [](auto &v) { v[20] = 0x80; }, "names endpoint 0"},
      {"endpoint twice", [](auto &v) { v[27] = 0x81; }, "has endpoint 0x81 twice"},
      {"reserved transactions", [](auto &v) { v[23] |= 0x18; }, "reserved transaction count"},
      {"second configuration", [](auto &v) { v[26] = 2; }, "second configuration descriptor at offset 25"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> v = good;
    c.edit(v);
    // An exact-size copy, so a read past the end is caught.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[v.size()]);
    memcpy(exact.get(), v.data(), v.size());
    sim::usb::ParsedConfiguration p = Parse({exact.get(), v.size()});
    EXPECT_FALSE(p.valid);
    EXPECT_NE(p.reason.find(c.reason), std::string::npos) << p.reason;
  }

  // What came before the fault is kept: interface 0 is whole when interface 1 is broken.
  std::vector<uint8_t> v = good;
  v[36] = 2;
  sim::usb::ParsedConfiguration p = Parse(v);
  ASSERT_FALSE(p.valid);
  ASSERT_NE(p.Find(0, 0), nullptr);
  EXPECT_EQ(p.Find(0, 0)->endpoints.size(), 2u);
  EXPECT_TRUE(Parse({}).reason.size() > 0);
}

}  // namespace
