// The test device's handlers, called directly as the bus would call them.
#include <gtest/gtest.h>

#include <tuple>

#include "sim/kernel/world.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/test_device.h"

namespace sim::usb {
namespace {

using namespace test_device;

constexpr auto Ack = Response::Kind::Ack;
constexpr auto Nak = Response::Kind::Nak;
constexpr auto Stall = Response::Kind::Stall;

Setup Vendor(bool in, uint8_t request, uint16_t value, uint16_t length) {
  return {static_cast<uint8_t>(in ? 0xC0 : 0x40), request, value, 0, length};
}

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

TEST(TestDevice, DescriptorsAreConsistentAtBothSpeeds) {
  sim::World world;
  for (Speed speed : {Speed::High, Speed::Full}) {
    SCOPED_TRACE(speed == Speed::High ? "high speed" : "full speed");
    const bool high = speed == Speed::High;
    auto dev = MakeTestDevice({.speed = speed, .vendorId = 0xABCD, .productId = 0x1234, .manufacturer = u"Acme"});
    const auto &d = dev.model->deviceDescriptor;
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(std::make_tuple(d[8] | d[9] << 8 | d[10] << 16 | d[11] << 24, d[17]), std::make_tuple(0x1234ABCD, 2));
    EXPECT_EQ(dev.model->strings.at(d[14]), Bytes({10, 3, 'A', 0, 'c', 0, 'm', 0, 'e', 0}));
    for (int i : {15, 16}) EXPECT_TRUE(dev.model->strings.count(d[i])) << i;

    auto c1 = Parse(dev.model->configurations.at(0));
    ASSERT_TRUE(c1.valid) << c1.reason;
    EXPECT_TRUE(c1.attributes & 0x20);  // remote wake-up
    ASSERT_EQ(c1.interfaces.size(), 3u);
    EXPECT_EQ(c1.Find(0, 0)->endpoints.at(0).maxPacketSize, high ? 512 : 64);
    // Isochronous: alt 0 empty, then growing bandwidth, high-bandwidth last at high speed.
    const auto &iso = c1.FindInterface(1)->alternates;
    ASSERT_GE(iso.size(), 3u);
    EXPECT_TRUE(iso[0].endpoints.empty());
    for (size_t i = 2; i < iso.size(); ++i) {
      const auto &a = iso[i - 1].endpoints.at(0), &b = iso[i].endpoints.at(0);
      EXPECT_GT(b.maxPacketSize * b.transactions, a.maxPacketSize * a.transactions);
    }
    EXPECT_EQ(iso.back().endpoints[0].transactions, high ? 3 : 1);
    EXPECT_EQ(c1.Find(2, 0)->endpoints.at(0).type, EndpointType::Control);
    auto c2 = Parse(dev.model->configurations.at(1));
    ASSERT_TRUE(c2.valid) << c2.reason;
    EXPECT_EQ(c2.Find(0, 0)->endpoints.at(0).maxPacketSize, 64);
  }
}

TEST(TestDevice, SourceAndSinkFollowThePatternAcrossTransfers) {
  sim::World world;
  auto dev = MakeTestDevice();
  auto &m = *dev.model;
  EXPECT_EQ(m.in(kSourceIn, 16).kind, Stall) << "unconfigured, nothing moves";
  m.configured(1);
  std::vector<uint8_t> stream;
  for (size_t len : {1, 250, 513, 7}) {
    auto r = m.in(kSourceIn, len);
    ASSERT_EQ(std::make_pair(r.kind, r.data.size()), std::make_pair(Ack, len));
    stream.insert(stream.end(), r.data.begin(), r.data.end());
  }
  for (size_t i = 0; i < stream.size(); ++i) ASSERT_EQ(stream[i], i % 251) << i;

  // What the source produced, the sink takes as correct, whatever the chunking; without
  // verification a wrong byte is counted, not refused.
  EXPECT_EQ(m.out(kSinkOut, std::span(stream).first(300)).kind, Ack);
  EXPECT_EQ(m.out(kSinkOut, std::span(stream).subspan(300)).kind, Ack);
  EXPECT_EQ(m.out(kSinkOut, Bytes({0xFF, 0xFF})).kind, Ack);
  auto c = dev.state->Snapshot();
  EXPECT_EQ(std::make_tuple(c.sourceBytes, c.sinkBytes, c.sinkErrors),
            std::make_tuple(stream.size(), stream.size() + 2, 2u));
  // A new configuration restarts both streams.
  m.configured(1);
  EXPECT_EQ(m.in(kSourceIn, 2).data, Bytes({0, 1}));

  auto strict = MakeTestDevice({.patternModulus = 3, .verifySink = true});
  strict.model->configured(1);
  EXPECT_EQ(strict.model->in(kSourceIn, 5).data, Bytes({0, 1, 2, 0, 1}));
  EXPECT_EQ(strict.model->out(kSinkOut, Bytes({0, 1, 2})).kind, Ack);
  EXPECT_EQ(strict.model->out(kSinkOut, Bytes({0, 2})).kind, Stall);
  EXPECT_EQ(strict.state->Snapshot().sinkErrors, 1u);
}

TEST(TestDevice, LoopbackIsABoundedFifoThatNaksWhenEmptyOrFull) {
  sim::World world;
  auto dev = MakeTestDevice({.loopbackCapacity = 10});
  auto &m = *dev.model;
  m.configured(1);
  EXPECT_EQ(m.in(kLoopbackIn, 64).kind, Nak);
  EXPECT_EQ(m.out(kLoopbackOut, Bytes({1, 2, 3, 4})).kind, Ack);
  auto r = m.out(kLoopbackOut, Bytes({5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(std::make_pair(r.kind, r.accepted), std::make_pair(Ack, size_t(6))) << "only what fits";
  EXPECT_EQ(m.out(kLoopbackOut, Bytes({13})).kind, Nak);
  EXPECT_EQ(m.in(kLoopbackIn, 3).data, Bytes({1, 2, 3}));
  EXPECT_EQ(m.out(kLoopbackOut, Bytes({13})).kind, Ack);
  EXPECT_EQ(m.in(kLoopbackIn, 64).data, Bytes({4, 5, 6, 7, 8, 9, 10, 13}));  // short: all there is

  // Reconfiguring (here to configuration 2, whose loopback uses other addresses) drops the FIFO.
  m.out(kLoopbackOut, Bytes({42}));
  m.configured(2);
  EXPECT_EQ(dev.state->Snapshot().loopbackDepth, 0u);
  EXPECT_EQ(m.out(kLoopbackOut, Bytes({1})).kind, Stall);
  EXPECT_EQ(m.out(kConfig2LoopbackOut, Bytes({7, 8})).kind, Ack);
  EXPECT_EQ(m.in(kConfig2LoopbackIn, 64).data, Bytes({7, 8}));
}

TEST(TestDevice, VendorRequestsOnEndpointZero) {
  sim::World world;
  auto dev = MakeTestDevice({.memorySize = 16});
  auto &m = *dev.model;
  auto kind = [&](const sim::usb::Setup &s, std::vector<uint8_t> d = {}) { return m.control(s, d).kind; };

  EXPECT_EQ(kind(Vendor(false, kWriteMemory, 4, 3), Bytes({9, 8, 7})), Ack);
  EXPECT_EQ(kind(Vendor(false, kSetRegister, 0xBEEF, 0)), Ack);
  EXPECT_EQ(m.control(Vendor(true, kGetRegister, 0, 2), {}).data, Bytes({0xEF, 0xBE}));
  // Past the memory's end, a data stage on the no-data request, wrong directions, unknown,
  // class and interface-recipient requests: all refused, and the memory is untouched.
  for (auto [setup, data] : {std::pair{Vendor(false, kWriteMemory, 14, 3), Bytes({1, 2, 3})},
                             {Vendor(true, kReadMemory, 10, 7), {}},
                             {Vendor(false, kSetRegister, 1, 1), Bytes({1})},
                             {Vendor(true, kWriteMemory, 0, 1), {}},
                             {Vendor(false, kGetRegister, 0, 0), {}},
                             {Vendor(true, 0x77, 0, 1), {}},
                             {{0x21, kSetRegister, 5, 0, 0}, {}},
                             {{0x41, kSetRegister, 5, 0, 0}, {}}})
    EXPECT_EQ(kind(setup, data), Stall) << int(setup.bmRequestType) << " " << int(setup.bRequest);
  auto c = dev.state->Snapshot();
  EXPECT_EQ(c.memory, Bytes({0, 0, 0, 0, 9, 8, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(c.reg, 0xBEEF);
}

TEST(TestDevice, InterruptAndIsochronousEndpointsAndHostNotifications) {
  sim::World world;
  auto dev = MakeTestDevice();
  auto &m = *dev.model;
  EXPECT_FALSE(dev.SignalRemoteWakeup());  // not plugged
  m.configured(1);
  // Reports count up and carry the interrupt-OUT byte count.
  EXPECT_EQ(m.in(kInterruptIn, 8).data, Bytes({0, 0, 0, 0, 0, 0, 0, 0}));
  m.out(kInterruptOut, Bytes({1, 2, 3}));
  m.out(kInterruptOut, Bytes({4, 5}));
  EXPECT_EQ(m.in(kInterruptIn, 8).data, Bytes({1, 0, 0, 0, 5, 0, 0, 0}));

  m.interfaceSelected(1, 3);
  m.out(kIsoOut, std::vector<uint8_t>(100));
  m.out(kIsoOut, {});
  auto c = dev.state->Snapshot();
  EXPECT_EQ(std::make_tuple(c.lastInterruptOut, c.isoOutPackets, c.isoOutBytes), std::make_tuple(Bytes({4, 5}), 2u, 100u));
  EXPECT_EQ(c.alternateSettings, (std::map<uint8_t, uint8_t>{{0, 0}, {1, 3}, {2, 0}}));

  m.portReset();
  c = dev.state->Snapshot();
  EXPECT_EQ(std::make_tuple(c.resetCount, c.configuration, c.alternateSettings.size()), std::make_tuple(1u, 0, 0u));
  EXPECT_EQ(m.in(kInterruptIn, 8).kind, Stall);
}

}  // namespace
}  // namespace sim::usb
