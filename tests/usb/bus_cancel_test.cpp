// Transfers the bus holds: Nak, cancellation, abort, force-pending. Held transfers ended by an
// unplug, and cancels and aborts racing the bus thread, the library's transfer tests make end to end.
#include <thread>

#include "bus_test_client.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/schedule.h"
#include "tests/support/await.h"

using namespace bustest;

namespace {

// The test device in configuration 1: its empty loopback Naks, its source always answers.
class BusCancelTest : public BusTest {
 protected:
  BusCancelTest() = default;
  explicit BusCancelTest(const sim::WorldOptions &options) : BusTest(options) {}
  void SetUp() override {
    BusTest::SetUp();
    Plug(dev_.model);
    Configure();
  }
  void AwaitPending(size_t n) { ASSERT_TRUE(support::AwaitUntil([&] { return Bus::Get().PendingTransfers(pdo_) == n; })); }
  void AwaitHeld(size_t n) { ASSERT_TRUE(support::AwaitUntil([&] { return Bus::Get().HeldTransfers(pdo_) == n; })); }
  TestDevice dev_ = MakeTestDevice();
};

TEST_F(BusCancelTest, NakHoldsUntilDataOrCancelWhichCompleteOnce) {
  uint8_t buf[3][64];
  URB urbs[3];
  std::unique_ptr<Request> r[3];
  for (int i = 0; i < 3; ++i) {
    urbs[i] = Bulk(Pipe(kLoopbackIn), buf[i], 64, USBD_TRANSFER_DIRECTION_IN);
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

  // Another pipe still moves while this one is held, and what it brings is asked for again.
  std::vector<uint8_t> out(64, 0x33);
  URB w = Bulk(Pipe(kLoopbackOut), out.data(), 64, 0);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(w));
  EXPECT_EQ(STATUS_SUCCESS, r[0]->Wait());
  EXPECT_EQ(0x33, buf[0][63]);
  AwaitHeld(1);
  EXPECT_TRUE(IoCancelIrp(r[2]->irp));
  EXPECT_EQ(STATUS_CANCELLED, r[2]->Wait());
  for (auto &x : r) EXPECT_EQ(1, x->completions);

  // A device that never answers a control request: held until cancelled.
  Bus::Get().FailEndpoint(pdo_, 0, {Response::Nak()});
  URB v = Vendor(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, kGetRegister, 0, 0, buf[0], 2);
  auto held = Submit(v);
  AwaitHeld(1);
  EXPECT_FALSE(held->Completed());
  IoCancelIrp(held->irp);
  EXPECT_EQ(STATUS_CANCELLED, held->Wait());
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(v)) << "the fault answered once";
}

// Windows does not order an abort against the transfers it cancels: the schedule places it
// anywhere among them, and a test can hold them until after it.
TEST_F(BusCancelTest, AbortCompletesInAnyPlaceAmongTheTransfersItCancels) {
  const USBD_PIPE_HANDLE loopback = Pipe(kLoopbackIn);
  uint8_t buf[2][64];
  URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, loopback);
  EXPECT_EQ(STATUS_SUCCESS, SubmitSync(abort)) << "nothing to cancel";
  for (uint32_t place = 0; place < 4; ++place) {
    SCOPED_TRACE(place);
    const bool hold = place == 3;
    Bus::Get().HoldAbortedTransfers(hold);
    URB urbs[2];
    std::unique_ptr<Request> r[2];
    for (int i = 0; i < 2; ++i) {
      urbs[i] = Bulk(loopback, buf[i], 64, USBD_TRANSFER_DIRECTION_IN);
      r[i] = Submit(urbs[i]);
    }
    AwaitHeld(1);
    if (!hold) sim::ForceChoices({place});
    auto a = Submit(abort);
    EXPECT_EQ(STATUS_PENDING, a->returned) << "answered from the bus thread";
    EXPECT_EQ(STATUS_SUCCESS, a->Wait());
    if (hold) {
      EXPECT_EQ(2u, Bus::Get().AbortedHeld());
      EXPECT_FALSE(r[0]->Completed() || r[1]->Completed());
      EXPECT_EQ(2u, Bus::Get().ReleaseAbortedTransfers());
    }
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(Outcome(STATUS_CANCELLED, USBD_STATUS_CANCELED), Outcome(r[i]->Wait(), urbs[i].UrbHeader.Status));
      EXPECT_EQ(0u, urbs[i].UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
    EXPECT_LT(r[0]->sequence, r[1]->sequence) << "the cancelled keep their order";
    const int before = (r[0]->sequence < a->sequence) + (r[1]->sequence < a->sequence);
    EXPECT_EQ(hold ? 0 : int(place), before);
    Bus::Get().Settle();
    for (auto &x : r) EXPECT_EQ(1, x->completions);
  }
}

TEST_F(BusCancelTest, ForcePendingAnswersEverythingFromTheBusThread) {
  Bus::Get().SetForcePending(true);
  URB frame = Header(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
  URB bad = PipeRequest(URB_FUNCTION_ABORT_PIPE, nullptr);
  for (auto [urb, status] : {std::pair{config_, STATUS_SUCCESS}, {&frame, STATUS_SUCCESS}, {&bad, STATUS_INVALID_PARAMETER}}) {
    auto r = Submit(*urb);
    EXPECT_EQ(STATUS_PENDING, r->returned);
    EXPECT_EQ(status, r->Wait());
  }
  Bus::Get().SetForcePending(false);
  EXPECT_EQ(STATUS_SUCCESS, Submit(frame)->returned);
}

class BusManualClockTest : public BusCancelTest {
 protected:
  BusManualClockTest() : BusCancelTest(sim::WorldOptions{sim::ClockMode::Manual}) {}
};

TEST_F(BusManualClockTest, RealTimePaceMovesBulkAtTheBusRate) {
  Bus::Get().SetPace(Pace::RealTime);
  // 13 x 512 bytes per microframe: 16 microframes, 2 ms, for 106496 bytes.
  std::vector<uint8_t> data(13 * 512 * 16);
  URB w = Bulk(Pipe(kSinkOut), data.data(), ULONG(data.size()), 0);
  auto r = Submit(w);
  sim::AdvanceMs(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(r->Completed());
  sim::AdvanceMs(1);
  EXPECT_EQ(STATUS_SUCCESS, r->Wait());
  EXPECT_EQ(data.size(), w.UrbBulkOrInterruptTransfer.TransferBufferLength);
}

}  // namespace
