// Lock-order tracking: every acquisition of a mutex or spin lock is checked against the
// order learned so far (A taken while B is held means B before A), and a cycle stops the run.
#pragma once

namespace sim {

// 'lockClass' identifies the lock's class: mutexes by the site that initialised them,
// spin locks by address. 'name' is for the message only.
void LockAcquired(const void *lockClass, const char *name);
void LockReleased(const void *lockClass);
void ResetLockOrder();

}  // namespace sim

namespace sim {
// Memory that held spin locks is being freed: their classes are forgotten, so that a new lock
// at the same address starts without history.
void ForgetLocksIn(const void *base, unsigned long length);
}  // namespace sim
