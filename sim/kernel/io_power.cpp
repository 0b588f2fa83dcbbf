// The power manager's part in sending power IRPs (PoCallDriver), and the PoStartNextPowerIrp
// check.
#include <algorithm>

#include "irp_internal.h"
#include "threads.h"
#include "verifier.h"
#include "work_items.h"

namespace sim::io {

void NotePowerDispatchLocked(IrpHeader *h, PDEVICE_OBJECT device) {
  if (std::find(h->powerHandled.begin(), h->powerHandled.end(), device) == h->powerHandled.end())
    h->powerHandled.push_back(device);
}

void CheckPowerStartedLocked(IrpHeader *h) {
  for (PDEVICE_OBJECT d : h->powerHandled)
    if (std::find(h->powerStarted.begin(), h->powerStarted.end(), d) == h->powerStarted.end())
      VerifierFail(check::kPoStartNextMissing,
                   "power IRP %p reached its final completion, but the driver of device %p, whose dispatch routine "
                   "handled it, never called PoStartNextPowerIrp for it",
                   static_cast<void *>(h->irp), static_cast<void *>(d));
  // A reused IRP starts over.
  h->powerHandled.clear();
  h->powerStarted.clear();
}

}  // namespace sim::io

using namespace sim;
using namespace sim::io;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) VerifierFail(check::kIrqlMisuse, "PoCallDriver at IRQL %u", irql);
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    LiveHeaderLocked(Irp, "PoCallDriver");
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
      VerifierFail(check::kBadObject, "PoCallDriver with IRP %p, which is not a power IRP", static_cast<void *>(Irp));
  }
  // A pageable stack gets its power IRPs at PASSIVE_LEVEL: from above it, the power manager
  // hands the IRP to a system worker thread and returns STATUS_PENDING (learn.microsoft.com,
  // PoCallDriver: "If the DO_POWER_PAGABLE bit is set, PoCallDriver calls the driver at
  // IRQL = PASSIVE_LEVEL").
  if (irql != PASSIVE_LEVEL && (DeviceObject->Flags & DO_POWER_PAGABLE)) {
    QueueSystemWork([DeviceObject, Irp] { (void)IofCallDriver(DeviceObject, Irp); });
    return STATUS_PENDING;
  }
  return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierFail(check::kIrqlMisuse, "PoStartNextPowerIrp at IRQL %u", KeGetCurrentIrql());
  std::lock_guard<std::mutex> guard(IrpLock());
  IrpHeader *h = LiveHeaderLocked(Irp, "PoStartNextPowerIrp");
  if (!h->power)
    VerifierFail(check::kBadObject, "PoStartNextPowerIrp with IRP %p, which is not a power IRP", static_cast<void *>(Irp));
  // The caller is the driver whose routine runs on this thread for the IRP; failing that (a
  // callback after STATUS_MORE_PROCESSING_REQUIRED), the driver holding the current location.
  PDEVICE_OBJECT device = nullptr;
  const Activity *a = InnermostActivity(Irp);
  if (a && a->device)
    device = a->device;
  else if (Irp->CurrentLocation <= Irp->StackCount)
    device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  if (device && std::find(h->powerStarted.begin(), h->powerStarted.end(), device) == h->powerStarted.end())
    h->powerStarted.push_back(device);
}

}  // extern "C"
