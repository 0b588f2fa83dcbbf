// Timers and DPCs: timers expire on the clock's 15.625 ms ticks; their DPCs, and those queued
// directly, run at DISPATCH_LEVEL on two DPC processors.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/platform.h"

namespace sim {

// Timers still set (a driver that ends with a timer set leaks it).
size_t TimersSet();
// Interrupt time at which the earliest timer expires; -1 when none is set.
int64_t NextTimerDue();
// Called on the DPC's processor, at DISPATCH_LEVEL, before each DPC routine (null: none). Tests
// hold a DPC between its start and its routine with it.
void SetDpcStartHook(std::function<void(PKDPC)> hook);
// Threads inside KeFlushQueuedDpcs now.
int DpcFlushesWaiting();
// Stops the run if [base, base + size) holds a timer still set or a DPC queued or running on
// another processor; 'what' names the release.
void CheckNoTimerOrDpcIn(const void *base, size_t size, const char *what);
// Stops the DPC processors after running what is queued; timers still set are dropped.
void ResetTimers();
// Microseconds the processor was stalled by KeStallExecutionProcessor since the world began.
uint64_t StalledMicroseconds();

}  // namespace sim
