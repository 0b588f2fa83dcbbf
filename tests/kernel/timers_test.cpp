// Timers fire their DPCs at DISPATCH_LEVEL on the clock tests control.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/kernel/clock.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/timers.h"
#include "sim/kernel/world.h"

namespace {

struct Fired {
  std::atomic<int> count{0};
  std::atomic<int> irql{-1};
  std::atomic<bool> systemThread{false};
};

VOID CountDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto *f = static_cast<Fired *>(context);
  f->irql = KeGetCurrentIrql();
  f->systemThread = sim::CurrentThread()->systemThread;
  ++f->count;
}

LARGE_INTEGER Ms(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

TEST(Timers, FireOnceWhenDueCancelTickCountAndStall) {
  sim::World world({sim::ClockMode::Manual});
  Fired fired;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountDpc, &fired);
  EXPECT_FALSE(KeCancelTimer(&timer));  // never set
  EXPECT_FALSE(KeSetTimer(&timer, Ms(10), &dpc));
  sim::AdvanceMs(9);
  EXPECT_EQ(fired.count, 0);
  sim::AdvanceMs(1);
  EXPECT_EQ(fired.count, 1);
  EXPECT_EQ(fired.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(fired.systemThread);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  sim::AdvanceMs(100);
  EXPECT_EQ(fired.count, 1);  // one-shot

  // Setting again replaces the due time; cancelling a set timer reports it was set.
  KeSetTimer(&timer, Ms(10), &dpc);
  EXPECT_TRUE(KeSetTimer(&timer, Ms(50), &dpc));
  sim::AdvanceMs(10);
  EXPECT_EQ(fired.count, 1);
  EXPECT_TRUE(KeCancelTimer(&timer));
  sim::AdvanceMs(100);
  EXPECT_EQ(fired.count, 1);
  EXPECT_EQ(sim::TimersSet(), 0u);

  LARGE_INTEGER t0, t1;
  KeQueryTickCount(&t0);
  sim::AdvanceMs(1000);
  KeQueryTickCount(&t1);
  EXPECT_EQ((t1.QuadPart - t0.QuadPart) * KeQueryTimeIncrement(), 10000000 - 10000000 % 156250);
  KeStallExecutionProcessor(250);
  EXPECT_EQ(sim::StalledMicroseconds(), 250u);
}

struct Rearm {
  KTIMER timer;
  KDPC dpc;
  std::atomic<int> ticks{0};
};

VOID RearmDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto *r = static_cast<Rearm *>(context);
  if (++r->ticks < 3) KeSetTimer(&r->timer, Ms(10), &r->dpc);
}

TEST(Timers, ADpcCanRearmItsTimerOnePeriodPerAdvance) {
  sim::World world({sim::ClockMode::Manual});
  Rearm r;
  KeInitializeTimer(&r.timer);
  KeInitializeDpc(&r.dpc, RearmDpc, &r);
  KeSetTimer(&r.timer, Ms(10), &r.dpc);
  sim::AdvanceMs(30);  // the re-armed timer is due 10 ms after it was set, not before
  EXPECT_EQ(r.ticks, 1);
  sim::AdvanceMs(10);
  sim::AdvanceMs(10);
  EXPECT_EQ(r.ticks, 3);
  sim::AdvanceMs(10);
  EXPECT_EQ(r.ticks, 3);
}

TEST(Timers, QueuedDpcRunsOnceAndRealClockTimerFires) {
  sim::World world;
  Fired fired;
  KDPC dpc;
  KeInitializeDpc(&dpc, CountDpc, &fired);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Ms(5), nullptr);
  LARGE_INTEGER limit = Ms(2000);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &limit), STATUS_WAIT_0);
  while (fired.count == 0) std::this_thread::yield();
  EXPECT_EQ(fired.count, 1);
}

using TimersDeathTest = ::testing::Test;

TEST(TimersDeathTest, ATimerLeftSetIsALeak) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        static KTIMER timer;
        sim::World world({sim::ClockMode::Manual});
        KeInitializeTimer(&timer);
        KeSetTimer(&timer, Ms(10), nullptr);
      },
      "resource still held when the world ends");
}

}  // namespace
