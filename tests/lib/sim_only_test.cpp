// What only the simulated world can set up: an installation's own interface class, and devices
// whose descriptors are damaged.
#include <gtest/gtest.h>

#include <random>

#include "lib_fixture.h"
#include "sim/kernel/registry.h"
#include "sim/usb/descriptors.h"

namespace {

using namespace xrtest;
using sim::usb::ConfigBuilder;
using sim::usb::EndpointType;

// A device whose installation names a class of its own is found under both.
TEST_F(Lib, AnInstallationsOwnClassFindsTheDevice) {
  const xrusb::Guid user = *xrusb::Guid::Parse("6F1C5A52-1C7E-4F1B-9A0E-3D2B7C8E9F10");
  Plug();
  EXPECT_TRUE(xrusb::ListDevices(user).empty());
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1209&PID_7355\\user";
  sim::registry::SetString(key, u"DriverUserInterfaceGuid", u"{6F1C5A52-1C7E-4F1B-9A0E-3D2B7C8E9F10}");
  sim::usb::PlugOptions options;
  options.registryKey = key;
  const std::u16string own = Plug(sim::usb::MakeTestDevice(), options);
  const std::vector<xrusb::DeviceEntry> list = xrusb::ListDevices(user);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(xrusb::Device::Open(list[0]).GetDeviceDescriptor().productId, 0x7355);
  EXPECT_NE(list[0].path, own) << "its own interface path";
  EXPECT_EQ(xrusb::ListDevices().size(), 2u);
}

// A device that claims more than it sends, or sends a descriptor that cannot be walked past:
// what precedes the damage is read, nothing outside the bytes received.
TEST_F(Lib, DamagedConfigurationsAreReadUpToTheDamage) {
  sim::usb::TestDevice device = sim::usb::MakeTestDevice();
  std::vector<uint8_t> claimsMore = ConfigBuilder(1)
                                        .Interface(0, 0)
                                        .Raw({4, 0x24, 1, 2})
                                        .Endpoint(0x81, EndpointType::Bulk, 512)
                                        .Raw({5, 0x25, 9, 9, 9})
                                        .Build();
  const uint16_t claimed = uint16_t(claimsMore.size() + 40);
  claimsMore[2] = uint8_t(claimed);
  claimsMore[3] = uint8_t(claimed >> 8);
  std::vector<uint8_t> zeroLength = ConfigBuilder(2).Interface(0, 0).Interface(1, 0).Build();
  zeroLength[9 + 9] = 0;  // the second interface descriptor's bLength
  device.model->configurations = {claimsMore, zeroLength};
  xrusb::Device dev = xrusb::Device::Open(Plug(device));

  const xrusb::ConfigurationDescriptor c = dev.GetConfigurationDescriptor(0);
  EXPECT_TRUE(c.truncated);
  EXPECT_EQ(c.totalLength, claimed);
  EXPECT_EQ(c.raw.size(), claimsMore.size());
  ASSERT_NE(c.Find(0, 0), nullptr);
  EXPECT_EQ(c.Find(0, 0)->extra, (std::vector<uint8_t>{4, 0x24, 1, 2}));
  ASSERT_EQ(c.Find(0, 0)->endpoints.size(), 1u);
  EXPECT_EQ(c.Find(0, 0)->endpoints[0].extra, (std::vector<uint8_t>{5, 0x25, 9, 9, 9}));

  const xrusb::ConfigurationDescriptor z = dev.GetConfigurationDescriptor(1);
  EXPECT_TRUE(z.malformed);
  EXPECT_EQ(z.interfaces.size(), 1u);

  // Every prefix and many random corruptions of a real block: the sanitizers watch the reads.
  const std::vector<uint8_t> good = device.model->configurations[0];
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> b(good.begin(), good.begin() + ptrdiff_t(round % (good.size() + 1)));
    if (round >= int(good.size()) + 1 && !b.empty())
      for (int k = 0; k < 4; ++k) b[random() % b.size()] = uint8_t(random() % 3 == 0 ? random() % 12 : random());
    std::error_code ec;
    if (std::optional<xrusb::ConfigurationDescriptor> p = xrusb::ParseConfiguration(b, ec))
      EXPECT_LE(p->raw.size(), b.size());
    else
      EXPECT_EQ(xrusb::StatusOf(ec), ERR_BAD_CONFIG_DESCRIPTOR);
  }
}

}  // namespace
