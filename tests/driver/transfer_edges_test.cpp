// Transfers at their edges: isochronous packet results and limits, requests held while the
// device takes no bus requests, set-up that runs out of resources, and a pipe record that
// outlives its configuration until its last transfer is done.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"
#include "driver/core/pool_tags.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
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
using xrtest::IsoBuffer;
using xrtest::IsoPacket;
using xrtest::Result;
namespace td = sim::usb::test_device;

class TransferEdges : public xrtest::PluggedDevice {
 protected:
  TransferEdges() : PluggedDevice(false) {}
  void SetUp() override {
    PluggedDevice::SetUp();
    Plug({{u"MaxIsoPackets", 16}});
    ASSERT_NE(h_, simwin::INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    sim::SetClockMode(sim::ClockMode::Real);
    PluggedDevice::TearDown();
  }

  // A read of the empty loopback FIFO: the bus holds it until it is cancelled or aborted.
  std::unique_ptr<Io> HeldRead(HANDLE h) {
    auto io = Start(h, true, std::vector<uint8_t>(64));
    EXPECT_TRUE(support::AwaitUntil([&] { return Bus::Get().HeldTransfers(pdo_) != 0; }, "the read held"));
    return io;
  }
  size_t DataUrbs() {
    size_t n = 0;
    for (const auto &t : Bus::Get().Trace(pdo_))
      n += t.function == URB_FUNCTION_ISOCH_TRANSFER || t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    return n;
  }
};

// Interface 1 in alternate setting 1: isochronous IN and OUT with 256-byte packets, eight to a
// frame. The frame clock stands still, so that a stream never falls behind.
class IsoEdges : public TransferEdges {
 protected:
  static constexpr ULONG kPacketSize = 256;

  void SetUp() override {
    TransferEdges::SetUp();
    sim::SetClockMode(sim::ClockMode::Manual);
    ASSERT_EQ(Configure(0, {{0, 0, 4096}, {1, 1, 65536}}), STATUS_SUCCESS);
    out_ = Another();
    ASSERT_EQ(BindPipe(h_, td::kIsoIn), STATUS_SUCCESS);
    ASSERT_EQ(BindPipe(out_, td::kIsoOut), STATUS_SUCCESS);
  }
  static ULONG ErrorCount(const std::vector<uint8_t> &b) {
    IsoTransferHeader h;
    std::memcpy(&h, b.data(), sizeof h);
    return h.ErrorCount;
  }

