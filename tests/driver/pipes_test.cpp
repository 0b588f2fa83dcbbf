// Binding handles to pipes and stopping or resetting pipes, as applications do it, checked
// against the pipe records and the requests the bus saw.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "driver/core/open_handle.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/work_items.h"
#include "tests/support/await.h"

namespace {

using sim::usb::Bus;
using sim::usb::TraceEntry;
using xrtest::Result;
using simwin::HANDLE;
namespace td = sim::usb::test_device;

class Pipes : public xrtest::PluggedDevice {
 protected:
  // Interface 0 (bulk, interrupt) and interface 2 (the second control endpoint) of configuration 1.
  void Configure() { ASSERT_EQ(PluggedDevice::Configure(0, {{0, 0, 4096}, {2, 0, 64}}), STATUS_SUCCESS); }
  // The pipe requests and configuration selections the bus saw since the last call, as
  // (function, endpoint).
  std::vector<std::pair<USHORT, uint8_t>> PipeRequests() {
    std::vector<std::pair<USHORT, uint8_t>> out;
    for (const TraceEntry &t : TakeTrace())
      if (t.function == URB_FUNCTION_ABORT_PIPE || t.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
          t.function == URB_FUNCTION_SELECT_CONFIGURATION)
        out.push_back({t.function, t.endpoint});
    return out;
  }
};

using Pairs = std::vector<std::pair<USHORT, uint8_t>>;

// A cancelled transfer's completion is held back by the driver's defer timer: wait with a bound.
::testing::AssertionResult AwaitDone(const xrtest::Io &io) {
  return support::AwaitUntil([&] { return simwin::HasOverlappedIoCompleted(&io.o); }, "the request done");
}

TEST_F(Pipes, BindAndUnbind) {
  EXPECT_EQ(BindPipe(h_, td::kSourceIn), ERR_PIPE_NOT_FOUND) << "nothing configured";
  Configure();
  const HANDLE h2 = Another();
  EXPECT_EQ(BindPipe(h_, 0x01), ERR_PIPE_NOT_FOUND) << "OUT 1 is not in this configuration";
  EXPECT_EQ(BindPipe(h_, td::kIsoIn), ERR_PIPE_NOT_FOUND) << "interface 1 was not selected";

  PipeContext *source = PipeAt(td::kSourceIn);
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);

  EXPECT_EQ(BindPipe(h_, td::kSinkOut), ERR_ALREADY_BOUND) << "one pipe per handle";
  EXPECT_EQ(BindPipe(h2, td::kSourceIn), ERR_ALREADY_BOUND) << "one handle per pipe";
  ASSERT_EQ(BindPipe(h2, td::kSinkOut), STATUS_SUCCESS);

  EXPECT_EQ(Send(h_, IOCTL_UNBIND_PIPE).status, STATUS_SUCCESS);
  EXPECT_EQ(source->boundHandle, nullptr);
  EXPECT_EQ(Send(h_, IOCTL_UNBIND_PIPE).status, ERR_NOT_BOUND);
  EXPECT_NE(PipeAt(td::kSinkOut)->boundHandle, nullptr) << "the other handle keeps its pipe";
  EXPECT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS) << "free again";
  EXPECT_TRUE(PipeRequests().empty()) << "binding never talks to the bus";
}

