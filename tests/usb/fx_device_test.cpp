// The FX bootloader model's requests, CPU reset and re-enumeration, and the Intel HEX writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <tuple>

#include "sim/kernel/world.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/fx_device.h"
#include "sim/usb/intel_hex.h"
#include "sim/usb/test_device.h"

namespace sim::usb {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

Response::Kind Write(DeviceModel &m, uint8_t request, uint16_t address, std::vector<uint8_t> data) {
  return m.control({0x40, request, address, 0, static_cast<uint16_t>(data.size())}, data).kind;
}

Response Read(DeviceModel &m, uint8_t request, uint16_t address, uint16_t length) {
  return m.control({0xC0, request, address, 0, length}, {});
}

constexpr auto Ack = Response::Kind::Ack;
constexpr auto Stall = Response::Kind::Stall;

TEST(FxBootloader, AnswersAsTheBootloaderOfEachVariant) {
  sim::World world;
  for (auto [variant, pid, speed] : {std::tuple{FxVariant::Fx, kFxProductId, Speed::Full},
                                     std::tuple{FxVariant::Fx2, kFx2ProductId, Speed::High}}) {
    auto fx = MakeFxBootloader(variant);
    const auto &d = fx.model->deviceDescriptor;
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[8] | d[9] << 8, 0x04B4);
    EXPECT_EQ(d[10] | d[11] << 8, pid);
    EXPECT_EQ(fx.model->speed, speed);
    // What a loader's bootloader check looks for: a language table with no language.
    EXPECT_EQ(fx.model->strings.at(0), Bytes({0x02, 0x03}));
    ASSERT_EQ(fx.model->configurations.size(), 1u);
    auto c = Parse(fx.model->configurations[0]);
    EXPECT_TRUE(c.valid) << c.reason;
    EXPECT_TRUE(fx.state->CpuHeld());
  }
  FxOptions o;
  o.productId = 0x0081;
  auto custom = MakeFxBootloader(FxVariant::Fx2, o);
  EXPECT_EQ(custom.model->deviceDescriptor[10], 0x81);
}

TEST(FxBootloader, MemoryMapOfEachVariantAndRefusals) {
  sim::World world;
  struct Case {
    FxVariant variant;
    uint16_t ramTop, regs, cpucs;
  };
  for (auto c : {Case{FxVariant::Fx, 0x2000, 0x7B40, kFxCpucs}, Case{FxVariant::Fx2, 0x4000, 0xE000, kFx2Cpucs}}) {
    SCOPED_TRACE(c.variant == FxVariant::Fx ? "FX" : "FX2");
    auto fx = MakeFxBootloader(c.variant);
    auto &m = *fx.model;
    // Internal RAM to its last byte, the register area, external memory from its base.
    EXPECT_EQ(Write(m, 0xA0, 0x0000, Bytes({0x02, 0x00, 0x40})), Ack);
    EXPECT_EQ(Write(m, 0xA0, c.ramTop - 2, Bytes({0xAA, 0xBB})), Ack);
    EXPECT_EQ(Write(m, 0xA0, c.regs, Bytes({0x11})), Ack);
    EXPECT_EQ(Write(m, 0xA3, 0x2000, Bytes({0x12, 0x34})), Ack);
    EXPECT_EQ(Write(m, 0xA3, 0xFFFF, Bytes({0x99})), Ack);
    EXPECT_EQ(Read(m, 0xA0, 0x0000, 16).data.size(), 16u);  // the bootloader probe
    EXPECT_EQ(Read(m, 0xA0, c.ramTop - 3, 3).data, Bytes({0x00, 0xAA, 0xBB}));
    EXPECT_EQ(Read(m, 0xA3, 0x2000, 2).data, Bytes({0x12, 0x34}));
    EXPECT_EQ(fx.state->Internal(0, 3), Bytes({0x02, 0x00, 0x40}));
    EXPECT_EQ(fx.state->Internal(c.regs, 1), Bytes({0x11}));
    EXPECT_EQ(fx.state->External(0x2000, 2), Bytes({0x12, 0x34}));
    EXPECT_EQ(fx.state->External(0x0000, 2), Bytes({0, 0}));  // 0xA3 did not touch internal

    // Refused, and nothing stored: across the end of RAM, into the gap, external below its
    // base, reads outside the map, other requests, other recipients.
    EXPECT_EQ(Write(m, 0xA0, c.ramTop - 1, Bytes({1, 2})), Stall);
    EXPECT_EQ(fx.state->Internal(c.ramTop - 1, 1), Bytes({0xBB}));
    EXPECT_EQ(Write(m, 0xA0, c.ramTop, Bytes({1})), Stall);
    EXPECT_EQ(Write(m, 0xA0, c.regs - 1, Bytes({1, 2})), Stall);
    EXPECT_EQ(Write(m, 0xA3, 0x1FFF, Bytes({1, 2})), Stall);
    EXPECT_EQ(fx.state->External(0x2000, 1), Bytes({0x12}));
    EXPECT_EQ(Read(m, 0xA0, c.ramTop, 1).kind, Stall);
    EXPECT_EQ(Read(m, 0xA3, 0x0000, 1).kind, Stall);
    EXPECT_EQ(Write(m, 0xA1, 0x0000, Bytes({1})), Stall);
    EXPECT_EQ(m.control({0x41, 0xA0, 0, 0, 1}, Bytes({1})).kind, Stall);
    EXPECT_EQ(m.control({0x00, 0xA0, 0, 0, 1}, Bytes({1})).kind, Stall);
    // A record of no bytes is taken anywhere.
    EXPECT_EQ(Write(m, 0xA0, c.ramTop + 1, {}), Ack);

    auto log = fx.state->Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].request, 0xA0);
    EXPECT_EQ(log[0].data, Bytes({0x02, 0x00, 0x40}));
    EXPECT_TRUE(log[0].accepted);
    const auto refused = std::count_if(log.begin(), log.end(), [](const FxRequest &r) { return !r.accepted; });
    EXPECT_EQ(refused, 6);  // the vendor requests above that stalled on their address
    EXPECT_TRUE(fx.state->CpuHeld());
    EXPECT_EQ(fx.state->Releases(), 0u);
  }
}

