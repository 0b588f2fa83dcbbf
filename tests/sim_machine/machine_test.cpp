// The public simulated machine as an application developer uses it: a device model of their own
// with faults on demand, the URB trace, unplugging, and a capture that Wireshark's dissector reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "xrusb/sim.hpp"
#include "xrusb/xrusb.hpp"

namespace {

namespace xs = xrusb::sim;
using namespace std::chrono_literals;

// A vendor device: request 0x01 IN answers "ping", 0x02 OUT is taken; bulk 0x81 sends 8 bytes
// counting up, bulk 0x01 takes everything.
xs::DeviceModel Gadget() {
  xs::DeviceModel m;
  m.deviceDescriptor = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 1, 2, 1};
  m.configurations.push_back({9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
                              7, 5, 0x81, 2, 0x00, 0x02, 0, 7, 5, 0x01, 2, 0x00, 0x02, 0});
  m.strings[0] = {4, 3, 0x09, 0x04};
  m.strings[1] = xs::StringDescriptor(u"gadget");
  m.strings[2] = xs::StringDescriptor(u"G-42");
  m.control = [](const xs::Setup &s, std::span<const uint8_t>) {
    if (s.request == 1 && s.In()) return xs::Response::Ack({'p', 'i', 'n', 'g'});
    if (s.request == 2 && !s.In()) return xs::Response::Ack();
    return xs::Response::Stall();
  };
  m.in = [](uint8_t, size_t) { return xs::Response::Ack({1, 2, 3, 4, 5, 6, 7, 8}); };
  return m;
}

std::string Output(const std::string &command) {
  std::string out;
  if (std::FILE *p = popen(command.c_str(), "r")) {
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

// A device of the developer's own, found by its IDs and serial, misbehaving on demand: each fault
// reaches the application as the condition it would meet on Windows, the trace shows each
// request, and an unplug ends the open handle's use.
TEST(SimMachine, OwnDeviceWithFaultsTraceAndUnplug) {
  xs::Machine machine;
  EXPECT_THROW(xs::Machine(), std::logic_error);  // one at a time
  const xs::DeviceId id = machine.Plug(Gadget(), {.numbers = {{"RequestTimeout", 300}}});
  ASSERT_TRUE(xrusb::FindDevices(0x1234, 0x5678, std::string("nope")).empty());
  const std::vector<xrusb::DeviceEntry> found = xrusb::FindDevices(0x1234, 0x5678, std::string("G-42"));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path, machine.Path(id));
  xrusb::Device dev = xrusb::Device::Open(found[0]);
  EXPECT_EQ(dev.GetSettings().requestTimeoutMs, 300u);
  dev.SetConfiguration();
  uint8_t reply[8] = {};
  EXPECT_EQ(dev.ControlTransfer(0xC0, 1, 0, 0, reply), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), 4), "ping");

  xrusb::Pipe in = dev.OpenPipe(0x81);
  struct Case {
    const char *what;
    xs::Response fault;
    std::error_condition expected;
    size_t bytes;
  } cases[] = {
      {"stall", xs::Response::Stall(), xrusb::errc::stall, 0},
      {"error", xs::Response::Error(0xC0000001u), std::errc::io_error, 0},
      {"short", xs::Response::Ack({9, 9, 9}), {}, 3},
      {"nak", xs::Response::Nak(), xrusb::errc::timeout, 0},
      {"after the nak", xs::Response::Ack({7}), {}, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    machine.FailEndpoint(id, 0x81, {c.fault, 1});
    std::error_code ec;
    uint8_t data[8];
    const size_t n = in.Read(data, 200ms, ec);
    if (c.expected == std::error_condition()) {
      EXPECT_FALSE(ec) << ec.message();
    } else if (c.expected.category() == xrusb::condition_category()) {
      EXPECT_EQ(ec, c.expected) << ec.message();
    } else {
      EXPECT_TRUE(ec);
    }
    EXPECT_EQ(n, c.bytes);
    if (ec) in.Reset();  // a failed transfer leaves the pipe halted, as a host controller does
  }
  machine.FailRequest(id, 2, {xs::Response::Stall(), 1});
  EXPECT_THROW(dev.ControlTransfer(0x40, 2, 0, 0, {}), std::system_error);
  dev.ControlTransfer(0x40, 2, 0, 0, {});

  const std::vector<xs::Transfer> trace = machine.Trace(id);
  size_t stalls = 0, pings = 0;
  for (const xs::Transfer &t : trace) {
    stalls += t.usbdStatus == 0xC0000004u;
    pings += t.setup && t.setup->request == 1 && t.actualLength == 4;
  }
  EXPECT_EQ(pings, 1u);
  EXPECT_EQ(stalls, 2u);  // the bulk read's and the control request's

  machine.Unplug(id);
  EXPECT_TRUE(machine.Devices().empty());
  std::error_code ec;
  dev.GetDeviceDescriptor(ec);
  EXPECT_EQ(ec, xrusb::errc::not_connected) << ec.message();
  EXPECT_THROW(machine.FailEndpoint(id, 0x81, {}), std::logic_error);
}

