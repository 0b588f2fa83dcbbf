#include "timers.h"

#include <atomic>
#include <deque>
#include <map>
#include <thread>

#include "clock.h"
#include "dispatcher.h"
#include "threads.h"
#include "verifier.h"

namespace sim {
namespace {

// Guarded by g_lock: the timer queue (deadline order), the DPC queue and the thread's state.
std::mutex g_lock;
std::condition_variable g_cv;
std::multimap<int64_t, PKTIMER> g_timers;
std::deque<PKDPC> g_dpcs;
std::thread g_thread;
bool g_running = false;
bool g_stop = false;
uint64_t g_passesRequested = 0;
uint64_t g_passesDone = 0;
std::atomic<uint64_t> g_stalled{0};

const bool g_registered = [] {
  RegisterClockNotifier([] {
    std::lock_guard<std::mutex> guard(g_lock);
    g_cv.notify_all();
  });
  return true;
}();

void Unlink(PKTIMER timer) {
  for (auto it = g_timers.begin(); it != g_timers.end(); ++it)
    if (it->second == timer) {
      g_timers.erase(it);
      return;
    }
}

// Takes everything due now off the queues; returns false when there is nothing.
bool TakeWork(std::vector<PKDPC> &dpcs) {
  int64_t now = Now100ns();
  while (!g_timers.empty() && g_timers.begin()->first <= now) {
    PKTIMER t = g_timers.begin()->second;
    g_timers.erase(g_timers.begin());
    t->Header.Inserted = 0;
    {
      std::lock_guard<std::mutex> guard(DispatcherLock());
      t->Header.SignalState = 1;
      DispatcherCondition().notify_all();
    }
    if (t->Period > 0) {
      t->Header.Inserted = 1;
      g_timers.emplace(now + int64_t(t->Period) * 10000, t);
    }
    if (t->Dpc) {
      // A DPC already queued is not queued twice.
      bool queued = false;
      for (PKDPC d : g_dpcs) queued |= d == t->Dpc;
      if (!queued) g_dpcs.push_back(t->Dpc);
    }
  }
  while (!g_dpcs.empty()) {
    dpcs.push_back(g_dpcs.front());
    g_dpcs.pop_front();
  }
  return !dpcs.empty();
}

void DpcThread() {
  CurrentThread()->systemThread = true;
  std::unique_lock<std::mutex> lock(g_lock);
  while (!g_stop) {
    uint64_t pass = g_passesRequested;
    std::vector<PKDPC> work;
    if (TakeWork(work)) {
      for (PKDPC dpc : work) dpc->Number = 0;  // no longer queued
      lock.unlock();
      for (PKDPC dpc : work) {
        int64_t now = Now100ns();
        RunAtIrql(DISPATCH_LEVEL, [&] {
          dpc->DeferredRoutine(dpc, dpc->DeferredContext, reinterpret_cast<PVOID>(now & 0xFFFFFFFF),
                               reinterpret_cast<PVOID>(now >> 32));
        });
        if (!CurrentThread()->heldLocks.empty())
          VerifierFail(check::kSpinLockMisuse, "a DPC returned holding a lock");
      }
      lock.lock();
      continue;
    }
    g_passesDone = pass;
    g_cv.notify_all();
    int64_t next = g_timers.empty() ? -1 : g_timers.begin()->first;
    if (next < 0 || GetClockMode() == ClockMode::Manual) {
      g_cv.wait(lock);
    } else {
      int64_t wait100ns = next - Now100ns();
      if (wait100ns > 0) g_cv.wait_for(lock, std::chrono::nanoseconds(int64_t(double(wait100ns) * 100 / GetClockScale()) + 1000));
    }
  }
}

void EnsureThread() {
  if (!g_running) {
    g_stop = false;
    g_running = true;
    g_thread = std::thread(DpcThread);
  }
}

}  // namespace

void RunDueTimers() {
  std::unique_lock<std::mutex> lock(g_lock);
  if (!g_running) return;
  uint64_t pass = ++g_passesRequested;
  g_cv.notify_all();
  g_cv.wait(lock, [&] { return g_passesDone >= pass; });
}

size_t TimersSet() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_timers.size();
}

