// The bus thread: runs transfers in order per pipe against the frame clock, completes them at
// DISPATCH_LEVEL, and the cancellation that races it.
#include <algorithm>
#include <set>

#include "sim/kernel/clock.h"
#include "sim/kernel/schedule.h"
#include "sim/kernel/verifier.h"
#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {
namespace {

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

// Ends a transfer the bus no longer runs: status into the URB and the trace. Lock held.
Completion Finish(Transfer *t, USBD_STATUS status) {
  PURB urb = t->urb;
  urb->UrbHeader.Status = status;
  if (status == USBD_STATUS_CANCELED || status == USBD_STATUS_DEVICE_GONE) {
    if (t->hasBuffer) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
      auto &iso = urb->UrbIsochronousTransfer;
      for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        iso.IsoPacket[i].Length = 0;
        iso.IsoPacket[i].Status = status;
      }
      iso.ErrorCount = iso.NumberOfPackets;
    }
  }
  TraceOutcome(*t->device, t->traceSeq, status, t->hasBuffer ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0,
               urb);
  Completion c{t->irp, IrpStatusFor(status), 0};
  State().byIrp.erase(t->irp);
  State().queue.remove(t);
  delete t;
  return c;
}

VOID CancelTransfer(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  BusState &b = State();
  Completion c;
  {
    std::lock_guard<std::mutex> guard(b.lock);
    auto it = b.byIrp.find(irp);
    if (it == b.byIrp.end())
      VerifierFail(check::kBadObject, "USB bus: cancel routine called for IRP %p, which the bus does not hold",
                   static_cast<void *>(irp));
    c = Finish(it->second, USBD_STATUS_CANCELED);
    b.wake.notify_all();
  }
  Deliver({c});
}

int64_t FrameUnit(Speed speed) { return speed == Speed::Full ? 10000 : 1250; }

// Payload bytes per frame unit (1 ms at full speed, 125 us above), as the scheduler of a host
// controller would give one busy pipe: full-speed bulk 19 x 64, high-speed bulk 13 x 512.
int64_t BytesPerUnit(Speed speed) {
  switch (speed) {
    case Speed::Full: return 19 * 64;
    case Speed::High: return 13 * 512;
    case Speed::Super: return 48 * 1024;
  }
  return 512;
}

// RealTime: when the transfer is done, given that the bus moves one transfer at a time.
int64_t DueTime(BusState &b, const Transfer &t) {
  Speed speed = t.device->model->speed;
  int64_t now = Now100ns();
  if (t.urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
    // Done at the end of the last frame it uses.
    const auto &iso = t.urb->UrbIsochronousTransfer;
    ULONG perFrame = IsoPacketsPerFrame(t.pipe->endpoint, speed);
    ULONG frames = (iso.NumberOfPackets + perFrame - 1) / perFrame;
    return int64_t(iso.StartFrame + frames) * 10000;
  }
  int64_t unit = FrameUnit(speed);
  int64_t bytes = t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  int64_t units = std::max<int64_t>(1, (bytes + BytesPerUnit(speed) - 1) / BytesPerUnit(speed));
  if (t.pipe && t.pipe->endpoint.type == EndpointType::Interrupt) {
    // One transaction per interval.
    int64_t interval = speed == Speed::Full ? std::max<int64_t>(1, t.pipe->endpoint.interval)
                                            : int64_t(1) << std::clamp(t.pipe->endpoint.interval - 1, 0, 15);
    int64_t packet = std::max<int64_t>(1, t.pipe->endpoint.maxPacketSize) * t.pipe->endpoint.transactions;
    units = std::max<int64_t>(1, (bytes + packet - 1) / packet) * interval;
  }
  int64_t start = std::max(now, b.busFreeAt);
  b.busFreeAt = start + units * unit;
  return b.busFreeAt;
}

using PipeKey = std::pair<Device *, uint8_t>;
PipeKey KeyOf(const Transfer *t) { return {t->device, t->control && !t->pipe ? uint8_t(0) : t->endpoint}; }

// The first transfer that may run now, in submission order, one at a time per pipe. Lock held.
Transfer *NextRunnable(BusState &b, int64_t *wakeAt) {
  std::set<PipeKey> blocked;
  *wakeAt = -1;
  for (Transfer *t : b.queue) {
    PipeKey key = KeyOf(t);
    if (!blocked.insert(key).second) continue;
    if (t->state != Transfer::State::Queued) continue;
    // Nothing is scheduled for a suspended device (bus_power.cpp).
    if (t->device->power != PowerDeviceD0) continue;
    // A halted pipe's queue waits, the transfers behind the one that halted it included, until
    // the client resets the pipe (learn.microsoft.com, "How to recover from USB pipe errors").
    if (t->pipe && !t->control && t->pipe->halted) continue;
    if (b.pace == Pace::RealTime && t->due > Now100ns()) {
      if (*wakeAt < 0 || t->due < *wakeAt) *wakeAt = t->due;
      continue;
    }
    return t;
  }
  return nullptr;
}