TEST(FxBootloader, ReleasingTheCpuStartsTheLoadedImage) {
  sim::World world;
  for (FxVariant variant : {FxVariant::Fx, FxVariant::Fx2}) {
    SCOPED_TRACE(variant == FxVariant::Fx ? "FX" : "FX2");
    auto fx = MakeFxBootloader(variant);
    auto &m = *fx.model;
    std::vector<std::shared_ptr<FxFirmware>> started;
    fx.state->onRelease = [&](std::shared_ptr<FxFirmware> fw) { started.push_back(fw); };

    // A loader's sequence: the reset byte to both CPUCS addresses, external, then internal.
    auto reset = [&](uint8_t b) {
      Write(m, 0xA0, kFxCpucs, {b});
      return Write(m, 0xA0, kFx2Cpucs, {b});
    };
    EXPECT_EQ(reset(1), Ack);
    EXPECT_EQ(Write(m, 0xA3, 0x2000, Bytes({0x12, 0x34})), Ack);
    EXPECT_EQ(reset(1), Ack);
    EXPECT_EQ(Write(m, 0xA0, 0x0000, Bytes({0x02, 0x00, 0x40})), Ack);
    EXPECT_EQ(reset(1), Ack);
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(reset(0), Ack);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_FALSE(fx.state->CpuHeld());
    EXPECT_EQ(fx.state->Releases(), 1u);
    auto fw = started[0];
    EXPECT_EQ(fx.state->Firmware(), fw);
    EXPECT_EQ(std::vector<uint8_t>(fw->internal.begin(), fw->internal.begin() + 3), Bytes({0x02, 0x00, 0x40}));
    EXPECT_EQ(fw->external[0x2000], 0x12);
    EXPECT_EQ(fw->external[0x2001], 0x34);

    // No descriptor block: the generic loaded device, which is no longer a bootloader.
    EXPECT_FALSE(fw->described);
    auto &loaded = *fw->model;
    EXPECT_EQ(loaded.deviceDescriptor[10] | loaded.deviceDescriptor[11] << 8, kFxLoadedProductId);
    EXPECT_GT(loaded.strings.at(0).size(), 2u);
    EXPECT_TRUE(Parse(loaded.configurations.at(0)).valid);
    EXPECT_EQ(Read(loaded, kFxReadImage, 0x0000, 3).data, Bytes({0x02, 0x00, 0x40}));
    EXPECT_EQ(loaded.control({0xC0, kFxReadImage, 0x2000, 1, 2}, {}).data, Bytes({0x12, 0x34}));
    EXPECT_EQ(Read(loaded, 0xA0, 0x0000, 16).kind, Stall);
    EXPECT_EQ(Write(loaded, 0xA0, kFx2Cpucs, {1}), Stall);

    // While the CPU runs only CPUCS itself may be written; releasing again changes nothing.
    EXPECT_EQ(Write(m, 0xA0, 0x0010, Bytes({1})), Stall);
    EXPECT_EQ(Write(m, 0xA3, 0x2000, Bytes({1})), Stall);
    EXPECT_EQ(fx.state->Internal(0x10, 1), Bytes({0}));
    EXPECT_EQ(reset(0), Ack);
    EXPECT_EQ(started.size(), 1u);
    // A later image writes over the earlier one; what the first release started is kept.
    EXPECT_EQ(reset(1), Ack);
    EXPECT_EQ(Write(m, 0xA0, 0x0000, Bytes({0xFF})), Ack);
    EXPECT_EQ(reset(0), Ack);
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[1]->internal[0], 0xFF);
    EXPECT_EQ(fw->internal[0], 0x02);
    EXPECT_EQ(Read(loaded, kFxReadImage, 0x0000, 1).data, Bytes({0x02}));
  }
}

