// The USB driver library substitute: finding interfaces in a configuration block and building
// the select-configuration URB from them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "fuzz/config_checks.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/world.h"
#include "sim/usb/descriptors.h"

namespace {

using sim::usb::ConfigBuilder;
using sim::usb::EndpointType;

// A block in an allocation of exactly its size, so that a read past it is caught.
struct Block {
  explicit Block(const std::vector<uint8_t> &bytes) : size(bytes.size()), data(new uint8_t[bytes.size()]) {
    memcpy(data.get(), bytes.data(), size);
  }
  PUSB_CONFIGURATION_DESCRIPTOR config() const { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data.get()); }
  PVOID at(size_t offset) const { return data.get() + offset; }
  size_t offsetOf(const void *p) const { return size_t(static_cast<const uint8_t *>(p) - data.get()); }
  size_t size;
  std::unique_ptr<uint8_t[]> data;
};

PUSB_INTERFACE_DESCRIPTOR Find(const Block &b, size_t start, LONG number, LONG alternate = -1, LONG cls = -1,
                               LONG sub = -1, LONG proto = -1) {
  return USBD_ParseConfigurationDescriptorEx(b.config(), b.at(start), number, alternate, cls, sub, proto);
}

std::vector<uint8_t> ThreeInterfaces() {
  return ConfigBuilder(1, 0xA0, 50)
      .Interface(0, 0, 0xFF, 0, 0)
      .Endpoint(0x81, EndpointType::Bulk, 512)
      .Endpoint(0x02, EndpointType::Bulk, 512)
      .Interface(0, 1, 0xFF, 0, 0)
      .Endpoint(0x81, EndpointType::Bulk, 512)
      .Endpoint(0x02, EndpointType::Bulk, 512)
      .Endpoint(0x83, EndpointType::Interrupt, 64, 4)
      .Raw({5, 0x24, 1, 2, 3})  // class-specific
      .Interface(1, 0, 0x03, 0x01, 0x02)
      .Interface(2, 0, 0xFF, 0, 0)
      .Endpoint(0x84, EndpointType::Isochronous, 1024, 1, 3)
      .Build();
}

// The walk from each start, and exact matches, are judged on every block of the mutation test.
TEST(UsbdParse, MatchesEachCriterion) {
  sim::World world;
  std::vector<uint8_t> bytes = ThreeInterfaces();
  sim::usb::ParsedConfiguration parsed = sim::usb::Parse(bytes);
  ASSERT_TRUE(parsed.valid) << parsed.reason;
  Block b(bytes);
  auto offset = [&](uint8_t number, uint8_t alternate) { return parsed.Find(number, alternate)->offset; };
  auto at = [&](PUSB_INTERFACE_DESCRIPTOR d) { return d ? b.offsetOf(d) : SIZE_MAX; };

  EXPECT_EQ(at(Find(b, 0, 0, 1)), offset(0, 1));
  EXPECT_EQ(at(Find(b, 0, -1, -1, 0x03, 0x01, 0x02)), offset(1, 0));
  EXPECT_EQ(at(Find(b, 0, -1, 0, 0xFF, -1, -1)), offset(0, 0));
  EXPECT_EQ(at(Find(b, offset(0, 0) + 9, 0)), offset(0, 1));
  // The driver passes its 16-bit request fields whole: 0x100 is not interface 0.
  for (auto *none : {Find(b, 0, -1, -1, 0x03, 0x01, 0x01), Find(b, 0, 0, 2), Find(b, 0, 3), Find(b, 0, 0x100),
                     Find(b, 0, 0, 0x100), Find(b, offset(0, 1) + 9, 0)})
    EXPECT_EQ(none, nullptr);
}

