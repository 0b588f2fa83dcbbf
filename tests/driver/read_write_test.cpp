// Reads and writes through a bound handle, as applications make them, against the data the test
// device produces and the URBs the bus saw.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/clock.h"
#include "sim/usb/bus.h"

namespace {

using sim::usb::Bus;
using sim::usb::Fault;
using sim::usb::Response;
using sim::usb::TestPatternByte;
using simwin::HANDLE;
using xrtest::Io;
namespace td = sim::usb::test_device;

class ReadWrite : public xrtest::PluggedDevice {
 protected:
  void ConfigureBulk() { ASSERT_EQ(Configure(0, {{0, 0, 1u << 20}}), STATUS_SUCCESS); }
  // A read the loopback endpoint holds (its FIFO is empty) until it is cancelled.
  std::unique_ptr<Io> HeldRead(HANDLE h, size_t heldBefore) {
    auto io = Start(h, true, std::vector<uint8_t>(64));
    while (Bus::Get().PendingTransfers(pdo_) != heldBefore + 1 || Bus::Get().HeldTransfers(pdo_) == 0)
      std::this_thread::yield();
    return io;
  }
  static bool Pending(const Io &io) { return !simwin::HasOverlappedIoCompleted(&io.o); }
  size_t BulkUrbs(uint8_t endpoint, ULONG length) {
    size_t n = 0;
    for (const auto &t : Bus::Get().Trace(pdo_))
      n += t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && t.endpoint == endpoint &&
           t.requestedLength == length;
    return n;
  }
};

TEST_F(ReadWrite, LoopbackWriteThenReadMovesTheData) {
  ConfigureBulk();
  const HANDLE in = Another();
  ASSERT_EQ(BindPipe(h_, td::kLoopbackOut), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(in, td::kLoopbackIn), STATUS_SUCCESS);
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
  std::vector<uint8_t> sent = data;
  EXPECT_EQ(Transfer(h_, false, sent).information, 1000u);
  std::vector<uint8_t> back(1000);
  const xrtest::Result r = Transfer(in, true, back);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 1000u);
  EXPECT_EQ(back, data);
  EXPECT_EQ(PipeAt(td::kLoopbackIn)->bytesTransferred, 1000u);
  EXPECT_EQ(PipeAt(td::kLoopbackIn)->requestsSucceeded, 1u);
  EXPECT_EQ(dx_->activeTransferCount, 0);
}

// Each read is one URB of its whole length, and they reach the bus in the order they were made.
TEST_F(ReadWrite, SeveralReadsInFlightKeepTheirOrder) {
  ConfigureBulk();
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  const std::vector<DWORD> lengths{1u << 20, 4096, 512};
  std::vector<std::unique_ptr<Io>> ios;
  for (DWORD n : lengths) ios.push_back(Start(h_, true, std::vector<uint8_t>(n)));
  uint64_t offset = 0;
  for (size_t k = 0; k < ios.size(); ++k) {
    const xrtest::Result r = Finish(h_, *ios[k]);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.information, lengths[k]);
    for (size_t i = 0; i < lengths[k]; ++i)
      ASSERT_EQ(ios[k]->buffer[i], TestPatternByte(offset + i)) << "read " << k << " byte " << i;
    offset += lengths[k];
    EXPECT_EQ(BulkUrbs(td::kSourceIn, lengths[k]), 1u);
  }
}

TEST_F(ReadWrite, ShortReadFailsUnlessThePipeAllowsIt) {
  ConfigureBulk();
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  std::vector<uint8_t> buffer(512);
  ASSERT_EQ(Send(IOCTL_SET_PIPE_PARAMETERS, PipeParameters{0}).status, STATUS_SUCCESS);
  Bus::Get().FailEndpoint(pdo_, td::kSourceIn, Fault{Response::Ack(std::vector<uint8_t>(60, 0x5A))});
  xrtest::Result r = Transfer(h_, true, buffer);
  EXPECT_EQ(r.status, NTSTATUS(USBD_STATUS_ERROR_SHORT_TRANSFER | 0xE0000000u));
  EXPECT_EQ(r.information, 60u);
  EXPECT_EQ(PipeAt(td::kSourceIn)->requestsFailed, 1u);

  ASSERT_EQ(Send(IOCTL_SET_PIPE_PARAMETERS, PipeParameters{SHORT_TRANSFER_OK}).status, STATUS_SUCCESS);
  Bus::Get().FailEndpoint(pdo_, td::kSourceIn, Fault{Response::Ack(std::vector<uint8_t>(60, 0x5A))});
  r = Transfer(h_, true, buffer);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 60u);
  EXPECT_EQ(buffer[59], 0x5A);
  EXPECT_EQ(PipeAt(td::kSourceIn)->bytesTransferred, 60u);
}

