// The Plug and Play manager: brings device stacks up and down in the order Windows does.
// Every request goes to the top of the stack from a system thread, starting as
// STATUS_NOT_SUPPORTED, and is waited for.
#pragma once
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim::pnp {

enum class NodeState { Absent, Added, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed, Failed };

struct PlugResult {
  NTSTATUS addDevice = STATUS_UNSUCCESSFUL;  // the function driver's AddDevice
  NTSTATUS start = STATUS_UNSUCCESSFUL;      // IRP_MN_START_DEVICE
  PDEVICE_OBJECT top = nullptr;              // top of the stack after AddDevice
};

// A device arrives below 'functionDriver': the physical device object alone is asked for its IDs,
// capabilities, texts, bus information and resources; then AddDevice, the filtering of resource
// requirements, start, and the capability, device-state and bus-relation queries. A failed start
// removes the stack again, as Windows does.
PlugResult Plug(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);
// The device leaves: surprise removal now (once a Plug and Play request in progress for it has
// completed: then from a system thread that Settle waits for); removal once the last handle to
// the stack has closed (at once when none is open). The physical device object is the bus's to
// delete after the removal reached it.
void Unplug(PDEVICE_OBJECT pdo);

#ifndef STATUS_PLUGPLAY_QUERY_VETOED
#define STATUS_PLUGPLAY_QUERY_VETOED ((NTSTATUS)0x80000028L)
#endif
// Who refused a disable; the values of user mode's PNP_VETO_TYPE.
enum class Veto { None = 0, OutstandingOpen = 5, Device = 6, NonDisableable = 10 };
// Disable: refused at once for a device that reported PNP_DEVICE_NOT_DISABLEABLE; else the
// removal relations, then query remove. A driver's veto (its status is returned) or file objects
// still open on the stack (STATUS_PLUGPLAY_QUERY_VETOED) are followed by cancel remove;
// otherwise removal follows.
NTSTATUS Disable(PDEVICE_OBJECT pdo, Veto *veto = nullptr);
// Resource rebalance: query stop; a veto is followed by cancel stop, otherwise stop and start.
NTSTATUS Rebalance(PDEVICE_OBJECT pdo);
// The vetoable halves alone, for tests that hold the device between query and outcome.
NTSTATUS QueryStop(PDEVICE_OBJECT pdo);
NTSTATUS CancelStop(PDEVICE_OBJECT pdo);
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo);
NTSTATUS CancelRemove(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_DEVICE_RELATIONS for TargetDeviceRelation, as IoGetRelatedTargetDevice (and
// RegisterDeviceNotification on a handle) sends it: the physical device object the stack
// answered with, or null when it failed.
PDEVICE_OBJECT TargetDevice(PDEVICE_OBJECT pdo);
// IRP_MN_DEVICE_USAGE_NOTIFICATION, as when a paging, hibernation or crash-dump file is placed on
// the device (inPath) or taken off it.
NTSTATUS NotifyUsage(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);
// One Plug and Play request to the top of the stack, as the manager sends them.
NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup = {},
              ULONG_PTR *information = nullptr);

NodeState State(PDEVICE_OBJECT pdo);
// What the last capability and device-state queries returned.
DEVICE_CAPABILITIES Capabilities(PDEVICE_OBJECT pdo);
PNP_DEVICE_STATE DeviceState(PDEVICE_OBJECT pdo);
// The minor codes sent to the stack so far, in order (for tests of the sequences).
std::vector<UCHAR> Sent(PDEVICE_OBJECT pdo);
// The last answer to IRP_MN_QUERY_ID or IRP_MN_QUERY_DEVICE_TEXT of this type; lists keep the
// NULs between their strings. Empty when unanswered.
std::u16string Text(PDEVICE_OBJECT pdo, UCHAR minor, ULONG type);

// The application side reports file objects from the moment their create is sent, so removal
// waits for the last close and never overtakes a create in progress, and a disable sees them.
// False: the removal IRP is on its way and the open must fail (as the I/O manager fails it).
// Until then creates reach the drivers, after a query remove and a surprise removal too. A failed
// create is reported closed.
bool FileObjectOpening(PDEVICE_OBJECT device);
// Held while an open looks at a device's flags: an AddDevice routine clears
// DO_DEVICE_INITIALIZING with a plain write, and AddDevice routines run only while no open holds
// it, so the open sees the flag as the routine left it or as it was before the routine ran.
std::shared_lock<std::shared_mutex> HoldOffAddDevice();
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
