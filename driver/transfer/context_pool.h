// Per-device stores of equal-sized transfer contexts, carved from non-paged blocks and handed
// out under a spin lock, so that completion paths at DISPATCH_LEVEL never allocate.
#pragma once
#include "platform/platform.h"

struct PoolSlot;

struct ContextPool {
  KSPIN_LOCK lock;  // taken after the device's queueLock, never before
  PoolSlot *freeList;
  ULONG inUseCount;
  ULONG elementSize;
  LIST_ENTRY blockList;
  ULONG allocatedCount;
  ULONG initialCount;
  ULONG limit;      // no block is added once allocatedCount is above it
  ULONG growCount;  // 0: never grows after set-up
};

constexpr ULONG CONTEXT_POOL_LIMIT = 2048;

NTSTATUS InitializeContextPool(ContextPool *pool, ULONG initialCount, ULONG limit, ULONG growCount, ULONG elementSize);
// Called with the pool's lock held.
NTSTATUS GrowContextPool(ContextPool *pool, ULONG count);
// Contents are whatever the element's last user left; zero only from a freshly grown block.
PVOID AllocateFromPool(ContextPool *pool);
VOID ReturnToPool(PVOID element);
// Frees every block; no element may be handed out.
VOID DestroyContextPool(ContextPool *pool);
