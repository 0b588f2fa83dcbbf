#include "sim/usb/test_device.h"

#include <algorithm>

#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"

namespace sim::usb {

using namespace test_device;

namespace {

std::vector<uint8_t> Configuration1(Speed speed) {
  const bool high = speed != Speed::Full;
  const uint16_t bulk = high ? 512 : 64;
  ConfigBuilder b(1, 0xA0, 50);  // bus-powered, remote wake-up
  b.Interface(0, 0)
      .Endpoint(kSourceIn, EndpointType::Bulk, bulk)
      .Endpoint(kSinkOut, EndpointType::Bulk, bulk)
      .Endpoint(kLoopbackOut, EndpointType::Bulk, bulk)
      .Endpoint(kLoopbackIn, EndpointType::Bulk, bulk)
      // 1 ms either way: high speed counts 2^(n-1) microframes.
      .Endpoint(kInterruptIn, EndpointType::Interrupt, kInterruptReportSize, high ? 4 : 1)
      .Endpoint(kInterruptOut, EndpointType::Interrupt, kInterruptReportSize, high ? 4 : 1);
  // Alt 0 carries no isochronous endpoint so that configuring the device reserves no bandwidth.
  b.Interface(1, 0);
  struct Iso { uint16_t size; uint8_t transactions; };
  const std::vector<Iso> alts = high ? std::vector<Iso>{{256, 1}, {1024, 1}, {1024, 3}}
                                     : std::vector<Iso>{{64, 1}, {512, 1}, {1023, 1}};
  for (size_t i = 0; i < alts.size(); ++i) {
    b.Interface(1, static_cast<uint8_t>(i + 1))
        .Endpoint(kIsoIn, EndpointType::Isochronous, alts[i].size, 1, alts[i].transactions)
        .Endpoint(kIsoOut, EndpointType::Isochronous, alts[i].size, 1, alts[i].transactions);
  }
  b.Interface(2, 0).Endpoint(kControlPipe, EndpointType::Control, 64);
  return b.Build();
}

std::vector<uint8_t> Configuration2() {
  return ConfigBuilder(2, 0xC0, 0)
      .Interface(0, 0)
      .Endpoint(kConfig2LoopbackOut, EndpointType::Bulk, 64)
      .Endpoint(kConfig2LoopbackIn, EndpointType::Bulk, 64)
      .Build();
}

void Put32(std::vector<uint8_t> &v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// All handlers below run with s.mutex held.

Response LoopbackOut(TestDeviceState &s, std::span<const uint8_t> data) {
  const size_t room = s.options.loopbackCapacity - std::min(s.loopback.size(), s.options.loopbackCapacity);
  if (room == 0 && !data.empty()) return Response::Nak();
  const size_t take = std::min(room, data.size());
  s.loopback.insert(s.loopback.end(), data.begin(), data.begin() + static_cast<ptrdiff_t>(take));
  s.counters.loopbackBytesIn += take;
  Response r = Response::Ack();
  r.accepted = take;
  return r;
}

Response LoopbackIn(TestDeviceState &s, size_t length) {
  if (s.loopback.empty()) return Response::Nak();
  const size_t n = std::min(length, s.loopback.size());
  std::vector<uint8_t> out(s.loopback.begin(), s.loopback.begin() + static_cast<ptrdiff_t>(n));
  s.loopback.erase(s.loopback.begin(), s.loopback.begin() + static_cast<ptrdiff_t>(n));
  s.counters.loopbackBytesOut += n;
  return Response::Ack(std::move(out));
}

std::vector<uint8_t> Pattern(uint64_t &offset, size_t length, unsigned modulus) {
  std::vector<uint8_t> out(length);
  for (auto &b : out) b = TestPatternByte(offset++, modulus);
  return out;
}

Response In(TestDeviceState &s, uint8_t endpoint, size_t length) {
  auto &c = s.counters;
  if (c.configuration == 2) {
    if (endpoint == kConfig2LoopbackIn) return LoopbackIn(s, length);
    return Response::Stall();
  }
  if (c.configuration != 1) return Response::Stall();
  switch (endpoint) {
    case kSourceIn:
      c.sourceBytes += length;
      return Response::Ack(Pattern(s.sourceOffset, length, s.options.patternModulus));
    case kLoopbackIn:
      return LoopbackIn(s, length);
    case kInterruptIn: {
      std::vector<uint8_t> report;
      Put32(report, c.interruptReports++);
      Put32(report, static_cast<uint32_t>(c.interruptOutBytes));
      report.resize(std::min(length, report.size()));
      return Response::Ack(std::move(report));
    }
    case kIsoIn:
      ++c.isoInPackets;
      c.isoInBytes += length;
      return Response::Ack(Pattern(s.isoInOffset, length, s.options.patternModulus));
    default:
      return Response::Stall();
  }
}

Response Out(TestDeviceState &s, uint8_t endpoint, std::span<const uint8_t> data) {
  auto &c = s.counters;
  if (c.configuration == 2) {
    if (endpoint == kConfig2LoopbackOut) return LoopbackOut(s, data);
    return Response::Stall();
  }
  if (c.configuration != 1) return Response::Stall();
  switch (endpoint) {
    case kSinkOut: {
      uint64_t bad = 0;
      for (uint8_t b : data) bad += b != TestPatternByte(s.sinkOffset++, s.options.patternModulus);
      c.sinkBytes += data.size();
      c.sinkErrors += bad;
      if (bad && s.options.verifySink) return Response::Stall();
      return Response::Ack();
    }
    case kLoopbackOut:
      return LoopbackOut(s, data);
    case kInterruptOut:
      c.interruptOutBytes += data.size();
      c.lastInterruptOut.assign(data.begin(), data.end());
      return Response::Ack();
    case kIsoOut:
      ++c.isoOutPackets;
      c.isoOutBytes += data.size();
      return Response::Ack();
    default:
      return Response::Stall();
  }
}

Response Control(TestDeviceState &s, const Setup &setup, std::span<const uint8_t> data) {
  auto &c = s.counters;
  // Vendor requests to the device only.
  if ((setup.bmRequestType & 0x7F) != 0x40) return Response::Stall();
  ++c.vendorRequests;
  const size_t offset = setup.wValue;
  switch (setup.bRequest) {
    case kWriteMemory:
      if (setup.In() || offset + data.size() > c.memory.size()) return Response::Stall();
      std::copy(data.begin(), data.end(), c.memory.begin() + static_cast<ptrdiff_t>(offset));
      return Response::Ack();
    case kReadMemory:
      if (!setup.In() || offset + setup.wLength > c.memory.size()) return Response::Stall();
      return Response::Ack(std::vector<uint8_t>(c.memory.begin() + static_cast<ptrdiff_t>(offset),
                                                c.memory.begin() + static_cast<ptrdiff_t>(offset + setup.wLength)));
    case kSetRegister:
      if (setup.In() || setup.wLength != 0) return Response::Stall();
      c.reg = setup.wValue;
      return Response::Ack();
    case kGetRegister: {
      if (!setup.In()) return Response::Stall();
      std::vector<uint8_t> v{static_cast<uint8_t>(c.reg), static_cast<uint8_t>(c.reg >> 8)};
      v.resize(std::min<size_t>(setup.wLength, v.size()));
      return Response::Ack(std::move(v));
    }
    default:
      return Response::Stall();
  }
}

Response PipeControl(TestDeviceState &s, uint8_t endpoint, const Setup &setup, std::span<const uint8_t> data) {
  auto &c = s.counters;
  if ((endpoint & 0x0F) != kControlPipe || c.configuration != 1) return Response::Stall();
  ++c.pipeRequests;
  switch (setup.bRequest) {
    case kPipeWrite:
      if (setup.In()) return Response::Stall();
      c.pipeBuffer.assign(data.begin(), data.end());
      return Response::Ack();
    case kPipeRead: {
      if (!setup.In()) return Response::Stall();
      std::vector<uint8_t> v = c.pipeBuffer;
      v.resize(std::min<size_t>(setup.wLength, v.size()));
      return Response::Ack(std::move(v));
    }
    case kPipeCount: {
      if (!setup.In()) return Response::Stall();
      std::vector<uint8_t> v;
      Put32(v, c.pipeRequests);
      v.resize(std::min<size_t>(setup.wLength, v.size()));
      return Response::Ack(std::move(v));
    }
    default:
      return Response::Stall();
  }
}

// A new configuration, or none, starts every endpoint afresh.
void ResetData(TestDeviceState &s) {
  s.loopback.clear();
  s.counters.alternateSettings.clear();
  s.sourceOffset = s.sinkOffset = s.isoInOffset = 0;
}

}  // namespace

bool TestDevice::SignalRemoteWakeup() const {
  if (!model->bus || !model->pdo) return false;
  return model->bus->SignalRemoteWakeup(model->pdo);
}

TestDevice MakeTestDevice(const TestDeviceOptions &options) {
  auto state = std::make_shared<TestDeviceState>();
  state->options = options;
  state->counters.memory.assign(options.memorySize, 0);
  auto model = std::make_shared<DeviceModel>();
  model->speed = options.speed == Speed::Full ? Speed::Full : Speed::High;

  DeviceFields f;
  f.vendorId = options.vendorId;
  f.productId = options.productId;
  f.bcdDevice = options.bcdDevice;
  f.manufacturerString = kManufacturerString;
  f.productString = kProductString;
  f.serialString = kSerialString;
  f.numConfigurations = 2;
  model->deviceDescriptor = DeviceDescriptor(f);
  model->configurations = {Configuration1(model->speed), Configuration2()};
  model->strings[0] = LanguageTable();
  model->strings[kManufacturerString] = StringDescriptor(options.manufacturer);
  model->strings[kProductString] = StringDescriptor(options.product);
  model->strings[kSerialString] = StringDescriptor(options.serial);

  // The state never points back at the model, so the handlers may own it.
  auto with = [state](auto fn) {
    return [state, fn](auto &&...args) {
      const auto &s = state;
      std::lock_guard lock(s->mutex);
      return fn(*s, args...);
    };
  };
  model->in = with([](TestDeviceState &s, uint8_t ep, size_t len) { return In(s, ep, len); });
  model->out = with([](TestDeviceState &s, uint8_t ep, std::span<const uint8_t> d) { return Out(s, ep, d); });
  model->control = with([](TestDeviceState &s, const Setup &setup, std::span<const uint8_t> d) {
    return Control(s, setup, d);
  });
  model->endpointControl = with([](TestDeviceState &s, uint8_t ep, const Setup &setup, std::span<const uint8_t> d) {
    return PipeControl(s, ep, setup, d);
  });
  model->configured = with([](TestDeviceState &s, uint8_t value) {
    s.counters.configuration = value;
    ResetData(s);
    if (value == 1) s.counters.alternateSettings = {{0, 0}, {1, 0}, {2, 0}};
    if (value == 2) s.counters.alternateSettings = {{0, 0}};
  });
  model->interfaceSelected = with([](TestDeviceState &s, uint8_t number, uint8_t alternate) {
    s.counters.alternateSettings[number] = alternate;
  });
  model->portReset = with([](TestDeviceState &s) {
    ++s.counters.resetCount;
    s.counters.configuration = 0;
    ResetData(s);
  });
  return {model, state};
}

}  // namespace sim::usb
