#include "threads.h"

#include <atomic>
#include <condition_variable>
#include <deque>
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

struct SystemThread::Job {
  std::function<void()> body;
  bool done = false;  // under g_poolLock
};

namespace {

// Never destroyed: the pool's threads wait on them until the process exits.
std::mutex &g_poolLock = *new std::mutex;
std::condition_variable &g_poolWake = *new std::condition_variable;  // a job queued, or one done
std::deque<std::shared_ptr<SystemThread::Job>> &g_jobs = *new std::deque<std::shared_ptr<SystemThread::Job>>;
size_t g_idle = 0;

// A host thread lending itself to system-thread bodies, one at a time, for the process's life.
void PoolThread() {
  std::unique_lock<std::mutex> lock(g_poolLock);
  for (;;) {
    ++g_idle;
    g_poolWake.wait(lock, [] { return !g_jobs.empty(); });
    --g_idle;
    std::shared_ptr<SystemThread::Job> job = std::move(g_jobs.front());
    g_jobs.pop_front();
    lock.unlock();
    _KTHREAD &t = ThisThread();
    t = _KTHREAD{};
    t.id = g_nextThreadId++;
    t.systemThread = true;
    job->body();
    job->body = nullptr;
    if (!t.heldLocks.empty() || t.irql != PASSIVE_LEVEL)
      VerifierFail(check::kIrqlMisuse, "system thread %u ended at IRQL %u holding %zu lock(s)", t.id, t.irql,
                   t.heldLocks.size());
    lock.lock();
    job->done = true;
    g_poolWake.notify_all();
  }
}

}  // namespace

SystemThread::SystemThread(std::function<void()> body) : job_(std::make_shared<Job>()) {
  job_->body = std::move(body);
  std::lock_guard<std::mutex> guard(g_poolLock);
  g_jobs.push_back(job_);
  if (g_idle < g_jobs.size()) std::thread(PoolThread).detach();
  g_poolWake.notify_all();
}

SystemThread::~SystemThread() { Join(); }

void SystemThread::Join() {
  if (!job_) return;
  std::unique_lock<std::mutex> lock(g_poolLock);
  g_poolWake.wait(lock, [this] { return job_->done; });
  lock.unlock();
  job_.reset();
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
