// IRPs: allocation, IofCallDriver, IofCompleteRequest, and the I/O manager's own requests.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>

#include "faults.h"
#include "io_manager.h"
#include "irp_internal.h"
#include "objects.h"
#include "pool.h"
#include "quarantine.h"
#include "threads.h"
#include "verifier.h"


namespace sim::io {
namespace {

constexpr size_t kHeaderSlot = (sizeof(IrpHeader) + 15) & ~size_t(15);
// Freed IRPs keep their memory (poisoned under ASan) for a while, so that a late completion or
// cancel is recognised instead of hitting a reused block.
Quarantine<IRP> g_irps(4096);
uint64_t g_serial = 0;

IrpHeader *HeaderOf(PIRP irp) { return reinterpret_cast<IrpHeader *>(reinterpret_cast<char *>(irp) - kHeaderSlot); }

PIRP NewIrp(CCHAR stackSize, bool fromSendIrp, std::function<void(PIRP)> done) {
  size_t packet = sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
  size_t total = kHeaderSlot + packet;
  void *base = calloc(1, total);
  if (!base) abort();
  auto *h = new (base) IrpHeader();
  PIRP irp = reinterpret_cast<PIRP>(static_cast<char *>(base) + kHeaderSlot);
  h->irp = irp;
  h->allocationSize = total;
  h->fromSendIrp = fromSendIrp;
  h->done = std::move(done);
  h->entered.assign(size_t(stackSize) + 1, nullptr);
  // As IoInitializeIrp leaves it: everything zero, no location current yet.
  irp->Type = kIoTypeIrp;
  irp->Size = USHORT(packet);
  irp->StackCount = stackSize;
  irp->CurrentLocation = CHAR(stackSize + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  std::lock_guard<std::mutex> guard(IrpLock());
  h->serial = ++g_serial;
  g_irps.Add(irp);
  return irp;
}

void ReleaseIrpLocked(IrpHeader *h) {
  PIRP irp = h->irp;
  size_t size = h->allocationSize;
  for (auto &f : h->frames) f->headerGone = true;
  h->~IrpHeader();
  g_irps.Retire(irp, h, size);
}

bool NeedsPassive(UCHAR major, PDEVICE_OBJECT device) {
  switch (major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_PNP:
    case IRP_MJ_SHUTDOWN:
    case IRP_MJ_SYSTEM_CONTROL:
      return true;
    case IRP_MJ_POWER:
      return (device->Flags & DO_POWER_PAGABLE) != 0;
    default:
      return false;
  }
}

const char *MajorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "create";
    case IRP_MJ_CLOSE: return "close";
    case IRP_MJ_READ: return "read";
    case IRP_MJ_WRITE: return "write";
    case IRP_MJ_DEVICE_CONTROL: return "device control";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "internal device control";
    case IRP_MJ_SHUTDOWN: return "shutdown";
    case IRP_MJ_CLEANUP: return "cleanup";
    case IRP_MJ_POWER: return "power";
    case IRP_MJ_SYSTEM_CONTROL: return "system control";
    case IRP_MJ_PNP: return "Plug and Play";
    default: return "other";
  }
}

void EvaluateLocked(const DispatchFrame &f) {
  if (f.returnedStatus == STATUS_PENDING && !f.pendingMarkedAtPass)
    VerifierFail(check::kPendingNotMarked,
                 "the dispatch routine of device %p returned STATUS_PENDING for IRP %p, but its stack location "
                 "(%d) was not marked pending when the IRP completed past it",
                 static_cast<void *>(f.device), static_cast<void *>(f.irp), f.location);
  // Once marked, the IRP's originator waits for the completion and ignores the returned status
  // (learn.microsoft.com, IoMarkIrpPending: "the driver must return STATUS_PENDING").
  if (f.returnedStatus != STATUS_PENDING && f.pendingMarkedAtPass)
    VerifierFail(check::kPendingMarkedNotReturned,
                 "the dispatch routine of device %p marked IRP %p pending (stack location %d) and returned 0x%08X",
                 static_cast<void *>(f.device), static_cast<void *>(f.irp), f.location, unsigned(f.returnedStatus));
  if (f.completedHere && f.returnedStatus != STATUS_PENDING && f.returnedStatus != f.completedStatus)
    VerifierFail(check::kStatusMismatch,
                 "the dispatch routine of device %p completed IRP %p with 0x%08X and returned 0x%08X",
                 static_cast<void *>(f.device), static_cast<void *>(f.irp), unsigned(f.completedStatus),
                 unsigned(f.returnedStatus));
}

void DropFrameLocked(DispatchFrame *f) {
  if (f->headerGone) return;
  std::erase_if(f->header->frames, [&](const std::shared_ptr<DispatchFrame> &p) { return p.get() == f; });
}

// The completion is leaving location 'location' (1-based) for the one above.
void PassLocationLocked(IrpHeader *h, int location, bool pendingMarked) {
  h->entered[size_t(location)] = nullptr;
  for (auto it = h->frames.begin(); it != h->frames.end();) {
    DispatchFrame &f = **it;
    if (f.location == location && !f.passed) {
      f.passed = true;
      f.pendingMarkedAtPass = pendingMarked;
      if (f.returned) {
        EvaluateLocked(f);
        it = h->frames.erase(it);
        continue;
      }
    }
    ++it;
  }
  if (location == h->irp->StackCount) {
    h->topPassed = true;
    if (h->power) CheckPowerStartedLocked(h);
  }
}

// What IopfCompleteRequest clears in a location it leaves (MajorFunction, DeviceObject and the
// completion routine stay).
void ZeroStackLocation(PIO_STACK_LOCATION s) {
  s->MinorFunction = 0;
  s->Flags = 0;
  s->Control = 0;
  s->Parameters.Others.Argument1 = nullptr;
  s->Parameters.Others.Argument2 = nullptr;
  s->Parameters.Others.Argument3 = nullptr;
  s->Parameters.Others.Argument4 = nullptr;
  s->FileObject = nullptr;
}

// The walk passed the first location and nobody took the IRP back: the I/O manager's part.
void FinishIrp(PIRP irp, IrpHeader *h) {
  std::function<void(PIRP)> done;
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    h->finished = true;
    if (!h->fromSendIrp)
      VerifierFail(check::kBadObject,
                   "IRP %p from IoAllocateIrp completed past its first location: its owner's completion routine "
                   "must return STATUS_MORE_PROCESSING_REQUIRED and free it",
                   static_cast<void *>(irp));
    done = std::move(h->done);
  }
  if (done) done(irp);
  PMDL chain = irp->MdlAddress;
  irp->MdlAddress = nullptr;
  ReleaseMdlChain(chain);
  std::lock_guard<std::mutex> guard(IrpLock());
  if (h->pins > 0)
    h->freeWhenUnpinned = true;
  else
    ReleaseIrpLocked(h);
}

