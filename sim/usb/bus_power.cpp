// The physical device object's power side: set-power and query-power requests (the device power
// state, declared with PoSetPowerState as the bus driver of a PDO does), wait-wake, and faults
// on demand.
//
// A USB device out of D0 is suspended: its hub port is suspended and the host controller
// schedules nothing for it (USB 2.0, 7.1.7.6 and 11.9). The transfers the bus already holds wait
// for D0 and then go on in their order. A request that needs the device to answer, submitted
// while it is suspended, never reaches it: the hub fails it at once (STATUS_DEVICE_POWERED_OFF,
// the URB left as it came), as a client must not send I/O to a device it has put in a low
// power state ("Device Power States", "USB selective suspend" on learn.microsoft.com).
// Requests of the host alone (abort, frame number, the pipe reset without CLEAR_FEATURE) work.
#include <optional>

#include "sim/kernel/verifier.h"
#include "sim/usb/bus_internal.h"

#ifndef STATUS_DEVICE_POWERED_OFF
#define STATUS_DEVICE_POWERED_OFF ((NTSTATUS)0x8000000FL)
#endif

namespace sim::usb::detail {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID CancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::mutex> guard(State().lock);
    Device *d = DeviceOf(pdo);
    if (d->waitWake == irp) d->waitWake = nullptr;
  }
  PoStartNextPowerIrp(irp);
  Complete(irp, STATUS_CANCELLED);
}

// The fault that answers this request, used up; lock held.
std::optional<NTSTATUS> PowerFaultFor(Device &d, UCHAR minor, POWER_STATE_TYPE type) {
  for (auto it = d.powerFaults.begin(); it != d.powerFaults.end(); ++it) {
    if (it->minor != minor || it->type != type) continue;
    const NTSTATUS status = it->status;
    if (--it->count == 0) d.powerFaults.erase(it);
    return status;
  }
  return std::nullopt;
}

NTSTATUS SetOrQueryPower(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION s) {
  const POWER_STATE_TYPE type = s->Parameters.Power.Type;
  const bool set = s->MinorFunction == IRP_MN_SET_POWER;
  NTSTATUS status = STATUS_SUCCESS;
  bool declare = false;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    Device &d = *DeviceOf(pdo);
    if (std::optional<NTSTATUS> fault = PowerFaultFor(d, s->MinorFunction, type)) {
      status = *fault;
    } else if (set && type == DevicePowerState) {
      const DEVICE_POWER_STATE to = s->Parameters.Power.State.DeviceState;
      if (to < PowerDeviceD0 || to > PowerDeviceD3) {
        status = STATUS_INVALID_PARAMETER;
      } else {
        d.power = to;
        declare = true;
        // Resumed: the bus thread takes up what waited.
        if (to == PowerDeviceD0) State().wake.notify_all();
      }
    }
  }
  if (declare) PoSetPowerState(pdo, DevicePowerState, s->Parameters.Power.State);
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

NTSTATUS WaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
  std::unique_lock<std::mutex> lock(State().lock);
  Device &d = *DeviceOf(pdo);
  // As the hub does: only a device configured with the remote wake-up attribute can wake, and
  // one request at a time.
  NTSTATUS status = STATUS_PENDING;
  if (!d.present || !d.configurationValue || !(d.configuration.attributes & USB_CONFIG_REMOTE_WAKEUP))
    status = STATUS_NOT_SUPPORTED;
  else if (d.waitWake)
    status = STATUS_DEVICE_BUSY;
  if (status != STATUS_PENDING) {
    lock.unlock();
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
  }
  IoMarkIrpPending(irp);
  d.waitWake = irp;
  d.remoteWakeupEnabled = true;
  IoSetCancelRoutine(irp, CancelWaitWake);
  if (IrpCancelRequested(irp) && IoSetCancelRoutine(irp, nullptr)) {
    d.waitWake = nullptr;
    lock.unlock();
    PoStartNextPowerIrp(irp);
    Complete(irp, STATUS_CANCELLED);
  }
  return STATUS_PENDING;
}

}  // namespace

bool RefusedWhileSuspended(const Device &d, USHORT function) {
  if (d.power == PowerDeviceD0) return false;
  switch (function) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
    case URB_FUNCTION_SYNC_RESET_PIPE:
      return false;
    default:
      return true;
  }
}

NTSTATUS DispatchBusPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
      return SetOrQueryPower(pdo, irp, s);
    case IRP_MN_WAIT_WAKE:
      return WaitWake(pdo, irp);
    default:
      PoStartNextPowerIrp(irp);
      return Complete(irp, irp->IoStatus.Status);
  }
}

}  // namespace sim::usb::detail

namespace sim::usb {

using namespace detail;

DEVICE_POWER_STATE Bus::PowerState(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  return DeviceOf(pdo)->power;
}

void Bus::FailPowerRequests(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, NTSTATUS status, unsigned count) {
  std::lock_guard<std::mutex> guard(State().lock);
  DeviceOf(pdo)->powerFaults.push_back({minor, type, status, count});
}

}  // namespace sim::usb
