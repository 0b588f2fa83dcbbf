// Transfers the bus holds: Nak, cancellation, abort, unplug, force-pending, and the races.
#include <atomic>
#include <thread>

#include "bus_test_client.h"
#include "sim/kernel/clock.h"

using namespace bustest;

namespace {

class BusCancelTest : public BusTest {
 protected:
  std::unique_ptr<SelectConfig> Configure(TestDevice &dev) {
    auto sc = std::make_unique<SelectConfig>(dev.model->configurations[1], std::initializer_list<std::array<uint8_t, 3>>{
                                                                                {0, 0, 2}});
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(*sc->urb()));
    return sc;
  }
  void AwaitPending(size_t n) {
    while (Bus::Get().PendingTransfers(pdo_) != n) std::this_thread::yield();
  }
  void AwaitHeld(size_t n) {
    while (Bus::Get().HeldTransfers(pdo_) != n) std::this_thread::yield();
  }
};

TEST_F(BusCancelTest, NakHoldsUntilCancelOrAbortWhichCompleteOnce) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = Configure(dev);
  USBD_PIPE_HANDLE in = sc->Interface(0)->Pipes[1].PipeHandle;
  uint8_t buf[3][64];
  Bus::Get().FailEndpoint(pdo_, 0x81, {Response::Nak(), 0});
  URB urbs[3];
  std::unique_ptr<Request> r[3];
  for (int i = 0; i < 3; ++i) {
    urbs[i] = Bulk(in, buf[i], 64, USBD_TRANSFER_DIRECTION_IN);
    r[i] = Submit(urbs[i]);
    EXPECT_EQ(STATUS_PENDING, r[i]->returned);
  }
  AwaitHeld(1);
  EXPECT_EQ(3u, Bus::Get().PendingTransfers(pdo_)) << "the others wait behind the held one";
  EXPECT_FALSE(r[0]->Completed());
  EXPECT_EQ(USBD_STATUS_PENDING, Bus::Get().Trace(pdo_).back().status);

  // The second is cancelled: it alone completes, once.
  EXPECT_TRUE(IoCancelIrp(r[1]->irp));
  EXPECT_EQ(STATUS_CANCELLED, r[1]->Wait());
  EXPECT_EQ(USBD_STATUS_CANCELED, urbs[1].UrbHeader.Status);
  EXPECT_FALSE(IoCancelIrp(r[1]->irp)) << "nothing left to cancel";
  EXPECT_FALSE(r[0]->Completed());
  AwaitPending(2);

  // Transfers on the other pipe still move while this one is held.
  uint8_t out[8] = {};
  URB w = Bulk(sc->Interface(0)->Pipes[0].PipeHandle, out, 8, 0);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(w));

  // Abort ends the rest with the cancellation status, and succeeds itself.
  URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, in);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(abort));
  for (int i : {0, 2}) {
    EXPECT_EQ(STATUS_CANCELLED, r[i]->Wait());
    EXPECT_EQ(USBD_STATUS_CANCELED, urbs[i].UrbHeader.Status);
    EXPECT_EQ(0u, urbs[i].UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  for (auto &x : r) EXPECT_EQ(1, x->completions);
  EXPECT_EQ(0u, Bus::Get().PendingTransfers(pdo_));
  // An abort with nothing pending succeeds at once.
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(abort));

  // A device that never answers a control request: held until cancelled.
  Bus::Get().ClearFaults(pdo_);
  Bus::Get().FailEndpoint(pdo_, 0, {Response::Nak()});
  URB v = Vendor(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0x42, 0, 0, buf[0], 8);
  auto held = Submit(v);
  AwaitHeld(1);
  EXPECT_FALSE(held->Completed());
  IoCancelIrp(held->irp);
  EXPECT_EQ(STATUS_CANCELLED, held->Wait());
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(v)) << "the fault answered once";
}

TEST_F(BusCancelTest, ModelNakIsAskedAgainAfterOtherTraffic) {
  TestDevice dev;
  std::atomic<bool> ready{false};
  dev.model->in = [&](uint8_t, size_t) { return ready ? Response::Ack({1, 2}) : Response::Nak(); };
  Plug(dev.model);
  auto sc = Configure(dev);
  uint8_t buf[8];
  URB rd = Bulk(sc->Interface(0)->Pipes[1].PipeHandle, buf, 8, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  auto r = Submit(rd);
  AwaitHeld(1);
  ready = true;
  EXPECT_FALSE(r->Completed());
  URB w = Bulk(sc->Interface(0)->Pipes[0].PipeHandle, buf, 8, 0);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(w));
  EXPECT_EQ(STATUS_SUCCESS, r->Wait());
  EXPECT_EQ(2u, rd.UrbBulkOrInterruptTransfer.TransferBufferLength);
}