std::string Describe(IrpHeader *h) {
  PIRP irp = h->irp;
  char buf[160];
  PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1);
  PDEVICE_OBJECT holder = nullptr;
  for (size_t i = 1; i < h->entered.size(); ++i)
    if (h->entered[i]) {
      holder = h->entered[i];
      break;
    }
  snprintf(buf, sizeof buf, " [IRP %p, %s, minor 0x%02x, held by device %p]", static_cast<void *>(irp),
           MajorName(first->MajorFunction), first->MinorFunction, static_cast<void *>(holder));
  return buf;
}

}  // namespace

std::mutex &IrpLock() {
  static std::mutex lock;
  return lock;
}

IrpHeader *LiveHeaderLocked(PIRP irp, const char *what, const char *checkWhenFreed) {
  if (irp && g_irps.IsLive(irp)) return HeaderOf(irp);
  if (irp && g_irps.WasFreed(irp))
    VerifierFail(checkWhenFreed ? checkWhenFreed : check::kBadObject, "%s: IRP %p was already freed", what,
                 static_cast<void *>(irp));
  VerifierFail(check::kBadObject, "%s: %p is not an IRP", what, static_cast<void *>(irp));
}

std::vector<Activity> &ThreadActivities() {
  thread_local std::vector<Activity> activities;
  return activities;
}

