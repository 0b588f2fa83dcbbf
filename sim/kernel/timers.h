// Timers and DPCs run on one DPC thread at DISPATCH_LEVEL.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sim {

// Timers still set (a driver that ends with a timer set leaks it).
size_t TimersSet();
// Stops the DPC thread after running what is queued; timers still set are dropped.
void ResetTimers();
// Microseconds the processor was stalled by KeStallExecutionProcessor since the world began.
uint64_t StalledMicroseconds();

}  // namespace sim
