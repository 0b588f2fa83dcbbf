#include "faults.h"

#include <execinfo.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "pool.h"

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

struct SiteRecording {
  bool on = false;
  std::vector<Site> sites;
  std::map<std::pair<AllocKind, uint64_t>, size_t> index;
  bool armed = false;
  AllocKind kind = AllocKind::Pool;
  uint64_t signature = 0;
  uint64_t occurrence = 0;
};

std::mutex g_lock;
KindState g_kinds[size_t(AllocKind::Count)];
SiteRecording g_recording;

uint64_t NextRandom(uint64_t &s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}

KindState &State(AllocKind kind) { return g_kinds[size_t(kind)]; }

// An allocation site is its call stack, not just its caller: a helper that allocates for many
// callers (the driver's own allocation routine, say) is as many sites as it has callers.
const void *SiteSignature(const void *site, std::vector<const void *> *kept = nullptr, int depth = 8) {
  void *frames[16];
  int n = backtrace(frames, depth);
  uintptr_t h = reinterpret_cast<uintptr_t>(site);
  for (int i = 2; i < n; ++i) h = h * 1000003u ^ reinterpret_cast<uintptr_t>(frames[i]);
  if (kept) kept->assign(frames + std::min(n, 3), frames + n);
  return reinterpret_cast<const void *>(h);
}

// Under g_lock: notes the site and says whether it is the one armed to fail now.
bool RecordSiteLocked(AllocKind kind, const void *site, uint32_t tag) {
  if (!g_recording.on || !GetPoolOwner()) return false;
  std::vector<const void *> frames;
  // Deeper than a systematic walk looks: this routine and ShouldFail sit on top.
  const uint64_t signature = reinterpret_cast<uintptr_t>(SiteSignature(site, &frames, 12));
  auto [it, fresh] = g_recording.index.emplace(std::make_pair(kind, signature), g_recording.sites.size());
  if (fresh) g_recording.sites.push_back(Site{kind, tag, signature, 0, std::move(frames)});
  Site &s = g_recording.sites[it->second];
  ++s.reached;
  if (!g_recording.armed || g_recording.kind != kind || g_recording.signature != signature ||
      s.reached != g_recording.occurrence)
    return false;
  g_recording.armed = false;
  return true;
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
  g_recording = SiteRecording{};
}

void RecordSites() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_recording.on = true;
  g_recording.sites.clear();
  g_recording.index.clear();
}

std::vector<Site> RecordedSites() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_recording.sites;
}

void FailSite(const Site &site, uint64_t occurrence) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_recording.on = true;
  g_recording.armed = true;
  g_recording.kind = site.kind;
  g_recording.signature = site.signature;
  // Counted from now on.
  auto it = g_recording.index.find({site.kind, site.signature});
  g_recording.occurrence = occurrence + (it == g_recording.index.end() ? 0 : g_recording.sites[it->second].reached);
}

uint64_t FaultsInjected(AllocKind kind) {
  std::lock_guard<std::mutex> guard(g_lock);
  return State(kind).injected;
}

bool ShouldFail(AllocKind kind, const void *site, uint32_t tag) {
  std::lock_guard<std::mutex> guard(g_lock);
  KindState &s = State(kind);
  if (RecordSiteLocked(kind, site, tag)) {
    ++s.injected;
    return true;
  }
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
