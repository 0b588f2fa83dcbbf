#include "threads.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "verifier.h"

namespace sim {
namespace {

std::atomic<uint32_t> g_nextThreadId{1};
std::atomic<uint32_t> g_nextProcessId{8};
_KPROCESS g_system{"System", 4};
std::mutex g_processLock;
std::vector<std::unique_ptr<_KPROCESS>> g_processes;

_KTHREAD &ThisThread() {
  thread_local _KTHREAD record;
  if (record.id == 0) record.id = g_nextThreadId++;
  return record;
}

}  // namespace

PKTHREAD CurrentThread() { return &ThisThread(); }

PEPROCESS SystemProcess() { return &g_system; }

PEPROCESS NewProcess(const std::string &name) {
  std::lock_guard<std::mutex> guard(g_processLock);
  g_processes.push_back(std::make_unique<_KPROCESS>(_KPROCESS{name, g_nextProcessId++ * 4}));
  return g_processes.back().get();
}

void ResetProcesses() {
  std::lock_guard<std::mutex> guard(g_processLock);
  g_processes.clear();
}

void SetCurrentProcess(PEPROCESS process) { ThisThread().process = process; }

SystemThread::SystemThread(std::function<void()> body)
    : thread_([body = std::move(body)] {
        ThisThread().systemThread = true;
        body();
      }) {}

SystemThread::~SystemThread() { Join(); }

void SystemThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void RunAtIrql(KIRQL irql, const std::function<void()> &body) {
  _KTHREAD &t = ThisThread();
  KIRQL saved = t.irql;
  t.irql = irql;
  body();
  t.irql = saved;
}

}  // namespace sim

extern "C" {

KIRQL KeGetCurrentIrql(void) { return sim::ThisThread().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  _KTHREAD &t = sim::ThisThread();
  if (NewIrql < t.irql)
    sim::VerifierFail(sim::check::kIrqlMisuse, "KeRaiseIrql to %u from the higher %u", NewIrql, t.irql);
  *OldIrql = t.irql;
  t.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  _KTHREAD &t = sim::ThisThread();
  if (NewIrql > t.irql)
    sim::VerifierFail(sim::check::kIrqlMisuse, "KeLowerIrql to %u from the lower %u", NewIrql, t.irql);
  t.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

PKTHREAD KeGetCurrentThread(void) { return &sim::ThisThread(); }

PEPROCESS IoGetCurrentProcess(void) {
  PEPROCESS p = sim::ThisThread().process;
  return p ? p : &sim::g_system;
}

}  // extern "C"
