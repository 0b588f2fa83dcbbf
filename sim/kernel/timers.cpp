#include "timers.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <thread>

#include "clock.h"
#include "dispatcher.h"
#include "schedule.h"
#include "threads.h"
#include "verifier.h"

namespace sim {
namespace {

// Windows runs DPCs on every processor: the same timer's DPC can run on one while it is queued
// again and run on another, and two DPCs run at once. Two processors show both; a seeded choice
// picks where each DPC is queued.
constexpr int kProcessors = 2;
// The clock interrupt's period (KeQueryTimeIncrement): timers expire on these ticks only.
constexpr int64_t kTick100ns = 156250;

struct Queued {
  PKDPC dpc;
  uint64_t serial;
};

struct Processor {
  std::deque<Queued> queue;
  PKDPC running = nullptr;
  uint64_t runningSerial = 0;
  std::thread thread;
  std::thread::id id;
};

// Guarded by g_lock: the timer queue (deadline order), the processors' queues and state.
std::mutex g_lock;
std::condition_variable g_cv;
std::multimap<int64_t, PKTIMER> g_timers;
Processor g_cpu[kProcessors];
uint64_t g_serial = 0;
bool g_running = false;
bool g_stop = false;
int g_flushesWaiting = 0;
std::function<void(PKDPC)> g_startHook;
std::atomic<uint64_t> g_stalled{0};

const bool g_registered = [] {
  RegisterClockNotifier([] {
    std::lock_guard<std::mutex> guard(g_lock);
    g_cv.notify_all();
  });
  return true;
}();

int64_t RoundUpToTick(int64_t t) { return (t + kTick100ns - 1) / kTick100ns * kTick100ns; }

void Unlink(PKTIMER timer) {
  for (auto it = g_timers.begin(); it != g_timers.end(); ++it)
    if (it->second == timer) {
      g_timers.erase(it);
      return;
    }
}

// Number is the processor the DPC is queued on, plus one; 0 while not queued.
bool QueueDpcLocked(PKDPC dpc) {
  if (dpc->Number) return false;
  uint32_t cpu = Choose(kProcessors);
  dpc->Number = USHORT(cpu + 1);
  g_cpu[cpu].queue.push_back({dpc, ++g_serial});
  g_cv.notify_all();
  return true;
}

void ExpireTimersLocked() {
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
      g_timers.emplace(RoundUpToTick(now + int64_t(t->Period) * 10000), t);
    }
    if (t->Dpc) QueueDpcLocked(t->Dpc);
  }
}

bool QuietLocked() {
  if (!g_timers.empty() && g_timers.begin()->first <= Now100ns()) return false;
  for (const Processor &p : g_cpu)
    if (!p.queue.empty() || p.running) return false;
  return true;
}

void ProcessorThread(int index) {
  CurrentThread()->systemThread = true;
  Processor &cpu = g_cpu[index];
  std::unique_lock<std::mutex> lock(g_lock);
  while (!g_stop) {
    ExpireTimersLocked();
    if (!cpu.queue.empty()) {
      Queued q = cpu.queue.front();
      cpu.queue.pop_front();
      PKDPC dpc = q.dpc;
      dpc->Number = 0;  // no longer queued: it may be queued again while it runs
      cpu.running = dpc;
      cpu.runningSerial = q.serial;
      auto hook = g_startHook;
      lock.unlock();
      int64_t now = Now100ns();
      RunAtIrql(DISPATCH_LEVEL, [&] {
        if (hook) hook(dpc);
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, reinterpret_cast<PVOID>(now & 0xFFFFFFFF),
                             reinterpret_cast<PVOID>(now >> 32));
      });
      if (!CurrentThread()->heldLocks.empty())
        VerifierFail(check::kSpinLockMisuse, "a DPC returned holding a lock");
      lock.lock();
      cpu.running = nullptr;
      cpu.runningSerial = 0;
      g_cv.notify_all();
      continue;
    }
    int64_t next = g_timers.empty() ? -1 : g_timers.begin()->first;
    if (next < 0 || GetClockMode() == ClockMode::Manual) {
      g_cv.wait(lock);
    } else {
      int64_t wait100ns = next - Now100ns();
      if (wait100ns > 0) g_cv.wait_for(lock, std::chrono::nanoseconds(int64_t(double(wait100ns) * 100 / GetClockScale()) + 1000));
    }
  }
}

