#include "schedule.h"

#include <cstdlib>
#include <deque>
#include <mutex>

namespace sim {
namespace {

constexpr uint64_t kDefaultSeed = 0x9E3779B97F4A7C15ull;

std::mutex g_lock;
uint64_t g_seed = kDefaultSeed;
uint64_t g_state = kDefaultSeed;
std::deque<uint32_t> g_forced;

uint64_t SeedFromEnvironment() {
  const char *text = getenv("XRUSB_SEED");
  if (!text || !*text) return kDefaultSeed;
  uint64_t seed = strtoull(text, nullptr, 0);
  return seed ? seed : kDefaultSeed;
}

// xorshift64*: cheap, and good enough to pick orders.
uint64_t Next() {
  g_state ^= g_state >> 12;
  g_state ^= g_state << 25;
  g_state ^= g_state >> 27;
  return g_state * 0x2545F4914F6CDD1Dull;
}

}  // namespace

uint64_t ScheduleSeed() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_seed;
}

void SetScheduleSeed(uint64_t seed) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_seed = g_state = seed ? seed : kDefaultSeed;
}

uint32_t Choose(uint32_t n) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_forced.empty()) {
    uint32_t forced = g_forced.front();
    g_forced.pop_front();
    return n < 2 ? 0 : forced % n;
  }
  return n < 2 ? 0 : uint32_t(Next() % n);
}

void ForceChoices(std::initializer_list<uint32_t> outcomes) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_forced.insert(g_forced.end(), outcomes.begin(), outcomes.end());
}

void ResetSchedule() {
  uint64_t seed = SeedFromEnvironment();
  std::lock_guard<std::mutex> guard(g_lock);
  g_seed = g_state = seed;
  g_forced.clear();
}

}  // namespace sim
