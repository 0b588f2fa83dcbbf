// The driver loaded, a test device plugged on the simulated bus beneath it and a handle open on
// \\.\Dev0, as an application finds it.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "driver/config/configuration.h"
#include "driver_fixture.h"
#include "include/xrusb/interface_guid.h"
#include "include/xrusb/ioctl.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/power.h"
#include "sim/kernel/threads.h"
#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"
#include "sim/usb/test_device.h"
#include "sim/win32/win32.h"

namespace xrtest {

struct Result {
  NTSTATUS status;
  ULONG_PTR information;  // as the request completed, failures included
  bool operator==(const Result &) const = default;
};
inline void PrintTo(const Result &r, std::ostream *os) {
  *os << "{0x" << std::hex << uint32_t(r.status) << std::dec << ", " << r.information << "}";
}

struct Io {
  simwin::OVERLAPPED o{};
  std::vector<uint8_t> buffer;
};

// An error returned at once leaves a fresh OVERLAPPED untouched, as on Windows; its status is
// recorded there by hand so that every outcome reads alike.
inline void NoteImmediateError(bool ok, simwin::OVERLAPPED &o) {
  const NTSTATUS s = simwin::RtlGetLastNtStatus();
  if (!ok && simwin::GetLastError() != ERROR_IO_PENDING && (uint32_t(s) >> 30) == 3) o.Internal = uint32_t(s);
}

inline SetConfigurationRequest ConfigRequest(uint16_t index, const std::vector<InterfaceSetting> &settings) {
  SetConfigurationRequest r{};
  r.ConfigurationIndex = index;
  r.NumberOfInterfaces = uint16_t(settings.size());
  for (size_t i = 0; i < settings.size() && i < XRUSB_MAX_INTERFACES; ++i) r.InterfaceList[i] = settings[i];
  return r;
}

// Header, packet table, then the packets' data one after the other; the fields the driver fills
// start out as garbage.
inline std::vector<uint8_t> IsoBuffer(const std::vector<ULONG> &lengths) {
  const ULONG table = ULONG(sizeof(IsoTransferHeader) + lengths.size() * sizeof(IsoPacketDescriptor));
  std::vector<uint8_t> b(table + std::accumulate(lengths.begin(), lengths.end(), 0ul), 0xEE);
  const IsoTransferHeader h{ULONG(lengths.size()), ISO_START_ASAP, 0, 0xFFFF};
  std::memcpy(b.data(), &h, sizeof h);
  for (ULONG k = 0, offset = table; k < lengths.size(); offset += lengths[k++]) {
    const IsoPacketDescriptor d{offset, lengths[k], 0xFFFFFFFF};
    std::memcpy(b.data() + sizeof h + k * sizeof d, &d, sizeof d);
  }
  return b;
}
inline IsoPacketDescriptor IsoPacket(const std::vector<uint8_t> &b, ULONG k) {
  IsoPacketDescriptor d;
  std::memcpy(&d, b.data() + sizeof(IsoTransferHeader) + k * sizeof d, sizeof d);
  return d;
}

struct Endpoint {
  uint8_t address, type, interval;
  uint16_t maxPacket;
};

inline std::vector<Endpoint> EndpointsOf(const std::vector<uint8_t> &config, uint8_t number, uint8_t alternate) {
  std::vector<Endpoint> out;
  const sim::usb::ParsedConfiguration parsed = sim::usb::Parse(config);
  if (const sim::usb::AlternateSetting *a = parsed.Find(number, alternate))
    for (const sim::usb::EndpointInfo &e : a->endpoints)
      out.push_back({e.address, uint8_t(e.type), e.interval, e.wMaxPacketSize});
  return out;
}

// The driver loaded in a world of its own, and the helpers to plug, open and drive a device.
struct Bench {
  using Values = std::vector<std::pair<std::u16string, uint32_t>>;

