// Work items run on the substitute's worker threads at PASSIVE_LEVEL.
#pragma once
#include <cstddef>
#include <functional>

namespace sim {

// Blocks until every queued work item has run (including items queued meanwhile).
void DrainWorkItems();
// Stops the worker threads (after draining); they restart on the next queued item.
void ResetWorkItems();
// Work items allocated and not yet freed.
size_t WorkItemsAllocated();
// Runs 'work' on a worker thread at PASSIVE_LEVEL in the system process, as the system's own
// deferred work (the final close of a file object, for example). Drained like work items.
void QueueSystemWork(std::function<void()> work);

}  // namespace sim
