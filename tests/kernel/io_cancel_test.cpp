// Cancellation: IoCancelIrp, the cancel spin lock, cancel routines, and cancel racing completion.
#include <thread>

#include "tests/support/dispatch_stack.h"
#include "sim/kernel/threads.h"

using namespace support;

namespace {

class IoCancelTest : public IoTest {};

struct Seen {
  KIRQL irql, cancelIrql;
  BOOLEAN cancel;
  PVOID routine;
} g_seen;

VOID RecordingCancel(PDEVICE_OBJECT, PIRP irp) {
  g_seen = {KeGetCurrentIrql(), irp->CancelIrql, irp->Cancel, reinterpret_cast<PVOID>(irp->CancelRoutine)};
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

TEST_F(IoCancelTest, CancelRoutineRunsOnceUnderTheCancelLock) {
  Stack stack(1);
  PIRP held = nullptr;
  bool setRoutine = true;
  stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    if (setRoutine) IoSetCancelRoutine(irp, RecordingCancel);
    held = irp;
    return STATUS_PENDING;
  });
  Outcome out;
  EXPECT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, out));
  EXPECT_TRUE(IoCancelIrp(held));
  EXPECT_EQ(DISPATCH_LEVEL, g_seen.irql);
  EXPECT_EQ(PASSIVE_LEVEL, g_seen.cancelIrql);
  EXPECT_TRUE(g_seen.cancel);
  EXPECT_EQ(nullptr, g_seen.routine) << "the routine is taken out of the IRP before it is called";
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  EXPECT_EQ(STATUS_CANCELLED, out.status);

  // No routine set: only the flag records the request; the driver finds it when it next tries
  // to make the IRP cancellable.
  setRoutine = false;
  Outcome late;
  EXPECT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, late));
  EXPECT_FALSE(IoCancelIrp(held));
  EXPECT_EQ(1u, sim::CancelSentIrps([&](PIRP irp) { return irp == held; }));
  EXPECT_EQ(0, late.Done());
  Holder holder;
  holder.Hold()(stack[0], held);
  EXPECT_EQ(0u, holder.Count());
  EXPECT_EQ(STATUS_CANCELLED, late.status);
  EXPECT_EQ(0u, sim::CancelSentIrps([](PIRP) { return true; })) << "completed IRPs are not cancelled again";
}

// As the system does it: the cancel flag alone decides, whatever status the IRP ends with.
TEST_F(IoCancelTest, InvokeOnCancelFollowsTheCancelFlag) {
  Stack stack(2);
  Holder bottom;
  stack.On(0, bottom.Hold());
  int calls = 0;
  Routine onCancelOnly = [&](PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  };
  stack.On(1, [&](PDEVICE_OBJECT d, PIRP irp) { return ForwardWith(d, irp, &onCancelOnly, false, false, true); });
  struct Case {
    bool cancel;
    NTSTATUS status;
    int calls;
  } cases[] = {{true, STATUS_CANCELLED, 1}, {false, STATUS_CANCELLED, 0}, {true, STATUS_SUCCESS, 1}, {false, STATUS_SUCCESS, 0}};
  for (const Case &c : cases) {
    calls = 0;
    Outcome out;
    EXPECT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, out));
    PIRP irp = bottom.Take();
    ASSERT_TRUE(IoSetCancelRoutine(irp, nullptr));
    if (c.cancel) {
      EXPECT_FALSE(IoCancelIrp(irp));
    }
    Complete(irp, c.status);
    EXPECT_EQ(c.calls, calls) << "cancel " << c.cancel << " status " << std::hex << c.status;
    EXPECT_EQ(1, out.Done());
  }
}

// Cancel against completion from two threads: whichever wins, the IRP completes exactly once.
TEST(IoCancelConcurrency, CancelRacingCompletionCompletesExactlyOnce) {
  sim::World world;
  Stack stack(2);
  stack.On(1, PassDown());
  Holder bottom;
  stack.On(0, bottom.Hold());
  for (int i = 0; i < 300; ++i) {
    Outcome out;
    ASSERT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, out));
    PIRP irp = out.irp;
    std::function<void()> complete = [&] { bottom.CompleteNext(STATUS_SUCCESS, 1); };
    std::function<void()> cancel = [&] { sim::CancelSentIrps([&](PIRP p) { return p == irp; }); };
    std::thread first(i % 2 ? complete : cancel), second(i % 2 ? cancel : complete);
    first.join();
    second.join();
    ASSERT_EQ(1, out.Done());
    ASSERT_TRUE(out.status == STATUS_CANCELLED || (out.status == STATUS_SUCCESS && out.information == 1));
    ASSERT_EQ(0u, bottom.Count());
  }
  EXPECT_EQ(0u, sim::IrpsOutstanding());
}

}  // namespace
