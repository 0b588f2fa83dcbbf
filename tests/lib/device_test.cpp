// Enumeration, descriptors, configuration and the error codes, through the library.
#include <gtest/gtest.h>

#include "lib_fixture.h"
#include "xrusb/ioctl.h"

namespace {

using namespace xrtest;

TEST_F(Lib, EnumerationFollowsPlugAndUnplug) {
  EXPECT_TRUE(xrusb::ListDevices().empty());
  const std::u16string first = Plug();
  const Port firstPort = port_;
  const std::u16string second = Plug(0x4242);

  std::vector<xrusb::DeviceEntry> list =
      xrusb::ListDevices(xrusb::kDefaultInterfaceGuid, xrusb::ListFlags::ReadDescriptor);
  ASSERT_EQ(list.size(), 2u);
  for (const xrusb::DeviceEntry &e : list) {
    ASSERT_TRUE(e.descriptor) << e.Utf8Path();
    EXPECT_EQ(e.vendorId, 0x1209);
    EXPECT_EQ(e.productId, e.path == second ? 0x4242 : 0x7355);
  }
  Unplug(firstPort);
  Settle();
  list = xrusb::ListDevices();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, second);
  std::error_code ec;
  EXPECT_FALSE(xrusb::Device::Open(first, ec));
  EXPECT_EQ(ec, xrusb::errc::not_connected) << ec.message();
}

TEST_F(Lib, DescriptorsOfTheTestDevice) {
  xrusb::Device dev = xrusb::Device::Open(Plug());
  const xrusb::DeviceDescriptor d = dev.GetDeviceDescriptor();
  EXPECT_EQ(d.vendorId, 0x1209);
  EXPECT_EQ(d.productId, 0x7355);
  EXPECT_EQ(d.numConfigurations, 2);
  EXPECT_EQ(dev.GetLanguages(), std::vector<uint16_t>{0x0409});
  EXPECT_EQ(dev.GetStringUtf8(d.productIndex), "xrusb test device");
  EXPECT_EQ(dev.GetString(d.serialNumberIndex, 0x0409), u"0001");

  const xrusb::ConfigurationDescriptor c = dev.GetConfigurationDescriptor(0);
  EXPECT_FALSE(c.truncated || c.malformed);
  EXPECT_EQ(c.raw.size(), c.totalLength);
  EXPECT_TRUE(c.RemoteWakeup());
  ASSERT_EQ(c.interfaces.size(), 3u);
  EXPECT_EQ(c.FindInterface(1)->altSettings.size(), 4u);
  ASSERT_NE(c.Find(0, 0), nullptr);
  EXPECT_EQ(c.Find(0, 0)->endpoints.size(), 6u);
  const xrusb::EndpointDescriptor *iso = c.Find(1, 3)->FindEndpoint(0x86);
  ASSERT_NE(iso, nullptr);
  EXPECT_EQ(iso->Type(), xrusb::TransferType::Isochronous);
  EXPECT_EQ(iso->MaxPacketSize(), 1024);
  EXPECT_EQ(iso->TransactionsPerMicroframe(), 3u);
  EXPECT_EQ(dev.GetConfigurationDescriptor(1).configurationValue, 2);
}

TEST_F(Lib, ConfigurationFromSelections) {
  xrusb::Device dev = xrusb::Device::Open(Plug());
  EXPECT_FALSE(dev.GetActiveConfiguration().Configured());
  // Interface 2 is not named: selected in alternate setting 0, as Windows wants all of them.
  dev.SetConfiguration(0, {{1, 1, 4096}, {0, 0, 65536}});
  xrusb::ActiveConfiguration a = dev.GetActiveConfiguration();
  ASSERT_EQ(a.interfaces.size(), 3u);
  EXPECT_EQ(a.interfaces[0].altSetting, 1);
  EXPECT_EQ(a.interfaces[2].number, 2);
  EXPECT_EQ(a.FindPipe(0x07)->maxTransferSize, xrusb::kDefaultMaxTransferSize);
  ASSERT_NE(a.FindPipe(0x86), nullptr);
  EXPECT_EQ(a.FindPipe(0x86)->type, xrusb::TransferType::Isochronous);
  EXPECT_EQ(a.FindPipe(0x86)->maxPacketSize, 256);
  EXPECT_EQ(a.FindPipe(0x86)->maxTransferSize, 4096u);
  EXPECT_EQ(a.FindPipe(0x81)->maxTransferSize, 65536u);
  EXPECT_EQ(dev.GetConfiguration(), 1);

  dev.SetInterface({1, 2, 8192});
  EXPECT_EQ(dev.GetInterface(1), 2);
  EXPECT_EQ(dev.GetActiveConfiguration().FindPipe(0x86)->maxPacketSize, 1024);

  // Refusals leave the configuration as it was.
  std::error_code ec;
  dev.SetConfiguration(1, {{7, 0}}, ec);
  EXPECT_EQ(xrusb::StatusOf(ec), ERR_INTERFACE_NOT_FOUND);
  EXPECT_EQ(ec, xrusb::errc::not_configured);
  EXPECT_NE(ec.message().find("ERR_INTERFACE_NOT_FOUND"), std::string::npos) << ec.message();
  std::vector<xrusb::InterfaceSelection> tooMany(33);
  dev.SetConfiguration(1, tooMany, ec);
  EXPECT_EQ(xrusb::StatusOf(ec), ERR_INVALID_PARAMETER);
  try {
    dev.SetConfiguration(0, {{0, 0}});
    ADD_FAILURE() << "the same configuration again";
  } catch (const std::system_error &e) {
    EXPECT_EQ(xrusb::StatusOf(e.code()), ERR_ALREADY_CONFIGURED);
  }
  EXPECT_EQ(dev.GetActiveConfiguration().interfaces.size(), 3u);

  dev.Unconfigure();
  EXPECT_FALSE(dev.GetActiveConfiguration().Configured());
  EXPECT_EQ(dev.GetConfiguration(), 0);
}

