#include "faults.h"

#include <execinfo.h>

#include <mutex>
#include <set>

namespace sim {
namespace {

enum class Mode { None, Nth, Probability, Systematic };

struct KindState {
  Mode mode = Mode::None;
  uint32_t tag = 0;
  uint64_t counter = 0;
  uint64_t n = 0;
  double p = 0;
  uint64_t rng = 0;
  std::set<const void *> sitesSeen;
  uint64_t injected = 0;
};

std::mutex g_lock;
KindState g_kinds[size_t(AllocKind::Count)];

uint64_t NextRandom(uint64_t &s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}

KindState &State(AllocKind kind) { return g_kinds[size_t(kind)]; }

// An allocation site is its call stack, not just its caller: a helper that allocates for many
// callers (the driver's own allocation routine, say) is as many sites as it has callers.
const void *SiteSignature(const void *site) {
  void *frames[8];
  int n = backtrace(frames, 8);
  uintptr_t h = reinterpret_cast<uintptr_t>(site);
  for (int i = 2; i < n; ++i) h = h * 1000003u ^ reinterpret_cast<uintptr_t>(frames[i]);
  return reinterpret_cast<const void *>(h);
}

}  // namespace

void FailNth(AllocKind kind, uint64_t n, uint32_t tag) {
  std::lock_guard<std::mutex> guard(g_lock);
  KindState &s = State(kind);
  s.mode = Mode::Nth;
  s.n = n;
  s.counter = 0;
  s.tag = tag;
}

void FailWithProbability(AllocKind kind, double p, uint64_t seed, uint32_t tag) {
  std::lock_guard<std::mutex> guard(g_lock);
  KindState &s = State(kind);
  s.mode = Mode::Probability;
  s.p = p;
  s.rng = seed ? seed : 0x9E3779B97F4A7C15ull;
  s.tag = tag;
}

void FailSystematically(AllocKind kind, uint32_t tag) {
  std::lock_guard<std::mutex> guard(g_lock);
  KindState &s = State(kind);
  s.mode = Mode::Systematic;
  s.sitesSeen.clear();
  s.tag = tag;
}

void ClearFaults() {
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto &s : g_kinds) s = KindState{};
}

uint64_t FaultsInjected(AllocKind kind) {
  std::lock_guard<std::mutex> guard(g_lock);
  return State(kind).injected;
}

bool ShouldFail(AllocKind kind, const void *site, uint32_t tag) {
  std::lock_guard<std::mutex> guard(g_lock);
  KindState &s = State(kind);
  if (s.mode == Mode::None) return false;
  if (s.tag != 0 && s.tag != tag) return false;
  if (s.mode == Mode::Systematic) site = SiteSignature(site);
  bool fail = false;
  switch (s.mode) {
    case Mode::Nth:
      if (++s.counter == s.n) {
        fail = true;
        s.mode = Mode::None;
      }
      break;
    case Mode::Probability:
      fail = double(NextRandom(s.rng) % 1000000) < s.p * 1000000.0;
      break;
    case Mode::Systematic:
      fail = s.sitesSeen.insert(site).second;
      break;
    case Mode::None:
      break;
  }
  if (fail) ++s.injected;
  return fail;
}

}  // namespace sim
