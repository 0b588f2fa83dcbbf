// The driver loaded, a test device plugged on the simulated bus beneath it and a handle open on
// \\.\Dev0, as an application finds it.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "added_device.h"
#include "driver/core/driver.h"
#include "include/xrusb/ioctl.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"
#include "sim/win32/win32.h"

namespace xrtest {

struct Result {
  NTSTATUS status;
  ULONG_PTR information;  // as the request completed, failures included
};

class PluggedDevice : public ::testing::Test {
 protected:
  using Values = std::vector<std::pair<std::u16string, uint32_t>>;

  // Suites whose tests need other registry values, bus options or speeds plug for themselves.
  explicit PluggedDevice(bool plugInSetUp = true) : plugInSetUp_(plugInSetUp) {}

  void SetUp() override {
    driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
    if (plugInSetUp_) {
      Plug();
      ASSERT_NE(h_, simwin::INVALID_HANDLE_VALUE);
    }
  }
  void TearDown() override {
    sim::ClearFaults();
    Unplug();
  }

  // A fresh hardware key each time, so that no value of an earlier device carries over.
  void Plug(const Values &values = {}, sim::usb::PlugOptions options = {},
            const sim::usb::TestDeviceOptions &device = {}) {
    key_ = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\" +
           sim::ToU16(std::to_string(++keys_).c_str());
    sim::registry::SetString(key_, u"DriverDeviceBaseName", u"Dev");
    for (const auto &[name, value] : values) sim::registry::SetDword(key_, name, value);
    options.registryKey = key_;
    device_ = sim::usb::MakeTestDevice(device);
    pdo_ = sim::usb::Bus::Get().Plug(device_.model, driver_, options);
    dx_ = DeviceAbove(pdo_);
    if (dx_) h_ = Open();
    sim::usb::Bus::Get().ClearTrace(pdo_);
  }
  void CloseAll() {
    if (h_ != simwin::INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(simwin::CloseHandle(h_));
    }
    h_ = simwin::INVALID_HANDLE_VALUE;
    for (simwin::HANDLE h : handles_) EXPECT_TRUE(simwin::CloseHandle(h));
    handles_.clear();
  }
  // The device as it is now: a port cycle replaces the one first plugged.
  void Unplug() {
    CloseAll();
    if (!pdo_) return;
    sim::usb::Bus::Get().Settle();
    if (!removed_) sim::usb::Bus::Get().Unplug(sim::usb::Bus::Get().Current(pdo_));
    sim::usb::Bus::Get().Settle();
    pdo_ = nullptr;
    dx_ = nullptr;
  }
  // Surprise removal; open handles keep the record.
  void Remove() {
    sim::usb::Bus::Get().Unplug(pdo_);
    removed_ = true;
  }

  // Overlapped, so that the request's Information is seen even when it fails.
  static simwin::HANDLE Open() {
    return simwin::CreateFileW(u"\\\\.\\Dev0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  }

  Result Send(simwin::HANDLE h, DWORD code, const void *in = nullptr, DWORD inLength = 0, void *out = nullptr,
              DWORD outLength = 0) {
    simwin::OVERLAPPED o{};
    DWORD bytes = 0;
    if (!simwin::DeviceIoControl(h, code, const_cast<void *>(in), inLength, out, outLength, &bytes, &o)) {
      EXPECT_NE(simwin::GetLastError(), DWORD(ERROR_IO_PENDING)) << "control codes never pend";
    }
    information_ = o.InternalHigh;
    return {NTSTATUS(uint32_t(o.Internal)), o.InternalHigh};
  }
  Result Send(DWORD code, const void *in, DWORD inLength, void *out = nullptr, DWORD outLength = 0) {
    return Send(h_, code, in, inLength, out, outLength);
  }
  template <typename Request>
    requires std::is_class_v<Request>
  Result Send(DWORD code, const Request &request, std::vector<uint8_t> *data = nullptr) {
    return Send(code, &request, sizeof request, data ? data->data() : nullptr, data ? DWORD(data->size()) : 0);
  }
  // Zeroed buffers of these lengths, one byte over so that nothing is written past them.
  Result SendZeroed(DWORD code, DWORD inLength = 0, DWORD outLength = 0) {
    std::vector<uint8_t> in(inLength + 1, 0), out(outLength + 1, 0);
    return Send(code, in.data(), inLength, out.data(), outLength);
  }

  // The trace starts afresh, so that tests see only their own requests.
  NTSTATUS Configure(uint16_t index, const std::vector<InterfaceSetting> &interfaces) {
    SetConfigurationRequest r{};
    r.ConfigurationIndex = index;
    r.NumberOfInterfaces = uint16_t(interfaces.size());
    for (size_t i = 0; i < interfaces.size() && i < XRUSB_MAX_INTERFACES; ++i) r.InterfaceList[i] = interfaces[i];
    const NTSTATUS status = Send(IOCTL_SET_CONFIGURATION, r).status;
    sim::usb::Bus::Get().ClearTrace(pdo_);
    return status;
  }

  sim::World world_;
  sim::usb::TestDevice device_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::u16string key_;
  PDEVICE_OBJECT pdo_ = nullptr;
  DeviceExtension *dx_ = nullptr;
  simwin::HANDLE h_ = simwin::INVALID_HANDLE_VALUE;
  std::vector<simwin::HANDLE> handles_;  // closed with h_
  ULONG_PTR information_ = 0;            // of the last request sent

 private:
  bool plugInSetUp_;
  bool removed_ = false;
  int keys_ = 0;
};

}  // namespace xrtest
