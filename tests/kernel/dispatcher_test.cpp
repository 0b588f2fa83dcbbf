// Mutexes, events, spin locks and the lock-order verifier; timers on the clock tests control. Timed
// waits on that clock the driver's synchronous-request and wait tests show end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "sim/kernel/clock.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/schedule.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/timers.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/world.h"
#include "tests/support/await.h"
#include "tests/support/misuse.h"

namespace {

LARGE_INTEGER Relative(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}
NTSTATUS Wait(PVOID object, int64_t ms = -1) {
  LARGE_INTEGER t = Relative(ms);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, ms < 0 ? nullptr : &t);
}

TEST(Dispatcher, MutexIsRecursiveAndOwnedEventsWakeAsTheirKindSays) {
  sim::World world;
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  auto takeFromAnotherThread = [&] {
    NTSTATUS got;
    std::thread([&] {
      if ((got = Wait(&m, 0)) == STATUS_WAIT_0) KeReleaseMutex(&m, FALSE);
    }).join();
    return got;
  };
  ASSERT_EQ(Wait(&m), STATUS_WAIT_0);
  ASSERT_EQ(Wait(&m), STATUS_WAIT_0);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(takeFromAnotherThread(), STATUS_TIMEOUT);  // one acquisition still stands
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(takeFromAnotherThread(), STATUS_WAIT_0);

  // A notification event stays signalled for every waiter; a synchronization event wakes one.
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  EXPECT_EQ(Wait(&notification, 0), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
  EXPECT_EQ(Wait(&notification, 0), STATUS_WAIT_0);
  EXPECT_EQ(Wait(&notification, 0), STATUS_WAIT_0);
  EXPECT_EQ(Wait(&synchronization, 0), STATUS_WAIT_0);
  EXPECT_EQ(Wait(&synchronization, 0), STATUS_TIMEOUT);
  // A zero time-out never blocks, so it is allowed at DISPATCH_LEVEL.
  KeSetEvent(&synchronization, 0, FALSE);
  sim::RunAtIrql(DISPATCH_LEVEL, [&] { EXPECT_EQ(Wait(&synchronization, 0), STATUS_WAIT_0); });
  // On the real clock a time-out takes its time.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Wait(&synchronization, 20), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
}

// Mutex (taken twice) and spin lock holders never overlap; a handed-over event loses no signal.
TEST(DispatcherConcurrency, MutexAndSpinLockExcludeAndSynchronizationEventsHandOver) {
  sim::World world;
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  int inMutex = 0, inSpinLock = 0, total = 0;  // each guarded by its own lock
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        Wait(&m);
        Wait(&m);
        EXPECT_EQ(++inMutex, 1);
        --inMutex;
        KeReleaseMutex(&m, FALSE);
        KeReleaseMutex(&m, FALSE);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(++inSpinLock, 1);
        ++total;
        --inSpinLock;
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(total, 1200);

  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  std::thread responder([&] {
    for (int i = 0; i < 500; ++i) {
      Wait(&ping);
      KeSetEvent(&pong, 0, FALSE);
    }
  });
  for (int i = 0; i < 500; ++i) {
    KeSetEvent(&ping, 0, FALSE);
    Wait(&pong);
  }
  responder.join();
}

struct Fired {
  KTIMER timer;
  KDPC dpc;
  std::atomic<int> count{0}, irql{-1}, rearms{0};
  std::atomic<bool> systemThread{false};
};

VOID CountDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto *f = static_cast<Fired *>(context);
  f->irql = KeGetCurrentIrql();
  f->systemThread = sim::CurrentThread()->systemThread;
  if (++f->count <= f->rearms) KeSetTimer(&f->timer, Relative(10), &f->dpc);
}

void Init(Fired &f) {
  KeInitializeTimer(&f.timer);
  KeInitializeDpc(&f.dpc, CountDpc, &f);
}

