#include "lock_order.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "threads.h"
#include "verifier.h"

namespace sim {
namespace {

std::mutex g_lock;
std::map<const void *, std::set<const void *>> g_before;  // a -> locks taken while a was held
std::map<const void *, std::string> g_names;

bool Reaches(const void *from, const void *to, std::set<const void *> &seen) {
  if (from == to) return true;
  if (!seen.insert(from).second) return false;
  auto it = g_before.find(from);
  if (it == g_before.end()) return false;
  for (const void *next : it->second)
    if (Reaches(next, to, seen)) return true;
  return false;
}

}  // namespace

void LockAcquired(const void *lockClass, const char *name) {
  PKTHREAD t = CurrentThread();
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (name && !g_names.count(lockClass)) g_names[lockClass] = name;
    for (const void *held : t->heldLocks) {
      if (held == lockClass) continue;
      std::set<const void *> seen;
      if (Reaches(lockClass, held, seen)) {
        std::string a = g_names.count(held) ? g_names[held] : "?";
        std::string b = g_names.count(lockClass) ? g_names[lockClass] : "?";
        VerifierFail(check::kLockOrder, "%s %p taken while holding %s %p; the opposite order was seen before",
                     b.c_str(), lockClass, a.c_str(), held);
      }
      g_before[held].insert(lockClass);
    }
  }
  t->heldLocks.push_back(lockClass);
}

void LockReleased(const void *lockClass) {
  auto &held = CurrentThread()->heldLocks;
  auto it = std::find(held.rbegin(), held.rend(), lockClass);
  if (it != held.rend()) held.erase(std::next(it).base());
}

void ForgetLocksIn(const void *base, unsigned long length) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto inside = [&](const void *p) {
    return static_cast<const char *>(p) >= static_cast<const char *>(base) &&
           static_cast<const char *>(p) < static_cast<const char *>(base) + length;
  };
  for (auto it = g_before.begin(); it != g_before.end();) {
    if (inside(it->first)) {
      it = g_before.erase(it);
      continue;
    }
    for (auto j = it->second.begin(); j != it->second.end();) j = inside(*j) ? it->second.erase(j) : std::next(j);
    ++it;
  }
  for (auto it = g_names.begin(); it != g_names.end();) it = inside(it->first) ? g_names.erase(it) : std::next(it);
}

void ResetLockOrder() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_before.clear();
  g_names.clear();
}

}  // namespace sim
