#include "clock.h"

#include <atomic>
#include <list>
#include <set>
#include <thread>
#include <vector>

#include "verifier.h"

namespace sim {
namespace {

using Steady = std::chrono::steady_clock;

std::mutex g_lock;  // guards mode, scale, base, manualNow
ClockMode g_mode = ClockMode::Real;
double g_scale = 1.0;
Steady::time_point g_base = Steady::now();
int64_t g_manualNow = 0;
std::atomic<uint64_t> g_timedWaits{0};

// The waits blocked now, with what they wait for, so that a driver of the manual clock can tell
// a world that waits only for time. A record lives in its waiter's frame and is entered and left
// with the waiter's lock held.
struct BlockedWait {
  std::mutex *lock;
  const std::function<bool()> *ready;
  int64_t deadline;  // -1: none
};
std::mutex g_blockedLock;  // guards g_blocked; taken after a waiter's lock
std::list<BlockedWait> g_blocked;
std::atomic<void (*)()> g_blockedHook{nullptr};

class BlockedScope {
 public:
  BlockedScope(std::mutex *lock, const std::function<bool()> *ready, int64_t deadline) {
    std::lock_guard<std::mutex> guard(g_blockedLock);
    it_ = g_blocked.insert(g_blocked.end(), {lock, ready, deadline});
    if (void (*hook)() = g_blockedHook.load()) hook();
  }
  ~BlockedScope() {
    std::lock_guard<std::mutex> guard(g_blockedLock);
    g_blocked.erase(it_);
  }

 private:
  std::list<BlockedWait>::iterator it_;
};

std::mutex g_notifierLock;
std::vector<std::function<void()>> g_notifiers;

}  // namespace

void SetClockMode(ClockMode mode, double scale) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_mode = mode;
    g_scale = scale > 0 ? scale : 1.0;
    g_base = Steady::now();
    g_manualNow = 0;
  }
  g_timedWaits = 0;
  // Waits and timers begun on the manual clock sleep until an Advance: on the real clock they
  // must wake to see their time run.
  ClockNotifyAll();
}

ClockMode GetClockMode() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_mode;
}

int64_t Now100ns() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_mode == ClockMode::Manual) return g_manualNow;
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - g_base).count();
  return int64_t(double(elapsed) * g_scale / 100.0);
}

void RegisterClockNotifier(std::function<void()> notifier) {
  std::lock_guard<std::mutex> guard(g_notifierLock);
  g_notifiers.push_back(std::move(notifier));
}

void ClockNotifyAll() {
  std::vector<std::function<void()>> copy;
  {
    std::lock_guard<std::mutex> guard(g_notifierLock);
    copy = g_notifiers;
  }
  for (auto &n : copy) n();
}

void Advance(int64_t delta100ns) {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_mode != ClockMode::Manual) VerifierFail(check::kBadObject, "Advance on a clock that is not manual");
    if (delta100ns < 0) VerifierFail(check::kBadObject, "the clock cannot go back");
    g_manualNow += delta100ns;
  }
  ClockNotifyAll();
  RunDueTimers();
}

uint64_t TimedWaitsStarted() { return g_timedWaits.load(); }

void AwaitTimedWaitsStarted(uint64_t count) {
  while (g_timedWaits.load() < count) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

int64_t DueTimeToDeadline(int64_t dueTime) { return dueTime < 0 ? Now100ns() - dueTime : dueTime; }

void SetWaitBlockedHook(void (*hook)()) { g_blockedHook = hook; }

WaitsLook LookAtWaits() {
  std::set<std::mutex *> locks;
  {
    std::lock_guard<std::mutex> guard(g_blockedLock);
    for (const BlockedWait &w : g_blocked) locks.insert(w.lock);
  }
  WaitsLook look;
  for (std::mutex *lock : locks) {
    // Holding a waiter's lock keeps its record in place and its condition still.
    std::lock_guard<std::mutex> held(*lock);
    std::lock_guard<std::mutex> guard(g_blockedLock);
    for (const BlockedWait &w : g_blocked) {
      if (w.lock != lock || (*w.ready)()) continue;
      ++look.blocked;
      if (w.deadline >= 0 && (look.earliestDeadline < 0 || w.deadline < look.earliestDeadline))
        look.earliestDeadline = w.deadline;
    }
  }
  return look;
}

bool ClockWaitUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, int64_t deadline100ns,
                    const std::function<bool()> &ready) {
  if (deadline100ns >= 0) ++g_timedWaits;
  if (ready()) return true;
  BlockedScope blocked(lock.mutex(), &ready, deadline100ns);
  for (;;) {
    if (ready()) return true;
    if (deadline100ns < 0) {
      cv.wait(lock);
      continue;
    }
    int64_t now = Now100ns();
    if (now >= deadline100ns) return false;
    ClockMode mode;
    double scale;
    {
      std::lock_guard<std::mutex> guard(g_lock);
      mode = g_mode;
      scale = g_scale;
    }
    if (mode == ClockMode::Manual) {
      cv.wait(lock);  // Advance notifies
    } else {
      auto realWait = std::chrono::nanoseconds(int64_t(double(deadline100ns - now) * 100.0 / scale) + 1000);
      cv.wait_for(lock, realWait);
    }
  }
}

}  // namespace sim

namespace sim {
double GetClockScale() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_scale;
}
}  // namespace sim
