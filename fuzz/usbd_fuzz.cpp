// Arbitrary bytes as a configuration block, through the USB driver library's two routines and
// the descriptor parser.
#include <cstdio>

#include "config_checks.h"

namespace xrusb_fuzz {
extern long g_outstanding;
extern bool g_failAllocations;
}  // namespace xrusb_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // One input in sixteen (by its length) runs with the pool refusing the URB.
  xrusb_fuzz::g_failAllocations = size % 16 == 15;
  xrusb_fuzz::Outcome o = xrusb_fuzz::Exercise({data, size}, xrusb_fuzz::g_failAllocations);
  xrusb_fuzz::g_failAllocations = false;
  if (!o.fault.empty()) {
    fprintf(stderr, "fault: %s\n", o.fault.c_str());
    __builtin_trap();
  }
  if (xrusb_fuzz::g_outstanding != 0) {
    fprintf(stderr, "fault: %ld pool blocks left\n", xrusb_fuzz::g_outstanding);
    __builtin_trap();
  }
  return 0;
}
