// The transfer context pools: block sizes, growth up to the limit, slots that never overlap.
#include <algorithm>
#include <cstring>
#include <vector>

#include "driver_fixture.h"
#include "driver/core/pool_tags.h"
#include "driver/transfer/context_pool.h"
#include "driver/transfer/transfer_context.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/verifier.h"

namespace {

sim::TagUsage Blocks() { return sim::PoolUsage(TAG_TRANSFER_POOL); }

bool AllZero(const void *p, size_t n) {
  auto *b = static_cast<const unsigned char *>(p);
  return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

TEST(ContextPool, BulkPoolGrowsBySixteenUntilOneBlockPastItsLimit) {
  xrtest::DriverWorld w;
  w.Load();
  ContextPool pool;
  ASSERT_EQ(InitializeContextPool(&pool, 16, CONTEXT_POOL_LIMIT, 16, sizeof(TransferContext)), STATUS_SUCCESS);
  EXPECT_EQ(Blocks().blocksOutstanding, 1u);
  EXPECT_EQ(Blocks().bytesOutstanding, 16u * 208 + 16);  // one page is enough: no rounding

  std::vector<void *> taken;
  for (int i = 0; i < 16; ++i) taken.push_back(AllocateFromPool(&pool));
  EXPECT_EQ(Blocks().blocksOutstanding, 1u);
  taken.push_back(AllocateFromPool(&pool));
  EXPECT_EQ(Blocks().blocksOutstanding, 2u);
  // Growth is refused only once the count is above the limit, so 2048 still adds a block.
  while (void *e = AllocateFromPool(&pool)) taken.push_back(e);
  EXPECT_EQ(taken.size(), 2064u);
  EXPECT_EQ(Blocks().blocksOutstanding, 129u);
  for (void *e : taken) ReturnToPool(e);
  EXPECT_EQ(pool.inUseCount, 0u);
  DestroyContextPool(&pool);
  EXPECT_EQ(Blocks().blocksOutstanding, 0u);
}

TEST(ContextPool, IsoBlocksFillWholePagesOnceBeyondOne) {
  struct Case {
    ULONG packets;
    ULONG slots;  // in the first block
    ULONG bytes;
  } cases[] = {
      {16, 4, 4 * 424 + 16},     // fits one page as asked
      {65, 4, 4 * 1016 + 16},    // an odd count: slots rounded to 8 bytes, still one page
      {66, 7, 7 * 1024 + 16},    // 4 slots are 16 bytes past a page: 2 pages hold 7
      {512, 4, 4 * 6376 + 16},   // 7 pages, and no room for a fifth
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.packets);
    xrtest::DriverWorld w;
    w.Load();
    ContextPool pool;
    const ULONG size = TRANSFER_CONTEXT_HEADER_SIZE + 12 * c.packets + 152;
    ASSERT_EQ(InitializeContextPool(&pool, 0, CONTEXT_POOL_LIMIT, 4, size), STATUS_SUCCESS);
    EXPECT_EQ(Blocks().blocksOutstanding, 0u);

    std::vector<void *> taken;
    for (ULONG i = 0; i < c.slots; ++i) {
      void *e = AllocateFromPool(&pool);
      ASSERT_NE(e, nullptr);
      EXPECT_TRUE(AllZero(e, size));
      EXPECT_EQ(reinterpret_cast<uintptr_t>(e) % 8, 0u);
      memset(e, 0xA5, size);  // a neighbour's header would be overwritten if slots overlapped
      taken.push_back(e);
    }
    EXPECT_EQ(pool.allocatedCount, c.slots);
    EXPECT_EQ(Blocks().blocksOutstanding, 1u);
    EXPECT_EQ(Blocks().bytesOutstanding, c.bytes);
    taken.push_back(AllocateFromPool(&pool));
    EXPECT_EQ(Blocks().blocksOutstanding, 2u);
    for (void *e : taken) ReturnToPool(e);
    EXPECT_EQ(pool.inUseCount, 0u);
    DestroyContextPool(&pool);
  }
}

// Completion paths give contexts back while they hold queueLock; growth and return must only
// ever nest the pool's lock inside it.
TEST(ContextPoolDeathTest, PoolLockNestsInsideQueueLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  xrtest::DriverWorld w;
  w.Load();
  ASSERT_EQ(xrtest::AddDeviceOn(w, w.pdo), STATUS_SUCCESS);
  DeviceExtension *dx = xrtest::DeviceAbove(w.pdo);
  std::vector<void *> taken;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  for (int i = 0; i < 17; ++i) taken.push_back(AllocateFromPool(&dx->transferPool));  // the 17th grows
  for (void *e : taken) ReturnToPool(e);
  KeReleaseSpinLock(&dx->queueLock, irql);
  EXPECT_EQ(dx->transferPool.allocatedCount, 32u);
  // The order is now known to the verifier: the opposite nesting stops the run.
  EXPECT_DEATH(
      {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&dx->transferPool.lock);
        KeAcquireSpinLockAtDpcLevel(&dx->queueLock);
        KeReleaseSpinLockFromDpcLevel(&dx->queueLock);
        KeReleaseSpinLock(&dx->transferPool.lock, old);
      },
      sim::check::kLockOrder);
  TeardownDevice(dx);
}

}  // namespace