void Loop() {
  BusState &b = State();
  std::unique_lock<std::mutex> lock(b.lock);
  for (;;) {
    if (!b.deferred.empty()) {
      Completion c = b.deferred.front();
      b.deferred.pop_front();
      ++b.busy;
      lock.unlock();
      Deliver({c});
      lock.lock();
      --b.busy;
      b.wake.notify_all();
      continue;
    }
    if (b.stop) return;
    int64_t wakeAt;
    Transfer *t = NextRunnable(b, &wakeAt);
    if (!t) {
      if (wakeAt >= 0)
        ClockWaitUntil(lock, b.wake, wakeAt, [&] { return b.stop || !b.deferred.empty(); });
      else
        b.wake.wait(lock);
      continue;
    }
    if (!IoSetCancelRoutine(t->irp, nullptr)) {
      // Its cancel routine is on its way and will take it.
      t->state = Transfer::State::Cancelling;
      continue;
    }
    t->state = Transfer::State::InFlight;
    ++b.busy;
    lock.unlock();
    bool answered = ExecuteTransfer(*t);
    lock.lock();
    --b.busy;
    std::vector<Completion> done;
    Device *d = t->device;
    Pipe *pipe = t->pipe;
    // What happened to its pipe while the bus moved it ends it now if it was not answered:
    // parked, nothing but its own cancellation would ever end it.
    auto abort = std::find_if(d->waitingAborts.begin(), d->waitingAborts.end(),
                              [&](const WaitingAbort &w) { return pipe && w.pipe == pipe; });
    if (!answered && d->present && abort != d->waitingAborts.end()) {
      abort->cancelled.push_back(Finish(t, USBD_STATUS_CANCELED));
      CompleteWaitingAborts(*d, pipe);
    } else if (!answered && (!d->present || (pipe && !d->pipes.count(pipe->handle)))) {
      done.push_back(Finish(t, d->present ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE));
      CompleteWaitingAborts(*d, pipe);
    } else if (!answered) {
      t->state = Transfer::State::Parked;
      IoSetCancelRoutine(t->irp, CancelTransfer);
      // IoCancelIrp sets Cancel without the bus lock: an atomic load, ordered after the
      // exchange, either sees it or leaves the routine for IoCancelIrp to take.
      if (IrpCancelRequested(t->irp) && IoSetCancelRoutine(t->irp, nullptr))
        done.push_back(Finish(t, USBD_STATUS_CANCELED));
    } else {
      // The device answered before it left (an FX releasing its CPU re-enumerates from inside
      // the write that releases it): the answer stands.
      done.push_back(Finish(t, t->urb->UrbHeader.Status));
      // A model that said Nak may have data now; ask the held transfers of the device again.
      for (Transfer *other : b.queue)
        if (other->device == d && other->state == Transfer::State::Parked && !other->heldForever)
          other->state = Transfer::State::Queued;
      CompleteWaitingAborts(*d, pipe);
    }
    ++b.busy;
    lock.unlock();
    Deliver(done);
    lock.lock();
    --b.busy;
    b.wake.notify_all();
  }
}

}  // namespace

void EnsureThread() {
  BusState &b = State();
  // A manual clock's Advance must wake the bus thread waiting for a transfer's end.
  static const bool registered = [] {
    RegisterClockNotifier([] {
      std::lock_guard<std::mutex> guard(State().lock);
      State().wake.notify_all();
    });
    return true;
  }();
  (void)registered;
  std::lock_guard<std::mutex> guard(b.lock);
  if (b.threadRunning) return;
  b.stop = false;
  b.threadRunning = true;
  b.thread = std::make_unique<SystemThread>(Loop);
}

void StopThread() {
  BusState &b = State();
  std::unique_ptr<SystemThread> thread;
  {
    std::lock_guard<std::mutex> guard(b.lock);
    // What a test still holds is owed all the same: the thread delivers it before it stops.
    b.holdAborted = false;
    b.deferred.insert(b.deferred.end(), b.heldAborted.begin(), b.heldAborted.end());
    b.heldAborted.clear();
    if (!b.threadRunning) return;
    b.stop = true;
    b.wake.notify_all();
    thread = std::move(b.thread);
  }
  thread->Join();
  std::lock_guard<std::mutex> guard(b.lock);
  b.threadRunning = false;
  b.wake.notify_all();
}

bool QueueTransfer(Transfer *t, std::unique_lock<std::mutex> &) {
  BusState &b = State();
  IoMarkIrpPending(t->irp);
  IoSetCancelRoutine(t->irp, CancelTransfer);
  if (IrpCancelRequested(t->irp) && IoSetCancelRoutine(t->irp, nullptr)) return false;
  if (b.pace == Pace::RealTime) t->due = DueTime(b, *t);
  b.queue.push_back(t);
  b.byIrp[t->irp] = t;
  b.wake.notify_all();
  return true;
}

