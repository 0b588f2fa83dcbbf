// Pool accounting per tag and per allocation.
#pragma once
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace sim {

struct TagUsage {
  uint64_t allocations = 0;
  uint64_t frees = 0;
  uint64_t blocksOutstanding = 0;
  uint64_t bytesOutstanding = 0;
  int lastPoolType = -1;
};

constexpr uint32_t MakeTag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}
std::string TagName(uint32_t tag);

TagUsage PoolUsage(uint32_t tag);
uint64_t PoolBlocksOutstanding();
bool IsPoolBlock(const void *p);

// The device stack (identified by its physical device object) that allocations made on the
// calling thread are charged to; null when none. Deleting a stack's last device object with
// blocks still charged to it stops the run.
void SetPoolOwner(PDEVICE_OBJECT stackBottom);
PDEVICE_OBJECT GetPoolOwner();
class PoolOwnerScope {
 public:
  explicit PoolOwnerScope(PDEVICE_OBJECT owner) : saved_(GetPoolOwner()) { SetPoolOwner(owner); }
  ~PoolOwnerScope() { SetPoolOwner(saved_); }

 private:
  PDEVICE_OBJECT saved_;
};
// Blocks still charged to a stack.
uint64_t PoolBlocksOwnedBy(PDEVICE_OBJECT stackBottom);
void CheckNoPoolOwnedBy(PDEVICE_OBJECT stackBottom, const char *what);

// Allocation for the substitute's own objects handed to the driver (IRPs, MDLs, strings): not
// counted against the driver but checked on free.
void ResetPool();
std::string DescribeOutstandingPool();

}  // namespace sim
