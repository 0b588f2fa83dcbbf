// The I/O verifier: every misuse of IRPs stops the run with the check's name.
#include <thread>

#include "tests/support/dispatch_stack.h"
#include "sim/kernel/threads.h"

using namespace support;
namespace check = sim::check;

namespace {

// A two-device stack whose upper device passes requests down until a test says otherwise.
class IoVerifierTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    stack.On(1, PassDown());
  }
  Stack stack{2};
  Outcome out;
};

Dispatch PendForever() {
  return [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
}

TEST_F(IoVerifierTest, IrpCompletedTwice) {
  stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_READ, out), check::kIrpCompletedTwice);

  // The upper driver completes what the lower one still holds.
  stack.On(0, PendForever());
  stack.On(1, [](PDEVICE_OBJECT d, PIRP irp) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoCallDriver(Of(d)->lower, irp);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_READ, out), check::kIrpCompletedTwice);

  // A driver's own IRP completed again after its routine took it back.
  stack.On(1, CompleteWith(STATUS_SUCCESS));
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  Routine mine = [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
  IoSetCompletionRoutine(irp, CallRoutine, &mine, TRUE, TRUE, TRUE);
  IoCallDriver(stack.Top(), irp);
  EXPECT_DEATH(IoCompleteRequest(irp, IO_NO_INCREMENT), check::kIrpCompletedTwice);
  IoFreeIrp(irp);
}

TEST_F(IoVerifierTest, IrpNeverCompleted) {
  // Forward and wait, but the dispatch forgets the final completion.
  Routine stop = [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
  stack.On(1, [&](PDEVICE_OBJECT d, PIRP irp) { return ForwardWith(d, irp, &stop); });
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_READ, out), check::kIrpNeverCompleted);

  stack.On(1, PassDown());
  stack.On(0, PendForever());
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_READ, out); sim::CheckAllIrpsCompleted(),
               "IRP never completed: 1 IRP\\(s\\) still not completed");
}

// A dispatch routine returns STATUS_PENDING exactly when it marked the IRP pending.
TEST_F(IoVerifierTest, PendingMarkAndReturnedStatusDisagree) {
  stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  });
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_READ, out), check::kPendingNotMarked);
  stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_READ, out), check::kPendingMarkedNotReturned);

  // Returns the lower driver's STATUS_PENDING, but its completion routine does not carry the
  // mark up: caught when the completion passes its location.
  Holder bottom;
  stack.On(0, bottom.Hold());
  Routine forgets = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  stack.On(1, [&](PDEVICE_OBJECT d, PIRP irp) { return ForwardWith(d, irp, &forgets); });
  EXPECT_DEATH(
      {
        EXPECT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, out));
        std::thread([&] { bottom.CompleteNext(STATUS_SUCCESS); }).join();
      },
      check::kPendingNotMarked);
}

TEST_F(IoVerifierTest, DispatchReturnsAnotherStatusThanItCompletedWith) {
  stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
  });
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_DEVICE_CONTROL, out), check::kStatusMismatch);
  // Completing, then returning STATUS_PENDING, is right once the IRP is marked.
  stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    Complete(irp, STATUS_UNSUCCESSFUL);
    return STATUS_PENDING;
  });
  EXPECT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_DEVICE_CONTROL, out));
}

TEST_F(IoVerifierTest, PnpAndPowerIrpsStartAsNotSupported) {
  stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  });
  for (UCHAR major : {UCHAR(IRP_MJ_PNP), UCHAR(IRP_MJ_POWER)}) {
    EXPECT_EQ(STATUS_SUCCESS, Send(stack[0], major, out));
    EXPECT_DEATH(sim::SendIrp(stack[0], [&](PIRP, PIO_STACK_LOCATION s) { s->MajorFunction = major; }, nullptr),
                 check::kPnpPowerNotNotSupported);
  }
  // A driver's own request is held to the same rule.
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
  EXPECT_DEATH(IoCallDriver(stack[0], irp), check::kPnpPowerNotNotSupported);
  IoFreeIrp(irp);
}