TEST_F(BusCancelTest, UnplugEndsHeldTransfersAndLaterOnesAsGone) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = Configure(dev);
  uint8_t buf[64];
  Bus::Get().FailEndpoint(pdo_, 0x81, {Response::Nak(), 0});
  URB rd = Bulk(sc->Interface(0)->Pipes[1].PipeHandle, buf, 64, USBD_TRANSFER_DIRECTION_IN);
  auto r = Submit(rd);
  AwaitHeld(1);
  PDEVICE_OBJECT pdo = pdo_;
  Bus::Get().Unplug(pdo);
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, r->Wait());
  EXPECT_EQ(USBD_STATUS_DEVICE_GONE, rd.UrbHeader.Status);
  Bus::Get().Settle();
  EXPECT_EQ(sim::pnp::NodeState::Removed, sim::pnp::State(pdo));
  EXPECT_TRUE(sim::DeviceDeleted(pdo)) << "a vanished device's PDO goes after its removal";
  auto trace = Bus::Get().Trace(pdo);
  EXPECT_EQ(USBD_STATUS_DEVICE_GONE, trace.back().status);
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, trace.back().irpStatus);
}

TEST_F(BusCancelTest, ForcePendingAnswersEverythingFromTheBusThread) {
  TestDevice dev;
  Plug(dev.model);
  Bus::Get().SetForcePending(true);
  auto sc = std::make_unique<SelectConfig>(dev.model->configurations[1], std::initializer_list<std::array<uint8_t, 3>>{
                                                                              {0, 0, 2}});
  auto r = Submit(*sc->urb());
  EXPECT_EQ(STATUS_PENDING, r->returned);
  EXPECT_EQ(STATUS_SUCCESS, r->Wait());
  URB frame{};
  frame.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  frame.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  r = Submit(frame);
  EXPECT_EQ(STATUS_PENDING, r->returned);
  EXPECT_EQ(STATUS_SUCCESS, r->Wait());
  URB bad = PipeRequest(URB_FUNCTION_ABORT_PIPE, nullptr);
  r = Submit(bad);
  EXPECT_EQ(STATUS_PENDING, r->returned);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, r->Wait());
  Bus::Get().SetForcePending(false);
  r = Submit(frame);
  EXPECT_EQ(STATUS_SUCCESS, r->returned);
}

class BusManualClockTest : public BusTest {
 protected:
  BusManualClockTest() : BusTest(sim::WorldOptions{sim::ClockMode::Manual}) {}
};

TEST_F(BusManualClockTest, RealTimePaceMovesBulkAtTheBusRate) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = std::make_unique<SelectConfig>(dev.model->configurations[1], std::initializer_list<std::array<uint8_t, 3>>{
                                                                              {0, 0, 2}});
  ASSERT_EQ(STATUS_SUCCESS, SubmitSync(*sc->urb()));
  Bus::Get().SetPace(Pace::RealTime);
  // 13 x 512 bytes per microframe: 16 microframes, 2 ms, for 106496 bytes.
  std::vector<uint8_t> data(13 * 512 * 16);
  URB w = Bulk(sc->Interface(0)->Pipes[0].PipeHandle, data.data(), ULONG(data.size()), 0);
  auto r = Submit(w);
  sim::AdvanceMs(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(r->Completed());
  sim::AdvanceMs(1);
  EXPECT_EQ(STATUS_SUCCESS, r->Wait());
  EXPECT_EQ(data.size(), w.UrbBulkOrInterruptTransfer.TransferBufferLength);
}

// Cancel and abort racing the bus thread's completion: every IRP completes exactly once, with
// either outcome, and nothing is left behind.
TEST_F(BusCancelTest, ConcurrencyCancelAndAbortRaceCompletion) {
  TestDevice dev;
  Plug(dev.model);
  auto sc = Configure(dev);
  USBD_PIPE_HANDLE in = sc->Interface(0)->Pipes[1].PipeHandle;
  int cancelled = 0, succeeded = 0;
  for (int round = 0; round < 200; ++round) {
    const int n = 4;
    URB urbs[n];
    uint8_t buf[n][32];
    std::unique_ptr<Request> r[n];
    for (int i = 0; i < n; ++i) {
      urbs[i] = Bulk(in, buf[i], 32, USBD_TRANSFER_DIRECTION_IN);
      r[i] = Submit(urbs[i]);
    }
    std::thread canceller([&] {
      for (int i = 0; i < n; i += 2) IoCancelIrp(r[i]->irp);
    });
    if (round % 2) {
      URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, in);
      EXPECT_EQ(STATUS_SUCCESS, SubmitSync(abort));
    }
    canceller.join();
    for (int i = 0; i < n; ++i) {
      NTSTATUS s = r[i]->Wait();
      EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_CANCELLED) << std::hex << s;
      (s == STATUS_SUCCESS ? succeeded : cancelled)++;
      EXPECT_EQ(s == STATUS_SUCCESS ? USBD_STATUS_SUCCESS : USBD_STATUS_CANCELED, urbs[i].UrbHeader.Status);
    }
    Bus::Get().Settle();
    for (auto &x : r) EXPECT_EQ(1, x->completions);
  }
  EXPECT_GT(succeeded, 0);
  EXPECT_EQ(0u, Bus::Get().PendingTransfers(pdo_));
}

}  // namespace