TEST(FxBootloader, CpucsRulesAndOptions) {
  sim::World world;
  // Booted from EEPROM: memory stays closed until the CPU is held.
  FxOptions running;
  running.cpuRunning = true;
  auto fx = MakeFxBootloader(FxVariant::Fx2, running);
  unsigned releases = 0;
  fx.state->onRelease = [&](std::shared_ptr<FxFirmware>) { ++releases; };
  EXPECT_FALSE(fx.state->CpuHeld());
  EXPECT_EQ(Write(*fx.model, 0xA0, 0, Bytes({1})), Stall);
  EXPECT_EQ(Write(*fx.model, 0xA0, kFx2Cpucs, {0}), Ack);
  EXPECT_EQ(releases, 0u);
  EXPECT_EQ(Write(*fx.model, 0xA0, kFx2Cpucs, {1}), Ack);
  EXPECT_EQ(Write(*fx.model, 0xA0, 0, Bytes({1})), Ack);
  // CPUCS read back; only bit 0 decides.
  EXPECT_EQ(Read(*fx.model, 0xA0, kFx2Cpucs, 1).data, Bytes({1}));
  EXPECT_EQ(Write(*fx.model, 0xA0, kFx2Cpucs, {0x03}), Ack);
  EXPECT_TRUE(fx.state->CpuHeld());
  EXPECT_EQ(releases, 0u);
  EXPECT_EQ(Write(*fx.model, 0xA0, kFx2Cpucs, {0x02}), Ack);
  EXPECT_EQ(releases, 1u);

  // A multi-byte write that covers CPUCS acts on the byte that lands there.
  auto fx1 = MakeFxBootloader(FxVariant::Fx);
  fx1.state->onRelease = [&](std::shared_ptr<FxFirmware>) { ++releases; };
  EXPECT_EQ(Write(*fx1.model, 0xA0, kFxCpucs - 1, Bytes({0xEE, 0x00, 0xEE})), Ack);
  EXPECT_EQ(releases, 2u);
  EXPECT_EQ(fx1.state->Internal(kFxCpucs - 1, 3), Bytes({0xEE, 0x00, 0xEE}));

  // The other generation's CPUCS is a one-byte write that is taken and ignored, unless refused
  // by option; it never moves the CPU.
  FxOptions strict;
  strict.foreignCpucs = false;
  for (bool accept : {true, false}) {
    auto dev = MakeFxBootloader(FxVariant::Fx, accept ? FxOptions{} : strict);
    EXPECT_EQ(Write(*dev.model, 0xA0, kFx2Cpucs, {0}), accept ? Ack : Stall);
    EXPECT_TRUE(dev.state->CpuHeld());
    EXPECT_EQ(Write(*dev.model, 0xA0, kFx2Cpucs, Bytes({0, 0})), Stall);
    EXPECT_EQ(Read(*dev.model, 0xA0, kFx2Cpucs, 1).kind, Stall);
  }
}