TEST(UsbdParse, StaysInsideWTotalLengthAndRefusesStartsOutsideIt) {
  sim::World world;
  // The block sits inside a larger buffer whose bytes before and after hold interface
  // descriptors that must not be found.
  std::vector<uint8_t> inner = ConfigBuilder().Interface(0, 0).Endpoint(0x81, EndpointType::Bulk, 64).Build();
  std::vector<uint8_t> decoy = {9, 4, 7, 0, 0, 0xFF, 0, 0, 0};
  std::vector<uint8_t> all = decoy;
  all.insert(all.end(), inner.begin(), inner.end());
  all.insert(all.end(), decoy.begin(), decoy.end());
  auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(all.data() + decoy.size());
  uint8_t *blockEnd = all.data() + decoy.size() + inner.size();

  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, all.data(), 7, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, blockEnd, -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 7, -1, -1, -1, -1), nullptr);
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(config, config, 0, -1, -1, -1, -1), nullptr);
  // The same trailing descriptor counts once wTotalLength covers it.
  config->wTotalLength = USHORT(inner.size() + decoy.size());
  EXPECT_EQ(reinterpret_cast<uint8_t *>(USBD_ParseConfigurationDescriptorEx(config, config, 7, -1, -1, -1, -1)),
            blockEnd);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, config, -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, nullptr, -1, -1, -1, -1, -1), nullptr);
}

TEST(UsbdParse, MalformedBlocksEndTheWalkWithoutReadingPastThem) {
  sim::World world;
  const std::vector<uint8_t> good = ConfigBuilder().Interface(0, 0).Endpoint(0x81, EndpointType::Bulk, 64)
                                        .Interface(1, 0).Build();
  const size_t second = sim::usb::Parse(good).Find(1, 0)->offset;
  constexpr size_t endpoint = 18;  // the first endpoint descriptor

  struct Case {
    const char *what;
    void (*edit)(std::vector<uint8_t> &, size_t second);
    bool findsSecond;  // whether interface 1 is still found from the start
  };
  const Case cases[] = {
      {"bLength 0 before it", [](auto &v, size_t) { v[endpoint] = 0; }, false},
      {"bLength 1 before it", [](auto &v, size_t) { v[endpoint] = 1; }, false},
      {"bLength past wTotalLength", [](auto &v, size_t) { v[endpoint] = 200; }, false},
      {"wTotalLength cuts it", [](auto &v, size_t s) { v[2] = uint8_t(s + 5); }, false},
      {"wTotalLength below the header", [](auto &v, size_t) { v[2] = 4; v[3] = 0; }, false},
      {"its own bLength too short", [](auto &v, size_t s) { v[s] = 5; v.resize(s + 5); v[2] = uint8_t(v.size()); }, false},
      {"a truncated interface before it", [](auto &v, size_t) { v[endpoint] = 7; v[endpoint + 1] = 4; }, true},
      {"endpoint count lies", [](auto &v, size_t) { v[9 + 4] = 30; }, true},
      {"zero endpoints declared", [](auto &v, size_t) { v[9 + 4] = 0; }, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> v = good;
    c.edit(v, second);
    Block b(v);
    PUSB_INTERFACE_DESCRIPTOR d = Find(b, 0, 1);
    if (c.findsSecond) {
      ASSERT_NE(d, nullptr);
      EXPECT_EQ(b.offsetOf(d), second);
    } else {
      EXPECT_EQ(d, nullptr);
    }
    // From any start, only whole interface descriptors inside the block; URBs made whole.
    EXPECT_EQ(xrusb_fuzz::Exercise(v).fault, "");
  }
}

// The layout of what it makes is judged on every block of the mutation test below.
TEST(UsbdCreate, RefusesWhatItCannotDescribeAndFailsCleanly) {
  sim::World world;
  // Eleven interfaces that each claim 255 endpoints and have none.
  ConfigBuilder builder;
  for (uint8_t i = 0; i < 11; ++i) builder.Interface(i, 0);
  std::vector<uint8_t> bytes = builder.Build();
  for (size_t at = 9; at < bytes.size(); at += 9) bytes[at + 4] = 255;
  Block b(bytes);
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(12, USBD_INTERFACE_LIST_ENTRY{nullptr, nullptr});
  for (LONG i = 0; i < 11; ++i) list[size_t(i)].InterfaceDescriptor = Find(b, 0, i);

  // 40 + 11 * 6144 bytes do not fit the header's 16-bit Length; ten interfaces do.
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(b.config(), list.data()), nullptr);
  EXPECT_EQ(list[0].Interface, nullptr);
  list[10].InterfaceDescriptor = nullptr;
  PURB urb = USBD_CreateConfigurationRequestEx(b.config(), list.data());
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(10, 2550));
  EXPECT_EQ(list[9].Interface->NumberOfPipes, 255u);
  EXPECT_EQ(sim::PoolUsage(sim::usb::kUsbdLibraryPoolTag).lastPoolType, int(NonPagedPool));
  ExFreePoolWithTag(urb, 0);

  // Entries that are not interface descriptors of this block, and an empty list.
  USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(b.config(), empty), nullptr);
  USB_INTERFACE_DESCRIPTOR elsewhere = *Find(b, 0, 0);
  USBD_INTERFACE_LIST_ENTRY foreign[2] = {{&elsewhere, nullptr}, {nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(b.config(), foreign), nullptr);
  USBD_INTERFACE_LIST_ENTRY header[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(b.config()), nullptr},
                                         {nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(b.config(), header), nullptr);
  EXPECT_EQ(sim::PoolUsage(sim::usb::kUsbdLibraryPoolTag).allocations, 1u);

  // Out of memory: null, the list untouched.
  USBD_INTERFACE_LIST_ENTRY one[2] = {{Find(b, 0, 0), nullptr}, {nullptr, nullptr}};
  sim::FailNth(sim::AllocKind::Pool, 1, sim::usb::kUsbdLibraryPoolTag);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(b.config(), one), nullptr);
  EXPECT_EQ(one[0].Interface, nullptr);
  EXPECT_EQ(sim::FaultsInjected(sim::AllocKind::Pool), 1u);
}

