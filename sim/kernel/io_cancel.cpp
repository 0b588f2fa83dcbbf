// Cancellation: the system cancel spin lock and IoCancelIrp.
#include "io_manager.h"
#include "irp_internal.h"
#include "threads.h"
#include "verifier.h"

namespace sim::io {
namespace {

// One lock for the whole system, as in Windows; a real KSPIN_LOCK so that lock-order tracking
// and the spin-lock checks cover it.
KSPIN_LOCK g_cancelLock = 0;
std::mutex g_hookLock;
std::function<void(PIRP)> g_beforeCancel;

bool CancelLockHeldByMe() {
  return __atomic_load_n(&g_cancelLock, __ATOMIC_SEQ_CST) == ULONG_PTR(sim::CurrentThread());
}

}  // namespace

void ResetCancelLock() {
  KeInitializeSpinLock(&g_cancelLock);
  std::lock_guard<std::mutex> guard(g_hookLock);
  g_beforeCancel = nullptr;
}

}  // namespace sim::io

namespace sim {

void SetBeforeCancelHook(std::function<void(PIRP)> hook) {
  std::lock_guard<std::mutex> guard(io::g_hookLock);
  io::g_beforeCancel = std::move(hook);
}

}  // namespace sim

using namespace sim;
using namespace sim::io;

extern "C" {

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancelLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL entry = KeGetCurrentIrql();
  if (entry > DISPATCH_LEVEL) VerifierFail(check::kIrqlMisuse, "IoCancelIrp at IRQL %u", entry);
  std::function<void(PIRP)> hook;
  {
    std::lock_guard<std::mutex> guard(g_hookLock);
    hook = g_beforeCancel;
  }
  if (hook) hook(Irp);
  // The pin keeps the IRP's memory while a completion on another thread finishes it.
  IrpHeader *h = PinIrp(Irp, "IoCancelIrp");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
  auto routine = reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&Irp->CancelRoutine), nullptr));
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    UnpinIrp(h);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount)
    VerifierFail(check::kBadObject, "IRP %p has a cancel routine but no driver holds it", static_cast<void *>(Irp));
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  {
    ActivityScope activity(Irp, device, nullptr);
    routine(device, Irp);
  }
  if (CancelLockHeldByMe())
    VerifierFail(check::kSpinLockMisuse, "cancel routine %p returned without releasing the cancel spin lock",
                 reinterpret_cast<void *>(routine));
  if (KeGetCurrentIrql() != entry)
    VerifierFail(check::kIrqlMisuse, "cancel routine %p left IRQL at %u; IoCancelIrp was called at %u",
                 reinterpret_cast<void *>(routine), KeGetCurrentIrql(), entry);
  UnpinIrp(h);
  return TRUE;
}

}  // extern "C"
