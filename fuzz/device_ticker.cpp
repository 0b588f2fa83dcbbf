// The device fuzzer's clock (device_ticker.h).
#include "device_ticker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "sim/kernel/clock.h"
#include "sim/kernel/timers.h"
#include "sim/kernel/work_items.h"
#include "sim/usb/bus.h"

namespace xrusb_fuzz {
namespace {

constexpr int kMaxAdvances = 20000;  // in one run: more is a wait that never ends
constexpr int kEagerLooks = 12;      // after a wait has blocked, 50 us apart

class Ticker {
 public:
  Ticker() {
    sim::SetWaitBlockedHook([] { The().Poke(); });
    std::thread([this] { Loop(); }).detach();
  }
  static Ticker &The() {
    static Ticker *ticker = new Ticker;  // its thread lives as long as the process
    return *ticker;
  }

  void Begin(TickedRun *run) {
    std::lock_guard<std::mutex> guard(lock_);
    run_ = run;
    advances_ = 0;
    wake_.notify_all();
  }
  void End() {
    std::lock_guard<std::mutex> guard(lock_);
    run_ = nullptr;
  }
  void Poke() {
    poked_ = true;
    wake_.notify_all();
  }

 private:
  struct Look {
    sim::WaitsLook waits;
    uint64_t started;
    bool operator==(const Look &) const = default;
  };
  static bool Quiet() { return sim::usb::Bus::Get().Idle() && sim::WorkItemsAllocated() == 0; }
  static Look Now() { return {sim::LookAtWaits(), sim::TimedWaitsStarted()}; }

  // Looks often for a while after a wait has blocked, else only now and then. Acts on a look
  // that held over two pauses with the bus idle: a moment's stillness of a thread that is about
  // to run is not taken for a world that waits.
  void Loop() {
    std::unique_lock<std::mutex> lock(lock_);
    int eager = 0;
    for (;;) {
      if (eager == 0) {
        wake_.wait_for(lock, std::chrono::milliseconds(2), [&] { return run_ && poked_; });
        if (!run_) continue;
        eager = kEagerLooks;
      }
      if (poked_.exchange(false)) eager = kEagerLooks;
      --eager;
      TickedRun *run = run_;
      bool still = Quiet();
      const Look before = still ? Now() : Look{};
      still = still && before.waits.blocked > 0;
      for (int i = 0; i < 2 && still; ++i) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        lock.lock();
        still = run_ == run && Now() == before && Quiet();
      }
      if (still) {
        Act(*run, before.waits.earliestDeadline);
        eager = kEagerLooks;
        continue;
      }
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      lock.lock();
    }
  }

  // The earliest of the blocked waits' deadlines and the timers comes first; with neither, only
  // the device's leaving can end a wait.
  void Act(TickedRun &run, int64_t deadline) {
    if (run.Vanishing() && run.Unplug()) return;
    // A wait already past its deadline was woken by the advance that passed it and times out
    // as soon as its thread runs.
    if (deadline >= 0 && deadline <= sim::Now100ns()) return;
    if (++advances_ > kMaxAdvances) Fault("the driver waits without end (%d advances of the clock)", advances_);
    const int64_t timer = sim::NextTimerDue();
    if (Verbose())
      fprintf(stderr, "  ticker: now %lld, deadline %lld, timer %lld\n", static_cast<long long>(sim::Now100ns()),
              static_cast<long long>(deadline), static_cast<long long>(timer));
    if (timer >= 0 && (deadline < 0 || timer <= deadline)) {
      sim::AdvanceToNextTimer();
    } else if (deadline >= 0) {
      const int64_t now = sim::Now100ns();
      sim::Advance(deadline > now ? deadline - now : 0);
    } else if (!run.Unplug()) {
      Fault("the driver waits for something that can no longer happen");
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::atomic<bool> poked_{false};
  TickedRun *run_ = nullptr;
  int advances_ = 0;
};

}  // namespace

void Fault(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fprintf(stderr, "device_fuzz: ");
  vfprintf(stderr, fmt, args);
  fprintf(stderr, "\n");
  va_end(args);
  abort();
}

bool Verbose() {
  static const bool on = getenv("XRUSB_FUZZ_VERBOSE") != nullptr;
  return on;
}

void TickBegin(TickedRun *run) { Ticker::The().Begin(run); }
void TickEnd() { Ticker::The().End(); }

}  // namespace xrusb_fuzz