// After a stall the reads behind it wait at the bus, which refuses a reset under them: the reset
// ends them first, clears the halt on both sides, and the pipe reads again.
TEST_F(Pipes, ResetEndsTheReadsBehindAStallAndClearsIt) {
  Configure();
  ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  Bus::Get().FailEndpoint(pdo_, td::kSourceIn, {sim::usb::Response::Stall()});
  auto stalled = Start(h_, true, std::vector<uint8_t>(512)), behind = Start(h_, true, std::vector<uint8_t>(512));
  EXPECT_EQ(Finish(h_, *stalled).status, NTSTATUS(USBD_STATUS_STALL_PID | 0xE0000000u));
  ASSERT_TRUE(Bus::Get().EndpointHalted(pdo_, td::kSourceIn));

  EXPECT_EQ(Send(h_, IOCTL_RESET_PIPE).status, STATUS_SUCCESS);
  ASSERT_TRUE(AwaitDone(*behind));
  EXPECT_EQ(Finish(h_, *behind), (Result{ERR_USBD_CANCELED, 0}));
  EXPECT_EQ(PipeRequests(), (Pairs{{URB_FUNCTION_ABORT_PIPE, td::kSourceIn},
                                   {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, td::kSourceIn}}));
  EXPECT_FALSE(Bus::Get().EndpointHalted(pdo_, td::kSourceIn));
  std::vector<uint8_t> data(512);
  EXPECT_EQ(Transfer(h_, true, data), (Result{STATUS_SUCCESS, 512}));

  // A pipe handle the bus does not know: its refusal is the answer.
  PipeContext *pipe = PipeAt(td::kSourceIn);
  const USBD_PIPE_HANDLE real = pipe->pipeInfo.PipeHandle;
  pipe->pipeInfo.PipeHandle = USBD_PIPE_HANDLE(uintptr_t(0xBAD0));
  EXPECT_EQ(Send(h_, IOCTL_RESET_PIPE).status, ERR_USBD_INVALID_PIPE_HANDLE);
  pipe->pipeInfo.PipeHandle = real;
}

// An abort goes down only for a pipe that had a transfer at the bus since its last one.
TEST_F(Pipes, AbortOnlyWhenNeeded) {
  Configure();
  ASSERT_EQ(BindPipe(h_, td::kSinkOut), STATUS_SUCCESS);
  PipeContext *sink = PipeAt(td::kSinkOut);

  EXPECT_EQ(Send(h_, IOCTL_ABORT_PIPE).status, STATUS_SUCCESS);
  EXPECT_TRUE(PipeRequests().empty());

  sink->abortNeeded = TRUE;
  EXPECT_EQ(Send(h_, IOCTL_ABORT_PIPE).status, STATUS_SUCCESS);
  EXPECT_EQ(PipeRequests(), (Pairs{{URB_FUNCTION_ABORT_PIPE, td::kSinkOut}}));
  EXPECT_FALSE(sink->abortNeeded);
  EXPECT_EQ(Send(h_, IOCTL_ABORT_PIPE).status, STATUS_SUCCESS);
  EXPECT_TRUE(PipeRequests().empty()) << "one abort per transfer burst";

  // Refused by the bus: not reported, and not asked again.
  const USBD_PIPE_HANDLE real = sink->pipeInfo.PipeHandle;
  sink->pipeInfo.PipeHandle = USBD_PIPE_HANDLE(uintptr_t(0xBAD0));
  sink->abortNeeded = TRUE;
  EXPECT_EQ(Send(h_, IOCTL_ABORT_PIPE).status, STATUS_SUCCESS);
  EXPECT_FALSE(sink->abortNeeded);
  sink->pipeInfo.PipeHandle = real;
  PipeRequests();

  // While stopping is pending nothing reaches the bus from here.
  ASSERT_EQ(sim::pnp::QueryStop(pdo_), STATUS_SUCCESS);
  sink->abortNeeded = TRUE;
  EXPECT_EQ(Send(h_, IOCTL_ABORT_PIPE).status, STATUS_SUCCESS);
  EXPECT_TRUE(PipeRequests().empty());
  EXPECT_TRUE(sink->abortNeeded);
  ASSERT_EQ(sim::pnp::CancelStop(pdo_), STATUS_SUCCESS);
}

// A read between the queue, which marks its pipe as needing an abort, and the bus, which has not
// taken it yet: an abort in that window must still end it. Held at the bus's door until the
// abort is either done or waiting for the read's set-up to finish, then let in.
TEST_F(Pipes, AbortEndsAReadStillOnItsWayToTheBus) {
  Configure();
  ASSERT_EQ(BindPipe(h_, td::kLoopbackIn), STATUS_SUCCESS);  // empty: the device never answers
  Bus::Get().HoldArrivingTransfers(true);
  std::unique_ptr<xrtest::Io> read;
  std::thread reader([&] { read = Start(h_, true, std::vector<uint8_t>(64)); });
  ASSERT_TRUE(support::AwaitUntil([] { return Bus::Get().ArrivalsHeld() == 1; }, "the read at the bus's door"));
  std::atomic<bool> aborted{false};
  std::thread aborter([&] {
    EXPECT_EQ(Send(h_, IOCTL_ABORT_PIPE).status, STATUS_SUCCESS);
    aborted = true;
  });
  EXPECT_TRUE(support::AwaitUntil([&] { return aborted || sim::WaitersOn(&dx_->transferMutex) > 0; },
                                  "the abort done or waiting"));
  Bus::Get().HoldArrivingTransfers(false);
  reader.join();
  aborter.join();
  const bool done = AwaitDone(*read);
  if (!done) Unplug();  // ends the read, which must not outlive its buffer
  ASSERT_TRUE(done) << "the read slipped past the abort";
  EXPECT_EQ(Finish(h_, *read), (Result{ERR_USBD_CANCELED, 0}));
}

