// Reads and writes through a bound handle, as applications make them, against the data the test
// device produces and the URBs the bus saw.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/timers.h"
#include "sim/usb/bus.h"
#include "tests/support/await.h"

namespace {

using sim::usb::Bus;
using sim::usb::Fault;
using sim::usb::Response;
using sim::usb::TestPatternByte;
using simwin::HANDLE;
using xrtest::Io;
using xrtest::Result;
namespace td = sim::usb::test_device;

class ReadWrite : public xrtest::PluggedDevice {
 protected:
  void ConfigureBulk() { ASSERT_EQ(Configure(0, {{0, 0, 1u << 20}}), STATUS_SUCCESS); }
  // A read the loopback endpoint holds (its FIFO is empty) until it is cancelled.
  std::unique_ptr<Io> HeldRead(HANDLE h) {
    auto io = Start(h, true, std::vector<uint8_t>(64));
    EXPECT_TRUE(support::AwaitUntil([&] { return Bus::Get().HeldTransfers(pdo_) != 0; }, "the read held"));
    return io;
  }
  uint32_t PipeFlags() {
    PipeParameters p{0xA5A5A5A5};
    EXPECT_EQ(Send(IOCTL_GET_PIPE_PARAMETERS, nullptr, 0, &p, sizeof p), (Result{STATUS_SUCCESS, sizeof p}));
    return p.Flags;
  }
  size_t BulkUrbs(uint8_t endpoint, ULONG length) {
    size_t n = 0;
    for (const auto &t : Bus::Get().Trace(pdo_))
      n += t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && t.endpoint == endpoint &&
           t.requestedLength == length;
    return n;
  }
};

// Each read is one URB of its whole length, and they reach the bus in the order they were made.
TEST_F(ReadWrite, SeveralReadsInFlightKeepTheirOrder) {
  ConfigureBulk();
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  const std::vector<DWORD> lengths{1u << 20, 4096, 512};
  std::vector<std::unique_ptr<Io>> ios;
  for (DWORD n : lengths) ios.push_back(Start(h_, true, std::vector<uint8_t>(n)));
  uint64_t offset = 0;
  for (size_t k = 0; k < ios.size(); ++k) {
    ASSERT_EQ(Finish(h_, *ios[k]), (Result{STATUS_SUCCESS, lengths[k]}));
    for (size_t i = 0; i < lengths[k]; ++i)
      ASSERT_EQ(ios[k]->buffer[i], TestPatternByte(offset + i)) << "read " << k << " byte " << i;
    offset += lengths[k];
    EXPECT_EQ(BulkUrbs(td::kSourceIn, lengths[k]), 1u);
  }
}

// The pipe's flag starts as the registry's ShortTransferOk and keeps no other bit.
TEST_F(ReadWrite, ShortReadFailsUnlessThePipeAllowsIt) {
  ConfigureBulk();
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  EXPECT_EQ(PipeFlags(), SHORT_TRANSFER_OK);
  std::vector<uint8_t> buffer(512);
  for (const uint32_t flags : {~SHORT_TRANSFER_OK, SHORT_TRANSFER_OK}) {
    const bool allowed = flags == SHORT_TRANSFER_OK;
    SCOPED_TRACE(allowed);
    ASSERT_EQ(Send(IOCTL_SET_PIPE_PARAMETERS, PipeParameters{flags}).status, STATUS_SUCCESS);
    EXPECT_EQ(PipeFlags(), flags & SHORT_TRANSFER_OK);
    Bus::Get().FailEndpoint(pdo_, td::kSourceIn, Fault{Response::Ack(std::vector<uint8_t>(60, 0x5A))});
    const NTSTATUS shortStatus = NTSTATUS(USBD_STATUS_ERROR_SHORT_TRANSFER | 0xE0000000u);
    EXPECT_EQ(Transfer(h_, true, buffer), (Result{allowed ? STATUS_SUCCESS : shortStatus, 60}));
  }
  EXPECT_EQ(buffer[59], 0x5A);
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
  for (auto [h, read] : {std::pair{h_, true}, std::pair{in, false}})
    EXPECT_EQ(Transfer(h, read, buffer), (Result{ERR_INVALID_DIRECTION, 0}));
  EXPECT_EQ(BulkUrbs(td::kSinkOut, 64) + BulkUrbs(td::kSourceIn, 64), 0u);
}

// A write without a buffer is a zero-length packet on the bus; a read without one asks nothing.
TEST_F(ReadWrite, WriteWithoutBufferSendsAZeroLengthPacket) {
  ConfigureBulk();
  ASSERT_EQ(BindPipe(h_, td::kSinkOut), STATUS_SUCCESS);
  std::vector<uint8_t> none;
  EXPECT_EQ(Transfer(h_, false, none), (Result{STATUS_SUCCESS, 0}));
  EXPECT_EQ(BulkUrbs(td::kSinkOut, 0), 1u);
}

// A present device whose requests are held answers an unbound handle by its Plug and Play state:
// not bound while started (powered down included), not ready while a stop is pending; a pipe
// request checks the binding before the block.
TEST_F(ReadWrite, UnboundHandleOfAHeldDevice) {
  std::vector<uint8_t> buffer(64);
  ASSERT_EQ(Send(IOCTL_SET_DEVICE_POWER_STATE, PowerStateValue{3}).status, STATUS_SUCCESS);
  ASSERT_TRUE(dx_->requestsBlocked);
  EXPECT_EQ(Transfer(h_, true, buffer), (Result{ERR_NOT_BOUND, 0}));
  EXPECT_EQ(Transfer(h_, false, buffer), (Result{ERR_NOT_BOUND, 0}));
  EXPECT_EQ(Send(IOCTL_RESET_PIPE, nullptr, 0).status, ERR_NOT_BOUND);
  ASSERT_EQ(Send(IOCTL_SET_DEVICE_POWER_STATE, PowerStateValue{0}).status, STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(Transfer(h_, true, buffer), (Result{ERR_DEVICE_NOT_READY, 0}));
  EXPECT_EQ(Send(IOCTL_RESET_PIPE, nullptr, 0).status, ERR_NOT_BOUND);
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
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
    auto io = HeldRead(h_);
    if (defer) sim::SetClockMode(sim::ClockMode::Manual);
    ASSERT_TRUE(simwin::CancelIoEx(h_, &io->o));
    if (defer) {
      // The ticks count from the bus's cancellation reaching the driver.
      ASSERT_TRUE(support::AwaitUntil([] { return sim::TimersSet() == 1; }, "the defer timer set"));
      for (int tick = 0; tick < 2; ++tick) {
        ASSERT_TRUE(sim::AdvanceToNextTimer());
        EXPECT_FALSE(simwin::HasOverlappedIoCompleted(&io->o)) << "tick " << tick + 1;
      }
      EXPECT_EQ(dx_->activeTransferCount, 1);
      ASSERT_TRUE(sim::AdvanceToNextTimer());
    }
    EXPECT_EQ(Finish(h_, *io), (Result{ERR_USBD_CANCELED, 0}));
    EXPECT_EQ(dx_->activeTransferCount, 0);
    EXPECT_EQ(PipeAt(td::kLoopbackIn)->requestsFailed, 0u);
    sim::SetClockMode(sim::ClockMode::Real);
  }
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
  const SetConfigurationRequest r = xrtest::ConfigRequest(0, Completed(0, {{0, 0, 4096}}));
  for (int i = 0; i < 100 && !HasFailure(); ++i) {
    EXPECT_EQ(Send(other, IOCTL_UNCONFIGURE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(other, IOCTL_SET_CONFIGURATION, &r, sizeof r).status, STATUS_SUCCESS);
    EXPECT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(dx_->activeTransferCount, 0);
}

}  // namespace
