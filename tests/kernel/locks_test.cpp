// Spin locks and the lock-order verifier.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "sim/kernel/threads.h"
#include "sim/kernel/world.h"

namespace {

struct TwoMutexes {
  KMUTEX outer, inner;
  TwoMutexes() {
    KeInitializeMutex(&outer, 0);
    KeInitializeMutex(&inner, 0);
  }
  void Take(PKMUTEX m) { KeWaitForSingleObject(m, Executive, KernelMode, FALSE, nullptr); }
};

TEST(LocksConcurrency, SpinLockExcludesAndConsistentOrderIsAccepted) {
  sim::World world;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        ++counter;
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, 8000);

  // The same order every time is no inversion.
  TwoMutexes m;
  KSPIN_LOCK spin = 0;
  for (int i = 0; i < 3; ++i) {
    m.Take(&m.outer);
    m.Take(&m.inner);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&spin);
    KeReleaseSpinLock(&spin, old);
    KeReleaseMutex(&m.inner, FALSE);
    KeReleaseMutex(&m.outer, FALSE);
  }
}

using LocksDeathTest = ::testing::Test;

TEST(LocksDeathTest, OrderInversionStopsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Mutexes initialised at different sites are different classes: outer before inner, then
  // inner before outer.
  EXPECT_DEATH(
      {
        sim::World world;
        TwoMutexes m;
        m.Take(&m.outer);
        m.Take(&m.inner);
        KeReleaseMutex(&m.inner, FALSE);
        KeReleaseMutex(&m.outer, FALSE);
        m.Take(&m.inner);
        m.Take(&m.outer);
      },
      "lock taken against the established order");
  // A spin lock taken before a mutex-guarded one, across threads.
  EXPECT_DEATH(
      {
        sim::World world;
        KSPIN_LOCK a = 0;
        KSPIN_LOCK b = 0;
        std::thread([&] {
          KIRQL o = KeAcquireSpinLockRaiseToDpc(&a);
          KeAcquireSpinLockAtDpcLevel(&b);
          KeReleaseSpinLockFromDpcLevel(&b);
          KeReleaseSpinLock(&a, o);
        }).join();
        KeAcquireSpinLockRaiseToDpc(&b);
        KeAcquireSpinLockAtDpcLevel(&a);
      },
      "lock taken against the established order");
  EXPECT_DEATH(
      {
        sim::World world;
        KSPIN_LOCK a = 0;
        KIRQL o = KeAcquireSpinLockRaiseToDpc(&a);
        KeAcquireSpinLockAtDpcLevel(&a);
        (void)o;
      },
      "spin lock misuse");
  EXPECT_DEATH(
      {
        sim::World world;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeRaiseIrql(PASSIVE_LEVEL, &old);
      },
      "IRQL misuse");
}

}  // namespace