// A pipe control transfer takes its setup packet unchanged to the bound control pipe, both ways,
// with or without a data stage; a stall comes back mapped, a device that never answers ends in
// ERR_TIMEOUT after RequestTimeout. Only a control pipe carries one, its type checked first.
TEST_F(Pipes, ControlTransfersOnTheSecondControlPipe) {
  constexpr DWORD kIn = IOCTL_PIPE_CONTROL_TRANSFER_IN, kOut = IOCTL_PIPE_CONTROL_TRANSFER_OUT;
  Configure();
  const HANDLE bulk = Another();
  ASSERT_EQ(BindPipe(bulk, td::kSourceIn), STATUS_SUCCESS);
  ASSERT_EQ(BindPipe(h_, td::kControlPipe), STATUS_SUCCESS);
  using Bytes = std::vector<uint8_t>;
  const struct {
    DWORD code;
    uint8_t type, request;
    Bytes data, back;
    Result result;
  } cases[] = {
      {kOut, 0x40, td::kPipeWrite, {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {STATUS_SUCCESS, 5}},
      {kIn, 0xC0, td::kPipeRead, Bytes(7, 0xEE), {1, 2, 3, 4, 5, 0xEE, 0xEE}, {STATUS_SUCCESS, 5}},
      {kIn, 0xC0, td::kPipeCount, {}, {}, {STATUS_SUCCESS, 0}},
      {kOut, 0x40, 0x7F, {}, {}, {NTSTATUS(USBD_STATUS_STALL_PID | 0xE0000000u), 0}},
      // As written: the bus refuses a data stage against the packet's direction.
      {kOut, 0xC0, td::kPipeRead, {1}, {1}, {ERR_USBD_INVALID_PARAMETER, 0}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(int(c.request));
    const ULONG flags = c.code == kIn ? SHORT_TRANSFER_OK : 0;
    const PipeControlTransferRequest r{flags, {c.type, c.request, 0, 0, 0, 0, uint8_t(c.data.size()), 0}};
    Bytes data = c.data;
    EXPECT_EQ(Send(h_, c.code, &r, sizeof r, data.data(), DWORD(data.size())), c.result);
    EXPECT_EQ(data, c.back);
    const std::vector<TraceEntry> trace = TakeTrace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(std::tuple(trace[0].function, trace[0].endpoint, trace[0].flags, trace[0].requestedLength),
              std::tuple(USHORT(URB_FUNCTION_CONTROL_TRANSFER), td::kControlPipe,
                         flags ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0u, ULONG(data.size())));
  }

  sim::SetClockMode(sim::ClockMode::Manual);
  Bus::Get().FailEndpoint(pdo_, td::kControlPipe, {sim::usb::Response::Nak()});
  const PipeControlTransferRequest r{0, {0xC0, td::kPipeCount}};
  const uint64_t waits = sim::TimedWaitsStarted();
  Result timedOut{};
  std::thread sender([&] { timedOut = Send(h_, kIn, &r, sizeof r); });
  sim::AwaitTimedWaitsStarted(waits + 2);  // for deviceMutex, then for the bus
  sim::AdvanceMs(1000);
  sender.join();
  EXPECT_EQ(timedOut.status, ERR_TIMEOUT);

  for (DWORD code : {kIn, kOut}) {
    EXPECT_EQ(Send(bulk, code, &r, 4).status, ERR_USBD_INVALID_PIPE_HANDLE);
    EXPECT_EQ(Send(h_, code, &r, 4).status, ERR_INVALID_INBUFFER);
  }
}

// Cleanup aborts the handle's pipe and frees it for others; a new alternate setting or the end of
// the configuration aborts every pipe concerned that carried a transfer, and unbinds. The bus may
// complete an abort before the transfers it cancels: here they are held until after the binding,
// the pipe record or the device's last handle has gone, then come back.
TEST_F(Pipes, CleanupAndUnconfigureUnbindAndSurviveLateCompletions) {
  const InterfaceSetting again{0, 0, 4096};
  constexpr USHORT kAbort = URB_FUNCTION_ABORT_PIPE;
  const struct {
    const char *what;
    Pairs requests;      // aborts (the sink had a write) and selections
    NTSTATUS bindAfter;  // of another handle to the endpoint, the transfers still held
    bool closes;         // the bound handle
    std::function<void(HANDLE)> end;
  } cases[] = {
      {"cleanup", {{kAbort, td::kLoopbackIn}}, STATUS_SUCCESS, true,
       [](HANDLE h) { EXPECT_TRUE(simwin::CloseHandle(h)); }},
      {"interface selected again", {{kAbort, td::kSinkOut}, {kAbort, td::kLoopbackIn}}, STATUS_SUCCESS, false,
       [&](HANDLE) { EXPECT_EQ(Send(IOCTL_SET_INTERFACE, again).status, STATUS_SUCCESS); }},
      {"unconfigured",
       {{kAbort, td::kSinkOut}, {kAbort, td::kLoopbackIn}, {URB_FUNCTION_SELECT_CONFIGURATION, 0}},
       ERR_PIPE_NOT_FOUND, false,
       [&](HANDLE) { EXPECT_EQ(Send(h_, IOCTL_UNCONFIGURE_DEVICE).status, STATUS_SUCCESS); }},
      // The close waits for the transfers; then it is the last one, of a device that has left.
      {"last handles closed, the device removed", {{kAbort, td::kLoopbackIn}, {kAbort, 0}}, 0, true,  // the sink's, to a gone device
       [&](HANDLE h) {
         EXPECT_TRUE(simwin::CloseHandle(h));
         Remove();
         EXPECT_TRUE(simwin::CloseHandle(h_));
         h_ = simwin::INVALID_HANDLE_VALUE;
       }},
  };
  const PDEVICE_OBJECT pdo = pdo_;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    (void)Send(h_, IOCTL_UNCONFIGURE_DEVICE);
    Configure();
    std::vector<uint8_t> data(8);
    ASSERT_EQ(BindPipe(h_, td::kSinkOut), STATUS_SUCCESS);
    ASSERT_EQ(Transfer(h_, false, data).status, STATUS_SUCCESS);
    ASSERT_EQ(Send(h_, IOCTL_UNBIND_PIPE).status, STATUS_SUCCESS);
    const HANDLE h = Open();
    ASSERT_EQ(BindPipe(h, td::kLoopbackIn), STATUS_SUCCESS);
    std::unique_ptr<xrtest::Io> reads[] = {Start(h, true, std::vector<uint8_t>(64)), Start(h, true, std::vector<uint8_t>(64))};
    ASSERT_EQ(Bus::Get().PendingTransfers(pdo_), 2u);
    TakeTrace();
    Bus::Get().HoldAbortedTransfers(true);
    c.end(h);
    EXPECT_EQ(PipeRequests(), c.requests);
    EXPECT_EQ(Bus::Get().AbortedHeld(), 2u);
    if (h_ != simwin::INVALID_HANDLE_VALUE) {
      EXPECT_EQ(BindPipe(h_, td::kLoopbackIn), c.bindAfter);
      (void)Send(h_, IOCTL_UNBIND_PIPE);
    }
    Bus::Get().HoldAbortedTransfers(false);
    EXPECT_EQ(Bus::Get().ReleaseAbortedTransfers(), 2u);
    for (auto &r : reads) {
      ASSERT_TRUE(AwaitDone(*r));
      EXPECT_EQ(NTSTATUS(uint32_t(r->o.Internal)), ERR_USBD_CANCELED);
    }
    if (!c.closes) {
      EXPECT_EQ(Send(h, IOCTL_UNBIND_PIPE).status, ERR_NOT_BOUND);
      EXPECT_TRUE(simwin::CloseHandle(h));
    }
  }
  sim::DrainWorkItems();  // the deferred close
  ExpectGone(pdo);
}

}  // namespace