TEST(Timers, FireOnceWhenDueRearmCancelTickCountAndStall) {
  sim::World world({sim::ClockMode::Manual});
  Fired fired;
  Init(fired);
  EXPECT_FALSE(KeSetTimer(&fired.timer, Relative(10), &fired.dpc));
  // Due at 10 ms, it expires at the clock tick after: 15.625 ms.
  sim::AdvanceMs(10);
  sim::Advance(156250 - 100000 - 1);
  EXPECT_EQ(fired.count, 0);
  sim::Advance(1);
  EXPECT_EQ(fired.count, 1);
  EXPECT_EQ(fired.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(fired.systemThread);
  sim::AdvanceMs(100);
  EXPECT_EQ(fired.count, 1);  // one-shot

  // Setting again replaces the due time; cancelling a set timer reports it was set.
  KeSetTimer(&fired.timer, Relative(10), &fired.dpc);
  EXPECT_TRUE(KeSetTimer(&fired.timer, Relative(50), &fired.dpc));
  sim::AdvanceMs(10);
  EXPECT_EQ(fired.count, 1);
  EXPECT_TRUE(KeCancelTimer(&fired.timer));
  sim::AdvanceMs(100);
  EXPECT_EQ(fired.count, 1);
  EXPECT_EQ(sim::TimersSet(), 0u);

  // A DPC that sets its timer again is due a period after that, however far the clock jumped.
  fired.rearms = 3;
  KeSetTimer(&fired.timer, Relative(10), &fired.dpc);
  sim::AdvanceMs(30);
  EXPECT_EQ(fired.count, 2);
  sim::AdvanceMs(10);
  sim::AdvanceMs(10);
  sim::AdvanceMs(10);
  EXPECT_EQ(fired.count, 4);

  LARGE_INTEGER t0, t1;
  KeQueryTickCount(&t0);
  sim::AdvanceMs(1000);
  KeQueryTickCount(&t1);
  EXPECT_EQ((t1.QuadPart - t0.QuadPart) * KeQueryTimeIncrement(), 10000000 - 10000000 % 156250);
  KeStallExecutionProcessor(250);
  EXPECT_EQ(sim::StalledMicroseconds(), 250u);
}

// Each run waits in its routine for the other run of its pair: on one processor it never comes.
std::atomic<int> g_arrived{0};
struct Meeting {
  KDPC dpc;
  bool again;  // queued once more by its own first run
  std::atomic<int> met{0};
};
VOID Meet(PKDPC dpc, PVOID context, PVOID, PVOID) {
  auto *m = static_cast<Meeting *>(context);
  if (std::exchange(m->again, false)) KeInsertQueueDpc(dpc, nullptr, nullptr);
  const int pair = (++g_arrived + 1) / 2 * 2;
  if (support::AwaitUntil([&] { return g_arrived.load() >= pair; })) ++m->met;
}

// Two DPCs on two processors run at once; so does one DPC queued again while it runs.
TEST(Timers, DpcsRunOnTwoProcessorsAtOnce) {
  sim::World world;
  Meeting a{{}, false}, b{{}, false}, c{{}, true};
  for (Meeting *m : {&a, &b, &c}) KeInitializeDpc(&m->dpc, Meet, m);
  sim::ForceChoices({0, 1, 0, 1});
  KeInsertQueueDpc(&a.dpc, nullptr, nullptr);
  KeInsertQueueDpc(&b.dpc, nullptr, nullptr);
  EXPECT_TRUE(support::AwaitUntil([&] { return a.met + b.met == 2; }));
  KeInsertQueueDpc(&c.dpc, nullptr, nullptr);
  EXPECT_TRUE(support::AwaitUntil([&] { return c.met == 2; }));
}

// A timer and a timed wait begun on the manual clock run out on the real one it is switched to.
TEST(Timers, SwitchToTheRealClockWakesWhatTheManualOneHeld) {
  sim::World world({sim::ClockMode::Manual});
  Fired fired;
  Init(fired);
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  KeSetTimer(&fired.timer, Relative(10), &fired.dpc);
  std::thread waiter([&] { result = Wait(&e, 10); });
  sim::AwaitTimedWaitsStarted(1);
  sim::SetClockMode(sim::ClockMode::Real);
  EXPECT_TRUE(support::AwaitUntil([&] { return fired.count == 1; }, "the timer fired"));
  EXPECT_TRUE(support::AwaitUntil([&] { return result != STATUS_PENDING; }, "the wait timed out"));
  KeSetEvent(&e, 0, FALSE);
  waiter.join();
  EXPECT_EQ(result.load(), STATUS_TIMEOUT);
}

// A look at the waits counts those whose object is not signalled, with the earliest deadline;
// one signalled but not yet running again is no longer counted, nor the untimed one.
TEST(Timers, LookAtWaitsSeesWhatOnlyTimeCouldEnd) {
  sim::World world({sim::ClockMode::Manual});
  KEVENT timed, untimed;
  KeInitializeEvent(&timed, NotificationEvent, FALSE);
  KeInitializeEvent(&untimed, NotificationEvent, FALSE);
  std::thread a([&] { Wait(&timed, 30); });
  std::thread b([&] { KeWaitForSingleObject(&untimed, Executive, KernelMode, FALSE, nullptr); });
  EXPECT_TRUE(support::AwaitUntil([] { return sim::LookAtWaits().blocked == 2; }, "both waits blocked"));
  EXPECT_EQ(sim::LookAtWaits().earliestDeadline, 30 * 10000);
  KeSetEvent(&timed, 0, FALSE);
  EXPECT_EQ(sim::LookAtWaits(), (sim::WaitsLook{1, -1}));
  KeSetEvent(&untimed, 0, FALSE);
  a.join();
  b.join();
  EXPECT_EQ(sim::LookAtWaits().blocked, 0u);
}

// Memory holding a set timer, or a DPC started on another processor, is freed only after
// KeCancelTimer and KeFlushQueuedDpcs.
TEST(DispatcherDeathTest, TimerOrDpcFreedWhileLive) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Record {
    KTIMER timer;
    KDPC dpc;
  };
  auto freeLive = [](bool timerSet, bool flush) {
    std::atomic<bool> started{false};
    sim::World world;
    auto *r = static_cast<Record *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Record), sim::MakeTag("Timr")));
    KeInitializeTimer(&r->timer);
    KeInitializeDpc(&r->dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    sim::SetDpcStartHook([&](PKDPC) {
      started = true;
      support::AwaitUntil([] { return sim::DpcFlushesWaiting() > 0; });
    });
    if (timerSet) {
      KeSetTimer(&r->timer, Relative(1000), nullptr);
    } else {
      KeInsertQueueDpc(&r->dpc, nullptr, nullptr);
      ASSERT_TRUE(support::AwaitUntil([&] { return started.load(); }));
    }
    if (flush) KeFlushQueuedDpcs();
    ExFreePoolWithTag(r, 0);
  };
  EXPECT_DEATH(freeLive(true, false), sim::check::kFreedLiveTimerOrDpc);
  EXPECT_DEATH(freeLive(false, false), sim::check::kFreedLiveTimerOrDpc);
  freeLive(false, true);
}