// Wireshark reads the capture: the setup packets, both data directions of control, bulk and
// isochronous transfers, the descriptors the driver read, and a stall's status.
TEST(SimMachine, CaptureIsDissectedByTshark) {
  const std::string file = testing::TempDir() + "xrusb_capture.pcap";
  {
    xs::Machine machine({.captureData = true});
    const xs::DeviceId id = machine.PlugTestDevice();
    xrusb::Device dev = xrusb::Device::Open(machine.Path(id));
    dev.SetConfigurationByValue(1, std::vector<xrusb::InterfaceSelection>{{1, 1}});
    const uint8_t cafe[] = {0xCA, 0xFE};
    dev.ControlOut({.request = 0x5B}, cafe);
    uint8_t back[2];
    dev.ControlIn({.request = 0x5C}, back);
    xrusb::Pipe out = dev.OpenPipe(0x03), in = dev.OpenPipe(0x83), iso = dev.OpenPipe(0x86);
    out.Write(std::vector<uint8_t>{0x10, 0x20, 0x30});
    uint8_t got[3];
    in.Read(got);
    xrusb::IsoRequest r(8, iso.Info().maxPacketSize);
    iso.Submit(r);
    ASSERT_TRUE(r.Wait(2000ms));
    machine.FailEndpoint(id, 0x83, {xs::Response::Stall(), 1});
    std::error_code ec;
    in.Read(got, 500ms, ec);
    machine.WriteCapture(file);
  }
  const std::string fields = Output("tshark -r " + file +
                                 " -T fields -E separator=, -e usb.transfer_type -e usb.endpoint_address"
                                 " -e usb.setup.bRequest -e usb.data_fragment -e usb.control.Response -e usb.capdata"
                                 " -e usb.usbd_status -e usb.bNumInterfaces -e usb.win32.iso_num_packets -e usb.iso.data 2>&1");
  ASSERT_NE(fields.find("0x02,0x00,91,cafe"), std::string::npos) << fields;  // SET with its data stage
  EXPECT_NE(fields.find("0x02,0x80,,,cafe"), std::string::npos) << fields;   // the IN request's answer
  EXPECT_NE(fields.find(",3,"), std::string::npos) << fields;                // the configuration, decoded
  EXPECT_NE(fields.find("0x03,0x03,,,,102030,"), std::string::npos) << fields;
  EXPECT_NE(fields.find("0x03,0x83,,,,102030,"), std::string::npos) << fields;
  EXPECT_NE(fields.find("0x03,0x83,,,,,0xc0000004"), std::string::npos) << fields;
  EXPECT_NE(fields.find("0x00,0x86,,,,,0x00000000,,8,000102030405"), std::string::npos) << fields;
}

}  // namespace
