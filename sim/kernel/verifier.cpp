#include "verifier.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace sim {

void VerifierFail(const char *check, const char *fmt, ...) {
  char details[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(details, sizeof details, fmt, args);
  va_end(args);
  fprintf(stderr, "VERIFIER: %s: %s\n", check, details);
  fflush(stderr);
  abort();
}

}  // namespace sim
