// A ready-made test device in the spirit of a "gadget zero": data endpoints of every kind with
// behaviour a test can verify, vendor requests on endpoint 0 and on a second control endpoint,
// and counters the test reads back.
//
// Configuration 1 (bus-powered, remote wake-up):
//   interface 0 alt 0   0x81 bulk IN    source: byte i of the stream is i mod patternModulus
//                       0x02 bulk OUT   sink: counts, optionally checks the same pattern
//                       0x03 bulk OUT   loopback in: appends to a FIFO of loopbackCapacity bytes
//                       0x83 bulk IN    loopback out: drains the FIFO; empty FIFO NAKs
//                       0x84 interrupt IN   8-byte report: u32 report number, u32 interrupt-OUT bytes
//                       0x05 interrupt OUT  counted; the last report is kept
//   interface 1 alt 0   no endpoints
//               alt 1.. 0x86 isochronous IN (pattern), 0x06 isochronous OUT (counted), with growing
//                       packet sizes; at high speed the last is high-bandwidth (3 x 1024)
//   interface 2 alt 0   0x07 control endpoint answering kPipe* requests
// Configuration 2 (self-powered): interface 0 alt 0 with 0x01 bulk OUT / 0x81 bulk IN loopback,
// 64-byte packets.
//
// Vendor requests on endpoint 0 (device recipient):
//   kWriteMemory OUT  data stage to memory at offset wValue
//   kReadMemory  IN   wLength bytes from offset wValue
//   kSetRegister OUT  no data stage; register = wValue
//   kGetRegister IN   the register, 2 bytes little-endian
// Anything out of range, of the wrong direction or unknown stalls.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/usb/device.h"

namespace sim::usb {

namespace test_device {
constexpr uint8_t kWriteMemory = 0x5B;
constexpr uint8_t kReadMemory = 0x5C;
constexpr uint8_t kSetRegister = 0x5D;
constexpr uint8_t kGetRegister = 0x5E;
// On the second control endpoint.
constexpr uint8_t kPipeWrite = 0x60;  // OUT: data stage kept as the pipe buffer
constexpr uint8_t kPipeRead = 0x61;   // IN: the pipe buffer, up to wLength
constexpr uint8_t kPipeCount = 0x62;  // IN: u32 little-endian count of requests on that endpoint

constexpr uint8_t kSourceIn = 0x81;
constexpr uint8_t kSinkOut = 0x02;
constexpr uint8_t kLoopbackOut = 0x03;
constexpr uint8_t kLoopbackIn = 0x83;
constexpr uint8_t kInterruptIn = 0x84;
constexpr uint8_t kInterruptOut = 0x05;
constexpr uint8_t kIsoIn = 0x86;
constexpr uint8_t kIsoOut = 0x06;
constexpr uint8_t kControlPipe = 0x07;
// Configuration 2.
constexpr uint8_t kConfig2LoopbackOut = 0x01;
constexpr uint8_t kConfig2LoopbackIn = 0x81;

constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;
constexpr size_t kInterruptReportSize = 8;
}  // namespace test_device

struct TestDeviceOptions {
  Speed speed = Speed::High;  // Full or High
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x7355;
  uint16_t bcdDevice = 0x0100;
  std::u16string manufacturer = u"xrusb";
  std::u16string product = u"xrusb test device";
  std::u16string serial = u"0001";
  unsigned patternModulus = 251;  // 1: all zeros
  bool verifySink = false;        // a byte off the pattern stalls the sink
  size_t loopbackCapacity = 4096;
  size_t memorySize = 1024;
};

// What the device has seen; every field is read and written under 'mutex' because the bus
// thread runs the handlers while a test thread looks.
struct TestDeviceCounters {
  uint8_t configuration = 0;
  std::map<uint8_t, uint8_t> alternateSettings;  // interface number -> alternate setting
  unsigned resetCount = 0;
  uint64_t sourceBytes = 0;
  uint64_t sinkBytes = 0;
  uint64_t sinkErrors = 0;  // bytes off the pattern
  uint64_t loopbackBytesIn = 0;
  uint64_t loopbackBytesOut = 0;
  size_t loopbackDepth = 0;
  uint32_t interruptReports = 0;
  uint64_t interruptOutBytes = 0;
  std::vector<uint8_t> lastInterruptOut;
  uint64_t isoInPackets = 0, isoInBytes = 0;
  uint64_t isoOutPackets = 0, isoOutBytes = 0;
  uint16_t reg = 0;
  std::vector<uint8_t> memory;
  unsigned vendorRequests = 0;  // on endpoint 0, answered or not
  std::vector<uint8_t> pipeBuffer;
  uint32_t pipeRequests = 0;
};

struct TestDeviceState {
  mutable std::mutex mutex;
  TestDeviceOptions options;
  TestDeviceCounters counters;  // under mutex
  std::deque<uint8_t> loopback;
  uint64_t sourceOffset = 0;     // position in the source stream
  uint64_t sinkOffset = 0;       // position in the expected sink stream
  uint64_t isoInOffset = 0;

  TestDeviceCounters Snapshot() const {
    std::lock_guard lock(mutex);
    TestDeviceCounters copy = counters;
    copy.loopbackDepth = loopback.size();
    return copy;
  }
};

struct TestDevice {
  std::shared_ptr<DeviceModel> model;
  std::shared_ptr<TestDeviceState> state;

  // Remote wake-up through the bus the model is plugged into; false when it is not plugged or
  // the host was not waiting for it.
  bool SignalRemoteWakeup() const;
};

TestDevice MakeTestDevice(const TestDeviceOptions &options = {});

// The source pattern: byte 'offset' of a stream.
inline uint8_t TestPatternByte(uint64_t offset, unsigned modulus = 251) {
  return modulus <= 1 ? 0 : static_cast<uint8_t>(offset % modulus);
}

}  // namespace sim::usb
