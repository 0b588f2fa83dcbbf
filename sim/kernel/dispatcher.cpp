// Events, mutexes and waits.
#include "dispatcher.h"

#include <map>

#include "clock.h"
#include "lock_order.h"
#include "threads.h"
#include "verifier.h"

namespace sim {

std::mutex &DispatcherLock() {
  static std::mutex lock;
  return lock;
}

std::condition_variable &DispatcherCondition() {
  static std::condition_variable cv;
  return cv;
}

namespace {

std::map<const void *, size_t> g_waiters;  // under DispatcherLock

const bool g_registered = [] {
  RegisterClockNotifier([] {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    DispatcherCondition().notify_all();
  });
  return true;
}();

void CheckInitialised(const DISPATCHER_HEADER &h, const char *what) {
  if (h.Size != kInitialisedMagic) VerifierFail(check::kBadObject, "%s %p was never initialised", what, (const void *)&h);
}

}  // namespace

size_t WaitersOn(const void *object) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  auto it = g_waiters.find(object);
  return it == g_waiters.end() ? 0 : it->second;
}

}  // namespace sim

using sim::DispatcherCondition;
using sim::DispatcherLock;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == NotificationEvent ? sim::kEventNotification : sim::kEventSynchronization;
  Event->Header.Size = sim::kInitialisedMagic;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) sim::VerifierFail(sim::check::kIrqlMisuse, "KeSetEvent above DISPATCH_LEVEL");
  std::lock_guard<std::mutex> guard(DispatcherLock());
  sim::CheckInitialised(Event->Header, "event");
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  DispatcherCondition().notify_all();
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  sim::CheckInitialised(Event->Header, "event");
  Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  sim::CheckInitialised(Event->Header, "event");
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return Event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  Mutex->Header.Type = sim::kMutant;
  Mutex->Header.Size = sim::kInitialisedMagic;
  Mutex->Header.SignalState = 1;
  InitializeListHead(&Mutex->Header.WaitListHead);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  // The lock class for order tracking: the site that initialised the mutex.
  Mutex->MutantListEntry.Flink = static_cast<PLIST_ENTRY>(__builtin_return_address(0));
  Mutex->MutantListEntry.Blink = nullptr;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return Mutex->Header.SignalState;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  (void)Wait;
  PKTHREAD self = sim::CurrentThread();
  std::lock_guard<std::mutex> guard(DispatcherLock());
  sim::CheckInitialised(Mutex->Header, "mutex");
  if (Mutex->OwnerThread != self)
    sim::VerifierFail(sim::check::kMutexNotOwner, "mutex %p released by thread %u, owner is %s", (void *)Mutex,
                      self->id, Mutex->OwnerThread ? std::to_string(Mutex->OwnerThread->id).c_str() : "none");
  LONG previous = Mutex->Header.SignalState;
  Mutex->Header.SignalState = previous + 1;
  if (Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    sim::LockReleased(Mutex->MutantListEntry.Flink);
    DispatcherCondition().notify_all();
  }
  return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  KIRQL irql = KeGetCurrentIrql();
  bool zeroWait = Timeout && Timeout->QuadPart == 0;
  if (!zeroWait && irql > APC_LEVEL) sim::VerifierFail(sim::check::kWaitAboveApc, "wait at IRQL %u", irql);
  if (irql > DISPATCH_LEVEL) sim::VerifierFail(sim::check::kWaitAboveApc, "wait at IRQL %u", irql);

  auto *header = static_cast<DISPATCHER_HEADER *>(Object);
  PKTHREAD self = sim::CurrentThread();
  std::unique_lock<std::mutex> lock(DispatcherLock());
  sim::CheckInitialised(*header, "dispatcher object");
  auto *mutex = header->Type == sim::kMutant ? static_cast<PKMUTEX>(Object) : nullptr;
  auto signalled = [&] {
    if (mutex) return header->SignalState > 0 || mutex->OwnerThread == self;
    return header->SignalState > 0;
  };
  int64_t deadline = Timeout ? sim::DueTimeToDeadline(Timeout->QuadPart) : -1;
  const bool blocks = !zeroWait && !signalled();
  if (blocks) ++sim::g_waiters[Object];
  bool ok = zeroWait ? signalled() : sim::ClockWaitUntil(lock, DispatcherCondition(), deadline, signalled);
  if (blocks && --sim::g_waiters[Object] == 0) sim::g_waiters.erase(Object);
  if (!ok) return STATUS_TIMEOUT;
  if (mutex) {
    bool first = mutex->OwnerThread != self;
    mutex->OwnerThread = self;
    header->SignalState = header->SignalState - 1;
    if (first) {
      lock.unlock();
      sim::LockAcquired(mutex->MutantListEntry.Flink, "mutex");
    }
  } else if (header->Type == sim::kEventSynchronization) {
    header->SignalState = 0;
  }
  return STATUS_WAIT_0;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  if (KeGetCurrentIrql() > APC_LEVEL) sim::VerifierFail(sim::check::kWaitAboveApc, "delay at IRQL %u", KeGetCurrentIrql());
  std::unique_lock<std::mutex> lock(DispatcherLock());
  sim::ClockWaitUntil(lock, DispatcherCondition(), sim::DueTimeToDeadline(Interval->QuadPart), [] { return false; });
  return STATUS_SUCCESS;
}

}  // extern "C"
