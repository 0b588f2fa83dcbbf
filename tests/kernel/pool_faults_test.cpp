// Pool accounting and fault injection.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/world.h"
#include "tests/support/misuse.h"

namespace {

constexpr ULONG kTagA = sim::MakeTag("TstA");
constexpr ULONG kTagB = sim::MakeTag("TstB");

TEST(Pool, AccountsPerTagAndPerOwningStack) {
  sim::World world;
  void *a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA);
  void *b = ExAllocatePoolWithTag(NonPagedPool, 50, kTagA);
  void *c = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
  ASSERT_TRUE(a && b && c);
  sim::TagUsage u = sim::PoolUsage(kTagA);
  EXPECT_EQ(u.blocksOutstanding, 2u);
  EXPECT_EQ(u.bytesOutstanding, 150u);
  EXPECT_EQ(u.lastPoolType, int(NonPagedPool));
  ExFreePoolWithTag(a, 0);
  ExFreePoolWithTag(b, 0);
  ExFreePoolWithTag(c, 0);
  u = sim::PoolUsage(kTagA);
  EXPECT_EQ(u.allocations, 2u);
  EXPECT_EQ(u.frees, 2u);
  EXPECT_EQ(u.bytesOutstanding, 0u);

  auto *owner = reinterpret_cast<PDEVICE_OBJECT>(0x1000);
  void *charged;
  {
    sim::PoolOwnerScope scope(owner);
    charged = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  }
  void *uncharged = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_EQ(sim::PoolBlocksOwnedBy(owner), 1u);
  ExFreePoolWithTag(charged, 0);
  EXPECT_EQ(sim::PoolBlocksOwnedBy(owner), 0u);
  sim::CheckNoPoolOwnedBy(owner, "test");
  ExFreePoolWithTag(uncharged, 0);
}

void *AllocateAtSiteOne() { return ExAllocatePoolWithTag(NonPagedPool, 8, kTagA); }
void *AllocateAtSiteTwo() { return ExAllocatePoolWithTag(NonPagedPool, 8, kTagA); }

TEST(Faults, NthProbabilityAndSystematic) {
  sim::World world;
  // The third allocation of the tag fails, once; other tags are not counted.
  sim::FailNth(sim::AllocKind::Pool, 3, kTagA);
  std::vector<void *> blocks;
  int failures = 0, failedAt = 0;
  for (int i = 1; i <= 5; ++i) {
    void *other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    ASSERT_NE(other, nullptr);
    blocks.push_back(other);
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    if (!p) ++failures, failedAt = i;
    else blocks.push_back(p);
  }
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(failedAt, 3);

  // Probability: roughly the share asked for, and the same sequence for the same seed.
  auto run = [&](uint64_t seed) {
    sim::FailWithProbability(sim::AllocKind::Pool, 0.25, seed);
    std::vector<bool> outcome;
    for (int i = 0; i < 400; ++i) {
      void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
      outcome.push_back(p != nullptr);
      if (p) ExFreePoolWithTag(p, 0);
    }
    return outcome;
  };
  auto first = run(42), second = run(42);
  EXPECT_EQ(first, second);
  int fails = int(std::count(first.begin(), first.end(), false));
  EXPECT_GT(fails, 60);
  EXPECT_LT(fails, 140);

  // Systematic: each site (its call stack) fails the first time it is reached, then passes.
  sim::FailSystematically(sim::AllocKind::Pool);
  void *p1 = nullptr, *p2 = nullptr;
  for (int round = 0; round < 2; ++round) {
    p1 = AllocateAtSiteOne();
    p2 = AllocateAtSiteTwo();
    EXPECT_EQ(p1 != nullptr, round == 1);
    EXPECT_EQ(p2 != nullptr, round == 1);
  }
  EXPECT_EQ(sim::FaultsInjected(sim::AllocKind::Pool), 1u + 2u * uint64_t(fails) + 2u);
  sim::ClearFaults();
  ExFreePoolWithTag(p1, 0);
  ExFreePoolWithTag(p2, 0);
  for (void *b : blocks) ExFreePoolWithTag(b, 0);
}

TEST(PoolDeathTest, MisusesStopTheRun) {
  support::ExpectEachStopsTheRun({
      {"pool freed twice or never allocated",
       [] {
         void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
         ExFreePoolWithTag(p, 0);
         ExFreePoolWithTag(p, 0);
       }},
      {"paged allocation above APC_LEVEL",
       [] { sim::RunAtIrql(DISPATCH_LEVEL, [] { ExAllocatePoolWithTag(PagedPool, 8, kTagA); }); }},
      {"pool allocation of zero bytes", [] { ExAllocatePoolWithTag(PagedPool, 0, kTagA); }},
      {"resource still held when the world ends.*TstA", [] { ExAllocatePoolWithTag(NonPagedPool, 8, kTagA); }},
  });
}

}  // namespace
