// Mutexes, events, waits and the clock that bounds them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sim/kernel/clock.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/world.h"

namespace {

LARGE_INTEGER Relative(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

TEST(Dispatcher, MutexIsRecursiveAndOwned) {
  sim::World world;
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  ASSERT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
  // Another thread cannot take it until both acquisitions are released.
  std::atomic<int> got{0};
  std::thread other([&] {
    LARGE_INTEGER zero{};
    got = KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &zero) == STATUS_WAIT_0 ? 1 : 2;
  });
  other.join();
  EXPECT_EQ(got, 2);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(KeReadStateMutex(&m), 0);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
  std::thread third([&] {
    EXPECT_EQ(KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    KeReleaseMutex(&m, FALSE);
  });
  third.join();
}

TEST(Dispatcher, EventsNotificationAndSynchronization) {
  sim::World world;
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
  // A notification event stays signalled for every waiter; a synchronization event wakes one.
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
  EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeClearEvent(&notification);
  EXPECT_EQ(KeReadStateEvent(&notification), 0);
  // A zero time-out never blocks, so it is allowed at DISPATCH_LEVEL.
  KeSetEvent(&synchronization, 0, FALSE);
  sim::RunAtIrql(DISPATCH_LEVEL, [&] {
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
  });
  // On the real clock a time-out takes its time.
  LARGE_INTEGER t = Relative(20);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
}

TEST(Dispatcher, TimedWaitsFollowTheManualClock) {
  sim::World world({sim::ClockMode::Manual});
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread waiter([&] {
    LARGE_INTEGER t = Relative(1000);
    result = KeWaitForSingleObject(&e, Suspended, KernelMode, FALSE, &t);
  });
  sim::AwaitTimedWaitsStarted(1);
  sim::AdvanceMs(999);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(result.load(), STATUS_PENDING);  // not a moment early
  sim::AdvanceMs(1);
  waiter.join();
  EXPECT_EQ(result.load(), STATUS_TIMEOUT);

  // A signal inside the time-out ends the wait with success, with the clock standing still.
  std::thread second([&] {
    LARGE_INTEGER t = Relative(1000);
    result = KeWaitForSingleObject(&e, Suspended, KernelMode, FALSE, &t);
  });
  sim::AwaitTimedWaitsStarted(2);
  KeSetEvent(&e, 0, FALSE);
  second.join();
  EXPECT_EQ(result.load(), STATUS_WAIT_0);
}

// Threads contending for one mutex, each taking it twice, never overlap; an event handed back
// and forth between two threads loses no signal.
TEST(DispatcherConcurrency, MutexExcludesAndSynchronizationEventsHandOver) {
  sim::World world;
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  int inside = 0, total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(++inside, 1);
        ++total;
        --inside;
        KeReleaseMutex(&m, FALSE);
        KeReleaseMutex(&m, FALSE);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(total, 1200);

  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  std::thread responder([&] {
    for (int i = 0; i < 500; ++i) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&pong, 0, FALSE);
    }
  });
  for (int i = 0; i < 500; ++i) {
    KeSetEvent(&ping, 0, FALSE);
    KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
  }
  responder.join();
}

using DispatcherDeathTest = ::testing::Test;

TEST(DispatcherDeathTest, MisusesStopTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::World world;
        KMUTEX m;
        KeInitializeMutex(&m, 0);
        KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
        std::thread([&] { KeReleaseMutex(&m, FALSE); }).join();
      },
      "mutex released by a thread that does not own it");
  EXPECT_DEATH(
      {
        sim::World world;
        KEVENT e;
        KeInitializeEvent(&e, NotificationEvent, FALSE);
        KSPIN_LOCK lock = 0;
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        LARGE_INTEGER t = Relative(10);
        KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
        KeReleaseSpinLock(&lock, old);
      },
      "wait above APC_LEVEL");
  EXPECT_DEATH(
      {
        sim::World world;
        KEVENT e{};
        KeSetEvent(&e, 0, FALSE);
      },
      "invalid kernel object");
}

}  // namespace
