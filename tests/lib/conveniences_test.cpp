// The library's conveniences: requests from their setup packet, whole configurations by value,
// the speed, and the descriptors of USB 3 (interface associations, companions, BOS).
#include <gtest/gtest.h>

#include "lib_fixture.h"

namespace {

using namespace xrtest;

// Each standard request reaches the device through the driver's own code for it, with the
// direction and recipient of bmRequestType; what the driver must do itself is refused and
// changes nothing.
TEST_F(Lib, RequestsFromTheirSetupPacket) {
  xrusb::Device dev = xrusb::Device::Open(Plug());
  dev.SetConfiguration();
  EXPECT_EQ(dev.GetActiveConfiguration().interfaces.size(), 3u);
  EXPECT_EQ(dev.GetSpeed(), xrusb::Speed::High);
  struct Case {
    const char *what;
    uint8_t type, request;
    uint16_t value, index, length;
    int32_t status;  // 0: moves 'length' bytes
    std::vector<uint8_t> head;
  } cases[] = {
      {"device descriptor", 0x80, 6, 0x0100, 0, 18, 0, {18, 1}},
      {"halt an endpoint", 0x02, 3, 0, td::kSourceIn, 0, 0, {}},
      {"its status", 0x82, 0, 0, td::kSourceIn, 2, 0, {1, 0}},
      {"clear the halt", 0x02, 1, 0, td::kSourceIn, 0, 0, {}},
      {"configuration", 0x80, 8, 0, 0, 1, 0, {1}},
      {"alternate setting", 0x81, 10, 0, 1, 1, 0, {0}},
      {"vendor register", 0xC0, td::kGetRegister, 0, 0, 2, 0, {0, 0}},
      {"SET_CONFIGURATION is the driver's", 0x00, 9, 2, 0, 0, ERR_INVALID_PARAMETER, {}},
      {"SET_INTERFACE is the driver's", 0x01, 11, 1, 1, 0, ERR_INVALID_PARAMETER, {}},
      {"GET_DESCRIPTOR is IN", 0x00, 6, 0x0100, 0, 18, ERR_INVALID_PARAMETER, {}},
      {"reserved request type", 0x60, 1, 0, 0, 0, ERR_INVALID_PARAMETER, {}},
      {"reserved recipient", 0x84, 0, 0, 0, 2, ERR_INVALID_PARAMETER, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> data(c.length, 0xEE);
    std::error_code ec;
    const size_t n = dev.ControlTransfer(c.type, c.request, c.value, c.index, data, ec);
    EXPECT_EQ(xrusb::StatusOf(ec), c.status) << ec.message();
    EXPECT_EQ(n, c.status ? 0 : c.length);
    EXPECT_TRUE(std::equal(c.head.begin(), c.head.end(), data.begin()));
  }
  EXPECT_EQ(dev.GetConfiguration(), 1);

  // By bConfigurationValue: configuration 2 is the second descriptor; a value no descriptor has
  // is refused before the device is asked.
  dev.Unconfigure();
  dev.SetConfigurationByValue(2);
  EXPECT_NE(dev.GetActiveConfiguration().FindPipe(td::kConfig2LoopbackIn), nullptr);
  dev.Unconfigure();
  std::error_code ec;
  dev.SetConfigurationByValue(9, {}, ec);
  EXPECT_EQ(xrusb::StatusOf(ec), ERR_INVALID_PARAMETER);
  EXPECT_FALSE(dev.GetActiveConfiguration().Configured());
  dev.GetBosDescriptor(ec);  // a USB 2.0 device has none: it stalls
  EXPECT_EQ(ec, xrusb::errc::stall) << ec.message();
}

// An association before the interfaces it groups belongs to the configuration, a companion to
// its endpoint; a BOS whose capability overruns it is cut there.
TEST(LibDescriptors, AssociationsCompanionsAndBos) {
  const std::vector<uint8_t> block{9, 2, 39, 0, 1, 1, 0, 0x80, 50,  8, 11, 0, 2, 0x0E, 1, 0, 4,
                                   9, 4, 0, 0, 1, 0xFF, 0, 0, 0,     7, 5, 0x81, 2, 0, 4, 0,
                                   6, 48, 15, 2, 0, 0};
  std::error_code ec;
  const std::optional<xrusb::ConfigurationDescriptor> c = xrusb::ParseConfiguration(block, ec);
  ASSERT_TRUE(c);
  ASSERT_EQ(c->associations.size(), 1u);
  EXPECT_EQ(c->associations[0].interfaceCount, 2);
  EXPECT_EQ(c->associations[0].stringIndex, 4);
  EXPECT_TRUE(c->extra.empty());
  const std::optional<xrusb::SuperSpeedCompanion> s = c->interfaces.at(0).altSettings.at(0).endpoints.at(0).Companion();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->maxBurst, 15);
  EXPECT_EQ(s->attributes, 2);

  const std::vector<uint8_t> bos{5, 15, 22, 0, 2, 7, 16, 2, 2, 0, 0, 0, 10, 16, 3, 0, 0x0E, 0, 1, 10, 0xFF};
  const std::optional<xrusb::BosDescriptor> b = xrusb::ParseBos(bos, ec);
  ASSERT_TRUE(b);
  ASSERT_EQ(b->capabilities.size(), 1u);
  EXPECT_EQ(b->capabilities[0].type, 2);
  EXPECT_TRUE(b->truncated);
  EXPECT_FALSE(xrusb::ParseBos(std::vector<uint8_t>{5, 2, 5, 0, 0}, ec));
}

}  // namespace
