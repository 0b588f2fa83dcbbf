// IRP allocation, IofCallDriver and IofCompleteRequest as drivers see them; cancellation with the
// cancel spin lock and cancel routines. Cancel racing completion the application side's overlapped
// test makes through CancelIoEx.
#include <thread>
#include <tuple>

#include "tests/support/dispatch_stack.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"

using namespace support;

namespace {

using IoIrpTest = IoTest;

TEST_F(IoIrpTest, CompletionRoutinesRunBottomUpAsTheirInvokeFlagsSay) {
  Stack stack(3);
  std::vector<PDEVICE_OBJECT> calls;  // the device each routine was called for, in order
  Routine top = [&](PDEVICE_OBJECT d, PIRP irp) {
    calls.push_back(d);
    EXPECT_EQ(d, IoGetCurrentIrpStackLocation(irp)->DeviceObject);
    irp->IoStatus.Information += 100;
    return STATUS_SUCCESS;
  };
  Routine midOnSuccess = [&](PDEVICE_OBJECT d, PIRP irp) {
    calls.push_back(d);
    // The location the lower driver used is cleared, its major function kept.
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, IoGetNextIrpStackLocation(irp)->MajorFunction);
    EXPECT_EQ(0u, IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
    return STATUS_SUCCESS;
  };
  stack.On(2, [&](PDEVICE_OBJECT d, PIRP irp) { return ForwardWith(d, irp, &top); });
  stack.On(1, [&](PDEVICE_OBJECT d, PIRP irp) { return ForwardWith(d, irp, &midOnSuccess, true, false, false); });
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_UNSUCCESSFUL}) {
    calls.clear();
    stack.On(0, [&](PDEVICE_OBJECT, PIRP irp) {
      EXPECT_EQ(0x222004u, IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
      EXPECT_EQ(stack[0], sim::GetPoolOwner()) << "pool is charged to the stack's bottom";
      return Complete(irp, status, 5);
    });
    Outcome out;
    EXPECT_EQ(status, Send(stack.Top(), IRP_MJ_DEVICE_CONTROL, out, 0, [](PIRP, PIO_STACK_LOCATION s) {
                s->Parameters.DeviceIoControl.IoControlCode = 0x222004;
              }));
    EXPECT_EQ(std::make_tuple(1, status, ULONG_PTR(105)), std::make_tuple(out.done, out.status, out.information));
    if (NT_SUCCESS(status))
      EXPECT_EQ((std::vector<PDEVICE_OBJECT>{stack[1], stack[2]}), calls);
    else
      EXPECT_EQ((std::vector<PDEVICE_OBJECT>{stack[2]}), calls);
  }
  EXPECT_EQ(nullptr, sim::GetPoolOwner());
}