void EnsureThreadsLocked() {
  if (g_running) return;
  g_stop = false;
  g_running = true;
  for (int i = 0; i < kProcessors; ++i) {
    g_cpu[i].thread = std::thread(ProcessorThread, i);
    g_cpu[i].id = g_cpu[i].thread.get_id();
  }
}

bool Inside(const void *p, const void *base, size_t size) {
  auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(base);
  return a >= b && a < b + size;
}

}  // namespace

void RunDueTimers() {
  std::unique_lock<std::mutex> lock(g_lock);
  if (!g_running) return;
  ExpireTimersLocked();
  g_cv.wait(lock, QuietLocked);
}

size_t TimersSet() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_timers.size();
}

int64_t NextTimerDue() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_timers.empty() ? -1 : g_timers.begin()->first;
}

bool AdvanceToNextTimer() {
  int64_t next;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_timers.empty()) return false;
    next = g_timers.begin()->first;
  }
  int64_t now = Now100ns();
  Advance(next > now ? next - now : 0);
  return true;
}

void SetDpcStartHook(std::function<void(PKDPC)> hook) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_startHook = std::move(hook);
}

int DpcFlushesWaiting() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_flushesWaiting;
}

void CheckNoTimerOrDpcIn(const void *base, size_t size, const char *what) {
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto &[deadline, timer] : g_timers)
    if (Inside(timer, base, size))
      VerifierFail(check::kFreedLiveTimerOrDpc, "%s: timer %p in it is still set", what, static_cast<void *>(timer));
  for (int i = 0; i < kProcessors; ++i) {
    const Processor &cpu = g_cpu[i];
    for (const Queued &q : cpu.queue)
      if (Inside(q.dpc, base, size))
        VerifierFail(check::kFreedLiveTimerOrDpc, "%s: DPC %p in it is queued on processor %d", what,
                     static_cast<void *>(q.dpc), i);
    // A DPC routine may free its own DPC; another thread may not while it runs
    // (learn.microsoft.com, KeFlushQueuedDpcs: call it before freeing a DPC that may still run).
    if (cpu.running && Inside(cpu.running, base, size) && cpu.id != std::this_thread::get_id())
      VerifierFail(check::kFreedLiveTimerOrDpc, "%s: DPC %p in it is running on processor %d", what,
                   static_cast<void *>(cpu.running), i);
  }
}

void ResetTimers() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stop = true;
    g_cv.notify_all();
    for (Processor &cpu : g_cpu)
      if (cpu.thread.joinable()) threads.push_back(std::move(cpu.thread));
  }
  for (std::thread &t : threads) t.join();
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto &[d, timer] : g_timers) timer->Header.Inserted = 0;
  g_timers.clear();
  for (Processor &cpu : g_cpu) {
    for (Queued &q : cpu.queue) q.dpc->Number = 0;
    cpu = Processor{};
  }
  g_running = false;
  g_serial = 0;
  g_flushesWaiting = 0;
  g_startHook = nullptr;
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
  // Checked at each clock tick only: the due time is rounded up to the next tick.
  int64_t deadline = sim::RoundUpToTick(sim::DueTimeToDeadline(DueTime.QuadPart));
  Timer->DueTime.QuadPart = deadline;
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  Timer->Header.Inserted = 1;
  sim::g_timers.emplace(deadline, Timer);
  sim::EnsureThreadsLocked();
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
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  sim::EnsureThreadsLocked();
  return sim::QueueDpcLocked(Dpc);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  std::lock_guard<std::mutex> guard(sim::g_lock);
  if (!Dpc->Number) return FALSE;
  auto &queue = sim::g_cpu[Dpc->Number - 1].queue;
  std::erase_if(queue, [&](const sim::Queued &q) { return q.dpc == Dpc; });
  Dpc->Number = 0;
  sim::g_cv.notify_all();
  return TRUE;
}

// Returns once every DPC queued or running on any processor at the call has run.
VOID KeFlushQueuedDpcs(void) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "KeFlushQueuedDpcs at IRQL %u", KeGetCurrentIrql());
  std::unique_lock<std::mutex> lock(sim::g_lock);
  const uint64_t last = sim::g_serial;
  ++sim::g_flushesWaiting;
  sim::g_cv.notify_all();
  sim::g_cv.wait(lock, [&] {
    for (const sim::Processor &cpu : sim::g_cpu) {
      if (!cpu.queue.empty() && cpu.queue.front().serial <= last) return false;
      if (cpu.running && cpu.runningSerial <= last) return false;
    }
    return true;
  });
  --sim::g_flushesWaiting;
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