  HANDLE out_ = simwin::INVALID_HANDLE_VALUE;
};

// Packets 2 and 5 fail at the device; each keeps its own status and the counters split 6 and 2.
TEST_F(IsoEdges, ReadWithFailedPacketsReportsEachOne) {
  auto packet = std::make_shared<int>(0);
  auto modelIn = device_.model->in;
  device_.model->in = [modelIn, packet](uint8_t endpoint, size_t length) {
    if (endpoint == td::kIsoIn) {
      const int k = (*packet)++;
      if (k == 2 || k == 5) return Response::Error(USBD_STATUS_CRC);
    }
    return modelIn(endpoint, length);
  };
  std::vector<uint8_t> b = IsoBuffer(std::vector<ULONG>(8, kPacketSize));
  EXPECT_EQ(Transfer(h_, true, b), (Result{STATUS_SUCCESS, 6 * kPacketSize}));
  EXPECT_EQ(ErrorCount(b), 2u);
  for (ULONG k = 0; k < 8; ++k) {
    const bool bad = k == 2 || k == 5;
    EXPECT_EQ(IsoPacket(b, k).Status, bad ? 0xE0000001u : 0u) << k;
    EXPECT_EQ(IsoPacket(b, k).Length, bad ? 0u : kPacketSize) << k;
  }
  const PipeContext *pipe = PipeAt(td::kIsoIn);
  EXPECT_EQ(pipe->requestsSucceeded, 6u);
  EXPECT_EQ(pipe->requestsFailed, 2u);
  EXPECT_EQ(pipe->bytesTransferred, 6 * kPacketSize);
}

// A write counts what the caller gave, whatever became of the packets.
TEST_F(IsoEdges, WriteCountsTheCallersLengths) {
  const std::vector<ULONG> lengths{kPacketSize, 0, 100, 37, 0, 0, 0, 0};
  Bus::Get().FailEndpoint(pdo_, td::kIsoOut, Fault{Response::Error(USBD_STATUS_XACT_ERROR)});
  std::vector<uint8_t> b = IsoBuffer(lengths);
  const Result r = Transfer(out_, false, b);
  EXPECT_FALSE(NT_SUCCESS(r.status)) << "every packet failed";
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(ErrorCount(b), 8u);
  const PipeContext *pipe = PipeAt(td::kIsoOut);
  EXPECT_EQ(pipe->bytesTransferred, 393u);
  EXPECT_EQ(pipe->requestsFailed, 8u);

  b = IsoBuffer(lengths);
  b.resize(b.size() + 50, 0xEE);  // not part of the last packet: never sent
  EXPECT_EQ(Transfer(out_, false, b).status, STATUS_SUCCESS);
  EXPECT_EQ(pipe->bytesTransferred, 786u);
  EXPECT_EQ(pipe->requestsSucceeded, 8u);
  EXPECT_EQ(device_.state->Snapshot().isoOutBytes, 393u);
}

// Each limit is checked on both sides of its edge; a refusal of the driver reaches nothing below.
// The bus takes packet sizes from the offsets, so packets must lie back to back.
TEST_F(IsoEdges, Limits) {
  const auto moved = [](ULONG k, LONG by) {
    std::vector<uint8_t> b = IsoBuffer(std::vector<ULONG>(8, 8));
    IsoPacketDescriptor d = IsoPacket(b, k);
    d.Offset += by;
    std::memcpy(b.data() + sizeof(IsoTransferHeader) + k * sizeof d, &d, sizeof d);
    return b;
  };
  const std::vector<ULONG> over{kPacketSize, kPacketSize + 1, 8, 8, 8, 8, 8, 8};
  std::vector<uint8_t> cut = IsoBuffer(std::vector<ULONG>(8, 8));
  cut.pop_back();
  struct Case {
    const char *what;
    bool read;
    std::vector<uint8_t> buffer;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"write packet over the packet size", false, IsoBuffer(over), ERR_INVALID_ISO_PACKET},
      {"read packet over the packet size", true, IsoBuffer(over), STATUS_SUCCESS},
      {"as many packets as allowed", true, IsoBuffer(std::vector<ULONG>(16, 8)), STATUS_SUCCESS},
      {"one packet more", true, IsoBuffer(std::vector<ULONG>(17, 8)), ERR_TOO_MANY_ISO_PACKETS},
      {"empty packets at the end of a buffer no longer than its table", true, IsoBuffer(std::vector<ULONG>(8, 0)),
       STATUS_SUCCESS},
      {"packet below packet 0", true, moved(3, -40), ERR_INVALID_ISO_PACKET},
      {"last packet past the end of the buffer", true, cut, ERR_INVALID_ISO_PACKET},
      {"gap before a write packet", false, moved(3, 1), ERR_INVALID_ISO_PACKET},
      {"half a frame, refused by the bus", true, IsoBuffer(std::vector<ULONG>(4, 8)), ERR_USBD_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Bus::Get().ClearTrace(pdo_);
    std::vector<uint8_t> b = c.buffer;
    const Result r = Transfer(c.read ? h_ : out_, c.read, b);
    EXPECT_EQ(r.status, c.status);
    const bool driverRefused = !NT_SUCCESS(c.status) && c.status != ERR_USBD_INVALID_PARAMETER;
    EXPECT_EQ(DataUrbs(), driverRefused ? 0u : 1u);
    if (!NT_SUCCESS(c.status)) {
      EXPECT_EQ(r.information, 0u);
    }
    if (driverRefused) {
      EXPECT_EQ(b, c.buffer) << "the caller's table is left alone";
    }
  }
  EXPECT_EQ(dx_->isoTransferPool.inUseCount, 0u);
}

// No context or no MDL: the request fails with no bytes and gives back what it took.
TEST_F(IsoEdges, SetupOutOfResources) {
  const std::vector<uint8_t> original = IsoBuffer(std::vector<ULONG>(8, kPacketSize));
  std::vector<uint8_t> b = original;
  sim::FailNth(sim::AllocKind::Pool, 1, TAG_TRANSFER_POOL);  // the isochronous pool's first block
  EXPECT_EQ(Transfer(h_, true, b), (Result{ERR_NO_TRANSFER_CONTEXT, 0}));
  EXPECT_EQ(b, original);

  // The I/O manager's MDL of the caller's buffer comes first, then its mapping.
  for (auto [nth, status] : {std::pair{2, ERR_BUFFER_MAPPING_FAILED}, std::pair{3, ERR_NO_MEMORY}}) {
    sim::FailNth(sim::AllocKind::Mdl, nth);
    EXPECT_EQ(Transfer(h_, true, b), (Result{status, 0}));
  }
  EXPECT_EQ(dx_->isoTransferPool.inUseCount, 0u);
  EXPECT_EQ(DataUrbs(), 0u);

  EXPECT_EQ(Transfer(h_, true, b).status, STATUS_SUCCESS) << "the context went back";
}

// A read whose cancel overtook the dispatch is still answered pending, then completes cancelled
// without reaching the bus, and gives its context back.
TEST_F(TransferEdges, CancelledBeforeQueuedStillPending) {
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  TakeTrace();
  simwin::SetCancelOnArrival(true);
  auto io = Start(h_, true, std::vector<uint8_t>(64));
  const DWORD error = simwin::GetLastError();
  simwin::SetCancelOnArrival(false);
  EXPECT_EQ(error, DWORD(ERROR_IO_PENDING));
  EXPECT_EQ(Finish(h_, *io), (Result{STATUS_CANCELLED, 0}));
  EXPECT_TRUE(TakeTrace().empty());
  EXPECT_EQ(dx_->activeTransferCount, 0);
  EXPECT_EQ(Transfer(h_, true, io->buffer), (Result{STATUS_SUCCESS, 64})) << "the context went back";
}

// While a stop is pending reads wait in the driver, cancellable one by one or by handle; when
// the stop is called off the rest go down in the order they were made, across handles.
TEST_F(TransferEdges, HeldWhileStopPendingThenSentInOrder) {
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  const HANDLE interrupt = Another(), loopback = Another();
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(interrupt, td::kInterruptIn), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(loopback, td::kLoopbackIn), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);