TEST_F(IoIrpTest, MoreProcessingRequiredHandsTheIrpBackUntilItIsCompletedAgain) {
  Stack stack(2);
  Outcome out;
  // Forward and wait: the routine stops the completion, the dispatch finishes it.
  Routine stop = [&](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
  stack.On(1, [&](PDEVICE_OBJECT d, PIRP irp) {
    for (int i = 0; i < 2; ++i) {  // the walk clears the routine's flags: each send sets it again
      EXPECT_EQ(STATUS_UNSUCCESSFUL, ForwardWith(d, irp, &stop));
      EXPECT_EQ(0, out.Done());
      EXPECT_EQ(d, IoGetCurrentIrpStackLocation(irp)->DeviceObject);
    }
    return Complete(irp, STATUS_SUCCESS, 7);
  });
  stack.On(0, CompleteWith(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(STATUS_SUCCESS, Send(stack.Top(), IRP_MJ_DEVICE_CONTROL, out));
  EXPECT_EQ(1, out.done);
  EXPECT_EQ(7u, out.information);

  // Held back: the routine keeps the IRP and another thread completes it later.
  Outcome held;
  PIRP kept = nullptr;
  Routine keep = [&](PDEVICE_OBJECT, PIRP irp) {
    kept = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  stack.On(1, [&](PDEVICE_OBJECT d, PIRP irp) {
    IoMarkIrpPending(irp);
    ForwardWith(d, irp, &keep);
    return STATUS_PENDING;
  });
  stack.On(0, CompleteWith(STATUS_CANCELLED));
  EXPECT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, held));
  ASSERT_NE(nullptr, kept);
  EXPECT_EQ(0, held.Done());
  std::thread([&] { IoCompleteRequest(kept, IO_NO_INCREMENT); }).join();
  EXPECT_EQ(1, held.Done());
  EXPECT_EQ(STATUS_CANCELLED, held.status);
}

TEST_F(IoIrpTest, PendingReturnedFollowsTheMarksOfTheLowerLocations) {
  Stack stack(3);
  Holder bottom;
  std::vector<bool> seen;
  Routine top = [&](PDEVICE_OBJECT, PIRP irp) {
    seen.push_back(irp->PendingReturned);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  };
  stack.On(2, [&](PDEVICE_OBJECT d, PIRP irp) { return ForwardWith(d, irp, &top); });
  // No routine of its own: the walk carries the bottom's mark up through this location.
  stack.On(1, [&](PDEVICE_OBJECT d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(Of(d)->lower, irp);
  });
  stack.On(0, bottom.Hold());
  Outcome pending, synchronous;
  EXPECT_EQ(STATUS_PENDING, Send(stack.Top(), IRP_MJ_READ, pending));
  EXPECT_EQ(1u, sim::IrpsReferencing(stack[0]));
  EXPECT_EQ(1u, sim::IrpsReferencing(stack[2]));
  EXPECT_TRUE(bottom.CompleteNext(STATUS_SUCCESS));
  EXPECT_EQ(1, pending.Done());
  EXPECT_EQ(0u, sim::IrpsReferencing(stack[0]));

  stack.On(0, CompleteWith(STATUS_SUCCESS));
  EXPECT_EQ(STATUS_SUCCESS, Send(stack.Top(), IRP_MJ_READ, synchronous));
  EXPECT_EQ((std::vector<bool>{true, false}), seen);
}

TEST_F(IoIrpTest, DriverAllocatedIrpsAreTheirOwnersToFree) {
  Stack stack(2);
  stack.On(1, PassDown());
  Holder bottom;
  stack.On(0, bottom.Hold());

  PIRP irp = IoAllocateIrp(CCHAR(stack.Top()->StackSize + 1), FALSE);
  ASSERT_NE(nullptr, irp);

  std::vector<PDEVICE_OBJECT> calls;
  Routine mine = [&](PDEVICE_OBJECT d, PIRP) {
    calls.push_back(d);
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  // Sent twice, the second time at DISPATCH_LEVEL as from a completion path.
  for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, CallRoutine, &mine, TRUE, TRUE, TRUE);
    sim::RunAtIrql(irql, [&] { EXPECT_EQ(STATUS_PENDING, IoCallDriver(stack.Top(), irp)); });
    EXPECT_EQ(1u, sim::IrpsReferencing(stack[0]));
    EXPECT_EQ(0u, sim::IrpsReferencing(stack[1])) << "a skipped location names the lower device only";
    EXPECT_TRUE(bottom.CompleteNext(STATUS_SUCCESS));
    EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation) << "back where the originator left it";
  }
  EXPECT_EQ((std::vector<PDEVICE_OBJECT>{nullptr, nullptr}), calls) << "the originator's routine has no device";
  IoFreeIrp(irp);

  sim::FailNth(sim::AllocKind::Irp, 1);
  EXPECT_EQ(nullptr, IoAllocateIrp(1, FALSE));
}

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

TEST_F(IoIrpTest, CancelRoutineRunsOnceUnderTheCancelLock) {
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
  holder.Pend(held);
  EXPECT_EQ(0u, holder.Count());
  EXPECT_EQ(STATUS_CANCELLED, late.status);
  EXPECT_EQ(0u, sim::CancelSentIrps([](PIRP) { return true; })) << "completed IRPs are not cancelled again";
}

// As the system does it: the cancel flag alone decides, whatever status the IRP ends with.
TEST_F(IoIrpTest, InvokeOnCancelFollowsTheCancelFlag) {
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

}  // namespace
