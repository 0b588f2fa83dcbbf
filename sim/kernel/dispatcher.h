// The dispatcher lock: one lock and one condition for every event, mutex and timer, as the
// kernel's own dispatcher database has one lock.
#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/platform.h"

namespace sim {

std::mutex &DispatcherLock();
std::condition_variable &DispatcherCondition();

// Threads blocked in a wait on 'object' right now, so that a test can tell a waiter has
// reached its wait.
size_t WaitersOn(const void *object);
// Threads spinning to acquire the spin lock 'lock' right now.
size_t SpinnersOn(const void *lock);
// Test hook for the window before a spin lock is taken: runs in every thread about to acquire
// one, already at DISPATCH_LEVEL (null: none). Tests hold a thread at a lock's door with it.
void SetBeforeSpinLockHook(std::function<void(PKSPIN_LOCK lock)> hook);

// Object types kept in DISPATCHER_HEADER.Type, as Windows numbers them.
enum : unsigned char { kEventNotification = 0, kEventSynchronization = 1, kMutant = 2, kTimerNotification = 8 };
// DISPATCHER_HEADER.Size holds this once an object is initialised.
constexpr unsigned char kInitialisedMagic = 0xA5;

}  // namespace sim
