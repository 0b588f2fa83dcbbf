// The driver loaded and test devices plugged; the test then acts only as an application does,
// through the library. On the host the world is sim/; built for Windows, the fixture is the one in
// wine_fixture.h, over the real xrusb.sys and the test bus. Both give the same vocabulary: Plug,
// Unplug, Settle, StallOnce, FailNthIn, HeldTransfers, Counters, HoldFrameClock, td::, PatternByte,
// ReopenPipe, and the facts of the platform below.
#pragma once
#if defined(_WIN32)
#include "wine_fixture.h"
#else
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/driver.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"
#include "xrusb/xrusb.hpp"

namespace xrtest {

namespace td = sim::usb::test_device;
inline uint8_t PatternByte(uint64_t offset) { return sim::usb::TestPatternByte(offset); }

class Lib : public ::testing::Test {
 protected:
  using Port = PDEVICE_OBJECT;
  // Windows' behaviour; wine_fixture.h says where Wine differs.
  static constexpr bool kRemovalWaitsForHandles = true;
  static constexpr bool kPartialMdls = true;

  void SetUp() override { driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb"); }
  void TearDown() override {
    sim::usb::Bus::Get().Settle();
    for (PDEVICE_OBJECT pdo : plugged_) sim::usb::Bus::Get().Unplug(sim::usb::Bus::Get().Current(pdo));
    Settle();
  }

  // Plugs the device and gives the path of its interface.
  std::u16string Plug(sim::usb::TestDevice device, const sim::usb::PlugOptions &options = {}) {
    // The n-th IN transaction on an endpoint fails when a test asks for it.
    device.model->in = [inner = device.model->in, hook = inHook_](uint8_t endpoint, size_t length) {
      if (endpoint == hook->endpoint && hook->countdown.load() > 0 && hook->countdown.fetch_sub(1) == 1)
        return sim::usb::Response::Error(hook->status);
      return inner(endpoint, length);
    };
    std::vector<std::u16string> before = Paths();
    device_ = device;
    port_ = pdo_ = sim::usb::Bus::Get().Plug(device.model, driver_, options);
    plugged_.push_back(pdo_);
    for (std::u16string &p : Paths())
      if (std::find(before.begin(), before.end(), p) == before.end()) return p;
    ADD_FAILURE() << "the plugged device has no interface";
    return {};
  }
  std::u16string Plug(const sim::usb::TestDeviceOptions &options = {}) {
    return Plug(sim::usb::MakeTestDevice(options));
  }
  std::u16string Plug(uint16_t productId) {
    sim::usb::TestDeviceOptions options;
    options.productId = productId;
    return Plug(options);
  }

  // Surprise removal: open handles stay open.
  void Unplug(PDEVICE_OBJECT pdo) {
    sim::usb::Bus::Get().Unplug(sim::usb::Bus::Get().Current(pdo));
    plugged_.erase(std::find(plugged_.begin(), plugged_.end(), pdo));
  }
  // Until what the plugs and unplugs set going has ended.
  void Settle() {
    sim::usb::Bus::Get().Settle();
    sim::pnp::Settle();
  }

  // Faults of the device plugged last.
  void StallOnce(uint8_t endpoint) { sim::usb::Bus::Get().FailEndpoint(pdo_, endpoint, {sim::usb::Response::Stall()}); }
  void FailNthIn(uint8_t endpoint, int n, USBD_STATUS status) {
    inHook_->endpoint = endpoint;
    inHook_->status = status;
    inHook_->countdown.store(n);
  }
  size_t HeldTransfers() { return sim::usb::Bus::Get().HeldTransfers(pdo_); }
  sim::usb::TestDeviceCounters Counters() { return device_.state->Snapshot(); }
  // The frame clock stands: an isochronous stream never falls behind.
  void HoldFrameClock() { sim::SetClockMode(sim::ClockMode::Manual); }

  // Opened and configured with interface 0 (the bulk and interrupt endpoints).
  xrusb::Device Configured(const std::u16string &path) {
    xrusb::Device d = xrusb::Device::Open(path);
    d.SetConfiguration(0, {{0, 0}});
    return d;
  }

  // The pipe again, once the handle that had it bound is closed.
  static xrusb::Pipe ReopenPipe(xrusb::Device &device, uint8_t endpoint) { return device.OpenPipe(endpoint); }

  static std::vector<std::u16string> Paths() {
    std::vector<std::u16string> out;
    for (const xrusb::DeviceEntry &e : xrusb::ListDevices()) out.push_back(e.path);
    return out;
  }

  struct InHook {
    std::atomic<uint8_t> endpoint{0};
    std::atomic<USBD_STATUS> status{0};
    std::atomic<int> countdown{0};
  };

  sim::World world_;
  PDRIVER_OBJECT driver_ = nullptr;
  sim::usb::TestDevice device_;
  std::shared_ptr<InHook> inHook_ = std::make_shared<InHook>();
  Port port_ = nullptr;           // the last one plugged
  PDEVICE_OBJECT pdo_ = nullptr;  // the same
  std::vector<PDEVICE_OBJECT> plugged_;
};

}  // namespace xrtest
#endif
