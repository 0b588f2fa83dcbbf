#include "world.h"

#include <atomic>
#include <vector>

#include "dispatcher.h"
#include "error_log.h"
#include "faults.h"
#include "files.h"
#include "io_manager.h"
#include "kernel_handles.h"
#include "lock_order.h"
#include "objects.h"
#include "pnp.h"
#include "pool.h"
#include "power.h"
#include "registry.h"
#include "schedule.h"
#include "threads.h"
#include "timers.h"
#include "verifier.h"
#include "version.h"
#include "work_items.h"

namespace sim {
namespace {

std::atomic<bool> g_active{false};

struct Hooks {
  void (*drain)();
  void (*reset)();
};
std::vector<Hooks> &AllHooks() {
  static std::vector<Hooks> hooks;
  return hooks;
}

void ResetEverything(const WorldOptions &options) {
  for (auto &h : AllHooks())
    if (h.reset) h.reset();
  pnp::Reset();
  power::Reset();
  ResetTimers();
  ResetWorkItems();
  ResetIrpTracking();
  ResetObjects();
  registry::Reset();
  files::Reset();
  ResetHandles();
  ClearEventLog();
  ClearFaults();
  ResetPool();
  ResetLockOrder();
  SetBeforeSpinLockHook(nullptr);
  ResetOsVersion();
  ResetProcesses();
  ResetSchedule();
  SetClockMode(options.clock, options.clockScale);
}

}  // namespace

void AddWorldHooks(void (*drain)(), void (*reset)()) { AllHooks().push_back({drain, reset}); }

World::World(const WorldOptions &options) : options_(options) {
  if (g_active.exchange(true)) VerifierFail(check::kBadObject, "a world already exists");
  ResetEverything(options_);
}

World::~World() {
  // A request that completed after its handle was closed sends the close from a worker; the
  // removal that close lets go must be under way before the settles below look.
  DrainWorkItems();
  pnp::Settle();
  power::Settle();
  for (auto &h : AllHooks())
    if (h.drain) h.drain();
  DrainWorkItems();
  CheckAllIrpsCompleted();
  if (TimersSet()) VerifierFail(check::kLeakAtEnd, "%zu timer(s) still set", TimersSet());
  ResetTimers();
  ResetWorkItems();
  if (WorkItemsAllocated())
    VerifierFail(check::kLeakAtEnd, "%zu work item(s) allocated and never freed", WorkItemsAllocated());
  if (power::SystemStateRegistrations())
    VerifierFail(check::kLeakAtEnd, "%zu system-state registration(s) never withdrawn",
                 power::SystemStateRegistrations());
  if (HandleCount()) VerifierFail(check::kLeakAtEnd, "%zu kernel handle(s) still open", HandleCount());
  if (ErrorLogEntriesPending())
    VerifierFail(check::kLeakAtEnd, "%zu error-log entr(ies) allocated and never written", ErrorLogEntriesPending());
  ClearFaults();
  if (options_.checkPoolAtEnd && PoolBlocksOutstanding())
    VerifierFail(check::kLeakAtEnd, "pool still allocated:%s", DescribeOutstandingPool().c_str());
  ResetEverything(WorldOptions{});
  g_active = false;
}

}  // namespace sim
