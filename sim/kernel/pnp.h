// The Plug and Play manager: brings device stacks up and down in the order Windows does.
// Every request goes to the top of the stack from a system thread, starting as
// STATUS_NOT_SUPPORTED, and is waited for.
#pragma once
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/platform.h"

namespace sim::pnp {

enum class NodeState { Absent, Added, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed, Failed };

struct PlugResult {
  NTSTATUS addDevice = STATUS_UNSUCCESSFUL;  // the function driver's AddDevice
  NTSTATUS start = STATUS_UNSUCCESSFUL;      // IRP_MN_START_DEVICE
  PDEVICE_OBJECT top = nullptr;              // top of the stack after AddDevice
};

// A device arrives below 'functionDriver': AddDevice, start, then the capability and
// device-state queries. A failed start removes the stack again, as Windows does.
PlugResult Plug(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);
// The device leaves: surprise removal now; removal once the last handle to the stack has
// closed (at once when none is open). The physical device object is the bus's to delete after
// the removal reached it.
void Unplug(PDEVICE_OBJECT pdo);
// Disable: query remove; a veto is followed by cancel remove (the query's status is returned),
// otherwise removal follows.
NTSTATUS Disable(PDEVICE_OBJECT pdo);
// Resource rebalance: query stop; a veto is followed by cancel stop, otherwise stop and start.
NTSTATUS Rebalance(PDEVICE_OBJECT pdo);
// The vetoable halves alone, for tests that hold the device between query and outcome.
NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
// One Plug and Play request to the top of the stack, as the manager sends them.
NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup = {},
              ULONG_PTR *information = nullptr);

NodeState State(PDEVICE_OBJECT pdo);
// What the last capability and device-state queries returned.
DEVICE_CAPABILITIES Capabilities(PDEVICE_OBJECT pdo);
PNP_DEVICE_STATE DeviceState(PDEVICE_OBJECT pdo);
// The minor codes sent to the stack so far, in order (for tests of the sequences).
std::vector<UCHAR> Sent(PDEVICE_OBJECT pdo);

// The application side reports file objects from the moment their create is sent, so removal
// waits for the last close and never overtakes a create in progress. False: the stack's removal
// is under way and the open must fail (as the I/O manager fails it). A failed create is reported
// closed.
bool FileObjectOpening(PDEVICE_OBJECT device);
void FileObjectClosed(PDEVICE_OBJECT device);

// For the power manager: the physical device objects of the stacks that are started (a stop
// or removal may be pending), in the order they were plugged. Plug and Play requests are held
// off while the returned lock is held, so the list stays true for a whole system transition.
std::unique_lock<std::shared_mutex> FreezeTree();
std::vector<PDEVICE_OBJECT> StartedStacks();

// For the power manager: a requested power IRP is about to go to the stack of 'device'. False once
// the stack's removal has begun (nothing may be sent to it then); otherwise EndPowerSend follows
// when the top driver's dispatch routine has returned, and a removal waits for that.
bool BeginPowerSend(PDEVICE_OBJECT device);
void EndPowerSend(PDEVICE_OBJECT device);

// Waits until every removal that was waiting for handles to close has been sent.
void Settle();
void Reset();

}  // namespace sim::pnp