TEST(DispatcherDeathTest, MisusesStopTheRun) {
  support::ExpectEachStopsTheRun({
      {"mutex released by a thread that does not own it",
       [] {
         KMUTEX m;
         KeInitializeMutex(&m, 0);
         Wait(&m);
         std::thread([&] { KeReleaseMutex(&m, FALSE); }).join();
       }},
      {"wait above APC_LEVEL",
       [] {
         KEVENT e;
         KeInitializeEvent(&e, NotificationEvent, FALSE);
         KSPIN_LOCK lock = 0;
         KeAcquireSpinLockRaiseToDpc(&lock);
         Wait(&e, 10);
       }},
      {"invalid kernel object",
       [] {
         KEVENT e{};
         KeSetEvent(&e, 0, FALSE);
       }},
      // Mutexes initialised at different sites are different classes: outer before inner, then
      // inner before outer.
      {"lock taken against the established order",
       [] {
         KMUTEX outer, inner;
         KeInitializeMutex(&outer, 0);
         KeInitializeMutex(&inner, 0);
         Wait(&outer);
         Wait(&inner);
         KeReleaseMutex(&inner, FALSE);
         KeReleaseMutex(&outer, FALSE);
         Wait(&inner);
         Wait(&outer);
       }},
      {"spin lock misuse",
       [] {
         KSPIN_LOCK a = 0;
         KeAcquireSpinLockRaiseToDpc(&a);
         KeAcquireSpinLockAtDpcLevel(&a);
       }},
      {"IRQL misuse",
       [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeRaiseIrql(PASSIVE_LEVEL, &old);
       }},
      {"resource still held when the world ends",
       [] {
         static KTIMER timer;
         KeInitializeTimer(&timer);
         KeSetTimer(&timer, Relative(100000), nullptr);
       }},
  });
}

}  // namespace