TEST_F(ReadWrite, RefusalsCompleteWithNoBytes) {
  std::vector<uint8_t> buffer(64);
  EXPECT_EQ(Transfer(h_, true, buffer).status, ERR_NOT_BOUND);
  std::vector<uint8_t> none;
  EXPECT_EQ(Transfer(h_, true, none).status, STATUS_SUCCESS) << "a read without buffer, even unbound";
  ConfigureBulk();
  const HANDLE in = Another();
  ASSERT_EQ(BindPipe(h_, td::kSinkOut), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(in, td::kSourceIn), STATUS_SUCCESS);
  for (auto [h, read] : {std::pair{h_, true}, std::pair{in, false}}) {
    const xrtest::Result r = Transfer(h, read, buffer);
    EXPECT_EQ(r.status, ERR_INVALID_DIRECTION);
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(BulkUrbs(td::kSinkOut, 64) + BulkUrbs(td::kSourceIn, 64), 0u);
}

// The bus gives the cancelled read back as cancelled; the driver completes it once, at once or
// on the third tick of its 10 ms timer.
TEST_F(ReadWrite, ConcurrencyCancelledHeldReadCompletesOnce) {
  for (bool defer : {false, true}) {
    SCOPED_TRACE(defer);
    Unplug();
    Plug({{u"DeferCancelledIrps", defer}});
    ConfigureBulk();
    ASSERT_EQ(BindPipe(h_, td::kLoopbackIn), STATUS_SUCCESS);
    auto io = HeldRead(h_, 0);
    if (defer) sim::SetClockMode(sim::ClockMode::Manual);
    ASSERT_TRUE(simwin::CancelIoEx(h_, &io->o));
    if (defer) {
      // The ticks count from the bus's cancellation reaching the driver.
      while (__atomic_load_n(&dx_->deferredQueue.Flink, __ATOMIC_ACQUIRE) == &dx_->deferredQueue)
        std::this_thread::yield();
      for (int tick = 0; tick < 2; ++tick) {
        sim::AdvanceMs(10);
        EXPECT_TRUE(Pending(*io)) << "tick " << tick + 1;
      }
      EXPECT_EQ(dx_->activeTransferCount, 1);
      sim::AdvanceMs(10);
    }
    const xrtest::Result r = Finish(h_, *io);
    EXPECT_EQ(r.status, ERR_USBD_CANCELED);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(dx_->activeTransferCount, 0);
    EXPECT_EQ(PipeAt(td::kLoopbackIn)->requestsFailed, 0u);
    sim::SetClockMode(sim::ClockMode::Real);
  }
}

class IsoReadWrite : public ReadWrite {
 protected:
  static constexpr ULONG kPackets = 8, kPacketSize = 256;
  static constexpr ULONG kData = sizeof(IsoTransferHeader) + kPackets * sizeof(IsoPacketDescriptor);

  void SetUp() override {
    ReadWrite::SetUp();
    // Alternate setting 1: 256-byte packets.
    ASSERT_EQ(Configure(0, {{0, 0, 4096}, {1, 1, 65536}}), STATUS_SUCCESS);
    ASSERT_EQ(BindPipe(h_, td::kIsoIn), STATUS_SUCCESS);
  }
  static std::vector<uint8_t> Buffer() {
    std::vector<uint8_t> b(kData + kPackets * kPacketSize, 0xEE);
    IsoTransferHeader h{kPackets, ISO_START_ASAP, 0, 0xFFFF};
    std::memcpy(b.data(), &h, sizeof h);
    for (ULONG k = 0; k < kPackets; ++k) {
      const IsoPacketDescriptor d{kData + k * kPacketSize, kPacketSize, 0xFFFFFFFF};
      std::memcpy(b.data() + sizeof h + k * sizeof d, &d, sizeof d);
    }
    return b;
  }
  static IsoPacketDescriptor Descriptor(const std::vector<uint8_t> &b, ULONG k) {
    IsoPacketDescriptor d;
    std::memcpy(&d, b.data() + sizeof(IsoTransferHeader) + k * sizeof d, sizeof d);
    return d;
  }
};

TEST_F(IsoReadWrite, ReadWritesEachPacketsResultBack) {
  std::vector<uint8_t> b = Buffer();
  const xrtest::Result r = Transfer(h_, true, b);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  IsoTransferHeader h;
  std::memcpy(&h, b.data(), sizeof h);
  EXPECT_EQ(h.ErrorCount, 0u);
  for (ULONG k = 0; k < kPackets; ++k) {
    const IsoPacketDescriptor d = Descriptor(b, k);
    EXPECT_EQ(d.Offset, kData + k * kPacketSize) << k;
    EXPECT_EQ(d.Length, kPacketSize) << k;
    EXPECT_EQ(d.Status, 0u) << k;
    EXPECT_EQ(b[d.Offset + 17], TestPatternByte(k * kPacketSize + 17)) << k;
  }
  EXPECT_EQ(PipeAt(td::kIsoIn)->requestsSucceeded, kPackets);
  EXPECT_EQ(PipeAt(td::kIsoIn)->bytesTransferred, kPackets * kPacketSize);
}

// A packet below packet 0 would give the bus a wrapped-round offset.
TEST_F(IsoReadWrite, PacketBelowTheFirstIsRefused) {
  std::vector<uint8_t> b = Buffer();
  const IsoPacketDescriptor below{kData - 12, 12, 0};
  std::memcpy(b.data() + sizeof(IsoTransferHeader) + 3 * sizeof below, &below, sizeof below);
  const xrtest::Result r = Transfer(h_, true, b);
  EXPECT_EQ(r.status, ERR_INVALID_ISO_PACKET);
  EXPECT_EQ(r.information, 0u);
  for (const auto &t : Bus::Get().Trace(pdo_)) EXPECT_NE(t.function, URB_FUNCTION_ISOCH_TRANSFER);
}

// Configuration changes release the pipe records that reads look up; no read may be between its
// look at the binding and its reference on the pipe when that happens.
TEST_F(ReadWrite, ConcurrencyReadsAgainstConfigurationChanges) {
  ConfigureBulk();
  const HANDLE other = Another();
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<uint8_t> buffer(64);
    while (!stop.load()) {
      const NTSTATUS s = Transfer(h_, true, buffer).status;
      EXPECT_TRUE(s == STATUS_SUCCESS || s == ERR_NOT_BOUND || s == ERR_USBD_CANCELED) << std::hex << s;
    }
  });
  SetConfigurationRequest r{};
  r.NumberOfInterfaces = 1;
  r.InterfaceList[0] = {0, 0, 4096};
  for (int i = 0; i < 100 && !HasFailure(); ++i) {
    EXPECT_EQ(Send(other, IOCTL_UNCONFIGURE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(other, IOCTL_SET_CONFIGURATION, &r, sizeof r).status, STATUS_SUCCESS);
    EXPECT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(dx_->activeTransferCount, 0);
}

// Unplugged under held reads: each completes, with nothing, and nothing of them stays behind.
TEST_F(ReadWrite, UnplugCompletesReadsInFlight) {
  ConfigureBulk();
  ASSERT_EQ(BindPipe(h_, td::kLoopbackIn), STATUS_SUCCESS);
  std::vector<std::unique_ptr<Io>> ios;
  for (size_t k = 0; k < 3; ++k) ios.push_back(HeldRead(h_, k));
  Remove();
  for (auto &io : ios) {
    const xrtest::Result r = Finish(h_, *io);
    EXPECT_FALSE(NT_SUCCESS(r.status)) << std::hex << r.status;
    EXPECT_EQ(r.information, 0u);
  }
  EXPECT_EQ(dx_->activeTransferCount, 0);
}

}  // namespace
