// The driver loaded and test devices plugged on the simulated bus; the test then acts only as an
// application does, through the library.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/core/driver.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"
#include "xrusb/xrusb.hpp"

namespace xrtest {

namespace td = sim::usb::test_device;

class Lib : public ::testing::Test {
 protected:
  void SetUp() override { driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb"); }
  void TearDown() override {
    sim::usb::Bus::Get().Settle();
    for (PDEVICE_OBJECT pdo : plugged_) sim::usb::Bus::Get().Unplug(sim::usb::Bus::Get().Current(pdo));
    sim::usb::Bus::Get().Settle();
    sim::pnp::Settle();
  }

  // Plugs the device and gives the path of its interface.
  std::u16string Plug(const sim::usb::TestDevice &device, const sim::usb::PlugOptions &options = {}) {
    std::vector<std::u16string> before = Paths();
    device_ = device;
    pdo_ = sim::usb::Bus::Get().Plug(device.model, driver_, options);
    plugged_.push_back(pdo_);
    for (std::u16string &p : Paths())
      if (std::find(before.begin(), before.end(), p) == before.end()) return p;
    ADD_FAILURE() << "the plugged device has no interface";
    return {};
  }
  std::u16string Plug(const sim::usb::TestDeviceOptions &options = {}) {
    return Plug(sim::usb::MakeTestDevice(options));
  }

  // Surprise removal: open handles stay open.
  void Unplug(PDEVICE_OBJECT pdo) {
    sim::usb::Bus::Get().Unplug(sim::usb::Bus::Get().Current(pdo));
    plugged_.erase(std::find(plugged_.begin(), plugged_.end(), pdo));
  }

  // Opened and configured with interface 0 (the bulk and interrupt endpoints).
  xrusb::Device Configured(const std::u16string &path) {
    xrusb::Device d = xrusb::Device::Open(path);
    d.SetConfiguration(0, {{0, 0}});
    return d;
  }

  static std::vector<std::u16string> Paths() {
    std::vector<std::u16string> out;
    for (const xrusb::DeviceEntry &e : xrusb::ListDevices()) out.push_back(e.path);
    return out;
  }

  sim::World world_;
  PDRIVER_OBJECT driver_ = nullptr;
  sim::usb::TestDevice device_;
  PDEVICE_OBJECT pdo_ = nullptr;  // the last one plugged
  std::vector<PDEVICE_OBJECT> plugged_;
};

}  // namespace xrtest