  void Load() { driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb"); }

  // A fresh hardware key each time, so that no value of an earlier device carries over.
  void Plug(const Values &values = {}, sim::usb::PlugOptions options = {},
            const sim::usb::TestDeviceOptions &device = {}) {
    device_ = sim::usb::MakeTestDevice(device);
    PlugModel(device_.model, values, options);
  }
  void PlugModel(std::shared_ptr<sim::usb::DeviceModel> model, const Values &values,
                 sim::usb::PlugOptions options = {}) {
    key_ = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\" +
           sim::ToU16(std::to_string(++keys_).c_str());
    sim::registry::SetString(key_, u"DriverDeviceBaseName", u"Dev");
    for (const auto &[name, value] : strings_) sim::registry::SetString(key_, name, value);
    for (const auto &[name, value] : values) sim::registry::SetDword(key_, name, value);
    options.registryKey = key_;
    pdo_ = sim::usb::Bus::Get().Plug(std::move(model), driver_, options);
    removed_ = false;
    dx_ = DeviceAbove(pdo_);
    if (dx_ && openOnPlug_) h_ = Open();
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
  // Nothing of a removed device may remain.
  static void ExpectGone(PDEVICE_OBJECT pdo) {
    sim::usb::Bus::Get().Settle();
    EXPECT_EQ(DeviceAbove(pdo), nullptr);
    EXPECT_EQ(sim::LookupDeviceByName(u"\\Device\\Dev0"), nullptr);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_TRUE(sim::EnabledInterfaces(XRUSB_DEFAULT_INTERFACE_GUID).empty());
    EXPECT_EQ(sim::usb::Bus::Get().InterfaceReferences(pdo), 0);
    EXPECT_EQ(sim::power::SystemStateRegistrations(), 0u);
    EXPECT_EQ(sim::PoolBlocksOutstanding(), 0u) << sim::DescribeOutstandingPool();
  }
  void UnplugExpectingNothingLeft() {
    PDEVICE_OBJECT pdo = pdo_;
    Unplug();
    ExpectGone(pdo);
  }

  // Overlapped, so that the request's Information is seen even when it fails.
  static simwin::HANDLE Open() {
    return simwin::CreateFileW(u"\\\\.\\Dev0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  }

  static Result Send(simwin::HANDLE h, DWORD code, const void *in = nullptr, DWORD inLength = 0, void *out = nullptr,
                     DWORD outLength = 0) {
    simwin::OVERLAPPED o{};
    DWORD bytes = 0;
    const bool ok = simwin::DeviceIoControl(h, code, const_cast<void *>(in), inLength, out, outLength, &bytes, &o);
    if (!ok) {
      EXPECT_NE(simwin::GetLastError(), DWORD(ERROR_IO_PENDING)) << "control codes never pend";
    }
    NoteImmediateError(ok, o);
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

  // As process p: the driver's answer to an open (the handle kept in *kept, else closed again),
  // a control code, a close.
  static NTSTATUS OpenIn(PEPROCESS p, simwin::HANDLE *kept = nullptr) {
    simwin::ProcessScope in(p);
    simwin::HANDLE h = Open();
    if (h == simwin::INVALID_HANDLE_VALUE) return simwin::RtlGetLastNtStatus();
    if (kept)
      *kept = h;
    else
      EXPECT_TRUE(simwin::CloseHandle(h));
    return STATUS_SUCCESS;
  }
  NTSTATUS SendIn(PEPROCESS p, simwin::HANDLE h, DWORD code, const void *in = nullptr, DWORD inLength = 0) {
    simwin::ProcessScope as(p);
    return Send(h, code, in, inLength).status;
  }
  static void CloseIn(PEPROCESS p, simwin::HANDLE h) {
    simwin::ProcessScope in(p);
    EXPECT_TRUE(simwin::CloseHandle(h));
  }

  // The settings, then alternate setting 0 of each interface of configuration 'index' they do
  // not name (with the first setting's transfer size): a selection names every interface.
  std::vector<InterfaceSetting> Completed(uint16_t index, std::vector<InterfaceSetting> settings) {
    for (const sim::usb::InterfaceInfo &i : sim::usb::Parse(device_.model->configurations[index & 0xFF]).interfaces)
      if (std::none_of(settings.begin(), settings.end(), [&](const InterfaceSetting &s) { return s.InterfaceNumber == i.number; }))
        settings.push_back({i.number, 0, settings[0].MaximumTransferSize});
    return settings;
  }
  // The trace starts afresh, so that tests see only their own requests.
  NTSTATUS Configure(uint16_t index, const std::vector<InterfaceSetting> &interfaces) {
    const NTSTATUS status = Send(IOCTL_SET_CONFIGURATION, ConfigRequest(index, Completed(index, interfaces))).status;
    sim::usb::Bus::Get().ClearTrace(pdo_);
    return status;
  }
  ConfigurationInfo Info() {
    ConfigurationInfo info;
    memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(Send(IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &info, sizeof info),
              (Result{STATUS_SUCCESS, sizeof info}));
    return info;
  }
  // The records must describe what the bus answered for these settings of configuration
  // 'index', in this order.
  void ExpectRecords(uint8_t index, const std::vector<InterfaceSetting> &settings) {
    const ConfigurationInfo info = Info();
    const std::vector<uint8_t> &config = device_.model->configurations[index];
    ASSERT_EQ(info.NumberOfInterfaces, settings.size());
    size_t pipe = 0;
    for (size_t i = 0; i < settings.size(); ++i) {
      const InterfaceSetting &s = settings[i];
      const auto endpoints = EndpointsOf(config, uint8_t(s.InterfaceNumber), uint8_t(s.AlternateSetting));
      EXPECT_EQ(info.Interfaces[i].InterfaceNumber, s.InterfaceNumber);
      EXPECT_EQ(info.Interfaces[i].AlternateSetting, s.AlternateSetting);
      EXPECT_EQ(info.Interfaces[i].NumberOfPipes, endpoints.size());
      for (const Endpoint &e : endpoints) {
        SCOPED_TRACE(testing::Message() << "endpoint " << std::hex << int(e.address));
        ASSERT_LT(pipe, XRUSB_MAX_PIPES);
        const PipeSummary &p = info.Pipes[pipe++];
        EXPECT_EQ(p.EndpointAddress, e.address);
        EXPECT_EQ(p.PipeType, e.type);
        EXPECT_EQ(p.Interval, e.interval);
        EXPECT_EQ(p.MaximumPacketSize, e.maxPacket);
        EXPECT_EQ(p.MaximumTransferSize, s.MaximumTransferSize);
        EXPECT_EQ(p.InterfaceNumber, s.InterfaceNumber);
      }
    }
    EXPECT_EQ(info.NumberOfPipes, pipe);
    const uint8_t *tail = reinterpret_cast<const uint8_t *>(&info.Pipes[pipe]);
    const uint8_t *end = reinterpret_cast<const uint8_t *>(&info + 1);
    EXPECT_TRUE(std::all_of(tail, end, [](uint8_t b) { return b == 0; })) << "unfilled entries are cleared";
  }
  static NTSTATUS BindPipe(simwin::HANDLE h, uint8_t address) {
    const BindPipeRequest r{address};
    return Send(h, IOCTL_BIND_PIPE, &r, sizeof r).status;
  }
  // A further handle, closed with h_.
  simwin::HANDLE Another() {
    handles_.push_back(Open());
    return handles_.back();
  }
  // Failures complete inside the call; Finish reads them as the rest.
  static std::unique_ptr<Io> Start(simwin::HANDLE h, bool read, std::vector<uint8_t> buffer) {
    auto io = std::make_unique<Io>();
    io->buffer = std::move(buffer);
    NoteImmediateError(read ? simwin::ReadFile(h, io->buffer.data(), DWORD(io->buffer.size()), nullptr, &io->o)
                            : simwin::WriteFile(h, io->buffer.data(), DWORD(io->buffer.size()), nullptr, &io->o),
                       io->o);
    return io;
  }
  static Result Finish(simwin::HANDLE h, Io &io) {
    DWORD bytes = 0;
    simwin::GetOverlappedResult(h, &io.o, &bytes, TRUE);
    return {NTSTATUS(uint32_t(io.o.Internal)), io.o.InternalHigh};
  }
  static Result Transfer(simwin::HANDLE h, bool read, std::vector<uint8_t> &buffer) {
    auto io = Start(h, read, buffer);
    const Result r = Finish(h, *io);
    buffer = io->buffer;
    return r;
  }
  PipeContext *PipeAt(uint8_t address) {
    for (PLIST_ENTRY e = dx_->pipeList.Flink; e != &dx_->pipeList; e = e->Flink) {
      PipeContext *pipe = CONTAINING_RECORD(e, PipeContext, listEntry);
      if (pipe->pipeInfo.EndpointAddress == address) return pipe;
    }
    ADD_FAILURE() << "no pipe " << int(address);
    return nullptr;
  }
  // What the bus saw since the last look.
  std::vector<sim::usb::TraceEntry> TakeTrace() {
    std::vector<sim::usb::TraceEntry> trace = sim::usb::Bus::Get().Trace(pdo_);
    sim::usb::Bus::Get().ClearTrace(pdo_);
    return trace;
  }

  sim::World world_;
  sim::usb::TestDevice device_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::u16string key_;
  PDEVICE_OBJECT pdo_ = nullptr;
  DeviceExtension *dx_ = nullptr;
  simwin::HANDLE h_ = simwin::INVALID_HANDLE_VALUE;
  std::vector<simwin::HANDLE> handles_;  // closed with h_
  bool openOnPlug_ = true;               // cleared by suites that open for themselves
  std::vector<std::pair<std::u16string, std::u16string>> strings_;  // registry strings for the next Plug

  bool removed_ = false;
  int keys_ = 0;
};

class PluggedDevice : public ::testing::Test, public Bench {
 protected:
  // Suites whose tests need other registry values, bus options or speeds plug for themselves.
  explicit PluggedDevice(bool plugInSetUp = true) : plugInSetUp_(plugInSetUp) {}

  void SetUp() override {
    Load();
    if (plugInSetUp_) {
      Plug();
      ASSERT_NE(h_, simwin::INVALID_HANDLE_VALUE);
    }
  }
  void TearDown() override {
    sim::ClearFaults();
    Unplug();
  }

 private:
  bool plugInSetUp_;
};

}  // namespace xrtest
