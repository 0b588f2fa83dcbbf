// Work items: a small pool of system worker threads fed from one queue.
#include "work_items.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "faults.h"
#include "objects.h"
#include "pool.h"
#include "threads.h"
#include "verifier.h"

struct _IO_WORKITEM {
  uint32_t magic;
  PDEVICE_OBJECT device;
  bool queued;
};

namespace sim {
namespace {

constexpr uint32_t kWorkItemMagic = 0x6B726F57;  // "Work"
constexpr size_t kMaxWorkers = 4;

struct Job {
  PIO_WORKITEM item = nullptr;
  PIO_WORKITEM_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  PDEVICE_OBJECT device = nullptr;
  std::function<void()> system;
};

std::mutex g_lock;
std::condition_variable g_wake;  // workers: a job or a stop
std::condition_variable g_idle;  // drainers: queue empty and nothing running
std::deque<Job> g_queue;
std::vector<SystemThread> g_workers;
size_t g_idleWorkers = 0;
size_t g_running = 0;
size_t g_allocated = 0;
bool g_stopping = false;
thread_local bool t_isWorker = false;

void Run(Job &job) {
  if (job.system) {
    job.system();
    return;
  }
  {
    PoolOwnerScope owner(StackBottom(job.device));
    job.routine(job.device, job.context);
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    VerifierFail(check::kIrqlMisuse, "work item routine %p returned at IRQL %u", reinterpret_cast<void *>(job.routine),
                 KeGetCurrentIrql());
}

void WorkerLoop() {
  t_isWorker = true;
  std::unique_lock<std::mutex> lock(g_lock);
  for (;;) {
    ++g_idleWorkers;
    g_wake.wait(lock, [] { return g_stopping || !g_queue.empty(); });
    --g_idleWorkers;
    if (g_queue.empty()) {  // stopping; the host thread goes on to other system threads' bodies
      t_isWorker = false;
      return;
    }
    Job job = std::move(g_queue.front());
    g_queue.pop_front();
    if (job.item) job.item->queued = false;  // the routine may queue it again
    ++g_running;
    lock.unlock();
    Run(job);
    lock.lock();
    --g_running;
    if (g_queue.empty() && g_running == 0) g_idle.notify_all();
  }
}

void PushLocked(Job job) {
  g_queue.push_back(std::move(job));
  if (g_idleWorkers < g_queue.size() && g_workers.size() < kMaxWorkers)
    g_workers.emplace_back(WorkerLoop);
  else
    g_wake.notify_one();
}

}  // namespace

void DrainWorkItems() {
  if (t_isWorker) VerifierFail(check::kBadObject, "DrainWorkItems called from a work item");
  std::unique_lock<std::mutex> lock(g_lock);
  g_idle.wait(lock, [] { return g_queue.empty() && g_running == 0; });
}

void ResetWorkItems() {
  DrainWorkItems();
  std::vector<SystemThread> workers;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stopping = true;
    workers.swap(g_workers);
  }
  g_wake.notify_all();
  workers.clear();  // joins
  std::lock_guard<std::mutex> guard(g_lock);
  g_stopping = false;
  g_idleWorkers = 0;
  g_allocated = 0;
}

size_t WorkItemsAllocated() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_allocated;
}

void QueueSystemWork(std::function<void()> work) {
  std::lock_guard<std::mutex> guard(g_lock);
  Job job;
  job.system = std::move(work);
  PushLocked(std::move(job));
}

}  // namespace sim

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "IoAllocateWorkItem at IRQL %u", KeGetCurrentIrql());
  if (sim::ShouldFail(sim::AllocKind::WorkItem, __builtin_return_address(0))) return nullptr;
  sim::ReferenceDevice(DeviceObject);
  auto *item = new _IO_WORKITEM{sim::kWorkItemMagic, DeviceObject, false};
  std::lock_guard<std::mutex> guard(sim::g_lock);
  ++sim::g_allocated;
  return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  (void)QueueType;  // one pool of workers serves both queues
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    sim::VerifierFail(sim::check::kIrqlMisuse, "IoQueueWorkItem at IRQL %u", KeGetCurrentIrql());
  std::lock_guard<std::mutex> guard(sim::g_lock);
  if (!IoWorkItem || IoWorkItem->magic != sim::kWorkItemMagic)
    sim::VerifierFail(sim::check::kBadObject, "IoQueueWorkItem: %p is not a work item", static_cast<void *>(IoWorkItem));
  if (IoWorkItem->queued) sim::VerifierFail(sim::check::kBadObject, "work item %p queued while already queued", static_cast<void *>(IoWorkItem));
  IoWorkItem->queued = true;
  sim::Job job;
  job.item = IoWorkItem;
  job.routine = WorkerRoutine;
  job.context = Context;
  job.device = IoWorkItem->device;
  sim::PushLocked(std::move(job));
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  PDEVICE_OBJECT device;
  {
    std::lock_guard<std::mutex> guard(sim::g_lock);
    if (!IoWorkItem || IoWorkItem->magic != sim::kWorkItemMagic)
      sim::VerifierFail(sim::check::kBadObject, "IoFreeWorkItem: %p is not a work item", static_cast<void *>(IoWorkItem));
    if (IoWorkItem->queued) sim::VerifierFail(sim::check::kBadObject, "work item %p freed while queued", static_cast<void *>(IoWorkItem));
    IoWorkItem->magic = 0;
    device = IoWorkItem->device;
    if (sim::g_allocated) --sim::g_allocated;
  }
  delete IoWorkItem;
  sim::DereferenceDevice(device);
}

}  // extern "C"