void Deliver(const std::vector<Completion> &completions) {
  if (completions.empty()) return;
  RunAtIrql(DISPATCH_LEVEL, [&] {
    for (const Completion &c : completions) {
      if (c.power) PoStartNextPowerIrp(c.irp);
      c.irp->IoStatus.Status = c.status;
      c.irp->IoStatus.Information = c.information;
      IoCompleteRequest(c.irp, IO_NO_INCREMENT);
    }
  });
}

NTSTATUS Answer(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  BusState &b = State();
  {
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.forcePending && b.threadRunning) {
      IoMarkIrpPending(irp);
      b.deferred.push_back({irp, status, information});
      b.wake.notify_all();
      return STATUS_PENDING;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::vector<Completion> TakeTransfers(Device &d, Pipe *pipe, USBD_STATUS status) {
  BusState &b = State();
  std::vector<Transfer *> mine;
  for (Transfer *t : b.queue)
    if (t->device == &d && (!pipe || t->pipe == pipe) && t->state != Transfer::State::InFlight &&
        t->state != Transfer::State::Cancelling)
      mine.push_back(t);
  std::vector<Completion> done;
  for (Transfer *t : mine) {
    // A null routine means its cancellation has begun: the cancel routine completes it.
    if (!IoSetCancelRoutine(t->irp, nullptr)) {
      t->state = Transfer::State::Cancelling;
      continue;
    }
    done.push_back(Finish(t, status));
  }
  b.wake.notify_all();
  return done;
}

bool InFlightOn(Device &d, Pipe *pipe) {
  for (Transfer *t : State().queue)
    if (t->device == &d && t->pipe == pipe && t->state == Transfer::State::InFlight) return true;
  return false;
}

bool PendingOn(Device &d, Pipe *pipe) {
  for (Transfer *t : State().queue)
    if (t->device == &d && t->pipe == pipe) return true;
  return false;
}

// Windows lets an abort complete before the transfers it cancels (learn.microsoft.com,
// URB_FUNCTION_ABORT_PIPE: the bus driver "cancels" the pending requests; their completions are
// not ordered against the abort's). A schedule choice places the abort among them.
void CompleteWaitingAborts(Device &d, Pipe *pipe) {
  BusState &b = State();
  if (!pipe || InFlightOn(d, pipe)) return;
  for (auto it = d.waitingAborts.begin(); it != d.waitingAborts.end();) {
    if (it->pipe != pipe) {
      ++it;
      continue;
    }
    UrbOf(it->irp)->UrbHeader.Status = USBD_STATUS_SUCCESS;
    TraceOutcome(d, it->traceSeq, USBD_STATUS_SUCCESS, 0);
    std::vector<Completion> batch = std::move(it->cancelled);
    size_t position = 0;
    if (b.holdAborted) {
      b.heldAborted.insert(b.heldAborted.end(), batch.begin(), batch.end());
      batch.clear();
    } else if (!batch.empty()) {
      position = Choose(uint32_t(batch.size() + 1));
    }
    batch.insert(batch.begin() + ptrdiff_t(position), Completion{it->irp, STATUS_SUCCESS});
    b.deferred.insert(b.deferred.end(), batch.begin(), batch.end());
    it = d.waitingAborts.erase(it);
  }
  b.wake.notify_all();
}

}  // namespace sim::usb::detail

namespace sim::usb {

using namespace detail;

namespace {
bool IdleLocked(BusState &b) {
  int64_t wakeAt;
  return b.busy == 0 && b.deferred.empty() && (!b.threadRunning || !NextRunnable(b, &wakeAt));
}
}  // namespace

bool Bus::Idle() {
  std::lock_guard<std::mutex> guard(State().lock);
  return IdleLocked(State());
}

// The bus thread notifies 'wake' at the end of every step it takes.
void Bus::AwaitIdle() {
  BusState &b = State();
  std::unique_lock<std::mutex> lock(b.lock);
  b.wake.wait(lock, [&] { return IdleLocked(b); });
}

void Bus::HoldAbortedTransfers(bool on) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().holdAborted = on;
}

size_t Bus::ReleaseAbortedTransfers() {
  BusState &b = State();
  std::lock_guard<std::mutex> guard(b.lock);
  const size_t n = b.heldAborted.size();
  b.deferred.insert(b.deferred.end(), b.heldAborted.begin(), b.heldAborted.end());
  b.heldAborted.clear();
  b.wake.notify_all();
  return n;
}

size_t Bus::AbortedHeld() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().heldAborted.size();
}

}  // namespace sim::usb
