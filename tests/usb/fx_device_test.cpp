// The FX bootloader model's requests, CPU reset and re-enumeration, and the Intel HEX writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "bus_test_client.h"
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

TEST(FxBootloader, EachVariantAnswersAsItsBootloaderWithItsMemoryMap) {
  sim::World world;
  struct Case {
    FxVariant variant;
    uint16_t productId;
    Speed speed;
    uint16_t ramTop, regs;
  };
  for (auto c : {Case{FxVariant::Fx, kFxProductId, Speed::Full, 0x2000, 0x7B40},
                 Case{FxVariant::Fx2, kFx2ProductId, Speed::High, 0x4000, 0xE000}}) {
    SCOPED_TRACE(c.variant == FxVariant::Fx ? "FX" : "FX2");
    auto fx = MakeFxBootloader(c.variant);
    auto &m = *fx.model;
    const auto &d = m.deviceDescriptor;
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(std::make_tuple(d[8] | d[9] << 8, d[10] | d[11] << 8, m.speed), std::make_tuple(0x04B4, c.productId, c.speed));
    // What a loader's bootloader check looks for: a language table with no language.
    EXPECT_EQ(m.strings.at(0), Bytes({0x02, 0x03}));
    ASSERT_EQ(m.configurations.size(), 1u);
    EXPECT_TRUE(Parse(m.configurations[0]).valid);
    EXPECT_TRUE(fx.state->CpuHeld());

    // Internal RAM to its last byte, the register area, external memory from its base.
    EXPECT_EQ(Write(m, 0xA0, 0x0000, Bytes({0x02, 0x00, 0x40})), Ack);
    EXPECT_EQ(Write(m, 0xA0, c.ramTop - 2, Bytes({0xAA, 0xBB})), Ack);
    EXPECT_EQ(Write(m, 0xA0, c.regs, Bytes({0x11})), Ack);
    EXPECT_EQ(Write(m, 0xA3, 0x2000, Bytes({0x12, 0x34})), Ack);
    EXPECT_EQ(Write(m, 0xA3, 0xFFFF, Bytes({0x99})), Ack);
    EXPECT_EQ(Read(m, 0xA0, 0x0000, 16).data.size(), 16u);  // the bootloader probe
    EXPECT_EQ(Read(m, 0xA0, c.ramTop - 3, 3).data, Bytes({0x00, 0xAA, 0xBB}));
    EXPECT_EQ(Read(m, 0xA3, 0x2000, 2).data, Bytes({0x12, 0x34}));
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
    EXPECT_EQ(std::make_tuple(log[0].request, log[0].data, log[0].accepted),
              std::make_tuple(0xA0, Bytes({0x02, 0x00, 0x40}), true));
    const auto refused = std::count_if(log.begin(), log.end(), [](const FxRequest &r) { return !r.accepted; });
    EXPECT_EQ(refused, 6);  // the vendor requests above that stalled on their address
    EXPECT_TRUE(fx.state->CpuHeld());
    EXPECT_EQ(fx.state->Releases(), 0u);
  }
  EXPECT_EQ(MakeFxBootloader(FxVariant::Fx2, {.productId = 0x0081}).model->deviceDescriptor[10], 0x81);
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
    EXPECT_EQ(std::vector<uint8_t>(fw->external.begin() + 0x2000, fw->external.begin() + 0x2002), Bytes({0x12, 0x34}));

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

// The FX is full speed whatever its image says; a block that would run past its 8 KiB is not believed.
TEST(FxBootloader, ImageWithADescriptorBlockBecomesThatDevice) {
  sim::World world;
  auto target = MakeTestDevice({.speed = Speed::High, .vendorId = 0x1111, .productId = 0x2222});
  const auto block = FxDescriptorBlock(target.model->deviceDescriptor, target.model->configurations,
                                       target.model->strings, /*highSpeed=*/true);
  auto truncated = block;
  truncated[8 + 18 + 2] = 0xFF;  // wTotalLength of the first configuration: past RAM
  truncated[8 + 18 + 3] = 0x1F;
  for (bool whole : {true, false}) {
    auto fx = MakeFxBootloader(FxVariant::Fx);
    EXPECT_EQ(Write(*fx.model, 0xA0, kFxDescriptorAddress, whole ? block : truncated), Ack);
    EXPECT_EQ(Write(*fx.model, 0xA0, kFxCpucs, {0}), Ack);
    auto fw = fx.state->Firmware();
    ASSERT_TRUE(fw);
    EXPECT_EQ(fw->described, whole);
    if (whole) {
      EXPECT_EQ(fw->model->deviceDescriptor, target.model->deviceDescriptor);
      EXPECT_EQ(fw->model->configurations, target.model->configurations);
      EXPECT_EQ(fw->model->strings, target.model->strings);
      EXPECT_EQ(fw->model->speed, Speed::Full);
      EXPECT_EQ(Read(*fw->model, kFxReadImage, kFxDescriptorAddress, 4).data, Bytes({'X', 'R', 'F', 'W'}));
    } else {
      EXPECT_EQ(fw->model->deviceDescriptor[10], kFxLoadedProductId & 0xFF);
    }
  }
}

// On the bus, with the requests a loader sends: loaded, released, it comes back as its image.
using FxOnTheBus = bustest::BusTest;

TEST_F(FxOnTheBus, LoadReleaseAndComeBackAsTheImage) {
  auto fx = MakeFxBootloader(FxVariant::Fx2);
  auto target = MakeTestDevice({.vendorId = 0x1111, .productId = 0x2222});
  auto block = FxDescriptorBlock(target.model->deviceDescriptor, target.model->configurations, target.model->strings,
                                 true);
  Plug(fx.model);
  auto write = [&](uint8_t request, uint16_t address, std::vector<uint8_t> data) {
    URB u = bustest::Vendor(URB_FUNCTION_VENDOR_DEVICE, 0, request, address, 0, data.data(), ULONG(data.size()));
    return Run(u).second;
  };
  EXPECT_EQ(USBD_STATUS_SUCCESS, write(kFxInternalRequest, kFx2Cpucs, {1}));
  EXPECT_EQ(USBD_STATUS_SUCCESS, write(kFxExternalRequest, 0x2000, {0x12, 0x34}));
  for (size_t i = 0; i < block.size(); i += 64)
    ASSERT_EQ(USBD_STATUS_SUCCESS, write(kFxInternalRequest, uint16_t(kFxDescriptorAddress + i),
                                         {block.begin() + i, block.begin() + std::min(block.size(), i + 64)}));
  EXPECT_EQ(USBD_STATUS_STALL_PID, write(kFxInternalRequest, 0x4000, {1}));
  EXPECT_EQ(USBD_STATUS_SUCCESS, write(kFxInternalRequest, kFx2Cpucs, {0}));
  Bus::Get().Settle();

  PDEVICE_OBJECT loaded = Bus::Get().Current(pdo_);
  ASSERT_NE(loaded, pdo_);
  EXPECT_TRUE(sim::DeviceDeleted(pdo_));
  pdo_ = loaded;
  auto image = fx.state->Firmware()->model;
  EXPECT_EQ(Bus::Get().Model(loaded), image);
  EXPECT_EQ(std::make_tuple(image->speed, image->configurations, image->strings),
            std::make_tuple(Speed::High, target.model->configurations, target.model->strings));
  std::vector<uint8_t> descriptor(18);
  URB d = bustest::GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, descriptor.data(), 18);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(d));
  EXPECT_EQ(target.model->deviceDescriptor, descriptor);
  URB read = bustest::Vendor(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, kFxReadImage, 0x2000, 1,
                             descriptor.data(), 2);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(read));
  EXPECT_EQ(Bytes({0x12, 0x34}), std::vector<uint8_t>(descriptor.begin(), descriptor.begin() + 2));
  Bus::Get().Unplug(loaded);
  Bus::Get().Settle();
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
