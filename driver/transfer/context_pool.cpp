#include "driver/transfer/context_pool.h"

#include "driver/core/kernel_utils.h"
#include "driver/core/pool_tags.h"

// Free: the next free slot. Handed out: the owning pool, which is how an element finds its
// way back without its user knowing the pool.
struct PoolSlot {
  union {
    PoolSlot *nextFree;
    ContextPool *owner;
  };
};
static_assert(sizeof(PoolSlot) == 8, "slot header");

namespace {

constexpr ULONG BLOCK_LINK_SIZE = sizeof(LIST_ENTRY);
constexpr ULONG POOL_PAGE_SIZE = 4096;

// Element sizes with an odd packet count are not multiples of 8; the slots are, so that every
// element is aligned for the pointers at its start.
ULONG SlotSize(const ContextPool *pool) { return ((pool->elementSize + 7) & ~7u) + sizeof(PoolSlot); }

}  // namespace

NTSTATUS InitializeContextPool(ContextPool *pool, ULONG initialCount, ULONG limit, ULONG growCount, ULONG elementSize) {
  RtlZeroMemory(pool, sizeof *pool);
  pool->elementSize = elementSize;
  pool->initialCount = initialCount;
  pool->limit = limit;
  pool->growCount = growCount;
  KeInitializeSpinLock(&pool->lock);
  InitializeListHead(&pool->blockList);
  pool->freeList = NULL;
  if (initialCount == 0) return STATUS_SUCCESS;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&pool->lock);
  NTSTATUS status = GrowContextPool(pool, initialCount);
  KeReleaseSpinLock(&pool->lock, irql);
  return status;
}

NTSTATUS GrowContextPool(ContextPool *pool, ULONG count) {
  // Greater-than: one block more is still added at the limit itself.
  if (pool->allocatedCount > pool->limit) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG slotSize = SlotSize(pool);
  ULONG bytes = slotSize * count + BLOCK_LINK_SIZE;
  if (bytes > POOL_PAGE_SIZE) {
    // The rest of the last page would be lost anyway: fill it with slots.
    const ULONG pages = (bytes + POOL_PAGE_SIZE - 1) & ~(POOL_PAGE_SIZE - 1);
    count = (pages - BLOCK_LINK_SIZE) / slotSize;
    bytes = slotSize * count + BLOCK_LINK_SIZE;
  }
  UCHAR *block = static_cast<UCHAR *>(AllocateNonPaged(bytes, TAG_TRANSFER_POOL));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, bytes);
  InsertTailList(&pool->blockList, reinterpret_cast<PLIST_ENTRY>(block));
  for (ULONG i = 0; i < count; ++i) {
    PoolSlot *slot = reinterpret_cast<PoolSlot *>(block + BLOCK_LINK_SIZE + i * slotSize);
    slot->nextFree = pool->freeList;
    pool->freeList = slot;
  }
  pool->allocatedCount += count;
  return STATUS_SUCCESS;
}

PVOID AllocateFromPool(ContextPool *pool) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&pool->lock);
  if (!pool->freeList && (pool->growCount == 0 || !NT_SUCCESS(GrowContextPool(pool, pool->growCount)))) {
    KeReleaseSpinLock(&pool->lock, irql);
    return NULL;
  }
  PoolSlot *slot = pool->freeList;
  pool->freeList = slot->nextFree;
  pool->inUseCount += 1;
  KeReleaseSpinLock(&pool->lock, irql);
  // Off the free list the header is the caller's alone.
  slot->owner = pool;
  return slot + 1;
}

VOID ReturnToPool(PVOID element) {
  PoolSlot *slot = static_cast<PoolSlot *>(element) - 1;
  ContextPool *pool = slot->owner;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&pool->lock);
  slot->nextFree = pool->freeList;
  pool->freeList = slot;
  pool->inUseCount -= 1;
  KeReleaseSpinLock(&pool->lock, irql);
}

VOID DestroyContextPool(ContextPool *pool) {
  // A record whose creation stopped before its pools were set up has nothing to free.
  if (!pool->blockList.Flink) return;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&pool->lock);
  while (!IsListEmpty(&pool->blockList)) ExFreePoolWithTag(RemoveHeadList(&pool->blockList), 0);
  pool->allocatedCount = 0;
  pool->freeList = NULL;
  KeReleaseSpinLock(&pool->lock, irql);
}
