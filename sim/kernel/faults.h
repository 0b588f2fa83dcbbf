// Fault injection for the kernel's allocations, as a low-resources verifier does it.
#pragma once
#include <cstdint>
#include <vector>

namespace sim {

enum class AllocKind { Pool, Irp, Mdl, WorkItem, ErrorLog, RegistryKey, Count };

// Fails the n-th allocation of 'kind' from now on (1-based), once.
// With a non-zero tag only pool allocations of that tag are counted.
void FailNth(AllocKind kind, uint64_t n, uint32_t tag = 0);
// Fails each allocation of 'kind' with probability p (deterministic for a seed).
void FailWithProbability(AllocKind kind, double p, uint64_t seed, uint32_t tag = 0);
// Each allocation site of 'kind' fails the first time it is reached, then passes: one run walks
// every failure path once.
void FailSystematically(AllocKind kind, uint32_t tag = 0);
// Clears every mode above and the site recording below.
void ClearFaults();
uint64_t FaultsInjected(AllocKind kind);

// A place that allocates, as a flow reaches it: its kind, the tag of a pool block, its call stack
// (hashed into the signature, the frames kept for a report) and how often the flow reached it.
struct Site {
  AllocKind kind;
  uint32_t tag;
  uint64_t signature;
  uint64_t reached;
  std::vector<const void *> frames;
};
// From now on notes each site reached by an allocation charged to a device stack: the driver's,
// and those the system makes for it (as Driver Verifier's low-resources simulation fails only a
// verified driver's). The I/O manager's own, for an application's request, are not sites.
void RecordSites();
// The sites reached since RecordSites, in the order first reached.
std::vector<Site> RecordedSites();
// Fails the occurrence-th allocation at 'site' from now on (1-based), once; recording goes on.
void FailSite(const Site &site, uint64_t occurrence = 1);

// Called by the allocators: true when this allocation must fail. 'site' is the caller's
// return address.
bool ShouldFail(AllocKind kind, const void *site, uint32_t tag = 0);

}  // namespace sim