// Thousands of damaged blocks through all three entry points: the library and the parser stay
// inside each block, agree on valid ones, and the URBs they make are whole.
TEST(UsbdMutation, DamagedBlocksThroughEveryEntryPoint) {
  sim::World world;
  const std::vector<std::vector<uint8_t>> bases = {
      ThreeInterfaces(),
      ConfigBuilder().Interface(0, 0).Endpoint(0x81, EndpointType::Bulk, 512).Endpoint(0x01, EndpointType::Bulk, 512)
          .Build(),
      ConfigBuilder(2, 0xC0, 0).Raw({8, 0x0B, 0, 2, 0xFF, 0, 0, 0}).Interface(0, 0).Interface(0, 1)
          .Endpoint(0x82, EndpointType::Isochronous, 1024, 1, 2).Interface(1, 0)
          .Endpoint(0x03, EndpointType::Interrupt, 8, 10).Build(),
  };
  const uint8_t kSpecial[] = {0, 1, 2, 9, 0xFF};
  std::mt19937 rng(20240601);
  auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
  size_t valid = 0, urbs = 0;
  for (int round = 0; round < 4000; ++round) {
    std::vector<uint8_t> v = bases[pick(bases.size())];
    int edits = 1 + int(pick(4));
    for (int e = 0; e < edits; ++e) {
      switch (pick(6)) {
        case 0: v[pick(v.size())] ^= uint8_t(1u << pick(8)); break;
        case 1: v[pick(v.size())] = kSpecial[pick(sizeof kSpecial)]; break;
        case 2: v.resize(pick(v.size() + 1)); break;
        case 3: v.resize(v.size() + 1 + pick(16), uint8_t(rng())); break;
        case 4: {  // a lying total
          if (v.size() < 4) break;
          uint16_t t = uint16_t(pick(v.size() + 32));
          v[2] = uint8_t(t);
          v[3] = uint8_t(t >> 8);
          break;
        }
        case 5: if (v.size() > 13) v[13] = uint8_t(rng()); break;  // first interface's bNumEndpoints
      }
      if (v.empty()) break;
    }
    xrusb_fuzz::Outcome o = xrusb_fuzz::Exercise(v);
    ASSERT_EQ(o.fault, "") << "round " << round;
    valid += sim::usb::Parse(v).valid;
    urbs += o.urbMade;
  }
  // The mutations reach both sides: some blocks stay valid, many do not, URBs get made.
  EXPECT_GT(valid, 100u);
  EXPECT_LT(valid, 3000u);
  EXPECT_GT(urbs, 1000u);

  // With the pool failing now and then, failures are clean (a leak stops the world at its end).
  sim::FailWithProbability(sim::AllocKind::Pool, 0.3, 7, sim::usb::kUsbdLibraryPoolTag);
  for (int round = 0; round < 200; ++round) {
    xrusb_fuzz::Outcome o = xrusb_fuzz::Exercise(bases[size_t(round) % bases.size()], true);
    ASSERT_EQ(o.fault, "");
  }
  EXPECT_GT(sim::FaultsInjected(sim::AllocKind::Pool), 0u);
}

}  // namespace