TEST(FxBootloader, ImageWithADescriptorBlockBecomesThatDevice) {
  sim::World world;
  auto target = MakeTestDevice({.speed = Speed::High, .vendorId = 0x1111, .productId = 0x2222});
  const auto block = FxDescriptorBlock(target.model->deviceDescriptor, target.model->configurations,
                                       target.model->strings, /*highSpeed=*/true);

  for (FxVariant variant : {FxVariant::Fx, FxVariant::Fx2}) {
    SCOPED_TRACE(variant == FxVariant::Fx ? "FX" : "FX2");
    auto fx = MakeFxBootloader(variant);
    // Loaded in 16-byte records as a loader would, behind some code at 0.
    Write(*fx.model, 0xA0, 0x0000, Bytes({0x02, 0x00, 0x40}));
    for (size_t i = 0; i < block.size(); i += 16) {
      std::vector<uint8_t> rec(block.begin() + i, block.begin() + std::min(block.size(), i + 16));
      ASSERT_EQ(Write(*fx.model, 0xA0, static_cast<uint16_t>(kFxDescriptorAddress + i), rec), Ack);
    }
    Write(*fx.model, 0xA0, variant == FxVariant::Fx ? kFxCpucs : kFx2Cpucs, {0});
    auto fw = fx.state->Firmware();
    ASSERT_TRUE(fw);
    EXPECT_TRUE(fw->described);
    EXPECT_EQ(fw->model->deviceDescriptor, target.model->deviceDescriptor);
    EXPECT_EQ(fw->model->configurations, target.model->configurations);
    EXPECT_EQ(fw->model->strings, target.model->strings);
    EXPECT_EQ(fw->model->speed, variant == FxVariant::Fx ? Speed::Full : Speed::High);
    EXPECT_EQ(Read(*fw->model, kFxReadImage, kFxDescriptorAddress, 4).data, Bytes({'X', 'R', 'F', 'W'}));
  }

  // A block that would run past the end of the FX's 8 KiB, or a broken one, is not believed.
  auto fx = MakeFxBootloader(FxVariant::Fx);
  auto truncated = block;
  truncated[8 + 18 + 2] = 0xFF;  // wTotalLength of the first configuration: past RAM
  truncated[8 + 18 + 3] = 0x1F;
  Write(*fx.model, 0xA0, kFxDescriptorAddress, truncated);
  Write(*fx.model, 0xA0, kFxCpucs, {0});
  ASSERT_TRUE(fx.state->Firmware());
  EXPECT_FALSE(fx.state->Firmware()->described);
  EXPECT_EQ(fx.state->Firmware()->model->deviceDescriptor[10], kFxLoadedProductId & 0xFF);
}

TEST(IntelHex, WritesDataAndEndRecords) {
  // The records any Intel HEX reader knows for these bytes.
  EXPECT_EQ(WriteIntelHex({{0x0000, Bytes({0x02, 0x00, 0x40})}, {0x2000, Bytes({0x12, 0x34})}}),
            ":03000000020040BB\r\n:02200000123498\r\n:00000001FF\r\n");
  // Split into records, up to the last address there is.
  std::vector<uint8_t> data(40, 0xAB);
  EXPECT_EQ(WriteIntelHex({{0xFFD8, data}}, {.recordSize = 16, .lowercase = true, .lineEnd = "\n", .endRecord = false}),
            ":10ffd800abababababababababababababababab69\n"
            ":10ffe800abababababababababababababababab59\n"
            ":08fff800ababababababababa9\n");
  EXPECT_THROW(WriteIntelHex({{0xFFFF, Bytes({1, 2})}}), std::invalid_argument);
  EXPECT_THROW(WriteIntelHex({{0, Bytes({1})}}, {.recordSize = 256}), std::invalid_argument);
}

}  // namespace
}  // namespace sim::usb
