#include "kernel_handles.h"

#include <map>
#include <memory>
#include <mutex>

#include "verifier.h"

namespace sim {
namespace {
std::mutex g_lock;
std::map<uintptr_t, std::unique_ptr<KernelObject>> g_handles;
uintptr_t g_next = 0x1000;
}  // namespace

HANDLE InsertHandle(KernelObject *object) {
  std::lock_guard<std::mutex> guard(g_lock);
  uintptr_t h = (g_next += 4) | 0xFFFF800000000000ull;  // kernel handles have the top bit set
  g_handles[h].reset(object);
  return reinterpret_cast<HANDLE>(h);
}

KernelObject *LookupHandle(HANDLE h) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
  return it == g_handles.end() ? nullptr : it->second.get();
}

bool CloseHandleEntry(HANDLE h) {
  std::unique_ptr<KernelObject> victim;
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == g_handles.end()) return false;
  victim = std::move(it->second);
  g_handles.erase(it);
  return true;
}

size_t HandleCount() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_handles.size();
}

void ResetHandles() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_handles.clear();
}

}  // namespace sim

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "ZwClose at IRQL %u", KeGetCurrentIrql());
  return sim::CloseHandleEntry(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
