// Spin locks: a KSPIN_LOCK holds its owner's thread record while taken.
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "dispatcher.h"
#include "lock_order.h"
#include "threads.h"
#include "verifier.h"

namespace {

std::mutex g_spinnersLock;
std::map<const void *, size_t> g_spinners;  // under g_spinnersLock; only contended acquisitions

// Counts the thread among the lock's spinners while it waits for the lock.
struct Spinning {
  const void *lock;
  explicit Spinning(const void *l) : lock(l) {
    std::lock_guard<std::mutex> guard(g_spinnersLock);
    ++g_spinners[lock];
  }
  ~Spinning() {
    std::lock_guard<std::mutex> guard(g_spinnersLock);
    if (--g_spinners[lock] == 0) g_spinners.erase(lock);
  }
};

std::atomic<bool> g_hookSet{false};
std::function<void(PKSPIN_LOCK)> g_beforeAcquire;  // under g_spinnersLock

void Acquire(PKSPIN_LOCK lock) {
  if (g_hookSet.load(std::memory_order_acquire)) {
    std::function<void(PKSPIN_LOCK)> hook;
    {
      std::lock_guard<std::mutex> guard(g_spinnersLock);
      hook = g_beforeAcquire;
    }
    if (hook) hook(lock);
  }
  PKTHREAD self = sim::CurrentThread();
  std::atomic_ref<ULONG_PTR> word(*lock);
  if (word.load(std::memory_order_relaxed) == ULONG_PTR(self))
    sim::VerifierFail(sim::check::kSpinLockMisuse, "spin lock %p acquired again by its owner", (void *)lock);
  ULONG_PTR expected = 0;
  if (!word.compare_exchange_strong(expected, ULONG_PTR(self), std::memory_order_acquire)) {
    Spinning spinning(lock);
    do {
      expected = 0;
      std::this_thread::yield();
    } while (!word.compare_exchange_weak(expected, ULONG_PTR(self), std::memory_order_acquire));
  }
  sim::LockAcquired(lock, "spin lock");
  ++self->spinLocksHeld;
}

void Release(PKSPIN_LOCK lock) {
  PKTHREAD self = sim::CurrentThread();
  std::atomic_ref<ULONG_PTR> word(*lock);
  if (word.load(std::memory_order_relaxed) != ULONG_PTR(self))
    sim::VerifierFail(sim::check::kSpinLockMisuse, "spin lock %p released by a thread that does not hold it",
                      (void *)lock);
  sim::LockReleased(lock);
  --self->spinLocksHeld;
  word.store(0, std::memory_order_release);
}

}  // namespace

namespace sim {

void SetBeforeSpinLockHook(std::function<void(PKSPIN_LOCK lock)> hook) {
  std::lock_guard<std::mutex> guard(g_spinnersLock);
  g_hookSet = bool(hook);
  g_beforeAcquire = std::move(hook);
}

size_t SpinnersOn(const void *lock) {
  std::lock_guard<std::mutex> guard(g_spinnersLock);
  auto it = g_spinners.find(lock);
  return it == g_spinners.end() ? 0 : it->second;
}

}  // namespace sim

extern "C" {

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "spin lock acquired at IRQL %u", KeGetCurrentIrql());
  KIRQL old = KeRaiseIrqlToDpcLevel();
  Acquire(SpinLock);
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Release(SpinLock);
  KeLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() != DISPATCH_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "KeAcquireSpinLockAtDpcLevel at IRQL %u", KeGetCurrentIrql());
  Acquire(SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() != DISPATCH_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "KeReleaseSpinLockFromDpcLevel at IRQL %u", KeGetCurrentIrql());
  Release(SpinLock);
}

}  // extern "C"