  auto first = Start(h_, true, std::vector<uint8_t>(100));
  auto report = Start(interrupt, true, std::vector<uint8_t>(td::kInterruptReportSize));
  auto cancelled = Start(h_, true, std::vector<uint8_t>(50));
  auto aborted = Start(loopback, true, std::vector<uint8_t>(64));
  auto second = Start(h_, true, std::vector<uint8_t>(200));
  for (const Io *io : {first.get(), report.get(), cancelled.get(), aborted.get(), second.get()})
    EXPECT_FALSE(simwin::HasOverlappedIoCompleted(&io->o));
  EXPECT_EQ(DataUrbs(), 0u);

  ASSERT_TRUE(simwin::CancelIoEx(h_, &cancelled->o));
  EXPECT_EQ(Finish(h_, *cancelled), (Result{STATUS_CANCELLED, 0}));
  EXPECT_EQ(Send(loopback, IOCTL_ABORT_PIPE).status, STATUS_SUCCESS);
  EXPECT_EQ(Finish(loopback, *aborted).status, STATUS_CANCELLED);
  EXPECT_FALSE(simwin::HasOverlappedIoCompleted(&first->o)) << "another handle's reads stay";
  EXPECT_EQ(DataUrbs(), 0u);

  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(Finish(h_, *first), (Result{STATUS_SUCCESS, 100}));
  EXPECT_EQ(Finish(interrupt, *report), (Result{STATUS_SUCCESS, td::kInterruptReportSize}));
  EXPECT_EQ(Finish(h_, *second), (Result{STATUS_SUCCESS, 200}));
  std::vector<std::pair<uint8_t, ULONG>> sent;
  for (const auto &t : Bus::Get().Trace(pdo_))
    if (t.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) sent.push_back({t.endpoint, t.requestedLength});
  const std::vector<std::pair<uint8_t, ULONG>> expected{
      {td::kSourceIn, 100}, {td::kInterruptIn, ULONG(td::kInterruptReportSize)}, {td::kSourceIn, 200}};
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(second->buffer[0], TestPatternByte(100));
  EXPECT_EQ(dx_->activeTransferCount, 0);
}

// A read aborted by unconfiguring keeps its pipe record alive past the configuration, while the
// bus still owes its completion (the abort completes first) and while the driver holds it back;
// the record goes with the read's completion, which also drains the device.
TEST_F(TransferEdges, LastTransferFreesAnUnconfiguredPipe) {
  ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(h_, td::kLoopbackIn), STATUS_SUCCESS);
  auto io = HeldRead(h_);
  sim::SetClockMode(sim::ClockMode::Manual);
  const HANDLE other = Another();
  Bus::Get().HoldAbortedTransfers(true);
  ASSERT_EQ(Send(other, IOCTL_UNCONFIGURE_DEVICE).status, STATUS_SUCCESS);
  Bus::Get().HoldAbortedTransfers(false);
  EXPECT_TRUE(IsListEmpty(&dx_->pipeList));
  EXPECT_EQ(sim::PoolUsage(TAG_PIPE_CONTEXT).blocksOutstanding, 1u);
  EXPECT_EQ(dx_->activeTransferCount, 1);
  EXPECT_EQ(KeReadStateEvent(&dx_->transfersDrainedEvent), 0);

  // The ticks count from the read's cancellation reaching the driver, which arms the timer.
  ASSERT_EQ(Bus::Get().ReleaseAbortedTransfers(), 1u);
  ASSERT_TRUE(support::AwaitUntil([] { return sim::TimersSet() == 1; }, "the defer timer set"));
  for (int tick = 0; tick < 2; ++tick) ASSERT_TRUE(sim::AdvanceToNextTimer());
  EXPECT_FALSE(simwin::HasOverlappedIoCompleted(&io->o)) << "held until the third tick";
  ASSERT_TRUE(sim::AdvanceToNextTimer());
  EXPECT_EQ(Finish(h_, *io), (Result{ERR_USBD_CANCELED, 0}));
  EXPECT_EQ(sim::PoolUsage(TAG_PIPE_CONTEXT).blocksOutstanding, 0u);
  EXPECT_EQ(dx_->activeTransferCount, 0);
  EXPECT_NE(KeReadStateEvent(&dx_->transfersDrainedEvent), 0);
}

}  // namespace
