#include "pool.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "faults.h"
#include "lock_order.h"
#include "threads.h"
#include "timers.h"
#include "verifier.h"

namespace sim {
namespace {

struct Block {
  size_t size;
  uint32_t tag;
  int type;
  PDEVICE_OBJECT owner;
};

std::mutex g_lock;
std::unordered_map<const void *, Block> g_blocks;
std::map<uint32_t, TagUsage> g_tags;
thread_local PDEVICE_OBJECT t_owner = nullptr;

}  // namespace

std::string TagName(uint32_t tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    s += (c >= 32 && c < 127) ? c : '?';
  }
  return s;
}

TagUsage PoolUsage(uint32_t tag) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_tags.find(tag);
  return it == g_tags.end() ? TagUsage{} : it->second;
}

uint64_t PoolBlocksOutstanding() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_blocks.size();
}

bool IsPoolBlock(const void *p) {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_blocks.count(p) != 0;
}

void SetPoolOwner(PDEVICE_OBJECT stackBottom) { t_owner = stackBottom; }
PDEVICE_OBJECT GetPoolOwner() { return t_owner; }

uint64_t PoolBlocksOwnedBy(PDEVICE_OBJECT stackBottom) {
  std::lock_guard<std::mutex> guard(g_lock);
  uint64_t n = 0;
  for (auto &[p, b] : g_blocks)
    if (b.owner == stackBottom) ++n;
  return n;
}

void CheckNoPoolOwnedBy(PDEVICE_OBJECT stackBottom, const char *what) {
  std::string tags;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto &[p, b] : g_blocks)
      if (b.owner == stackBottom)
        tags.append(" ").append(TagName(b.tag)).append("(").append(std::to_string(b.size)).append(")");
  }
  if (!tags.empty()) VerifierFail(check::kPoolLeakAtDelete, "%s; blocks still allocated:%s", what, tags.c_str());
}

std::string DescribeOutstandingPool() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::string s;
  for (auto &[tag, u] : g_tags)
    if (u.blocksOutstanding)
      s.append(" ").append(TagName(tag)).append(" x").append(std::to_string(u.blocksOutstanding));
  return s;
}

void ResetPool() {
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto &[p, b] : g_blocks) free(const_cast<void *>(p));
  g_blocks.clear();
  g_tags.clear();
}

}  // namespace sim

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  KIRQL irql = KeGetCurrentIrql();
  bool paged = (PoolType & 1) != 0;
  if (paged && irql > APC_LEVEL)
    sim::VerifierFail(sim::check::kPagedAboveApc, "paged pool (tag %s) at IRQL %u", sim::TagName(Tag).c_str(), irql);
  if (irql > DISPATCH_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "pool allocation at IRQL %u", irql);
  // Driver Verifier stops a request for no bytes (bug check 0xC4, parameter 1 = 0).
  if (NumberOfBytes == 0)
    sim::VerifierFail(sim::check::kZeroPoolAllocation, "tag %s", sim::TagName(Tag).c_str());
  if (PoolType != NonPagedPool && PoolType != PagedPool && PoolType != NonPagedPoolNx)
    sim::VerifierFail(sim::check::kBadObject, "unknown pool type %d", int(PoolType));
  if (sim::ShouldFail(sim::AllocKind::Pool, __builtin_return_address(0), Tag)) return nullptr;
  void *p = malloc(NumberOfBytes);
  if (!p) return nullptr;
  memset(p, 0xCD, NumberOfBytes);  // pool is not zeroed; callers that forget are caught
  std::lock_guard<std::mutex> guard(sim::g_lock);
  sim::g_blocks[p] = sim::Block{NumberOfBytes, Tag, int(PoolType), sim::t_owner};
  sim::TagUsage &u = sim::g_tags[Tag];
  ++u.allocations;
  ++u.blocksOutstanding;
  u.bytesOutstanding += NumberOfBytes;
  u.lastPoolType = int(PoolType);
  return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  (void)Tag;  // callers pass 0: no tag check
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "pool free at IRQL %u", KeGetCurrentIrql());
  size_t size;
  {
    std::lock_guard<std::mutex> guard(sim::g_lock);
    auto it = sim::g_blocks.find(P);
    if (it == sim::g_blocks.end())
      sim::VerifierFail(sim::check::kPoolDoubleFree, "block %p is not allocated", P);
    size = it->second.size;
    sim::TagUsage &u = sim::g_tags[it->second.tag];
    ++u.frees;
    --u.blocksOutstanding;
    u.bytesOutstanding -= size;
    sim::g_blocks.erase(it);
  }
  sim::CheckNoTimerOrDpcIn(P, size, "pool block freed");
  sim::ForgetLocksIn(P, size);
  memset(P, 0xDD, size);
  free(P);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