const Activity *InnermostActivity(PIRP irp) {
  auto &a = ThreadActivities();
  for (auto it = a.rbegin(); it != a.rend(); ++it)
    if (it->irp == irp) return &*it;
  return nullptr;
}

IrpHeader *PinIrp(PIRP irp, const char *what) {
  std::lock_guard<std::mutex> guard(IrpLock());
  IrpHeader *h = LiveHeaderLocked(irp, what);
  ++h->pins;
  return h;
}

void UnpinIrp(IrpHeader *h) {
  std::lock_guard<std::mutex> guard(IrpLock());
  if (--h->pins == 0 && h->freeWhenUnpinned) ReleaseIrpLocked(h);
}

}  // namespace sim::io

namespace sim {

using namespace io;

NTSTATUS SendIrp(PDEVICE_OBJECT device, const std::function<void(PIRP irp, PIO_STACK_LOCATION first)> &setup,
                 std::function<void(PIRP irp)> done) {
  if (!device || !device->DriverObject)
    VerifierFail(check::kBadObject, "SendIrp: %p is not a device object with a driver", static_cast<void *>(device));
  PIRP irp = NewIrp(device->StackSize, true, std::move(done));
  irp->Tail.Overlay.Thread = CurrentThread();
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
  if (setup) setup(irp, first);
  if (first->CompletionRoutine || (first->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)))
    VerifierFail(check::kBadObject, "SendIrp: the I/O manager's IRPs carry no completion routine of their own");
  irp->Tail.Overlay.OriginalFileObject = first->FileObject;
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    HeaderOf(irp)->cancellable = true;
  }
  return IofCallDriver(device, irp);
}

NTSTATUS SendIrpAndWait(PDEVICE_OBJECT device, const std::function<void(PIRP irp, PIO_STACK_LOCATION first)> &setup,
                        ULONG_PTR *information) {
  if (KeGetCurrentIrql() > APC_LEVEL)
    VerifierFail(check::kWaitAboveApc, "SendIrpAndWait at IRQL %u", KeGetCurrentIrql());
  struct State {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    IO_STATUS_BLOCK iosb{};
  };
  auto state = std::make_shared<State>();
  SendIrp(device, setup, [state](PIRP irp) {
    std::lock_guard<std::mutex> guard(state->m);
    state->iosb = irp->IoStatus;
    state->done = true;
    state->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(state->m);
  state->cv.wait(lock, [&] { return state->done; });
  if (information) *information = state->iosb.Information;
  return state->iosb.Status;
}

size_t CancelSentIrps(const std::function<bool(PIRP irp)> &match) {
  std::vector<IrpHeader *> pinned;
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    for (PIRP irp : g_irps.Live()) {
      IrpHeader *h = HeaderOf(irp);
      if (h->fromSendIrp && h->cancellable && !h->finished && match(irp)) {
        ++h->pins;
        pinned.push_back(h);
      }
    }
  }
  for (IrpHeader *h : pinned) {
    IoCancelIrp(h->irp);
    UnpinIrp(h);
  }
  return pinned.size();
}

size_t IrpsReferencing(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(IrpLock());
  const auto &mine = ThreadActivities();
  size_t n = 0;
  for (PIRP irp : g_irps.Live()) {
    if (std::any_of(mine.begin(), mine.end(), [&](const Activity &a) { return a.irp == irp; })) continue;
    const auto &entered = HeaderOf(irp)->entered;
    if (std::find(entered.begin(), entered.end(), device) != entered.end()) ++n;
  }
  return n;
}

size_t IrpsOutstanding() {
  std::lock_guard<std::mutex> guard(IrpLock());
  return g_irps.Live().size();
}

void CheckAllIrpsCompleted() {
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    std::string never, leaked;
    size_t neverCount = 0, leakedCount = 0;
    for (PIRP irp : g_irps.Live()) {
      IrpHeader *h = HeaderOf(irp);
      if (h->fromSendIrp && !h->finished) {
        ++neverCount;
        if (neverCount <= 8) never += Describe(h);
      } else if (!h->fromSendIrp) {
        ++leakedCount;
        if (leakedCount <= 8) leaked += Describe(h);
      }
    }
    if (neverCount) VerifierFail(check::kIrpNeverCompleted, "%zu IRP(s) still not completed:%s", neverCount, never.c_str());
    if (leakedCount)
      VerifierFail(check::kLeakAtEnd, "%zu IRP(s) from IoAllocateIrp never freed:%s", leakedCount, leaked.c_str());
  }
  CheckMdlsFreed();
}

