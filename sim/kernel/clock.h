// The clock tests control. In Real mode it follows the host's monotonic clock (optionally
// scaled); in Manual mode it stands still until a test advances it, so time-outs, wait slices,
// timers and tick counts are exercised without sleeping.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace sim {

enum class ClockMode { Real, Manual };

void SetClockMode(ClockMode mode, double scale = 1.0);
ClockMode GetClockMode();
double GetClockScale();
// Interrupt time in 100-nanosecond units since the world began.
int64_t Now100ns();
// Manual mode: moves the clock forward, fires the timers that fall due (their DPCs have run
// when this returns) and wakes the waits whose time-out passed.
void Advance(int64_t delta100ns);
inline void AdvanceMs(int64_t ms) { Advance(ms * 10000); }
// Advances to the earliest timer's expiry (timers expire on 15.625 ms ticks) and runs what falls
// due. False when no timer is set.
bool AdvanceToNextTimer();

// Number of waits with a time-out that have begun since the world began.
uint64_t TimedWaitsStarted();
// Blocks until at least 'count' timed waits have begun (tests use it to step a waiter).
void AwaitTimedWaitsStarted(uint64_t count);

// The waits in ClockWaitUntil whose condition is false now, and the earliest deadline among them
// (-1: none has one). A driver of the manual clock uses it to tell a world that waits only for
// time. Must not be called with a waiter's lock held.
struct WaitsLook {
  size_t blocked = 0;
  int64_t earliestDeadline = -1;
  bool operator==(const WaitsLook &) const = default;
};
WaitsLook LookAtWaits();
// Called each time a wait blocks, with the waiter's lock held (null: nothing is called); it must
// only note the fact.
void SetWaitBlockedHook(void (*hook)());

// For the kernel's own waits: waits on 'cv' (with 'lock' held) until 'ready' holds or the
// interrupt time reaches 'deadline100ns' (-1: no limit). Returns false on time-out.
bool ClockWaitUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &cv,
                    int64_t deadline100ns, const std::function<bool()> &ready);
// Wakes every ClockWaitUntil (called when the clock moves).
void ClockNotifyAll();

// Converts a Windows due time (negative: relative; positive: absolute in interrupt time) to
// an absolute interrupt time.
int64_t DueTimeToDeadline(int64_t dueTime);

}  // namespace sim

namespace sim {
// Kernel parts that block on their own condition variables register a notifier here, so that
// a manual Advance wakes them.
void RegisterClockNotifier(std::function<void()> notifier);
// Fires every timer due by now and runs the queued DPCs, returning when they have run.
void RunDueTimers();
}  // namespace sim
