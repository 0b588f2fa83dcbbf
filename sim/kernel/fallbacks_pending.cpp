// Temporary: lets the kernel link before the I/O-manager and object parts land.
#include "io_manager.h"
#include "objects.h"
#include "work_items.h"
namespace sim {
__attribute__((weak)) void CheckAllIrpsCompleted() {}
__attribute__((weak)) void ResetIrpTracking() {}
__attribute__((weak)) void ResetObjects() {}
__attribute__((weak)) void ResetWorkItems() {}
__attribute__((weak)) void DrainWorkItems() {}
}  // namespace sim
