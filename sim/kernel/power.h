// The power manager: power IRPs requested by drivers, the system's sleep and resume, and the
// system-required registrations that keep it awake.
#pragma once
#include "platform/platform.h"

namespace sim::power {

// System sleep: a query then a set of 'state' to every started stack (S-IRPs from a system
// thread; the drivers' own D-IRPs come back through their stacks). Refused with
// STATUS_UNSUCCESSFUL, and nothing sent, while a system-required registration stands.
// A failed query is followed by a set of the working state, as Windows does.
NTSTATUS Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
// Resume: a set of the working state to every stack.
NTSTATUS Resume();
SYSTEM_POWER_STATE SystemState();
// Registrations made with PoRegisterSystemState and not withdrawn.
size_t SystemStateRegistrations();
// The device power state a device last declared with PoSetPowerState.
DEVICE_POWER_STATE DeclaredState(PDEVICE_OBJECT device);
// Power IRPs requested with PoRequestPowerIrp and not yet completed.
size_t PowerIrpsOutstanding();
// Waits for the power manager's own threads (requests sent on behalf of callers above
// PASSIVE_LEVEL, a resume after a wake-up).
void Settle();
void Reset();

}  // namespace sim::power
