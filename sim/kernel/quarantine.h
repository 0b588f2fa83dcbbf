// Objects the substitute hands to drivers (IRPs, MDLs), tracked while alive and kept poisoned for
// a while after they are freed, so that a late use is named instead of hitting reused memory.
#pragma once
#include <cstdlib>
#include <deque>
#include <unordered_set>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define XR_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define XR_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define XR_POISON(p, n) ((void)(p), (void)(n))
#define XR_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace sim {

// Not locked: callers hold their own lock.
template <typename T>
class Quarantine {
 public:
  explicit Quarantine(size_t keep) : keep_(keep) {}

  void Add(T *object) { live_.insert(object); }
  bool IsLive(T *object) const { return live_.count(object) != 0; }
  bool WasFreed(T *object) const { return freed_.count(object) != 0; }
  const std::unordered_set<T *> &Live() const { return live_; }

  // 'base' and 'size': the whole allocation the object sits in (malloc'd).
  void Retire(T *object, void *base, size_t size) {
    live_.erase(object);
    freed_.insert(object);
    XR_POISON(base, size);
    held_.push_back({base, size, object});
    while (held_.size() > keep_) {
      Held old = held_.front();
      held_.pop_front();
      freed_.erase(old.object);
      XR_UNPOISON(old.base, old.size);
      free(old.base);
    }
  }

  // Frees the quarantine; live objects are the caller's to free first ('freeLive' each).
  template <typename F>
  void Reset(F freeLive) {
    for (T *object : live_) freeLive(object);
    live_.clear();
    for (Held &h : held_) {
      XR_UNPOISON(h.base, h.size);
      free(h.base);
    }
    held_.clear();
    freed_.clear();
  }

 private:
  struct Held {
    void *base;
    size_t size;
    T *object;
  };
  size_t keep_;
  std::unordered_set<T *> live_;
  std::unordered_set<T *> freed_;
  std::deque<Held> held_;
};

}  // namespace sim
