#include "verifier.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "schedule.h"

namespace sim {

void VerifierFail(const char *check, const char *fmt, ...) {
  char details[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(details, sizeof details, fmt, args);
  va_end(args);
  fprintf(stderr, "VERIFIER: %s: %s (XRUSB_SEED=0x%llx)\n", check, details,
          static_cast<unsigned long long>(ScheduleSeed()));
  fflush(stderr);
  abort();
}

}  // namespace sim
