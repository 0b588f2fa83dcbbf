// The pool for the fuzz target: the library's allocations go to malloc, counted so that the
// target can check every URB was freed, and refused on demand.
#include <cstdlib>

#include "platform/platform.h"

namespace xrusb_fuzz {
long g_outstanding = 0;
bool g_failAllocations = false;
}  // namespace xrusb_fuzz

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG) {
  if (xrusb_fuzz::g_failAllocations) return nullptr;
  void *p = malloc(NumberOfBytes ? NumberOfBytes : 1);
  if (p) ++xrusb_fuzz::g_outstanding;
  return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG) {
  if (!P) __builtin_trap();
  --xrusb_fuzz::g_outstanding;
  free(P);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
