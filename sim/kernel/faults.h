// Fault injection for the kernel's allocations, as a low-resources verifier does it.
#pragma once
#include <cstdint>

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
void ClearFaults();
uint64_t FaultsInjected(AllocKind kind);

// Called by the allocators: true when this allocation must fail. 'site' is the caller's
// return address.
bool ShouldFail(AllocKind kind, const void *site, uint32_t tag = 0);

}  // namespace sim
