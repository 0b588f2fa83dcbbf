// The fixture of lib_fixture.h for Windows: xrusb.sys installed on the test bus (windows/usbbus),
// whose control device plugs and unplugs test devices and injects their faults. Plug and unplug
// take effect when the system's Plug and Play manager has acted, so both wait for the interface.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "windows/usbbus/test_bus_control.h"
#include "xrusb/status.h"
#include "windows/usbbus/test_device_descriptors.h"
#include "xrusb/xrusb.hpp"

namespace xrtest {

namespace td = xrbus;  // the test device's endpoints and requests
inline uint8_t PatternByte(uint64_t offset) { return uint8_t(offset % xrbus::kPatternModulus); }

class Lib : public ::testing::Test {
 protected:
  using Port = uint32_t;

  // --- Where Wine differs from Windows: the tests skip what depends on these ---
  // After a surprise removal Windows sends IRP_MN_REMOVE_DEVICE only once the last handle to the
  // device is closed, so requests on a handle still open reach the driver, which answers
  // ERR_DEVICE_NOT_PRESENT. Wine removes the device at once and fails them itself
  // (STATUS_FILE_DELETED).
  static constexpr bool kRemovalWaitsForHandles = false;
  // Wine 8 has IoBuildPartialMdl only as a stub that aborts the driver's host process; the
  // driver builds one for every isochronous transfer.
  static constexpr bool kPartialMdls = false;
  // Windows sends IRP_MJ_CLEANUP from CloseHandle itself, in the closing thread, so a handle's
  // pipe binding is gone when CloseHandle returns. Wine 8 sends no IRP_MJ_CLEANUP at all, only
  // IRP_MJ_CLOSE, and that after CloseHandle has returned: the pipe is reopened once it came.
  static xrusb::Pipe ReopenPipe(xrusb::Device &device, uint8_t endpoint) {
    std::error_code ec;
    xrusb::Pipe pipe;
    Await(std::chrono::seconds(10), [&] {
      pipe = device.OpenPipe(endpoint, ec);
      return xrusb::StatusOf(ec) != ERR_ALREADY_BOUND;
    });
    if (ec) throw std::system_error(ec, "ReopenPipe");
    return pipe;
  }

  void SetUp() override {
    bus_ = ::CreateFileW(XRBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(bus_, INVALID_HANDLE_VALUE) << "the test bus is not installed: error " << ::GetLastError();
  }
  void TearDown() override {
    if (bus_ == INVALID_HANDLE_VALUE) return;
    while (!plugged_.empty()) Unplug(plugged_.back().first);
    Settle();
    ::CloseHandle(bus_);
  }

  std::u16string Plug(uint16_t productId = xrbus::kTestProductId) {
    std::vector<std::u16string> before = Paths();
    XrbusPlug plug{productId, 0};
    uint32_t port = 0;
    if (!Control(IOCTL_XRBUS_PLUG, &plug, sizeof plug, &port, sizeof port)) return {};
    port_ = port;
    // The first device of a kind waits for its driver to be installed.
    std::u16string path;
    const bool found = Await(std::chrono::seconds(60), [&] {
      for (std::u16string &p : Paths())
        if (std::find(before.begin(), before.end(), p) == before.end()) path = p;
      return !path.empty();
    });
    EXPECT_TRUE(found) << "the plugged device has no interface";
    plugged_.emplace_back(port, path);
    return path;
  }

  // Surprise removal: open handles stay open.
  void Unplug(Port port) {
    auto it = std::find_if(plugged_.begin(), plugged_.end(), [&](auto &p) { return p.first == port; });
    ASSERT_NE(it, plugged_.end());
    EXPECT_TRUE(Control(IOCTL_XRBUS_UNPLUG, &port, sizeof port, nullptr, 0));
    unplugged_.push_back(it->second);
    plugged_.erase(it);
  }
  // Until the interfaces of the unplugged devices are gone.
  void Settle() {
    EXPECT_TRUE(Await(std::chrono::seconds(30), [&] {
      std::vector<std::u16string> now = Paths();
      for (const std::u16string &p : unplugged_)
        if (std::find(now.begin(), now.end(), p) != now.end()) return false;
      return true;
    })) << "an unplugged device's interface stays";
    unplugged_.clear();
  }

  // Faults of the device plugged last.
  void StallOnce(uint8_t endpoint) { Fault(endpoint, XRBUS_FAULT_STALL, 0, 1, 0); }
  void FailNthIn(uint8_t endpoint, int n, uint32_t usbdStatus) { Fault(endpoint, XRBUS_FAULT_ERROR, usbdStatus, 1, n - 1); }
  size_t HeldTransfers() {
    uint32_t port = port_, held = 0;
    Control(IOCTL_XRBUS_HELD, &port, sizeof port, &held, sizeof held);
    return held;
  }
  XrbusCounters Counters() {
    uint32_t port = port_;
    XrbusCounters c{};
    Control(IOCTL_XRBUS_COUNTERS, &port, sizeof port, &c, sizeof c);
    return c;
  }
  // The test bus runs an isochronous transfer's packets when it takes it: none is ever late.
  void HoldFrameClock() {}

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

  Port port_ = 0;  // the last one plugged

 private:
  bool Control(uint32_t code, void *in, DWORD inLength, void *out, DWORD outLength) {
    DWORD bytes = 0;
    const bool ok = ::DeviceIoControl(bus_, code, in, inLength, out, outLength, &bytes, nullptr);
    EXPECT_TRUE(ok) << "test bus request " << std::hex << code << ": error " << std::dec << ::GetLastError();
    return ok;
  }
  void Fault(uint8_t endpoint, uint8_t kind, uint32_t status, uint32_t count, uint32_t skip) {
    XrbusFault f{port_, endpoint, kind, 0, status, count, skip};
    Control(IOCTL_XRBUS_FAULT, &f, sizeof f, nullptr, 0);
  }
  template <typename Pred>
  static bool Await(std::chrono::seconds limit, Pred done) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  HANDLE bus_ = INVALID_HANDLE_VALUE;
  std::vector<std::pair<Port, std::u16string>> plugged_;
  std::vector<std::u16string> unplugged_;
};

}  // namespace xrtest