// Each typed call against what the device and the driver hold: a field read from the wrong
// offset of a record shows here.
TEST_F(Lib, DeviceRequestsRoundTrip) {
  xrusb::Device dev = Configured(Plug());
  const std::vector<uint8_t> data{0xDE, 0xAD, 0xBE, 0xEF, 0x01};
  EXPECT_EQ(dev.ControlOut({xrusb::RequestType::Vendor, xrusb::Recipient::Device, td::kWriteMemory, 16}, data), 5u);
  std::vector<uint8_t> back(5);
  EXPECT_EQ(dev.ControlIn({xrusb::RequestType::Vendor, xrusb::Recipient::Device, td::kReadMemory, 16}, back), 5u);
  EXPECT_EQ(back, data);
  dev.ControlOut({xrusb::RequestType::Vendor, xrusb::Recipient::Device, td::kSetRegister, 0x1234});
  uint8_t reg[2];
  EXPECT_EQ(dev.ControlIn({xrusb::RequestType::Vendor, xrusb::Recipient::Device, td::kGetRegister}, reg), 2u);
  EXPECT_EQ(reg[0] | reg[1] << 8, 0x1234);

  dev.SetFeature(xrusb::Recipient::Endpoint, 0, td::kSourceIn);  // ENDPOINT_HALT
  EXPECT_EQ(dev.GetStatus(xrusb::Recipient::Endpoint, td::kSourceIn), 1);
  dev.ClearFeature(xrusb::Recipient::Endpoint, 0, td::kSourceIn);
  EXPECT_EQ(dev.GetStatus(xrusb::Recipient::Endpoint, td::kSourceIn), 0);

  dev.SetSettings({xrusb::option::kUnconfigureOnClose, 2500});
  EXPECT_EQ(dev.GetSettings().options, xrusb::option::kUnconfigureOnClose);
  EXPECT_EQ(dev.GetSettings().requestTimeoutMs, 2500u);
  EXPECT_EQ(dev.GetPowerState(), xrusb::PowerState::D0);
  const xrusb::DriverVersion v = dev.GetDriverVersion();
  EXPECT_EQ(v.apiVersion, XRUSB_API_VERSION);
  EXPECT_EQ(v.driverVersion, XRUSB_DRIVER_VERSION);
  xrusb::Pipe pipe = dev.OpenPipe(td::kSourceIn);
  const xrusb::DeviceProperties p = dev.GetProperties();
  EXPECT_TRUE(p.highSpeed);
  EXPECT_EQ(p.openHandles, 2u);
  EXPECT_GT(dev.GetBandwidth().total, 0u);
  EXPECT_TRUE(pipe.ShortTransferOk());
  pipe.SetShortTransferOk(false);
  EXPECT_FALSE(pipe.ShortTransferOk());
  dev.Acquire();
  dev.Release();
}

// Statuses that share bits must keep their own names and conditions.
TEST(LibErrors, MappedStatusesKeepTheirMeaning) {
  EXPECT_NE(xrusb::MakeStatusCode(ERR_BAD_CONFIG_DESCRIPTOR).message().find("ERR_BAD_CONFIG_DESCRIPTOR"),
            std::string::npos);
  EXPECT_NE(xrusb::MakeStatusCode(ERR_USBD_INSUFFICIENT_RESOURCES).message().find("ERR_USBD_INSUFFICIENT"),
            std::string::npos);
  EXPECT_EQ(xrusb::MakeStatusCode(ERR_USBD_INSUFFICIENT_RESOURCES), xrusb::errc::no_memory);
  EXPECT_NE(xrusb::MakeStatusCode(0xE0000900u).message().find("USBD_STATUS_ERROR_SHORT_TRANSFER"), std::string::npos);
  EXPECT_EQ(xrusb::MakeStatusCode(0xE0000900u), xrusb::errc::short_transfer);
  const std::error_code aborted = xrusb::MakeStatusCode(0xC0070000u | 995);  // ERROR_OPERATION_ABORTED
  EXPECT_EQ(aborted, xrusb::errc::cancelled);
  EXPECT_EQ(aborted, std::errc::operation_canceled);
  EXPECT_NE(xrusb::MakeStatusCode(ERR_TIMEOUT), xrusb::errc::not_connected);
}

// Paths come from applications as UTF-8: a malformed or overlong sequence becomes U+FFFD, never
// the character it would spell in disguise.
TEST(LibText, Utf8OnlyInItsShortestForm) {
  EXPECT_EQ(xrusb::FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");                        // '/'
  EXPECT_EQ(xrusb::FromUtf8("\xE0\x81\x9C"), u"\uFFFD\uFFFD\uFFFD");              // '\'
  EXPECT_EQ(xrusb::FromUtf8("\xF0\x82\x82\xAC"), u"\uFFFD\uFFFD\uFFFD\uFFFD");    // U+20AC
  EXPECT_EQ(xrusb::FromUtf8("\xED\xA0\x80" "a\xE2\x82"), u"\uFFFD\uFFFD\uFFFDa\uFFFD\uFFFD");
  const std::string text = "\\\\.\\x\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(xrusb::FromUtf8(text), u"\\\\.\\x\u00E9\u20AC\U0001F600");
  EXPECT_EQ(xrusb::ToUtf8(xrusb::FromUtf8(text)), text);
}

}  // namespace