TEST_F(IoVerifierTest, PoStartNextPowerIrpMissing) {
  Routine later = [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
  PIRP parked = nullptr;
  // The upper driver starts the next power IRP only in a callback after taking the IRP back.
  stack.On(1, [&](PDEVICE_OBJECT d, PIRP irp) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CallRoutine, &later, TRUE, TRUE, TRUE);
    parked = irp;
    PoCallDriver(Of(d)->lower, irp);
    return STATUS_PENDING;
  });
  stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  });
  ASSERT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_POWER, out, IRP_MN_SET_POWER));
  EXPECT_DEATH(IoCompleteRequest(parked, IO_NO_INCREMENT), check::kPoStartNextMissing);
  std::thread([&] {
    PoStartNextPowerIrp(parked);
    IoCompleteRequest(parked, IO_NO_INCREMENT);
  }).join();
  EXPECT_EQ(1, out.Done());

  // The lower driver forgets it.
  stack.On(1, [](PDEVICE_OBJECT d, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Of(d)->lower, irp);
  });
  stack.On(0, CompleteWith(STATUS_SUCCESS));
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_POWER, out, IRP_MN_QUERY_POWER), check::kPoStartNextMissing);
}

TEST_F(IoVerifierTest, IrqlAboveDispatchLevel) {
  stack[0]->Flags |= DO_POWER_PAGABLE;
  stack.On(0, PendForever());
  ASSERT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, out));
  out.irp->IoStatus.Status = STATUS_SUCCESS;
  EXPECT_DEATH(sim::RunAtIrql(DISPATCH_LEVEL + 1, [&] { IoCompleteRequest(out.irp, IO_NO_INCREMENT); }),
               check::kIrqlMisuse);
  sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoCompleteRequest(out.irp, IO_NO_INCREMENT); });
  EXPECT_EQ(1, out.Done());

  PIRP own = IoAllocateIrp(1, FALSE);
  EXPECT_DEATH(sim::RunAtIrql(HIGH_LEVEL, [&] { IoCallDriver(stack[0], own); }), check::kIrqlMisuse);
  // Plug and Play, and power for a pageable device, are dispatched at PASSIVE_LEVEL only.
  own->IoStatus.Status = STATUS_NOT_SUPPORTED;
  for (UCHAR major : {UCHAR(IRP_MJ_PNP), UCHAR(IRP_MJ_POWER)}) {
    IoGetNextIrpStackLocation(own)->MajorFunction = major;
    EXPECT_DEATH(sim::RunAtIrql(DISPATCH_LEVEL, [&] { IoCallDriver(stack[0], own); }), check::kIrqlMisuse);
  }
  IoFreeIrp(own);
}

TEST_F(IoVerifierTest, CancelRoutineAndSpinLockMisuse) {
  stack.On(0, [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    return Complete(irp, STATUS_SUCCESS);
  });
  EXPECT_DEATH(Send(stack.Top(), IRP_MJ_READ, out), check::kCompletedWithCancelRoutine);

  // A cancel routine that completes under the cancel spin lock, or returns holding it.
  const PDRIVER_CANCEL routines[] = {[](PDEVICE_OBJECT, PIRP irp) { Complete(irp, STATUS_CANCELLED); },
                                     [](PDEVICE_OBJECT, PIRP) {}};
  const char *checks[] = {check::kCompletedUnderSpinLock, check::kSpinLockMisuse};
  for (int k = 0; k < 2; ++k) {
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, routines[k]);
      return STATUS_PENDING;
    });
    ASSERT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, out));
    EXPECT_DEATH(IoCancelIrp(out.irp), checks[k]);
    ASSERT_TRUE(IoSetCancelRoutine(out.irp, nullptr));
    Complete(out.irp, STATUS_SUCCESS);
  }
}

}  // namespace
