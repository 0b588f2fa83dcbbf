// The test bus that runs the real xrusb.sys under Wine (windows/usbbus) describes the same device
// as the simulated test device: one description, two buses.
#include <gtest/gtest.h>

#include <iterator>

#include "sim/usb/descriptors.h"
#include "sim/usb/test_device.h"
#include "windows/usbbus/test_device_descriptors.h"

namespace {

namespace td = sim::usb::test_device;

TEST(WineTestBus, DescribesTheSimulatedTestDevice) {
  const sim::usb::TestDevice sim = sim::usb::MakeTestDevice();
  auto bytes = [](const auto &a) { return std::vector<uint8_t>(std::begin(a), std::end(a)); };
  EXPECT_EQ(sim.model->deviceDescriptor, bytes(xrbus::kTestDeviceDescriptor));
  ASSERT_EQ(sim.model->configurations.size(), 2u);
  EXPECT_EQ(sim.model->configurations[0], bytes(xrbus::kTestConfiguration1));
  EXPECT_EQ(sim.model->configurations[1], bytes(xrbus::kTestConfiguration2));
  ASSERT_EQ(sim.model->strings.size(), std::size(xrbus::kTestStrings));
  for (uint8_t i = 0; i < std::size(xrbus::kTestStrings); ++i)
    EXPECT_EQ(sim.model->strings.at(i), sim::usb::StringDescriptor(xrbus::kTestStrings[i])) << int(i);

  const uint8_t pairs[][2] = {
      {td::kSourceIn, xrbus::kSourceIn},         {td::kSinkOut, xrbus::kSinkOut},
      {td::kLoopbackOut, xrbus::kLoopbackOut},   {td::kLoopbackIn, xrbus::kLoopbackIn},
      {td::kInterruptIn, xrbus::kInterruptIn},   {td::kInterruptOut, xrbus::kInterruptOut},
      {td::kIsoIn, xrbus::kIsoIn},               {td::kIsoOut, xrbus::kIsoOut},
      {td::kControlPipe, xrbus::kControlPipe},   {td::kConfig2LoopbackOut, xrbus::kConfig2LoopbackOut},
      {td::kConfig2LoopbackIn, xrbus::kConfig2LoopbackIn}, {td::kWriteMemory, xrbus::kWriteMemory},
      {td::kReadMemory, xrbus::kReadMemory},     {td::kSetRegister, xrbus::kSetRegister},
      {td::kGetRegister, xrbus::kGetRegister},   {td::kPipeWrite, xrbus::kPipeWrite},
      {td::kPipeRead, xrbus::kPipeRead},         {td::kPipeCount, xrbus::kPipeCount}};
  for (const auto &p : pairs) EXPECT_EQ(p[0], p[1]);
  const sim::usb::TestDeviceOptions options;
  EXPECT_EQ(options.productId, xrbus::kTestProductId);
  EXPECT_EQ(options.memorySize, xrbus::kMemorySize);
  EXPECT_EQ(options.loopbackCapacity, xrbus::kLoopbackCapacity);
  EXPECT_EQ(options.patternModulus, xrbus::kPatternModulus);
  EXPECT_EQ(td::kInterruptReportSize, xrbus::kInterruptReportSize);
}

}  // namespace