namespace {
std::mutex g_afterCompleteLock;
std::function<void(PIRP)> g_afterComplete;
}  // namespace

void SetAfterCompleteHook(std::function<void(PIRP irp)> hook) {
  std::lock_guard<std::mutex> guard(g_afterCompleteLock);
  g_afterComplete = std::move(hook);
}

void ResetIrpTracking() {
  SetAfterCompleteHook(nullptr);
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    g_irps.Reset([](PIRP irp) {
      IrpHeader *h = HeaderOf(irp);
      for (auto &f : h->frames) f->headerGone = true;
      h->~IrpHeader();
      free(h);
    });
    g_serial = 0;
  }
  ThreadActivities().clear();
  ResetMdlTracking();
  ResetCancelLock();
}

}  // namespace sim

using namespace sim;
using namespace sim::io;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierFail(check::kIrqlMisuse, "IoAllocateIrp at IRQL %u", KeGetCurrentIrql());
  if (StackSize < 1) VerifierFail(check::kBadObject, "IoAllocateIrp with a stack size of %d", StackSize);
  if (ShouldFail(AllocKind::Irp, __builtin_return_address(0))) return nullptr;
  return NewIrp(StackSize, false, nullptr);
}

VOID IoFreeIrp(PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierFail(check::kIrqlMisuse, "IoFreeIrp at IRQL %u", KeGetCurrentIrql());
  std::lock_guard<std::mutex> guard(IrpLock());
  IrpHeader *h = LiveHeaderLocked(Irp, "IoFreeIrp", check::kPoolDoubleFree);
  if (h->fromSendIrp)
    VerifierFail(check::kBadObject, "IoFreeIrp on IRP %p, which the I/O manager owns and frees itself",
                 static_cast<void *>(Irp));
  for (size_t i = 1; i < h->entered.size(); ++i)
    if (h->entered[i])
      VerifierFail(check::kBadObject, "IoFreeIrp on IRP %p while device %p still holds it (stack location %zu)",
                   static_cast<void *>(Irp), static_cast<void *>(h->entered[i]), i);
  if (h->pins > 0)
    h->freeWhenUnpinned = true;
  else
    ReleaseIrpLocked(h);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) VerifierFail(check::kIrqlMisuse, "IofCallDriver at IRQL %u", irql);
  if (!DeviceObject || !DeviceObject->DriverObject)
    VerifierFail(check::kBadObject, "IofCallDriver: %p is not a device object with a driver",
                 static_cast<void *>(DeviceObject));
  auto frame = std::make_shared<DispatchFrame>();
  PDRIVER_DISPATCH dispatch;
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    IrpHeader *h = LiveHeaderLocked(Irp, "IofCallDriver");
    if (h->finished) VerifierFail(check::kBadObject, "IofCallDriver: IRP %p has already completed", static_cast<void *>(Irp));
    if (Irp->CurrentLocation <= 1)
      VerifierFail(check::kBadObject, "IofCallDriver: IRP %p has no stack location left for device %p",
                   static_cast<void *>(Irp), static_cast<void *>(DeviceObject));
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(Irp);
    loc->DeviceObject = DeviceObject;
    UCHAR major = loc->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION)
      VerifierFail(check::kBadObject, "IofCallDriver: major function 0x%02x", major);
    if (!h->sent) {
      h->sent = true;
      if ((major == IRP_MJ_PNP || major == IRP_MJ_POWER) && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
        VerifierFail(check::kPnpPowerNotNotSupported, "%s IRP %p (minor 0x%02x) sent with IoStatus.Status 0x%08X",
                     MajorName(major), static_cast<void *>(Irp), loc->MinorFunction, unsigned(Irp->IoStatus.Status));
    }
    if (irql != PASSIVE_LEVEL && NeedsPassive(major, DeviceObject))
      VerifierFail(check::kIrqlMisuse, "%s IRP sent to device %p at IRQL %u; its dispatch routine runs at PASSIVE_LEVEL",
                   MajorName(major), static_cast<void *>(DeviceObject), irql);
    dispatch = DeviceObject->DriverObject->MajorFunction[major];
    if (!dispatch)
      VerifierFail(check::kBadObject, "driver of device %p has no dispatch routine for major function 0x%02x",
                   static_cast<void *>(DeviceObject), major);
    int location = Irp->CurrentLocation;
    h->entered[size_t(location)] = DeviceObject;
    if (major == IRP_MJ_POWER) {
      h->power = true;
      // The I/O manager's default routine starts the next power IRP itself.
      if (dispatch != DefaultDispatch) NotePowerDispatchLocked(h, DeviceObject);
    }
    frame->irp = Irp;
    frame->location = location;
    frame->device = DeviceObject;
    frame->header = h;
    h->frames.push_back(frame);
  }

  ReferenceDevice(DeviceObject);
  NTSTATUS status;
  {
    PoolOwnerScope owner(StackBottom(DeviceObject));
    ActivityScope activity(Irp, DeviceObject, frame.get());
    status = dispatch(DeviceObject, Irp);
  }
  KIRQL after = KeGetCurrentIrql();
  DereferenceDevice(DeviceObject);
  if (after != irql)
    VerifierFail(check::kIrqlMisuse, "the dispatch routine of device %p returned at IRQL %u; it was called at %u",
                 static_cast<void *>(DeviceObject), after, irql);

  std::lock_guard<std::mutex> guard(IrpLock());
  frame->returned = true;
  frame->returnedStatus = status;
  if (frame->passed) {
    EvaluateLocked(*frame);
    DropFrameLocked(frame.get());
  } else if (status != STATUS_PENDING) {
    VerifierFail(check::kIrpNeverCompleted,
                 "the dispatch routine of device %p returned 0x%08X for IRP %p without completing it "
                 "(a routine that does not complete an IRP must return STATUS_PENDING)",
                 static_cast<void *>(DeviceObject), unsigned(status), static_cast<void *>(Irp));
  }
  // Pending and not yet completed past this location: checked when the completion gets there.
  return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  struct AfterComplete {
    PIRP irp;
    ~AfterComplete() {
      std::function<void(PIRP)> hook;
      {
        std::lock_guard<std::mutex> guard(sim::g_afterCompleteLock);
        hook = sim::g_afterComplete;
      }
      if (hook) hook(irp);
    }
  } afterComplete{Irp};
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) VerifierFail(check::kIrqlMisuse, "IofCompleteRequest at IRQL %u", irql);
  // Completion routines above take locks of their own (learn.microsoft.com, IoCompleteRequest:
  // "never call IoCompleteRequest while holding a spin lock").
  if (int held = CurrentThread()->spinLocksHeld)
    VerifierFail(check::kCompletedUnderSpinLock, "IRP %p completed while the thread holds %d spin lock(s)",
                 static_cast<void *>(Irp), held);
  IrpHeader *h;
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    h = LiveHeaderLocked(Irp, "IofCompleteRequest", check::kIrpCompletedTwice);
    int stackCount = Irp->StackCount;
    if (h->finished || Irp->CurrentLocation > stackCount + 1)
      VerifierFail(check::kIrpCompletedTwice, "IRP %p completed again after its completion finished",
                   static_cast<void *>(Irp));
    if (Irp->CurrentLocation == stackCount + 1) {
      if (h->topPassed)
        VerifierFail(check::kIrpCompletedTwice, "IRP %p completed again after its completion reached its originator",
                     static_cast<void *>(Irp));
      VerifierFail(check::kBadObject, "IofCompleteRequest: IRP %p was never sent to a driver", static_cast<void *>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
      VerifierFail(check::kBadObject, "IRP %p completed with STATUS_PENDING", static_cast<void *>(Irp));
    if (PVOID routine = __atomic_load_n(reinterpret_cast<PVOID volatile *>(&Irp->CancelRoutine), __ATOMIC_SEQ_CST))
      VerifierFail(check::kCompletedWithCancelRoutine, "IRP %p completed while cancel routine %p is set",
                   static_cast<void *>(Irp), routine);
    const Activity *a = InnermostActivity(Irp);
    if (a && a->frame) {
      DispatchFrame *f = a->frame;
      if (f->passed)
        VerifierFail(check::kIrpCompletedTwice, "the dispatch routine of device %p completed IRP %p a second time",
                     static_cast<void *>(f->device), static_cast<void *>(Irp));
      int current = Irp->CurrentLocation;
      if (current < f->location && h->entered[size_t(current)])
        VerifierFail(check::kIrpCompletedTwice,
                     "the dispatch routine of device %p completed IRP %p, which device %p below it still holds",
                     static_cast<void *>(f->device), static_cast<void *>(Irp),
                     static_cast<void *>(h->entered[size_t(current)]));
      if (current == f->location) {
        f->completedHere = true;
        f->completedStatus = Irp->IoStatus.Status;
      }
    }
  }

  // The walk of IopfCompleteRequest: the current location is left before its completion
  // routine (which belongs to the driver above) is called.
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  for (;;) {
    int location = Irp->CurrentLocation - 1;
    bool top = location == Irp->StackCount;
    PIO_COMPLETION_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    PDEVICE_OBJECT device = nullptr;
    {
      std::lock_guard<std::mutex> guard(IrpLock());
      bool pending = (sp->Control & SL_PENDING_RETURNED) != 0;
      Irp->PendingReturned = pending;
      PassLocationLocked(h, location, pending);
      NTSTATUS status = Irp->IoStatus.Status;
      bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) != 0;
      UCHAR control = sp->Control;
      bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                    (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                    (cancelled && (control & SL_INVOKE_ON_CANCEL));
      if (invoke) {
        routine = sp->CompletionRoutine;
        context = sp->Context;
        if (!routine)
          VerifierFail(check::kBadObject, "IRP %p: stack location %d asks for a completion routine but has none",
                       static_cast<void *>(Irp), location);
        if (!top) device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      }
      ZeroStackLocation(sp);
      // No routine to propagate it: the location above inherits the pending mark.
      if (!invoke && !top && pending) IoMarkIrpPending(Irp);
    }
    if (routine) {
      NTSTATUS result;
      {
        std::optional<PoolOwnerScope> owner;
        if (device) owner.emplace(StackBottom(device));
        ActivityScope activity(Irp, device, nullptr);
        result = routine(device, Irp, context);
      }
      if (KeGetCurrentIrql() != irql)
        VerifierFail(check::kIrqlMisuse, "completion routine %p returned at IRQL %u; it was called at %u",
                     reinterpret_cast<void *>(routine), KeGetCurrentIrql(), irql);
      // The IRP now belongs to that routine's driver; it may already be gone.
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    if (top) break;
    ++sp;
  }
  FinishIrp(Irp, h);
}

}  // extern "C"