void ResetTimers() {
  std::thread t;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stop = true;
    g_cv.notify_all();
    t = std::move(g_thread);
  }
  if (t.joinable()) t.join();
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto &[d, timer] : g_timers) timer->Header.Inserted = 0;
  g_timers.clear();
  g_dpcs.clear();
  g_running = false;
  g_passesRequested = g_passesDone = 0;
  g_stalled = 0;
}

uint64_t StalledMicroseconds() { return g_stalled.load(); }

}  // namespace sim

extern "C" {

VOID KeInitializeTimer(PKTIMER Timer) {
  Timer->Header.Type = sim::kTimerNotification;
  Timer->Header.Size = sim::kInitialisedMagic;
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) sim::VerifierFail(sim::check::kIrqlMisuse, "KeSetTimer above DISPATCH_LEVEL");
  if (Timer->Header.Size != sim::kInitialisedMagic)
    sim::VerifierFail(sim::check::kBadObject, "timer %p was never initialised", (void *)Timer);
  if (Dpc && !Dpc->DeferredRoutine) sim::VerifierFail(sim::check::kBadObject, "DPC %p was never initialised", (void *)Dpc);
  std::lock_guard<std::mutex> guard(sim::g_lock);
  BOOLEAN wasSet = Timer->Header.Inserted;
  if (wasSet) sim::Unlink(Timer);
  {
    std::lock_guard<std::mutex> d(sim::DispatcherLock());
    Timer->Header.SignalState = 0;
  }
  int64_t deadline = sim::DueTimeToDeadline(DueTime.QuadPart);
  Timer->DueTime.QuadPart = deadline;
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  Timer->Header.Inserted = 1;
  sim::g_timers.emplace(deadline, Timer);
  sim::EnsureThread();
  sim::g_cv.notify_all();
  return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) sim::VerifierFail(sim::check::kIrqlMisuse, "KeCancelTimer above DISPATCH_LEVEL");
  std::lock_guard<std::mutex> guard(sim::g_lock);
  BOOLEAN wasSet = Timer->Header.Inserted;
  if (wasSet) sim::Unlink(Timer);
  Timer->Header.Inserted = 0;
  return wasSet;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  std::lock_guard<std::mutex> guard(sim::DispatcherLock());
  return Timer->Header.SignalState > 0;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  memset(Dpc, 0, sizeof *Dpc);
  Dpc->Type = 19;  // DpcObject
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (KeGetCurrentIrql() > HIGH_LEVEL) sim::VerifierFail(sim::check::kIrqlMisuse, "KeInsertQueueDpc");
  std::lock_guard<std::mutex> guard(sim::g_lock);
  if (Dpc->Number) return FALSE;  // already queued
  Dpc->Number = 1;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  sim::g_dpcs.push_back(Dpc);
  sim::EnsureThread();
  sim::g_cv.notify_all();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  std::lock_guard<std::mutex> guard(sim::g_lock);
  for (auto it = sim::g_dpcs.begin(); it != sim::g_dpcs.end(); ++it)
    if (*it == Dpc) {
      sim::g_dpcs.erase(it);
      Dpc->Number = 0;
      return TRUE;
    }
  return FALSE;
}

// Ticks of 15.625 ms, as on most x64 systems.
ULONG KeQueryTimeIncrement(void) { return 156250; }

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) { CurrentCount->QuadPart = sim::Now100ns() / 156250; }

ULONGLONG KeQueryInterruptTime(void) { return ULONGLONG(sim::Now100ns()); }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  // 2026-01-01 in FILETIME units, plus the time since the world began.
  CurrentTime->QuadPart = 134116992000000000LL + sim::Now100ns();
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  sim::g_stalled += MicroSeconds;
  if (sim::GetClockMode() == sim::ClockMode::Manual) return;  // the processor's time is not the clock's
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < until) {
  }
}

}  // extern "C"
