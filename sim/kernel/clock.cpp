#include "clock.h"

#include <atomic>
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

bool ClockWaitUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &cv, int64_t deadline100ns,
                    const std::function<bool()> &ready) {
  if (deadline100ns >= 0) ++g_timedWaits;
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
